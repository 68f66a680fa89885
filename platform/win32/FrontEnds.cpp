// The Windows front ends: the real window (the form painted through GDI, message boxes and the
// input box as dialogs of our own, so that captions, buttons, default and cancel buttons are
// exactly the program's), and the shared headless front end for runs without a display.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"
#include "platform/HeadlessFrontEnd.h"
#include "platform/Render.h"
#include "platform/Threads.h"
#include "platform/win32/WindowsApi.h"

namespace platform {
namespace {

constexpr int kIconResource = 1;

void PumpThreadMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Console events as the signal numbers of the C runtime: Ctrl+C is SIGINT (2), Ctrl+Break SIGBREAK
// (21); closing the console, logging off and shutting down count as a hang-up (1).
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: RequestStop(2); return TRUE;
        case CTRL_BREAK_EVENT: RequestStop(21); return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            RequestStop(1);
            // Windows ends the process as soon as this handler returns. Waiting here gives the job
            // the time Windows allows to roll back and delete its files; the program's own exit
            // ends this wait.
            ::Sleep(INFINITE);
            return TRUE;
        default: return FALSE;
    }
}

class Win32HeadlessFrontEnd : public HeadlessFrontEnd {
public:
    // The wake-ups posted to the main thread are taken from its queue.
    void PumpMessages() override { PumpThreadMessages(); }
    void CatchStopSignals() override { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
};

COLORREF ToColorRef(TColor color) { return static_cast<COLORREF>(ColorToRGB(color)); }

// "MS Sans Serif" at a height in the layout's units (negative: character height in pixels).
HFONT MakeFont(const TFont& font) {
    return CreateFontA(font.Height, 0, 0, 0, font.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, font.Name.c_str());
}

// Draws a bitmap of the software renderer onto a device context.
void Blit(HDC dc, const TBitmap& bitmap, int x, int y) {
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) return;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(bitmap.Width()) * static_cast<std::size_t>(bitmap.Height()));
    for (int row = 0; row < bitmap.Height(); ++row) {
        for (int col = 0; col < bitmap.Width(); ++col) {
            const std::uint32_t p = bitmap.Pixel(col, row);  // 0x00BBGGRR
            pixels[static_cast<std::size_t>(row) * static_cast<std::size_t>(bitmap.Width()) + static_cast<std::size_t>(col)] =
                ((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF);
        }
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = bitmap.Width();
    info.bmiHeader.biHeight = -bitmap.Height();  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, x, y, static_cast<DWORD>(bitmap.Width()), static_cast<DWORD>(bitmap.Height()), 0, 0, 0,
                      static_cast<UINT>(bitmap.Height()), pixels.data(), &info, DIB_RGB_COLORS);
}

// The drawing surface on a device context: rectangles filled with GDI brushes, bitmaps of the
// software renderer copied in as device-independent bitmaps; moved to a control's place and clipped.
class TGdiCanvas : public TCanvas {
public:
    TGdiCanvas(HDC dc, std::int32_t x, std::int32_t y, const TRect& clip) : dc_(dc), x_(x), y_(y), clip_(clip) {}

    void FillRect(const TRect& rect, TColor color) override {
        const TRect r = Clip(Rect(rect.Left + x_, rect.Top + y_, rect.Right + x_, rect.Bottom + y_));
        if (r.Width() <= 0 || r.Height() <= 0) return;
        RECT box{r.Left, r.Top, r.Right, r.Bottom};
        HBRUSH brush = CreateSolidBrush(ToColorRef(color));
        ::FillRect(dc_, &box, brush);
        DeleteObject(brush);
    }

    void CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect) override {
        const TRect placed = Rect(dest.Left + x_, dest.Top + y_, dest.Right + x_, dest.Bottom + y_);
        const TRect r = Clip(placed);
        if (r.Width() <= 0 || r.Height() <= 0) return;
        TBitmap part(r.Width(), r.Height());
        for (std::int32_t row = 0; row < r.Height(); ++row) {
            for (std::int32_t col = 0; col < r.Width(); ++col) {
                const std::int32_t sx = sourceRect.Left + (r.Left + col - placed.Left);
                const std::int32_t sy = sourceRect.Top + (r.Top + row - placed.Top);
                if (sx < sourceRect.Right && sy < sourceRect.Bottom) part.SetPixel(col, row, source.Pixel(sx, sy));
            }
        }
        Blit(dc_, part, r.Left, r.Top);
    }

private:
    TRect Clip(const TRect& r) const {
        return Rect(std::max(r.Left, clip_.Left), std::max(r.Top, clip_.Top), std::min(r.Right, clip_.Right),
                    std::min(r.Bottom, clip_.Bottom));
    }
    HDC dc_;
    std::int32_t x_, y_;
    TRect clip_;
};

// The labels' text, drawn with their fonts and alignment over the painted form.
void DrawLabels(HDC dc, TWinControl& parent) {
    for (TControl* c : parent.Controls()) {
        if (!c->Showing()) continue;
        if (auto* label = dynamic_cast<TLabel*>(c)) {
            const TRect r = ControlRectInForm(*label);
            RECT box{r.Left, r.Top, r.Right, r.Bottom};
            HFONT font = MakeFont(label->Font);
            HGDIOBJ old = SelectObject(dc, font);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, ToColorRef(label->Font.Color));
            UINT format = DT_SINGLELINE | DT_NOPREFIX;
            format |= label->Alignment == taCenter ? DT_CENTER : label->Alignment == taRightJustify ? DT_RIGHT : DT_LEFT;
            format |= label->Layout == tlBottom ? DT_BOTTOM : label->Layout == tlCenter ? DT_VCENTER : DT_TOP;
            DrawTextA(dc, label->Caption.c_str(), -1, &box, format);
            SelectObject(dc, old);
            DeleteObject(font);
        }
        if (auto* inner = dynamic_cast<TWinControl*>(c)) DrawLabels(dc, *inner);
    }
}

// ---- Dialogs of our own ----

struct DialogButton {
    TMsgDlgBtn button;
    HWND handle = nullptr;
};

struct DialogState {
    std::vector<DialogButton> buttons;
    TMsgDlgBtn defaultButton = mbHelp;
    TMsgDlgBtn cancelButton = mbHelp;
    TModalResult result = mrNone;
    HWND edit = nullptr;
    bool done = false;
};

LRESULT CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (message) {
        case WM_COMMAND:
            if (state && HIWORD(wParam) == BN_CLICKED) {
                for (const DialogButton& b : state->buttons) {
                    if (reinterpret_cast<HWND>(lParam) == b.handle) {
                        state->result = ButtonResult(b.button);
                        state->done = true;
                    }
                }
            }
            return 0;
        case WM_CLOSE:
            if (state) {
                state->result = mrCancel;
                state->done = true;
            }
            return 0;
        default:
            return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

const char* kDialogClass = "MailbaleDialog";

void RegisterDialogClass() {
    static bool registered = false;
    if (registered) return;
    WNDCLASSA wc{};
    wc.lpfnWndProc = DialogProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = kDialogClass;
    RegisterClassA(&wc);
    registered = true;
}

LPCSTR IconFor(TMsgDlgType type) {
    switch (type) {
        case mtWarning: return IDI_EXCLAMATION;
        case mtError: return IDI_HAND;
        case mtInformation: return IDI_ASTERISK;
        case mtConfirmation: return IDI_QUESTION;
        case mtCustom: break;
    }
    return nullptr;
}

// Runs a modal dialog: owner disabled, Enter for the default button, Escape for the cancel button.
TModalResult RunDialog(HWND owner, HWND dialog, DialogState& state, std::string* editText = nullptr) {
    if (owner) EnableWindow(owner, FALSE);
    ShowWindow(dialog, SW_SHOW);
    if (!state.buttons.empty()) SetFocus(state.edit ? state.edit : state.buttons.front().handle);
    MSG msg;
    while (!state.done && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_KEYDOWN && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE)) {
            const TMsgDlgBtn b = msg.wParam == VK_RETURN ? state.defaultButton : state.cancelButton;
            if (b != mbHelp) {
                state.result = ButtonResult(b);
                state.done = true;
                continue;
            }
        }
        if (!IsDialogMessageA(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        // Calls handed over by other threads (the waiting bar) still run while a box is up.
        RunSynchronizedCalls();
    }
    if (editText && state.edit) {
        std::vector<char> buffer(static_cast<std::size_t>(GetWindowTextLengthA(state.edit)) + 1);
        GetWindowTextA(state.edit, buffer.data(), static_cast<int>(buffer.size()));
        *editText = buffer.data();
    }
    if (owner) EnableWindow(owner, TRUE);
    DestroyWindow(dialog);
    if (owner) SetActiveWindow(owner);
    return state.result == mrNone ? mrCancel : state.result;
}

HWND MakeDialog(HWND owner, const std::string& caption, int width, int height) {
    RegisterDialogClass();
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, style, FALSE, WS_EX_DLGMODALFRAME);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    return CreateWindowExA(WS_EX_DLGMODALFRAME, kDialogClass, caption.c_str(), style, x, y, w, h, owner, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

HFONT DialogFont() {
    static HFONT font = MakeFont(TFont{"MS Sans Serif", -11, clWindowText, false});
    return font;
}

HWND AddControl(HWND dialog, const char* cls, const std::string& text, DWORD style, int x, int y, int w, int h) {
    HWND c = CreateWindowExA(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h, dialog, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont()), TRUE);
    return c;
}

// Measures text in the dialog font.
SIZE TextSize(const std::string& text) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, DialogFont());
    RECT r{0, 0, 400, 0};
    DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

// ---- The window ----

class WindowFrontEnd;
WindowFrontEnd* gWindow = nullptr;

class WindowFrontEnd : public TFrontEnd {
public:
    WindowFrontEnd() { gWindow = this; }
    ~WindowFrontEnd() override {
        if (hwnd_) DestroyWindow(hwnd_);
        gWindow = nullptr;
    }

    void ShowForm(TForm& form) override {
        form_ = &form;
        const char* cls = "TFormMain";
        WNDCLASSA wc{};
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hIcon = LoadIconA(wc.hInstance, MAKEINTRESOURCEA(kIconResource));
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = nullptr;  // the form paints every pixel itself
        wc.lpszClassName = cls;
        RegisterClassA(&wc);
        // The system menu only: no minimise and no maximise box, the ordinary resizable border,
        // which the size constraints keep from changing the size.
        const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
        int x = form.Left();
        int y = form.Top();
        if (form.Position == poDesktopCenter || form.Position == poScreenCenter) {
            x = (GetSystemMetrics(SM_CXSCREEN) - form.Width()) / 2;
            y = (GetSystemMetrics(SM_CYSCREEN) - form.Height()) / 2;
        }
        hwnd_ = CreateWindowExA(0, cls, form.Caption.c_str(), style, x, y, form.Width(), form.Height(), nullptr,
                                nullptr, wc.hInstance, nullptr);
        // The client area the system gives the window decides where the controls stand.
        RECT client;
        GetClientRect(hwnd_, &client);
        form.SetClientSize(client.right - client.left, client.bottom - client.top);
        ShowWindow(hwnd_, SW_SHOWNORMAL);
        UpdateWindow(hwnd_);
    }

    void PaintControl(TControl& control) override {
        if (!hwnd_ || !form_) return;
        const TRect r = ControlRectInForm(control);
        RECT box{r.Left, r.Top, r.Right, r.Bottom};
        InvalidateRect(hwnd_, control.Parent() ? &box : nullptr, FALSE);
        UpdateWindow(hwnd_);
    }

    TModalResult ShowMessageBox(const std::string& caption, TMsgDlgType type, const std::string& text,
                                const TMsgDlgButtons& buttons, bool closeAtOnce) override {
        if (closeAtOnce) return mrCancel;
        const SIZE textSize = TextSize(text);
        constexpr int kButtonWidth = 75, kButtonHeight = 25, kGap = 8, kMargin = 12, kIcon = 32;
        const int buttonsWidth = static_cast<int>(buttons.size()) * (kButtonWidth + kGap) - kGap;
        const int width = std::max(kMargin * 2 + kIcon + kMargin + static_cast<int>(textSize.cx), kMargin * 2 + buttonsWidth);
        const int textHeight = std::max(static_cast<int>(textSize.cy), kIcon);
        const int height = kMargin + textHeight + kMargin + kButtonHeight + kMargin;
        HWND dialog = MakeDialog(hwnd_, caption, width, height);
        DialogState state;
        state.defaultButton = DefaultButton(buttons);
        state.cancelButton = CancelButton(buttons);
        SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
        if (LPCSTR icon = IconFor(type)) {
            HWND picture = AddControl(dialog, "STATIC", "", SS_ICON, kMargin, kMargin, kIcon, kIcon);
            SendMessageA(picture, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconA(nullptr, icon)), 0);
        }
        AddControl(dialog, "STATIC", text, SS_LEFT | SS_NOPREFIX, kMargin * 2 + kIcon, kMargin, static_cast<int>(textSize.cx),
                   textHeight);
        int x = (width - buttonsWidth) / 2;
        for (TMsgDlgBtn b : buttons) {
            const DWORD style = WS_TABSTOP | (b == state.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
            state.buttons.push_back({b, AddControl(dialog, "BUTTON", ButtonCaption(b), style, x,
                                                   height - kMargin - kButtonHeight, kButtonWidth, kButtonHeight)});
            x += kButtonWidth + kGap;
        }
        if (state.cancelButton == mbHelp) {
            // Without a cancel button the box has no close box either.
            EnableMenuItem(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
        }
        MessageBeep(type == mtError ? MB_ICONHAND : MB_OK);
        return RunDialog(hwnd_, dialog, state);
    }

    bool ShowInputBox(const std::string& caption, const std::string& prompt, std::string& value) override {
        constexpr int width = 300, height = 110;
        HWND dialog = MakeDialog(hwnd_, caption, width, height);
        DialogState state;
        state.defaultButton = mbOK;
        state.cancelButton = mbCancel;
        SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
        AddControl(dialog, "STATIC", prompt, SS_LEFT | SS_NOPREFIX, 8, 8, width - 16, 16);
        state.edit = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", value.c_str(),
                                     WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 8, 28, width - 16, 22, dialog,
                                     nullptr, GetModuleHandleA(nullptr), nullptr);
        SendMessageA(state.edit, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont()), TRUE);
        state.buttons.push_back({mbOK, AddControl(dialog, "BUTTON", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, width - 166, 72, 75, 25)});
        state.buttons.push_back({mbCancel, AddControl(dialog, "BUTTON", "Cancel", WS_TABSTOP, width - 83, 72, 75, 25)});
        std::string edited;
        const TModalResult result = RunDialog(hwnd_, dialog, state, &edited);
        if (result != mrOk) return false;
        value = edited;
        return true;
    }

    bool TakeCloseCommand() override {
        const bool asked = closeCommand_;
        closeCommand_ = false;
        return asked;
    }

    void PumpMessages() override { PumpThreadMessages(); }

    void Shutdown() override {
        if (hwnd_) DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        WindowFrontEnd* self = gWindow;
        switch (message) {
            case WM_CLOSE:
                // The window model decides: the close command goes through the form's close query.
                if (self) self->closeCommand_ = true;
                WakeMainThread();
                return 0;
            case WM_GETMINMAXINFO:
                if (self && self->form_) {
                    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
                    const TSizeConstraints& c = self->form_->Constraints;
                    if (c.MinWidth > 0) info->ptMinTrackSize.x = c.MinWidth;
                    if (c.MinHeight > 0) info->ptMinTrackSize.y = c.MinHeight;
                    if (c.MaxWidth > 0) info->ptMaxTrackSize.x = info->ptMaxSize.x = c.MaxWidth;
                    if (c.MaxHeight > 0) info->ptMaxTrackSize.y = info->ptMaxSize.y = c.MaxHeight;
                }
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case WM_PAINT: {
                PAINTSTRUCT ps;
                HDC dc = BeginPaint(hwnd, &ps);
                if (self && self->form_) {
                    // Painted off-screen first, so that the moving bar does not flicker.
                    const TRect area = self->form_->InnerRect();
                    HDC memory = CreateCompatibleDC(dc);
                    HBITMAP surface = CreateCompatibleBitmap(dc, std::max(area.Width(), 1), std::max(area.Height(), 1));
                    HGDIOBJ old = SelectObject(memory, surface);
                    PaintControlTree(
                        *self->form_,
                        [memory](std::int32_t x, std::int32_t y, const TRect& clip) -> std::unique_ptr<TCanvas> {
                            return std::make_unique<TGdiCanvas>(memory, x, y, clip);
                        },
                        area);
                    DrawLabels(memory, *self->form_);
                    BitBlt(dc, 0, 0, area.Width(), area.Height(), memory, 0, 0, SRCCOPY);
                    SelectObject(memory, old);
                    DeleteObject(surface);
                    DeleteDC(memory);
                }
                EndPaint(hwnd, &ps);
                return 0;
            }
            default:
                return DefWindowProcA(hwnd, message, wParam, lParam);
        }
    }

    TForm* form_ = nullptr;
    HWND hwnd_ = nullptr;
    bool closeCommand_ = false;
};

}  // namespace

std::string ConsoleText(const std::string& ansi) {
    return EscapeBytes(ansi, [](unsigned char byte) { return byte < 0x20 || byte == 0x7F; });
}

void WriteStandardOutput(const std::string& text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return;
    }
    // A program started without a console has no standard output: the text goes to
    // %TEMP%\mailbale-output.txt instead, where it can be read afterwards.
    const std::string file = GetTempPath() + "mailbale-output.txt";
    const HANDLE h = CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
}

void WriteStandardError(const std::string& text) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) {
        WriteStandardOutput(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string EnvironmentText(const char* name) {
    char buffer[32768];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

std::unique_ptr<TFrontEnd> CreateFrontEnd(const std::string& name) {
    const std::string chosen = name.empty() ? EnvironmentText("MAILBALE_UI") : name;
    if (chosen == "headless") return std::make_unique<Win32HeadlessFrontEnd>();
    return std::make_unique<WindowFrontEnd>();
}

std::uint32_t ColorToRGB(TColor color) {
    const std::uint32_t value = static_cast<std::uint32_t>(color);
    if (value & 0x80000000u) return GetSysColor(static_cast<int>(value & 0xFF));
    return value & 0xFFFFFF;
}

}  // namespace platform
