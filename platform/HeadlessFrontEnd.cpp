#include "platform/HeadlessFrontEnd.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>

#include "platform/CodePage.h"

namespace platform {
namespace {

std::atomic<bool> gCloseCommand{false};

std::mutex& AnswerLock() {
    static std::mutex lock;
    return lock;
}

std::deque<std::string>& Answers() {
    static std::deque<std::string> answers = [] {
        std::deque<std::string> list;
        const std::string all = EnvironmentText("MAILBALE_ANSWERS");
        std::size_t pos = 0;
        while (pos <= all.size() && !all.empty()) {
            const std::size_t comma = std::min(all.find(',', pos), all.size());
            list.push_back(all.substr(pos, comma - pos));
            pos = comma + 1;
        }
        return list;
    }();
    return answers;
}

std::string* gCapture = nullptr;

std::string StripAmpersand(const std::string& caption) {
    std::string out;
    for (char c : caption) {
        if (c != '&') out += c;
    }
    return out;
}

std::string ResultCaption(TModalResult result, const TMsgDlgButtons& buttons) {
    for (TMsgDlgBtn b : buttons) {
        if (ButtonResult(b) == result) return StripAmpersand(ButtonCaption(b));
    }
    return "Cancel";
}

}  // namespace

std::string HeadlessFrontEnd::ShownText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return ConsoleText(out);
}

TModalResult HeadlessFrontEnd::Fallback(const TMsgDlgButtons& buttons) {
    const TMsgDlgBtn def = DefaultButton(buttons);
    if (def != mbHelp) return ButtonResult(def);
    const TMsgDlgBtn cancel = CancelButton(buttons);
    if (cancel != mbHelp) return ButtonResult(cancel);
    return mrCancel;
}

void HeadlessFrontEnd::Print(const std::string& text) {
    if (gCapture) {
        *gCapture += text;
        return;
    }
    WriteStandardOutput(text);
}

TModalResult HeadlessFrontEnd::ShowMessageBox(const std::string& caption, TMsgDlgType, const std::string& text,
                                              const TMsgDlgButtons& buttons, bool closeAtOnce) {
    TModalResult result = mrCancel;
    if (!closeAtOnce) {
        result = Fallback(buttons);
        std::lock_guard guard(AnswerLock());
        if (!Answers().empty()) {
            const std::string wanted = Answers().front();
            Answers().pop_front();
            for (TMsgDlgBtn b : buttons) {
                if (AnsiSameText(StripAmpersand(ButtonCaption(b)), wanted)) result = ButtonResult(b);
            }
        }
    }
    Print("== " + ConsoleText(caption) + " ==\n" + ShownText(text) + "\n-> " + ResultCaption(result, buttons) + "\n");
    return result;
}

bool HeadlessFrontEnd::ShowInputBox(const std::string& caption, const std::string& prompt, std::string& value) {
    bool ok = true;
    {
        std::lock_guard guard(AnswerLock());
        if (!Answers().empty()) {
            const std::string answer = Answers().front();
            Answers().pop_front();
            if (answer == "Cancel") ok = false;
            else value = answer;
        }
    }
    Print("== " + ConsoleText(caption) + " ==\n" + ShownText(prompt) + "\n-> " +
          (ok ? ConsoleText(value) : std::string("Cancel")) + "\n");
    return ok;
}

bool HeadlessFrontEnd::TakeCloseCommand() { return gCloseCommand.exchange(false); }

void RequestCloseCommand() { gCloseCommand = true; }

void SetHeadlessAnswers(const std::vector<std::string>& answers) {
    std::lock_guard guard(AnswerLock());
    Answers().assign(answers.begin(), answers.end());
}

void SetHeadlessOutput(std::string* capture) { gCapture = capture; }

void SimulateCloseCommand() { RequestCloseCommand(); }

}  // namespace platform
