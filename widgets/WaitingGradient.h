#pragma once
// The waiting bar: a short colour band, fading from one colour to another, slides across the
// control, comes back with its colours mirrored, and so on while the control is active. A draw
// thread keeps time; every step and every repaint runs on the main thread.
#include <cstdint>
#include <memory>

#include "platform/Bitmap.h"
#include "platform/Forms.h"
#include "widgets/ImageDrawThread.h"

class TWaitingGradient : public TControl {
public:
    explicit TWaitingGradient(TComponent* owner);
    ~TWaitingGradient() override;

    // The draw thread has been started and is not paused.
    bool Active() const;
    // True resumes the animation (starting the thread the first time) and, with AlwaysRestart,
    // puts the band back at its start; false pauses it where it stands.
    void SetActive(bool value);
    bool AlwaysRestart = false;
    TColor EndColor() const { return endColor_; }
    void SetEndColor(TColor color);
    std::int32_t GradientWidth() const { return gradientWidth_; }
    // Values of 0 or less are ignored.
    void SetGradientWidth(std::int32_t value);
    std::uint32_t Interval() const { return drawThread_->TickInterval; }
    void SetInterval(std::uint32_t value) { drawThread_->TickInterval = value; }
    TColor StartColor() const { return startColor_; }
    void SetStartColor(TColor color);

    // One step of the animation (the draw thread's tick).
    void Advance();
    // Paints the band into the off-screen bitmap.
    void BuildGradient();
    // The band back out of sight on the left.
    void Restart();
    void Paint(TCanvas& canvas) override;

    // State, for the owner and for tests.
    std::int32_t BandLeft() const { return bandLeft_; }
    bool MovingRight() const { return movingRight_; }
    const TBitmap& GradientBitmap() const { return *gradientBitmap_; }
    TRect SourceRect() const { return sourceRect_; }
    TRect TargetRect() const { return targetRect_; }
    bool ThreadStarted() const { return !drawThread_->Suspended(); }
    // How many times the band has been painted into the bitmap.
    int Builds() const { return builds_; }

protected:
    void Resize() override;
    void Loaded() override;

private:
    bool movingRight_ = true;
    std::unique_ptr<TBitmap> gradientBitmap_;
    std::int32_t bandLeft_ = -50;
    std::int32_t gradientWidth_ = 50;
    TColor startColor_ = clBtnFace;
    TColor endColor_ = clBlack;
    TRect sourceRect_;
    TRect targetRect_;
    std::unique_ptr<TImageDrawThread> drawThread_;
    int builds_ = 0;
};
