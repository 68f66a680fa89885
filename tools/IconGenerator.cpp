// Writes the program's icon: an envelope with a zipper, in six images (16, 32 and 48 pixels, each
// in 16 and in 256 colours), as a Windows .ico file. Usage: IconGenerator <output.ico>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Rgb {
    std::uint8_t r, g, b;
};

// The picture at any size: 0 transparent, else an index into the palette below.
int PixelOf(int x, int y, int size) {
    const double u = (x + 0.5) / size;
    const double v = (y + 0.5) / size;
    const double left = 0.06, right = 0.94, top = 0.2, bottom = 0.8;
    if (u < left || u > right || v < top || v > bottom) return 0;
    const double edge = 1.0 / size;
    if (u < left + edge || u > right - edge || v < top + edge || v > bottom - edge) return 1;  // outline
    // The flap: two lines from the top corners to the middle.
    const double mid = 0.5;
    const double flapY = top + (mid - top) * (1.0 - std::abs(u - 0.5) * 2.0) * 0.9;
    if (std::abs(v - flapY) < edge * 0.9 && v < 0.55) return 1;
    // The zipper: a band across the lower half with alternating teeth.
    if (v > 0.6 && v < 0.72) return ((x + y) % 2 == 0) ? 2 : 3;
    return 4;  // paper
}

const Rgb kPalette16[16] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0}, {0, 0, 128},   {128, 0, 128},
                            {0, 128, 128},   {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0}, {255, 255, 0},
                            {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
// Picture index to 16-colour index: outline black, zipper blue and yellow, paper white.
const int kTo16[5] = {0, 0, 4, 11, 15};

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// One image as a device-independent bitmap: header, palette, colour rows, mask rows, bottom-up.
std::vector<std::uint8_t> Image(int size, int bits) {
    const int colours = 1 << bits;
    std::vector<Rgb> palette(static_cast<std::size_t>(colours), Rgb{0, 0, 0});
    for (int i = 0; i < 16; ++i) palette[static_cast<std::size_t>(i)] = kPalette16[i];
    if (bits == 8) {
        // The 256-colour images shade the paper and the zipper more finely.
        for (int i = 16; i < 256; ++i) {
            palette[static_cast<std::size_t>(i)] = Rgb{static_cast<std::uint8_t>(255 - (i - 16) / 3),
                                                       static_cast<std::uint8_t>(255 - (i - 16) / 4),
                                                       static_cast<std::uint8_t>(255 - (i - 16) / 8)};
        }
    }
    std::vector<std::uint8_t> out;
    Put32(out, 40);
    Put32(out, static_cast<std::uint32_t>(size));
    Put32(out, static_cast<std::uint32_t>(size * 2));  // colour and mask together
    Put16(out, 1);
    Put16(out, static_cast<std::uint16_t>(bits));
    for (int i = 0; i < 6; ++i) Put32(out, 0);
    for (const Rgb& c : palette) {
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }
    const int rowBytes = ((size * bits + 31) / 32) * 4;
    for (int y = size - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(rowBytes), 0);
        for (int x = 0; x < size; ++x) {
            const int p = PixelOf(x, y, size);
            int index = kTo16[p];
            if (bits == 8 && p == 4) index = 16 + (y * 200 / size);  // paper shaded from the top
            if (bits == 4) row[static_cast<std::size_t>(x / 2)] |= static_cast<std::uint8_t>(index << ((x % 2) ? 0 : 4));
            else row[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(index);
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    const int maskBytes = ((size + 31) / 32) * 4;
    for (int y = size - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(maskBytes), 0);
        for (int x = 0; x < size; ++x) {
            if (PixelOf(x, y, size) == 0) row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    struct Entry {
        int size, bits;
        std::vector<std::uint8_t> data;
    };
    std::vector<Entry> entries;
    for (int bits : {4, 8}) {
        for (int size : {16, 32, 48}) entries.push_back({size, bits, Image(size, bits)});
    }
    std::vector<std::uint8_t> out;
    Put16(out, 0);
    Put16(out, 1);  // an icon
    Put16(out, static_cast<std::uint16_t>(entries.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(entries.size());
    for (const Entry& e : entries) {
        out.push_back(static_cast<std::uint8_t>(e.size));
        out.push_back(static_cast<std::uint8_t>(e.size));
        out.push_back(static_cast<std::uint8_t>(e.bits == 4 ? 16 : 0));
        out.push_back(0);
        Put16(out, 1);
        Put16(out, static_cast<std::uint16_t>(e.bits));
        Put32(out, static_cast<std::uint32_t>(e.data.size()));
        Put32(out, offset);
        offset += static_cast<std::uint32_t>(e.data.size());
    }
    for (const Entry& e : entries) out.insert(out.end(), e.data.begin(), e.data.end());
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) return 1;
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok ? 0 : 1;
}
