#include "platform/Bitmap.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>

void TBitmap::SetSize(std::int32_t width, std::int32_t height) {
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    pixels_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), 0xFFFFFF);
}

std::uint32_t TBitmap::Pixel(std::int32_t x, std::int32_t y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
}

void TBitmap::SetPixel(std::int32_t x, std::int32_t y, std::uint32_t rgb) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)] = rgb & 0xFFFFFF;
}

namespace {

TRect Intersect(const TRect& a, const TRect& b) {
    TRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right), std::min(a.Bottom, b.Bottom)};
    if (r.Right < r.Left) r.Right = r.Left;
    if (r.Bottom < r.Top) r.Bottom = r.Top;
    return r;
}

void Fill(TBitmap& target, const TRect& area, std::uint32_t rgb) {
    for (std::int32_t y = area.Top; y < area.Bottom; ++y) {
        for (std::int32_t x = area.Left; x < area.Right; ++x) target.SetPixel(x, y, rgb);
    }
}

// Copies source pixels so that sourceRect's corner lands on dest's corner, only inside clip.
void Copy(TBitmap& target, const TRect& dest, const TBitmap& source, const TRect& sourceRect, const TRect& clip) {
    const TRect area = Intersect(Intersect(dest, clip), Rect(0, 0, target.Width(), target.Height()));
    for (std::int32_t y = area.Top; y < area.Bottom; ++y) {
        for (std::int32_t x = area.Left; x < area.Right; ++x) {
            const std::int32_t sx = sourceRect.Left + (x - dest.Left);
            const std::int32_t sy = sourceRect.Top + (y - dest.Top);
            if (sx < sourceRect.Left || sx >= sourceRect.Right || sy < sourceRect.Top || sy >= sourceRect.Bottom) continue;
            if (sx < 0 || sy < 0 || sx >= source.Width() || sy >= source.Height()) continue;
            target.SetPixel(x, y, source.Pixel(sx, sy));
        }
    }
}

void PutBE32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void Chunk(std::vector<unsigned char>& png, const char* type, const std::vector<unsigned char>& data) {
    PutBE32(png, static_cast<std::uint32_t>(data.size()));
    std::vector<unsigned char> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    PutBE32(png, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

}  // namespace

void TBitmap::BitmapCanvas::FillRect(const TRect& rect, TColor color) {
    Fill(owner_, Intersect(rect, Rect(0, 0, owner_.Width(), owner_.Height())), platform::ColorToRGB(color));
}

void TBitmap::BitmapCanvas::CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect) {
    Copy(owner_, dest, source, sourceRect, Rect(0, 0, owner_.Width(), owner_.Height()));
}

TRect TOffsetCanvas::Place(const TRect& r) const {
    return Rect(r.Left + x_, r.Top + y_, r.Right + x_, r.Bottom + y_);
}

void TOffsetCanvas::FillRect(const TRect& rect, TColor color) {
    const TRect area = Intersect(Intersect(Place(rect), clip_), Rect(0, 0, target_.Width(), target_.Height()));
    Fill(target_, area, platform::ColorToRGB(color));
}

void TOffsetCanvas::CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect) {
    Copy(target_, Place(dest), source, sourceRect, clip_);
}

bool TBitmap::SavePng(const std::string& hostPath) const {
    std::vector<unsigned char> raw;
    raw.reserve(static_cast<std::size_t>(height_) * (static_cast<std::size_t>(width_) * 3 + 1));
    for (std::int32_t y = 0; y < height_; ++y) {
        raw.push_back(0);  // filter: none
        for (std::int32_t x = 0; x < width_; ++x) {
            const std::uint32_t p = Pixel(x, y);
            raw.push_back(static_cast<unsigned char>(p & 0xFF));
            raw.push_back(static_cast<unsigned char>((p >> 8) & 0xFF));
            raw.push_back(static_cast<unsigned char>((p >> 16) & 0xFF));
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) return false;
    packed.resize(packedSize);
    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<unsigned char> ihdr;
    PutBE32(ihdr, static_cast<std::uint32_t>(width_));
    PutBE32(ihdr, static_cast<std::uint32_t>(height_));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", packed);
    Chunk(png, "IEND", {});
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(hostPath.c_str(), "wb"), std::fclose);
    return file && std::fwrite(png.data(), 1, png.size(), file.get()) == png.size();
}
