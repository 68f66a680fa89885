#pragma once
// An off-screen bitmap of RGB pixels with a canvas that draws into it. It serves as the software
// drawing surface of the Linux front ends and of the tests, which read it pixel by pixel or save it
// as a PNG file.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Graphics.h"

class TBitmap {
public:
    TBitmap() = default;
    TBitmap(std::int32_t width, std::int32_t height) { SetSize(width, height); }

    void SetSize(std::int32_t width, std::int32_t height);
    std::int32_t Width() const { return width_; }
    std::int32_t Height() const { return height_; }
    // The 0x00BBGGRR value of a pixel; 0 outside the bitmap.
    std::uint32_t Pixel(std::int32_t x, std::int32_t y) const;
    void SetPixel(std::int32_t x, std::int32_t y, std::uint32_t rgb);
    // A canvas drawing into this bitmap.
    TCanvas& Canvas() { return canvas_; }
    // Writes the bitmap as a PNG file (host path); false when the file cannot be written.
    bool SavePng(const std::string& hostPath) const;

private:
    class BitmapCanvas : public TCanvas {
    public:
        explicit BitmapCanvas(TBitmap& owner) : owner_(owner) {}
        void FillRect(const TRect& rect, TColor color) override;
        void CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect) override;

    private:
        TBitmap& owner_;
    };

    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::vector<std::uint32_t> pixels_;
    BitmapCanvas canvas_{*this};
};

// A canvas onto a part of a bitmap: coordinates are moved by an origin and clipped to a rectangle,
// as a control's drawing is clipped to its place on the window.
class TOffsetCanvas : public TCanvas {
public:
    TOffsetCanvas(TBitmap& target, std::int32_t originX, std::int32_t originY, const TRect& clip)
        : target_(target), x_(originX), y_(originY), clip_(clip) {}
    void FillRect(const TRect& rect, TColor color) override;
    void CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect) override;

private:
    TRect Place(const TRect& r) const;
    TBitmap& target_;
    std::int32_t x_, y_;
    TRect clip_;
};
