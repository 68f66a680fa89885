#include "platform/Render.h"

#include <algorithm>

namespace platform {
namespace {

TRect Intersect(const TRect& a, const TRect& b) {
    TRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right), std::min(a.Bottom, b.Bottom)};
    r.Right = std::max(r.Right, r.Left);
    r.Bottom = std::max(r.Bottom, r.Top);
    return r;
}

// The part of the form's client area where control may draw: its rectangle within every parent's.
TRect VisibleRect(const TControl& control) {
    TRect clip = ControlRectInForm(control);
    for (const TWinControl* p = control.Parent(); p && p->Parent(); p = p->Parent()) {
        const TRect parent = ControlRectInForm(*p);
        const TRect inner = p->InnerRect();
        clip = Intersect(clip, Rect(parent.Left + inner.Left, parent.Top + inner.Top, parent.Left + inner.Right,
                                    parent.Top + inner.Bottom));
    }
    return clip;
}

}  // namespace

TRect ControlRectInForm(const TControl& control) {
    std::int32_t x = 0;
    std::int32_t y = 0;
    for (const TControl* c = &control; c && c->Parent(); c = c->Parent()) {
        x += c->Left();
        y += c->Top();
    }
    return Rect(x, y, x + control.Width(), y + control.Height());
}

void PaintControlTree(TControl& control, const CanvasFactory& make, const TRect& area) {
    if (!control.Showing()) return;
    const TRect place = ControlRectInForm(control);
    const bool isForm = control.Parent() == nullptr;
    const std::unique_ptr<TCanvas> canvas =
        make(isForm ? 0 : place.Left, isForm ? 0 : place.Top, isForm ? area : Intersect(VisibleRect(control), area));
    control.Paint(*canvas);
    if (auto* parent = dynamic_cast<TWinControl*>(&control)) {
        for (TControl* child : parent->Controls()) PaintControlTree(*child, make, area);
    }
}

void PaintControlTree(TControl& control, TBitmap& target) {
    PaintControlTree(
        control,
        [&target](std::int32_t x, std::int32_t y, const TRect& clip) -> std::unique_ptr<TCanvas> {
            return std::make_unique<TOffsetCanvas>(target, x, y, clip);
        },
        Rect(0, 0, target.Width(), target.Height()));
}

void RenderForm(TForm& form, TBitmap& target) {
    const TRect inner = form.InnerRect();
    target.SetSize(inner.Width(), inner.Height());
    PaintControlTree(form, target);
}

}  // namespace platform
