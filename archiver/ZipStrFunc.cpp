#include "archiver/ZipStrFunc.h"

#include <zlib.h>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>

#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/Threads.h"

namespace zip {

std::string FolderPart(const std::string& path) {
    const std::size_t i = path.find_last_of("\\:");
    return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

std::string NamePart(const std::string& path) {
    const std::size_t i = path.find_last_of("\\:");
    return i == std::string::npos ? path : path.substr(i + 1);
}

std::string FullPath(const std::string& path) { return platform::ExpandFileName(path); }

std::string DrivePart(const std::string& path) {
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
        std::size_t server = path.find_first_of("\\/", 2);
        if (server == std::string::npos) return path;
        std::size_t share = path.find_first_of("\\/", server + 1);
        return share == std::string::npos ? path : path.substr(0, share);
    }
    return std::string();
}

namespace {

// The backslash-separated folders of a path below its drive part.
std::string StripDrive(const std::string& path) { return path.substr(DrivePart(path).size()); }

}  // namespace

std::string RelativePath(const std::string& base, const std::string& path) {
    if (!platform::AnsiSameText(DrivePart(base), DrivePart(path))) return path;
    const std::string b = ReplaceChar(StripDrive(base), '/', '\\');
    const std::string p = ReplaceChar(StripDrive(path), '/', '\\');
    // Compare whole folder names of base (up to its last backslash) with the start of path.
    std::size_t common = 0;  // length of the shared part, ending after a backslash
    std::size_t i = 0;
    const std::string baseUpper = platform::AnsiUpperCase(b);
    const std::string pathUpper = platform::AnsiUpperCase(p);
    while (i < b.size() && i < p.size() && baseUpper[i] == pathUpper[i]) {
        if (b[i] == '\\') common = i + 1;
        ++i;
    }
    std::string out;
    const std::string baseFolder = FolderPart(b);
    for (std::size_t k = common; k < baseFolder.size(); ++k) {
        if (baseFolder[k] == '\\') out += "..\\";
    }
    return out + p.substr(common);
}

std::string DirWithSlash(const std::string& a, const std::string& b) {
    std::string out = a.empty() ? b : a;
    if (out.empty() || out.back() != '\\') out += '\\';
    return out;
}

std::string LastPathPart(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p.back() == '\\') p.pop_back();
    return NamePart(p);
}

bool IsFloppyPath(const std::string& path) {
    const std::string drive = platform::AnsiUpperCase(DrivePart(path));
    return drive == "A:" || drive == "B:";
}

bool IsRemovablePath(const std::string& path) {
    if (IsFloppyPath(path)) return true;
    const std::string drive = DrivePart(path);
    return !drive.empty() && platform::GetDriveType(drive + "\\") == platform::DriveType::Removable;
}

std::string FileExtension(const std::string& path) {
    const std::size_t i = path.find_last_of(".\\:");
    if (i == std::string::npos || path[i] != '.') return std::string();
    return path.substr(i);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
    return path.substr(0, path.size() - FileExtension(path).size()) + ext;
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return text;
}

std::string ReplaceChar(std::string text, char from, char to) {
    for (char& c : text) {
        if (c == from) c = to;
    }
    return text;
}

bool RemoveFile(const std::string& path) {
    for (std::uint32_t attempt = 0; attempt < 4; ++attempt) {
        if (platform::DeleteFile(path) || !platform::FileExists(path)) return true;
        platform::Sleep(10u << attempt);
    }
    return false;
}

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// CRC-32 by carry-less multiplication: every byte packed is fed through the CRC twice (the source
// when it is read, the data when they are written) and every byte checked twice more (the bytes
// read back, the data inflated), and zlib's tables take a core a second for 2 GB. Folding 64 bytes
// at a time with PCLMULQDQ and reducing with Barrett's method takes a fraction of that. The
// constants are powers of x modulo the reflected polynomial: x^(4*128+32) and x^(4*128-32) for
// folding four lanes, x^(128+32) and x^(128-32) for one, x^64 for 128 to 64 bits, and the
// polynomial with its Barrett quotient.
#define MAILBALE_CLMUL_CRC 1

#define MAILBALE_CLMUL __attribute__((target("pclmul,sse4.1")))

MAILBALE_CLMUL inline __m128i Load16(const std::uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// x times the high and the low half of k, added to next.
MAILBALE_CLMUL inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

MAILBALE_CLMUL std::uint32_t ClmulCrc(std::uint32_t crc, const std::uint8_t* p,
                                                                std::int64_t length) {
    // length: a multiple of 16, at least 64. crc: the running register.
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
    const __m128i k5k0 = _mm_set_epi64x(0, 0x0163cd6124LL);
    const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);
    __m128i x1 = _mm_xor_si128(Load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load16(p + 16);
    __m128i x3 = Load16(p + 32);
    __m128i x4 = Load16(p + 48);
    p += 64;
    length -= 64;
    for (; length >= 64; p += 64, length -= 64) {
        x1 = Fold(x1, k1k2, Load16(p));
        x2 = Fold(x2, k1k2, Load16(p + 16));
        x3 = Fold(x3, k1k2, Load16(p + 32));
        x4 = Fold(x4, k1k2, Load16(p + 48));
    }
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    for (; length >= 16; p += 16, length -= 16) x1 = Fold(x1, k3k4, Load16(p));
    // 128 bits to 64.
    const __m128i mask32 = _mm_setr_epi32(-1, 0, -1, 0);
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5k0, 0x00), x2);
    // Barrett's reduction to 32 bits.
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask32), poly, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

bool HaveClmul() {
    // Asked first maybe before the processor's features were read in (a static's constructor):
    // read them now rather than keep a "no" for good.
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return have;
}
#endif


}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const void* buffer, std::int64_t length) {
    if (!buffer || length <= 0) return crc;
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    // Short runs (the cipher's single bytes) by the table; longer ones by zlib, which takes
    // several words at a time and wants the register inverted.
    constexpr std::int64_t kByTable = 64;
    if (length < kByTable) {
        for (std::int64_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kCrcTable[(crc ^ p[i]) & 0xFF];
        return crc;
    }
#ifdef MAILBALE_CLMUL_CRC
    if (HaveClmul()) {
        const std::int64_t folded = length & ~std::int64_t{15};
        crc = ClmulCrc(crc, p, folded);
        p += folded;
        length -= folded;
        for (std::int64_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kCrcTable[(crc ^ p[i]) & 0xFF];
        return crc;
    }
#endif
    constexpr std::int64_t kChunk = 1 << 30;  // zlib's length is 32 bits on 32-bit systems
    for (std::int64_t done = 0; done < length; done += kChunk) {
        const std::int64_t n = std::min(kChunk, length - done);
        crc = ~static_cast<std::uint32_t>(crc32_z(~crc, p + done, static_cast<z_size_t>(n)));
    }
    return crc;
}

std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::int64_t secondLength) {
    if (secondLength <= 0) return first;
    // zlib's length is a long, 32 bits on Windows. Combining shifts the first CRC by the second
    // run's length and adds the second; a longer shift is taken in steps, adding 0.
    constexpr std::int64_t kStep = 1 << 30;
    while (secondLength > kStep) {
        first = static_cast<std::uint32_t>(crc32_combine(first, 0, static_cast<z_off_t>(kStep)));
        secondLength -= kStep;
    }
    return static_cast<std::uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

}  // namespace zip
