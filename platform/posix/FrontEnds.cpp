// The Linux front ends: "headless" (shared by every backend) prints each message box and answers it
// from a script; "console" shows the window's text and the waiting bar on the terminal and asks each
// box there. Both present the same window model; neither has a real window.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <iostream>
#include <mutex>

#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Graphics.h"
#include "platform/HeadlessFrontEnd.h"
#include "platform/Render.h"
#include "platform/posix/Host.h"

namespace platform {
namespace {

void OnInterrupt(int) { RequestCloseCommand(); }

void OnStopSignal(int signal) { RequestStop(signal); }

// Each of signals records a stop request. The handler is reset on delivery, so a second signal of
// the same kind ends a program that does not stop at once in the usual way. Interrupted reads are
// not restarted, so a console box waiting for input closes with its cancel result.
void CatchSignals(std::initializer_list<int> signals) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : signals) sigaction(signal, &action, nullptr);
    // A write to a closed standard output (a pipe whose reader has gone) and a write beyond the
    // file size limit must fail with EPIPE and EFBIG, which the job handles as any write error,
    // instead of killing the program halfway and leaving its files behind.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

// The headless front end of the Linux program: SIGINT stops the job as SIGTERM and SIGHUP do,
// since there is no window whose close command it could be.
class PosixHeadlessFrontEnd : public HeadlessFrontEnd {
public:
    void CatchStopSignals() override { CatchSignals({SIGINT, SIGTERM, SIGHUP}); }
};

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

    // Ctrl+C stays the window's close command.
    void CatchStopSignals() override { CatchSignals({SIGTERM, SIGHUP}); }

    void ShowForm(TForm& form) override {
        form_ = &form;
        platform::RenderForm(form, surface_);
        Print("[" + ConsoleText(form.Caption) + "]\n");
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
        Print("\n== " + ConsoleText(caption) + " ==\n" + ShownText(text) + "\n" + choices +
              " (type the letter in brackets; Enter for the default)\n> ");
        for (;;) {
            std::string answer;
            if (!std::getline(std::cin, answer)) {
                std::cin.clear();
                // No more input closes the box: its cancel button, else plain closing.
                const TMsgDlgBtn cancel = CancelButton(buttons);
                return cancel == mbHelp ? mrCancel : ButtonResult(cancel);
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
        Print("\n== " + ConsoleText(caption) + " ==\n" + ShownText(prompt) + " [" + ConsoleText(value) +
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
                Print(ConsoleText(label->Caption) + "\n");
            }
            if (auto* inner = dynamic_cast<TWinControl*>(c)) ShowLabels(*inner);
        }
    }
};

}  // namespace

std::string ConsoleText(const std::string& ansi) {
    return host::AnsiToUtf8(EscapeBytes(ansi, [](unsigned char byte) {
        if (byte < 0x20 || byte == 0x7F) return true;
        if (byte < 0x80 || byte >= 0xA0) return false;
        // A byte the ANSI code page leaves undefined becomes a C1 control (U+0090 starts a
        // device control string, U+009D an operating system command on some terminals).
        const std::string unicode = host::AnsiToUtf8(std::string(1, static_cast<char>(byte)));
        return unicode.size() == 2 && static_cast<unsigned char>(unicode[0]) == 0xC2 &&
               static_cast<unsigned char>(unicode[1]) < 0xA0;
    }));
}

void WriteStandardOutput(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void WriteStandardError(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value ? host::Utf8ToAnsi(value) : std::string();
}

std::unique_ptr<TFrontEnd> CreateFrontEnd(const std::string& name) {
    std::string chosen = name;
    if (chosen.empty()) {
        const char* env = std::getenv("MAILBALE_UI");
        chosen = env && *env ? env : (::isatty(STDOUT_FILENO) ? "console" : "headless");
    }
    if (chosen == "console") return std::make_unique<ConsoleFrontEnd>();
    return std::make_unique<PosixHeadlessFrontEnd>();
}

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
