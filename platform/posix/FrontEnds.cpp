// The Linux front ends: "headless" prints each message box and answers it from a script; "console"
// shows the window's text on the terminal and asks each box there. Both present the same window
// model; neither has a real window.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>

#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Graphics.h"
#include "platform/Render.h"
#include "platform/posix/Host.h"

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
        if (const char* env = std::getenv("MAILBALE_ANSWERS")) {
            std::string all = host::Utf8ToAnsi(env);
            std::size_t pos = 0;
            while (pos <= all.size() && !all.empty()) {
                const std::size_t comma = std::min(all.find(',', pos), all.size());
                list.push_back(all.substr(pos, comma - pos));
                pos = comma + 1;
            }
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

// Line breaks of a box's text (CR LF or LF) as the host's.
std::string ShownText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return host::AnsiToUtf8(out);
}

TModalResult Fallback(const TMsgDlgButtons& buttons) {
    const TMsgDlgBtn def = DefaultButton(buttons);
    if (def != mbHelp) return ButtonResult(def);
    const TMsgDlgBtn cancel = CancelButton(buttons);
    if (cancel != mbHelp) return ButtonResult(cancel);
    return mrCancel;
}

std::string ResultCaption(TModalResult result, const TMsgDlgButtons& buttons) {
    for (TMsgDlgBtn b : buttons) {
        if (ButtonResult(b) == result) return StripAmpersand(ButtonCaption(b));
    }
    return "Cancel";
}

class HeadlessFrontEnd : public TFrontEnd {
public:
    void ShowForm(TForm&) override {}
    void PaintControl(TControl&) override {}

    TModalResult ShowMessageBox(const std::string& caption, TMsgDlgType, const std::string& text,
                                const TMsgDlgButtons& buttons, bool closeAtOnce) override {
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
        Print("== " + host::AnsiToUtf8(caption) + " ==\n" + ShownText(text) + "\n-> " +
              ResultCaption(result, buttons) + "\n");
        return result;
    }

    bool ShowInputBox(const std::string& caption, const std::string& prompt, std::string& value) override {
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
        Print("== " + host::AnsiToUtf8(caption) + " ==\n" + ShownText(prompt) + "\n-> " +
              (ok ? host::AnsiToUtf8(value) : std::string("Cancel")) + "\n");
        return ok;
    }

    bool TakeCloseCommand() override { return gCloseCommand.exchange(false); }

protected:
    static void Print(const std::string& text) {
        if (gCapture) {
            *gCapture += text;
            return;
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
};

void OnInterrupt(int) { gCloseCommand = true; }

// "&Yes" shown as "[Y]es", "OK" as "[O]K": the letter in brackets is the key to type.
std::string KeyedCaption(const std::string& caption) {
    std::string out;
    bool bracketed = false;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        const char c = caption[i];
        if (c == '&' && i + 1 < caption.size() && !bracketed) {
            out.push_back('[');
            out.push_back(caption[++i]);
            out.push_back(']');
            bracketed = true;
        } else {
            out.push_back(c);
        }
    }
    if (!bracketed && !out.empty()) {
        out.insert(out.begin() + 1, ']');
        out.insert(out.begin(), '[');
    }
    return out;
}

class ConsoleFrontEnd : public HeadlessFrontEnd {
public:
    ConsoleFrontEnd() {
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        const char* colour = std::getenv("COLORTERM");
        trueColour_ = colour && (std::string(colour) == "truecolor" || std::string(colour) == "24bit");
    }

    void ShowForm(TForm& form) override {
        form_ = &form;
        platform::RenderForm(form, surface_);
        Print("[" + host::AnsiToUtf8(form.Caption) + "]\n");
        ShowLabels(form);
    }

    // Paints into the window's picture and shows the middle line of a wide control (the waiting
    // bar) on the terminal, in colour where the terminal has 24-bit colour.
    void PaintControl(TControl& control) override {
        if (!form_) return;
        PaintControlTree(control, surface_);
        const TRect place = ControlRectInForm(control);
        if (place.Width() < 64) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastBar_ < std::chrono::milliseconds(40)) return;
        lastBar_ = now;
        const std::int32_t y = (place.Top + place.Bottom) / 2;
        const std::uint32_t background = platform::ColorToRGB(control.EffectiveColor());
        std::string line = "\r";
        for (std::int32_t x = place.Left; x < place.Right; x += 4) {
            const std::uint32_t p = surface_.Pixel(x, y);
            if (trueColour_) {
                line += "\x1b[48;2;" + std::to_string(p & 0xFF) + ";" + std::to_string((p >> 8) & 0xFF) + ";" +
                        std::to_string((p >> 16) & 0xFF) + "m ";
            } else {
                line += p == background ? ' ' : '#';
            }
        }
        Print(line + (trueColour_ ? "\x1b[0m" : ""));
        barShown_ = true;
    }

    TModalResult ShowMessageBox(const std::string& caption, TMsgDlgType type, const std::string& text,
                                const TMsgDlgButtons& buttons, bool closeAtOnce) override {
        if (closeAtOnce) return HeadlessFrontEnd::ShowMessageBox(caption, type, text, buttons, true);
        if (barShown_) Print("\n");
        barShown_ = false;
        std::string choices;
        for (TMsgDlgBtn b : buttons) choices += " " + KeyedCaption(ButtonCaption(b));
        Print("\n== " + host::AnsiToUtf8(caption) + " ==\n" + ShownText(text) + "\n" + choices +
              " (type the letter in brackets; Enter for the default)\n> ");
        for (;;) {
            std::string answer;
            if (!std::getline(std::cin, answer)) {
                std::cin.clear();
                return Fallback(buttons) == mrNone ? mrCancel : ButtonResult(CancelButton(buttons));
            }
            if (answer.empty()) {
                const TMsgDlgBtn def = DefaultButton(buttons);
                if (def != mbHelp) return ButtonResult(def);
            }
            const char key = static_cast<char>(std::toupper(static_cast<unsigned char>(answer.empty() ? 0 : answer[0])));
            for (TMsgDlgBtn b : buttons) {
                const std::string c = ButtonCaption(b);
                const std::size_t amp = c.find('&');
                const char access = amp != std::string::npos && amp + 1 < c.size() ? c[amp + 1] : c[0];
                if (std::toupper(static_cast<unsigned char>(access)) == key) return ButtonResult(b);
            }
            Print("> ");
        }
    }

    bool ShowInputBox(const std::string& caption, const std::string& prompt, std::string& value) override {
        Print("\n== " + host::AnsiToUtf8(caption) + " ==\n" + ShownText(prompt) + " [" + host::AnsiToUtf8(value) +
              "]\n> ");
        std::string answer;
        if (!std::getline(std::cin, answer)) {
            std::cin.clear();
            return false;
        }
        if (!answer.empty()) value = host::Utf8ToAnsi(answer);
        return true;
    }

private:
    TForm* form_ = nullptr;
    TBitmap surface_;
    bool trueColour_ = false;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point lastBar_{};

    void ShowLabels(TWinControl& parent) {
        for (TControl* c : parent.Controls()) {
            if (auto* label = dynamic_cast<TLabel*>(c); label && label->Visible()) {
                Print(host::AnsiToUtf8(label->Caption) + "\n");
            }
            if (auto* inner = dynamic_cast<TWinControl*>(c)) ShowLabels(*inner);
        }
    }
};

}  // namespace

std::unique_ptr<TFrontEnd> CreateFrontEnd(const std::string& name) {
    std::string chosen = name;
    if (chosen.empty()) {
        const char* env = std::getenv("MAILBALE_UI");
        chosen = env && *env ? env : (::isatty(STDOUT_FILENO) ? "console" : "headless");
    }
    if (chosen == "console") return std::make_unique<ConsoleFrontEnd>();
    return std::make_unique<HeadlessFrontEnd>();
}

void SetHeadlessAnswers(const std::vector<std::string>& answers) {
    std::lock_guard guard(AnswerLock());
    Answers().assign(answers.begin(), answers.end());
}

void SetHeadlessOutput(std::string* capture) { gCapture = capture; }

void SimulateCloseCommand() { gCloseCommand = true; }

// The classic Windows colour scheme ("Windows Standard" of Windows 2000 and XP's classic style).
std::uint32_t ColorToRGB(TColor color) {
    static const std::uint32_t kSystem[] = {
        0xC8D0D4, 0xA56E3A, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000, 0x000000, 0x000000, 0xFFFFFF,
        0xC8D0D4, 0xC8D0D4, 0x808080, 0x6A240A, 0xFFFFFF, 0xC8D0D4, 0x808080, 0x808080, 0x000000, 0xC8D0D4,
        0xFFFFFF,
    };
    const std::uint32_t value = static_cast<std::uint32_t>(color);
    if (value & 0x80000000u) {
        const std::uint32_t index = value & 0xFF;
        return index < std::size(kSystem) ? kSystem[index] : 0;
    }
    return value & 0xFFFFFF;
}

}  // namespace platform
