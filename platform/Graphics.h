#pragma once
// Colours and rectangles of the window model.
#include <cstdint>

// A colour: 0x00BBGGRR, or a system colour (0x80000000 + its index).
using TColor = std::int32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clActiveCaption = static_cast<TColor>(0x80000002u);
inline constexpr TColor clWindow = static_cast<TColor>(0x80000005u);
inline constexpr TColor clWindowText = static_cast<TColor>(0x80000008u);
inline constexpr TColor clBtnFace = static_cast<TColor>(0x8000000Fu);
inline constexpr TColor clBtnShadow = static_cast<TColor>(0x80000010u);
inline constexpr TColor clBtnHighlight = static_cast<TColor>(0x80000014u);

struct TRect {
    std::int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    std::int32_t Width() const { return Right - Left; }
    std::int32_t Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};

inline TRect Rect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
    return TRect{left, top, right, bottom};
}

namespace platform {
// The plain 0x00BBGGRR value of a colour, system colours resolved through the system palette.
std::uint32_t ColorToRGB(TColor color);
}  // namespace platform

class TBitmap;

// A drawing surface of a control or an off-screen bitmap.
class TCanvas {
public:
    virtual ~TCanvas() = default;
    // Fills rect (right and bottom excluded) with a colour; parts outside the surface are clipped.
    virtual void FillRect(const TRect& rect, TColor color) = 0;
    // Copies sourceRect of a bitmap onto dest (both the same size); clipped like FillRect.
    virtual void CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect) = 0;
};
