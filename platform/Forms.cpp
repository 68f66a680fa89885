#include "platform/Forms.h"

#include <algorithm>
#include <thread>

#include "platform/Dialogs.h"
#include "platform/Threads.h"

TApplication Application;

// ---- TComponent ----

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_) owner_->owned_.push_back(this);
}

TComponent::~TComponent() {
    destroying_ = true;
    DestroyComponents();
    if (owner_) {
        auto& list = owner_->owned_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
}

void TComponent::DestroyComponents() {
    while (!owned_.empty()) {
        TComponent* last = owned_.back();
        delete last;  // its destructor removes it from owned_
    }
}

void TComponent::BeginLoading() {
    loading_ = true;
    for (TComponent* c : owned_) c->loading_ = true;
}

void TComponent::EndLoading() {
    for (TComponent* c : owned_) c->loading_ = false;
    loading_ = false;
    for (TComponent* c : owned_) c->Loaded();
    Loaded();
}

// ---- TControl ----

TControl::TControl(TComponent* owner) : TComponent(owner) {}

TControl::~TControl() {
    SetParent(nullptr);
    Application.ForgetControl(this);
}

void TControl::SetParent(TWinControl* parent) {
    if (parent_ == parent) return;
    if (parent_) {
        auto& list = parent_->controls_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    parent_ = parent;
    if (parent_) {
        parent_->controls_.push_back(this);
        parent_->Realign();
    }
}

void TControl::SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) {
    const bool resized = width != width_ || height != height_;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    if (resized) Resize();
    Invalidate();
}

void TControl::SetAlign(TAlign align) {
    align_ = align;
    if (parent_) parent_->Realign();
}

void TControl::SetVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    if (parent_) parent_->Realign();
    Invalidate();
}

TColor TControl::EffectiveColor() const {
    if (ParentColor && parent_) return parent_->EffectiveColor();
    return Color;
}

bool TControl::Showing() const {
    for (const TControl* c = this; c; c = c->parent_) {
        if (!c->visible_) return false;
    }
    return true;
}

void TControl::Invalidate() {
    if (!Loading() && !Destroying()) Application.RequestRepaint(this);
}

void TControl::Repaint() {
    if (Loading() || Destroying() || !Showing()) return;
    Application.FrontEnd().PaintControl(*this);
}

void TControl::Paint(TCanvas& canvas) { canvas.FillRect(ClientRect(), EffectiveColor()); }

// ---- TWinControl ----

TWinControl::~TWinControl() {
    for (TControl* child : controls_) child->parent_ = nullptr;
    controls_.clear();
}

void TWinControl::SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) {
    TControl::SetBounds(left, top, width, height);
    Realign();
}

void TWinControl::Realign() {
    TRect area = InnerRect();
    for (TControl* c : controls_) {
        if (!c->Visible() && c->Align() != alClient) continue;
        switch (c->Align()) {
            case alTop:
                c->SetBounds(area.Left, area.Top, area.Width(), c->Height());
                area.Top += c->Height();
                break;
            case alBottom:
                c->SetBounds(area.Left, area.Bottom - c->Height(), area.Width(), c->Height());
                area.Bottom -= c->Height();
                break;
            case alLeft:
                c->SetBounds(area.Left, area.Top, c->Width(), area.Height());
                area.Left += c->Width();
                break;
            case alRight:
                c->SetBounds(area.Right - c->Width(), area.Top, c->Width(), area.Height());
                area.Right -= c->Width();
                break;
            case alClient:
                c->SetBounds(area.Left, area.Top, area.Width(), area.Height());
                break;
            case alNone:
                break;
        }
    }
}

TRect TPanel::InnerRect() const {
    const std::int32_t b = BevelOuter == bvNone ? 0 : BevelWidth;
    return Rect(b, b, Width() - b, Height() - b);
}

void TPanel::Paint(TCanvas& canvas) {
    canvas.FillRect(ClientRect(), EffectiveColor());
    if (BevelOuter == bvNone || BevelOuter == bvSpace) return;
    const TColor topLeft = BevelOuter == bvLowered ? clBtnShadow : clBtnHighlight;
    const TColor bottomRight = BevelOuter == bvLowered ? clBtnHighlight : clBtnShadow;
    for (std::int32_t i = 0; i < BevelWidth; ++i) {
        canvas.FillRect(Rect(i, i, Width() - i, i + 1), topLeft);
        canvas.FillRect(Rect(i, i, i + 1, Height() - i), topLeft);
        canvas.FillRect(Rect(i, Height() - i - 1, Width() - i, Height() - i), bottomRight);
        canvas.FillRect(Rect(Width() - i - 1, i, Width() - i, Height() - i), bottomRight);
    }
}

// ---- TTimer ----

TTimer::TTimer(TComponent* owner) : TComponent(owner) { Application.RegisterTimer(this); }

TTimer::~TTimer() { Application.UnregisterTimer(this); }

void TTimer::SetInterval(std::uint32_t interval) {
    interval_ = interval;
    due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_);
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled && !enabled_) due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_);
    enabled_ = enabled;
}

void TTimer::CheckDue(std::chrono::steady_clock::time_point now) {
    if (!enabled_ || Loading() || interval_ == 0 || now < due_) return;
    due_ = now + std::chrono::milliseconds(interval_);
    if (OnTimer) OnTimer(this);
}

// ---- TForm ----

// The border of an ordinary resizable window at 96 dpi: the client area is what the outer size
// leaves inside the frame and the caption.
namespace {
constexpr std::int32_t kFrameX = 4;
constexpr std::int32_t kFrameBottom = 4;
constexpr std::int32_t kCaptionTop = 4 + 19;
}  // namespace

TForm::TForm(TComponent* owner) : TWinControl(owner) { SetVisible(false); }

void TForm::Close() {
    bool canClose = true;
    if (OnCloseQuery) OnCloseQuery(this, canClose);
    if (!canClose) return;
    SetVisible(false);
    if (Application.MainForm() == this) Application.Terminate();
}

void TForm::DoCreate() {
    if (OnCreate) OnCreate(this);
}

void TForm::ConstrainSize(std::int32_t& width, std::int32_t& height) const {
    if (Constraints.MinWidth > 0) width = std::max(width, Constraints.MinWidth);
    if (Constraints.MaxWidth > 0) width = std::min(width, Constraints.MaxWidth);
    if (Constraints.MinHeight > 0) height = std::max(height, Constraints.MinHeight);
    if (Constraints.MaxHeight > 0) height = std::min(height, Constraints.MaxHeight);
}

void TForm::SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) {
    ConstrainSize(width, height);
    TWinControl::SetBounds(left, top, width, height);
}

TRect TForm::InnerRect() const {
    if (clientWidth_ >= 0) return Rect(0, 0, clientWidth_, clientHeight_);
    return Rect(0, 0, Width() - 2 * kFrameX, Height() - kCaptionTop - kFrameBottom);
}

void TForm::SetClientSize(std::int32_t width, std::int32_t height) {
    clientWidth_ = width;
    clientHeight_ = height;
    Realign();
}

// ---- TApplication ----

TApplication::TApplication() = default;

TApplication::~TApplication() {
    // Forms still alive at exit go with the process; their components may refer to the front end.
    DestroyForms();
}

void TApplication::Initialize() {
    platform::SetMainThread();
    if (!frontEnd_) frontEnd_ = platform::CreateFrontEnd("");
}

TFrontEnd& TApplication::FrontEnd() {
    if (!frontEnd_) frontEnd_ = platform::CreateFrontEnd("");
    return *frontEnd_;
}

void TApplication::AdoptForm(std::unique_ptr<TForm> form) {
    TForm* raw = form.get();
    forms_.push_back(std::move(form));
    if (!mainForm_) mainForm_ = raw;
    raw->DoCreate();
}

void TApplication::Run() {
    if (mainForm_ && !terminated_) {
        mainForm_->SetVisible(true);
        FrontEnd().ShowForm(*mainForm_);
    }
    while (!terminated_) HandleMessages(true);
    FrontEnd().Shutdown();
}

void TApplication::ProcessMessages() { HandleMessages(false); }

void TApplication::HandleMessages(bool wait) {
    FrontEnd().PumpMessages();
    platform::RunSynchronizedCalls();
    if (mainForm_ && FrontEnd().TakeCloseCommand()) mainForm_->Close();
    const auto now = std::chrono::steady_clock::now();
    // Once a quit is asked for, no timer fires: the answer to the close question takes longer than
    // a tick, and a tick due meanwhile would start the very work the user just abandoned.
    // A timer handler may enable or destroy timers: walk a copy and skip the ones gone meanwhile.
    const std::vector<TTimer*> timers = timers_;
    for (TTimer* t : timers) {
        if (terminated_) break;
        if (std::find(timers_.begin(), timers_.end(), t) != timers_.end()) t->CheckDue(now);
    }
    std::vector<TControl*> repaints;
    repaints.swap(repaints_);
    for (TControl* c : repaints) c->Repaint();
    if (!wait || terminated_) return;
    auto next = now + std::chrono::milliseconds(50);
    for (TTimer* t : timers_) {
        if (t->Enabled()) next = std::min(next, t->Due());
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
    platform::WaitForMainThreadWork(static_cast<std::uint32_t>(std::max<long long>(0, ms.count())));
}

void TApplication::Terminate() {
    terminated_ = true;
    platform::WakeMainThread();
}

void TApplication::RegisterTimer(TTimer* timer) { timers_.push_back(timer); }

void TApplication::UnregisterTimer(TTimer* timer) {
    timers_.erase(std::remove(timers_.begin(), timers_.end(), timer), timers_.end());
}

void TApplication::RequestRepaint(TControl* control) {
    if (std::find(repaints_.begin(), repaints_.end(), control) == repaints_.end()) repaints_.push_back(control);
}

void TApplication::ForgetControl(TControl* control) {
    repaints_.erase(std::remove(repaints_.begin(), repaints_.end(), control), repaints_.end());
}

void TApplication::DestroyForms() {
    while (!forms_.empty()) forms_.pop_back();
    mainForm_ = nullptr;
}
