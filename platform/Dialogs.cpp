#include "platform/Dialogs.h"

#include <algorithm>
#include <atomic>

const char* MsgDlgCaption(TMsgDlgType type) {
    switch (type) {
        case mtWarning: return "Warning";
        case mtError: return "Error";
        case mtInformation: return "Information";
        case mtConfirmation: return "Confirm";
        case mtCustom: break;
    }
    return "";
}

const char* ButtonCaption(TMsgDlgBtn button) {
    switch (button) {
        case mbYes: return "&Yes";
        case mbNo: return "&No";
        case mbOK: return "OK";
        case mbCancel: return "Cancel";
        case mbAbort: return "&Abort";
        case mbRetry: return "&Retry";
        case mbIgnore: return "&Ignore";
        case mbAll: return "&All";
        case mbNoToAll: return "N&o to All";
        case mbYesToAll: return "Yes to &All";
        case mbHelp: return "&Help";
    }
    return "";
}

TModalResult ButtonResult(TMsgDlgBtn button) {
    switch (button) {
        case mbYes: return mrYes;
        case mbNo: return mrNo;
        case mbOK: return mrOk;
        case mbCancel: return mrCancel;
        case mbAbort: return mrAbort;
        case mbRetry: return mrRetry;
        case mbIgnore: return mrIgnore;
        case mbAll: return mrAll;
        case mbNoToAll: return mrNoToAll;
        case mbYesToAll: return mrYesToAll;
        case mbHelp: break;
    }
    return mrNone;
}

namespace {
bool Has(const TMsgDlgButtons& buttons, TMsgDlgBtn b) {
    return std::find(buttons.begin(), buttons.end(), b) != buttons.end();
}
}  // namespace

TMsgDlgBtn DefaultButton(const TMsgDlgButtons& buttons) {
    for (TMsgDlgBtn b : {mbOK, mbYes, mbRetry}) {
        if (Has(buttons, b)) return b;
    }
    return mbHelp;
}

TMsgDlgBtn CancelButton(const TMsgDlgButtons& buttons) {
    for (TMsgDlgBtn b : {mbCancel, mbNo, mbOK}) {
        if (Has(buttons, b)) return b;
    }
    return mbHelp;
}

TModalResult MessageDlg(const std::string& text, TMsgDlgType type, const TMsgDlgButtons& buttons) {
    // A pending quit ends every modal loop at once: the box closes with mrCancel without waiting.
    const bool closeAtOnce = Application.Terminated();
    const TModalResult result = Application.FrontEnd().ShowMessageBox(MsgDlgCaption(type), type, text, buttons,
                                                                      closeAtOnce);
    return closeAtOnce ? mrCancel : result;
}

bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    if (Application.Terminated()) return false;
    return Application.FrontEnd().ShowInputBox(caption, prompt, value);
}

namespace platform {
namespace {

// Written by signal handlers, so it must be lock-free.
std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

void RequestStop(int signal) {
    int none = 0;
    gStopSignal.compare_exchange_strong(none, signal);
}

int StopSignal() { return gStopSignal.load(); }

void ClearStopRequest() { gStopSignal = 0; }

}  // namespace platform
