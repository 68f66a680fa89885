#pragma once
// Modal message boxes and the one-line input box. A box has a type (which gives its caption and
// icon), a text and a set of buttons with fixed captions; Enter chooses the default button and
// Escape the cancel button. Once the application has been asked to quit, every box closes at once
// with mrCancel.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Forms.h"

enum TMsgDlgType : std::uint8_t { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn : std::uint8_t {
    mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore, mbAll, mbNoToAll, mbYesToAll, mbHelp,
};
using TMsgDlgButtons = std::vector<TMsgDlgBtn>;

// Caption of a box type ("Warning", "Error", "Information", "Confirm").
const char* MsgDlgCaption(TMsgDlgType type);
// Caption of a button, with "&" before its access key ("&Yes", "OK", "Yes to &All").
const char* ButtonCaption(TMsgDlgBtn button);
TModalResult ButtonResult(TMsgDlgBtn button);
// The button Enter chooses: OK if present, else Yes, else Retry; mbHelp when none of them is.
TMsgDlgBtn DefaultButton(const TMsgDlgButtons& buttons);
// The button Escape chooses: Cancel if present, else No, else OK; mbHelp when none of them is.
TMsgDlgBtn CancelButton(const TMsgDlgButtons& buttons);

// Shows a modal box and returns the result of the button chosen, mrCancel when the box was closed.
TModalResult MessageDlg(const std::string& text, TMsgDlgType type, const TMsgDlgButtons& buttons);
// Shows the one-line input box; true with the edited value when OK was chosen.
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value);

// What a front end presents. The application owns one.
class TFrontEnd {
public:
    virtual ~TFrontEnd() = default;
    virtual void ShowForm(TForm& form) = 0;
    virtual void PaintControl(TControl& control) = 0;
    // Shows a box and returns the result chosen. With closeAtOnce (a quit is pending) the box is
    // only shown, and closes by itself with mrCancel.
    virtual TModalResult ShowMessageBox(const std::string& caption, TMsgDlgType type, const std::string& text,
                                        const TMsgDlgButtons& buttons, bool closeAtOnce) = 0;
    virtual bool ShowInputBox(const std::string& caption, const std::string& prompt, std::string& value) = 0;
    // One line about a failure, for whoever reads text: the headless and console front ends print
    // it on standard error; a window says what it says in its boxes alone.
    virtual void ReportFailure(const std::string&) {}
    // True once when the user gave the window's close command since the last call.
    virtual bool TakeCloseCommand() = 0;
    // Handles the operating system's pending window messages (painting, input, wake-ups).
    virtual void PumpMessages() {}
    // Called when the message loop ends.
    virtual void Shutdown() {}
    // Makes the system's requests to stop (signals, console events) end the program cleanly: they
    // only record a stop request (StopSignal), which the job sees at its next progress event. The
    // program calls it once; tests that run the job in process do not.
    virtual void CatchStopSignals() {}
};

namespace platform {
// Makes the front end named "headless" or "console" (the backends may add their own); the default
// comes from MAILBALE_UI, else headless when standard output is not a terminal.
std::unique_ptr<TFrontEnd> CreateFrontEnd(const std::string& name);
// The headless front end's answers: captions without "&", used in order before the defaults.
// A new script also starts afresh the count of boxes answered without one.
void SetHeadlessAnswers(const std::vector<std::string>& answers);
// Where the headless front end prints its boxes (standard output unless changed).
void SetHeadlessOutput(std::string* capture);
// Asks the current front end for the close command, as the user would.
void SimulateCloseCommand();
// Records a request to stop the program by signal number (as SIGTERM 15; a console's Ctrl+C is
// SIGINT 2). Safe to call from a signal handler; the first request stands.
void RequestStop(int signal);
// The signal number of the request to stop, 0 when none came.
int StopSignal();
// Forgets the request, for a host that runs several sessions in one process (the tests).
void ClearStopRequest();
}  // namespace platform
