#pragma once
// The window model: components with an owner and a name, controls with their layout values, a form,
// a timer, and the application object with its message loop. The model knows nothing of how it is
// presented; a front end (console, headless, or the real window) shows it and feeds it the user's
// commands.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Graphics.h"

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* sender)>;

// A component: owned by another component, which frees it (latest first) when it goes.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    std::string Name;
    std::intptr_t Tag = 0;
    TComponent* Owner() const { return owner_; }
    // True while the owner's layout values are being applied.
    bool Loading() const { return loading_; }
    bool Destroying() const { return destroying_; }
    // Marks the start and the end of applying layout values; the end calls Loaded on every owned
    // component, then on this one.
    void BeginLoading();
    void EndLoading();

protected:
    virtual void Loaded() {}
    // Destroys the owned components now, latest first. A derived destructor calls it when its
    // components must go while its own members are still alive.
    void DestroyComponents();
    void MarkDestroying() { destroying_ = true; }

private:
    TComponent* owner_;
    std::vector<TComponent*> owned_;
    bool loading_ = false;
    bool destroying_ = false;
};

class TCanvas;
class TWinControl;

enum TAlign : std::uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };

struct TFont {
    std::string Name = "MS Sans Serif";
    std::int32_t Height = -11;
    TColor Color = clWindowText;
    bool Bold = false;
};

// A control: a rectangle in its parent with layout values, painted on request.
class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    TWinControl* Parent() const { return parent_; }
    void SetParent(TWinControl* parent);

    std::int32_t Left() const { return left_; }
    std::int32_t Top() const { return top_; }
    std::int32_t Width() const { return width_; }
    std::int32_t Height() const { return height_; }
    void SetLeft(std::int32_t v) { SetBounds(v, top_, width_, height_); }
    void SetTop(std::int32_t v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(std::int32_t v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(std::int32_t v) { SetBounds(left_, top_, width_, v); }
    virtual void SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height);
    TRect ClientRect() const { return Rect(0, 0, width_, height_); }

    TAlign Align() const { return align_; }
    void SetAlign(TAlign align);
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    TColor Color = clBtnFace;
    bool ParentColor = true;
    // The colour actually used: the parent's when ParentColor is set.
    TColor EffectiveColor() const;
    // Visible, and every parent visible.
    bool Showing() const;

    // Asks the front end to repaint the control when it next processes messages.
    void Invalidate();
    // Repaints the control at once.
    void Repaint();
    // Draws the control; the front end calls it with a canvas of the control's size.
    virtual void Paint(TCanvas& canvas);

protected:
    virtual void Resize() {}

private:
    friend class TWinControl;
    TWinControl* parent_ = nullptr;
    std::int32_t left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    TAlign align_ = alNone;
    bool visible_ = true;
};

// A control that holds other controls and lays out the aligned ones.
class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* owner) : TControl(owner) {}
    // Children outlive their parent when another component owns them: they are let go first.
    ~TWinControl() override;
    const std::vector<TControl*>& Controls() const { return controls_; }
    // The area inside the control's frame, in its own coordinates.
    virtual TRect InnerRect() const { return ClientRect(); }
    void SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) override;
    void Realign();

private:
    friend class TControl;
    std::vector<TControl*> controls_;
};

enum TAlignment : std::uint8_t { taLeftJustify, taRightJustify, taCenter };
enum TTextLayout : std::uint8_t { tlTop, tlCenter, tlBottom };
enum TBevelCut : std::uint8_t { bvNone, bvLowered, bvRaised, bvSpace };

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* owner) : TControl(owner) {}
    std::string Caption;
    TAlignment Alignment = taLeftJustify;
    TTextLayout Layout = tlTop;
    bool AutoSize = true;
    TFont Font;
    bool ParentFont = true;
};

class TPanel : public TWinControl {
public:
    explicit TPanel(TComponent* owner) : TWinControl(owner) {}
    TBevelCut BevelOuter = bvRaised;
    std::int32_t BevelWidth = 1;
    std::string Caption;
    std::int32_t TabOrder = 0;
    TRect InnerRect() const override;
    // The panel's colour with its bevel: a lowered bevel is shadowed at the top and left.
    void Paint(TCanvas& canvas) override;
};

// A timer that fires OnTimer every Interval milliseconds while enabled, from the message loop.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;
    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t interval);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    TNotifyEvent OnTimer;

    // Fires the timer when it is due; the application calls it.
    void CheckDue(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::time_point Due() const { return due_; }

private:
    std::uint32_t interval_ = 1000;
    bool enabled_ = true;
    std::chrono::steady_clock::time_point due_{};
};

enum TBorderIcon : std::uint8_t { biSystemMenu = 1, biMinimize = 2, biMaximize = 4, biHelp = 8 };
enum TPosition : std::uint8_t { poDesigned, poDefault, poScreenCenter, poDesktopCenter };

struct TSizeConstraints {
    std::int32_t MinWidth = 0, MaxWidth = 0, MinHeight = 0, MaxHeight = 0;
};

using TCloseQueryEvent = std::function<void(TObject* sender, bool& canClose)>;

class TForm : public TWinControl {
public:
    explicit TForm(TComponent* owner);
    std::string Caption;
    TSizeConstraints Constraints;
    std::uint8_t BorderIcons = biSystemMenu | biMinimize | biMaximize;
    TPosition Position = poDesigned;
    TFont Font;
    TNotifyEvent OnCreate;
    TCloseQueryEvent OnCloseQuery;

    // Asks OnCloseQuery; when the form may close it is hidden, and closing the main form asks the
    // application to quit.
    void Close();
    // Runs OnCreate; the application calls it once the whole form is built.
    void DoCreate();
    // The size a front end may give the form: the constraints applied to the wanted size.
    void ConstrainSize(std::int32_t& width, std::int32_t& height) const;
    void SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) override;
    // The client area: what the front end's window gives, else what a standard frame leaves.
    TRect InnerRect() const override;
    // The front end reports the client size its real window has.
    void SetClientSize(std::int32_t width, std::int32_t height);

private:
    std::int32_t clientWidth_ = -1;
    std::int32_t clientHeight_ = -1;
};

// What a front end does for the application: show forms, paint controls, ask the user.
class TFrontEnd;

enum TModalResult : std::int32_t {
    mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4, mrIgnore = 5, mrYes = 6, mrNo = 7,
    mrAll = 8, mrNoToAll = 9, mrYesToAll = 10,
};

class TApplication {
public:
    TApplication();
    ~TApplication();

    // Chooses the front end and marks this thread as the main thread.
    void Initialize();
    std::string Title;
    TForm* MainForm() const { return mainForm_; }

    // Builds a form (its constructor applies the layout), makes the first one the main form, then
    // runs its OnCreate.
    template <class T>
    T* CreateForm() {
        auto form = std::make_unique<T>(nullptr);
        T* raw = form.get();
        AdoptForm(std::move(form));
        return raw;
    }
    // Shows the main form and runs the message loop until a quit is asked for.
    void Run();
    // Handles every message waiting now: handed-over calls, the close command, due timers, repaints.
    void ProcessMessages();
    // Asks the message loop to end; every modal box from now on closes at once with mrCancel.
    void Terminate();
    bool Terminated() const { return terminated_; }
    // Forgets a quit request, for a host that runs several sessions in one process (the tests).
    void ClearTerminate() { terminated_ = false; }

    TFrontEnd& FrontEnd();
    void RegisterTimer(TTimer* timer);
    void UnregisterTimer(TTimer* timer);
    void RequestRepaint(TControl* control);
    void ForgetControl(TControl* control);
    // Destroys every form now (the message loop calls it when it ends).
    void DestroyForms();

private:
    void AdoptForm(std::unique_ptr<TForm> form);
    void HandleMessages(bool wait);

    std::vector<std::unique_ptr<TForm>> forms_;
    TForm* mainForm_ = nullptr;
    std::vector<TTimer*> timers_;
    std::vector<TControl*> repaints_;
    std::unique_ptr<TFrontEnd> frontEnd_;
    bool terminated_ = false;
};

// The one application object of the process.
extern TApplication Application;
