#pragma once
// The headless front end: no window. Every message box is printed as "== <caption> ==", its text
// and "-> <answer>" (the caption of the button taken), and answered from a script (MAILBALE_ANSWERS,
// or SetHeadlessAnswers). Without a script no box may be asked for ever: a Retry default is taken
// a few times with a growing pause, any other default once, and then the box takes the answer that
// ends what it asks (Cancel, No or Abort; never Ignore). Every backend offers it, so the whole job
// can run without a display.
#include <string>

#include "platform/Dialogs.h"

namespace platform {

// ANSI text in the encoding of the host's terminal, its control characters shown escaped ("\x1b"):
// a name from the disk or the environment must not move the cursor, erase what is shown or set the
// window title on a terminal, nor break a line of a log.
std::string ConsoleText(const std::string& ansi);
// ansi with every byte for which control is true written as "\x" and two lower-case hex digits:
// the one escaping that each backend's ConsoleText applies with its own idea of a control byte.
std::string EscapeBytes(const std::string& ansi, bool (*control)(unsigned char byte));
// The value of an environment variable as ANSI text; empty when it is not set.
std::string EnvironmentText(const char* name);
// The close command, as the user gives it (Ctrl+C on the console); taken by the front end.
void RequestCloseCommand();
// Writes text to standard output; where a program has none (a Windows program started without a
// console), to a file of the backend's choice.
void WriteStandardOutput(const std::string& text);
// Writes text to standard error; where a program has none, where standard output goes.
void WriteStandardError(const std::string& text);

class HeadlessFrontEnd : public TFrontEnd {
public:
    void ShowForm(TForm&) override {}
    void PaintControl(TControl&) override {}
    TModalResult ShowMessageBox(const std::string& caption, TMsgDlgType type, const std::string& text,
                                const TMsgDlgButtons& buttons, bool closeAtOnce) override;
    bool ShowInputBox(const std::string& caption, const std::string& prompt, std::string& value) override;
    bool TakeCloseCommand() override;
    void ReportFailure(const std::string& line) override;

protected:
    // Writes to standard output (or the capture a test set).
    static void Print(const std::string& text);
    // A box's text with its CR LF line breaks as the terminal's, in the terminal's encoding.
    static std::string ShownText(const std::string& text);
    // The answer a box gives without a script, by the rule above.
    static TModalResult Fallback(const std::string& caption, const std::string& text, const TMsgDlgButtons& buttons);
};

}  // namespace platform
