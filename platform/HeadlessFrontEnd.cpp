#include "platform/HeadlessFrontEnd.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "platform/CodePage.h"
#include "platform/Threads.h"

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

// How often each box (caption, text and buttons) has been answered without a script. Nobody is
// there to break a loop in an unattended run, so a box the program asks again and again must end
// by itself.
std::map<std::string, int>& UnattendedAnswers() {
    static std::map<std::string, int> counts;
    return counts;
}

// A Retry default is taken this often for the same box, after a pause that doubles each time
// (0.1 s, 0.2 s, 0.4 s): long enough for a file another program holds for a moment. Prompts that
// differ only in numbers share a larger allowance: asked again about one failure, a prompt may
// show another size each time, and must still end, while files named alike (m1.eml, m2.eml) that
// are each held for a moment still get their own tries.
constexpr int kUnattendedRetries = 3;
constexpr int kUnattendedRetriesAlike = 8 * kUnattendedRetries;
constexpr std::uint32_t kFirstRetryPause = 100;

std::string* gCapture = nullptr;

std::string StripAmpersand(const std::string& caption) {
    std::string out;
    for (char c : caption) {
        if (c != '&') out += c;
    }
    return out;
}

bool HasButton(const TMsgDlgButtons& buttons, TMsgDlgBtn button) {
    return std::find(buttons.begin(), buttons.end(), button) != buttons.end();
}

// The answer that ends what the box asks about: Cancel, No or Abort, else OK. Never Ignore: an
// unattended run must not leave a file out without anyone knowing.
TModalResult QuitResult(const TMsgDlgButtons& buttons) {
    for (TMsgDlgBtn b : {mbCancel, mbNo, mbAbort, mbOK}) {
        if (HasButton(buttons, b)) return ButtonResult(b);
    }
    return buttons.empty() ? mrCancel : ButtonResult(buttons.front());
}

std::string ResultCaption(TModalResult result, const TMsgDlgButtons& buttons) {
    for (TMsgDlgBtn b : buttons) {
        if (ButtonResult(b) == result) return StripAmpersand(ButtonCaption(b));
    }
    return "Cancel";
}

// What makes two boxes the same box: caption, text and buttons; with numbers left out, what makes
// them alike.
std::string BoxKey(const std::string& caption, const std::string& text, const TMsgDlgButtons& buttons,
                   bool withoutNumbers = false) {
    std::string key = caption + '\0';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = withoutNumbers && text[i] >= '0' && text[i] <= '9';
        if (!digit) key += text[i];
        else if (i == 0 || text[i - 1] < '0' || text[i - 1] > '9') key += '#';
    }
    key += '\0';
    for (TMsgDlgBtn b : buttons) key += static_cast<char>('A' + b);
    return key;
}

}  // namespace

std::string EscapeBytes(const std::string& ansi, bool (*control)(unsigned char byte)) {
    static const char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(ansi.size());
    for (const char c : ansi) {
        const auto byte = static_cast<unsigned char>(c);
        if (!control(byte)) {
            escaped += c;
            continue;
        }
        escaped += "\\x";
        escaped += kHex[byte >> 4];
        escaped += kHex[byte & 15];
    }
    return escaped;
}

std::string HeadlessFrontEnd::ShownText(const std::string& text) {
    // The box's own line breaks (CR LF) become the terminal's; any other control character, as a
    // file name may hold, is shown escaped by ConsoleText.
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t lineBreak = text.find("\r\n", start);
        out += ConsoleText(text.substr(start, lineBreak == std::string::npos ? std::string::npos : lineBreak - start));
        if (lineBreak == std::string::npos) return out;
        out += '\n';
        start = lineBreak + 2;
    }
}

TModalResult HeadlessFrontEnd::Fallback(const std::string& caption, const std::string& text,
                                        const TMsgDlgButtons& buttons) {
    const TMsgDlgBtn def = DefaultButton(buttons);
    int& count = UnattendedAnswers()[BoxKey(caption, text, buttons)];
    if (def == mbRetry) {
        int& alike = UnattendedAnswers()[BoxKey(caption, text, buttons, true) + "~"];
        if (count >= kUnattendedRetries || alike >= kUnattendedRetriesAlike) return QuitResult(buttons);
        Sleep(kFirstRetryPause << count);
        ++count;
        ++alike;
        return mrRetry;
    }
    // Any other box takes its default once; asked again, it takes the answer that ends the loop.
    if (def != mbHelp && count++ == 0) return ButtonResult(def);
    return QuitResult(buttons);
}

void HeadlessFrontEnd::Print(const std::string& text) {
    if (gCapture) {
        *gCapture += text;
        return;
    }
    WriteStandardOutput(text);
}

void HeadlessFrontEnd::ReportFailure(const std::string& line) {
    // A test that captures the boxes compares them alone; the lines would only clutter its log.
    if (!gCapture) WriteStandardError(ConsoleText(line) + "\n");
}

TModalResult HeadlessFrontEnd::ShowMessageBox(const std::string& caption, TMsgDlgType, const std::string& text,
                                              const TMsgDlgButtons& buttons, bool closeAtOnce) {
    TModalResult result = mrCancel;
    if (!closeAtOnce) {
        std::lock_guard guard(AnswerLock());
        bool answered = false;
        if (!Answers().empty()) {
            const std::string wanted = Answers().front();
            Answers().pop_front();
            for (TMsgDlgBtn b : buttons) {
                if (AnsiSameText(StripAmpersand(ButtonCaption(b)), wanted)) {
                    result = ButtonResult(b);
                    answered = true;
                }
            }
        }
        if (!answered) result = Fallback(caption, text, buttons);
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
        } else {
            // Without a script the box keeps its value once; asked again, it is cancelled.
            ok = UnattendedAnswers()[BoxKey(caption, prompt, {})]++ == 0;
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
    UnattendedAnswers().clear();
}

void SetHeadlessOutput(std::string* capture) { gCapture = capture; }

void SimulateCloseCommand() { RequestCloseCommand(); }

}  // namespace platform
