#pragma once
// Software rendering of the window model: a form and its controls painted into a bitmap, each
// control at its place and clipped to its parent. The Linux front ends and the tests use it.
#include "platform/Bitmap.h"
#include "platform/Forms.h"

namespace platform {

// The control's rectangle in the client area of its form.
TRect ControlRectInForm(const TControl& control);
// Paints control (when showing) and its children into target, which holds the form's client area.
void PaintControlTree(TControl& control, TBitmap& target);
// Sizes target to the form's client area and paints the whole form into it.
void RenderForm(TForm& form, TBitmap& target);

}  // namespace platform
