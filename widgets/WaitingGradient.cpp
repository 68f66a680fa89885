#include "widgets/WaitingGradient.h"

#include <cmath>

TWaitingGradient::TWaitingGradient(TComponent* owner) : TControl(owner), gradientBitmap_(std::make_unique<TBitmap>()) {
    Color = clWindow;
    startColor_ = clBtnFace;
    endColor_ = clBlack;
    gradientWidth_ = 50;
    bandLeft_ = -50;
    sourceRect_ = targetRect_ = Rect(0, 0, 50, Height());
    movingRight_ = true;
    drawThread_ = std::make_unique<TImageDrawThread>(true);
    drawThread_->TickInterval = 50;
    drawThread_->OnTick = [this] { Advance(); };
    SetBounds(Left(), Top(), 100, 10);
}

TWaitingGradient::~TWaitingGradient() {
    MarkDestroying();
    drawThread_->OnTick = nullptr;
    drawThread_->Terminate();
    drawThread_.reset();
    gradientBitmap_.reset();
}

bool TWaitingGradient::Active() const { return drawThread_ && !drawThread_->Suspended() && !drawThread_->IsPaused(); }

void TWaitingGradient::SetActive(bool value) {
    if (!drawThread_) return;
    if (value) {
        drawThread_->SetPaused(false);
        if (AlwaysRestart) Restart();
    } else {
        drawThread_->SetPaused(true);
    }
}

void TWaitingGradient::SetEndColor(TColor color) {
    if (color == endColor_) return;
    endColor_ = color;
    BuildGradient();
}

void TWaitingGradient::SetStartColor(TColor color) {
    if (color == startColor_) return;
    startColor_ = color;
    BuildGradient();
}

void TWaitingGradient::SetGradientWidth(std::int32_t value) {
    if (value <= 0) return;
    gradientWidth_ = value;
    bandLeft_ = -value;
    sourceRect_ = targetRect_ = Rect(0, 0, value, Height());
    BuildGradient();
}

void TWaitingGradient::Restart() {
    bandLeft_ = -gradientWidth_;
    BuildGradient();
}

void TWaitingGradient::Advance() {
    if (Destroying()) return;
    if (movingRight_) {
        if (bandLeft_ + gradientWidth_ < Width()) {
            bandLeft_ += 2;
        } else {
            movingRight_ = false;
            BuildGradient();
            bandLeft_ = Width();
        }
    } else {
        if (bandLeft_ > 0) {
            bandLeft_ -= 2;
        } else {
            movingRight_ = true;
            BuildGradient();
            bandLeft_ = -gradientWidth_;
        }
    }
    targetRect_.Left = bandLeft_;
    targetRect_.Right = bandLeft_ + gradientWidth_;
    Repaint();
}

void TWaitingGradient::BuildGradient() {
    if (!gradientBitmap_ || Loading() || (Owner() && Owner()->Loading())) return;
    const std::uint32_t from = platform::ColorToRGB(movingRight_ ? startColor_ : endColor_);
    const std::uint32_t to = platform::ColorToRGB(movingRight_ ? endColor_ : startColor_);
    ++builds_;
    gradientBitmap_->SetSize(gradientWidth_, Height());
    const std::int32_t n = std::min(gradientWidth_, Width());
    if (n < 1) return;
    int fromChannel[3];
    float step[3];
    for (int c = 0; c < 3; ++c) {
        fromChannel[c] = static_cast<int>((from >> (8 * c)) & 0xFF);
        const int toChannel = static_cast<int>((to >> (8 * c)) & 0xFF);
        step[c] = static_cast<float>(toChannel - fromChannel[c]) / static_cast<float>(n);
    }
    const double stripe = static_cast<double>(gradientWidth_) / n;
    // Round to the nearest integer, halves to the even neighbour (the default rounding mode).
    for (std::int32_t i = 0; i <= n; ++i) {
        std::uint32_t rgb = 0;
        for (int c = 0; c < 3; ++c) {
            const double v = std::nearbyint(fromChannel[c] + i * static_cast<double>(step[c]));
            rgb |= static_cast<std::uint32_t>(std::clamp(v, 0.0, 255.0)) << (8 * c);
        }
        const auto left = static_cast<std::int32_t>(std::nearbyint(i * stripe));
        const auto right = static_cast<std::int32_t>(std::nearbyint((i + 1) * stripe));
        gradientBitmap_->Canvas().FillRect(Rect(left, 0, right, Height()), static_cast<TColor>(rgb));
    }
}

void TWaitingGradient::Paint(TCanvas& canvas) {
    const TColor color = EffectiveColor();
    if (bandLeft_ > 0) canvas.FillRect(Rect(0, 0, bandLeft_, Height()), color);
    if (gradientBitmap_) {
        canvas.FillRect(Rect(bandLeft_ + gradientBitmap_->Width(), 0, Width(), Height()), color);
        canvas.CopyRect(targetRect_, *gradientBitmap_, sourceRect_);
    }
}

void TWaitingGradient::Resize() {
    sourceRect_ = targetRect_ = Rect(0, 0, gradientWidth_, Height());
    BuildGradient();
}

void TWaitingGradient::Loaded() {
    BuildGradient();
    if (Active()) drawThread_->SetPaused(false);
}
