#pragma once
// Software rendering of the window model: a form and its controls painted into a bitmap, each
// control at its place and clipped to its parent. The Linux front ends and the tests use it.
#include <functional>
#include <memory>

#include "platform/Bitmap.h"
#include "platform/Forms.h"

namespace platform {

// Makes the canvas a control paints on: its origin in the form's client area and the part of
// that area it may draw in.
using CanvasFactory = std::function<std::unique_ptr<TCanvas>(std::int32_t originX, std::int32_t originY, const TRect& clip)>;
// Paints control (when showing) and its children, each on a canvas of make, within area (the
// form's client area).
void PaintControlTree(TControl& control, const CanvasFactory& make, const TRect& area);

// The control's rectangle in the client area of its form.
TRect ControlRectInForm(const TControl& control);
// Paints control (when showing) and its children into target, which holds the form's client area.
void PaintControlTree(TControl& control, TBitmap& target);
// Sizes target to the form's client area and paints the whole form into it.
void RenderForm(TForm& form, TBitmap& target);

}  // namespace platform
