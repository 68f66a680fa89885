// The code pages of the emulated machine: ANSI Windows-1252, OEM 437 (or 850 with MAILBALE_OEM_CP=850).
#include "platform/CodePage.h"

#include <cstdlib>
#include <cstring>

#include "platform/posix/Host.h"

namespace platform {
namespace {

#include "platform/posix/CodePageTables.inc"

bool Oem850() {
    const char* cp = std::getenv("MAILBALE_OEM_CP");
    return cp && std::strcmp(cp, "850") == 0;
}

std::string Map(std::string_view text, const unsigned char* table) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return out;
}

}  // namespace

std::string AnsiToOem(std::string_view text) { return Map(text, Oem850() ? kAnsiToOem850 : kAnsiToOem437); }
std::string OemToAnsi(std::string_view text) { return Map(text, Oem850() ? kOem850ToAnsi : kOem437ToAnsi); }
std::string AnsiUpperCase(std::string_view text) { return Map(text, kAnsiUpper); }
std::string AnsiLowerCase(std::string_view text) { return Map(text, kAnsiLower); }

bool AnsiSameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (kAnsiUpper[static_cast<unsigned char>(a[i])] != kAnsiUpper[static_cast<unsigned char>(b[i])]) return false;
    }
    return true;
}

// Windows-1252 has no double-byte characters; the test stays a real call so that masks and names
// are handled the same way on a machine whose ANSI code page has them.
bool IsDBCSLeadByte(std::uint8_t) { return false; }

namespace host {

std::string UnicodeToUtf8(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t cp : text) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

namespace {

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// The ANSI byte of each code point of the Basic Multilingual Plane, '?' for those Windows-1252
// lacks (the lowest byte wins where two map to one code point), built once.
const unsigned char* UnicodeToAnsiTable() {
    static const unsigned char* table = [] {
        static unsigned char t[0x10000];
        for (unsigned char& b : t) b = '?';
        for (int b = 255; b >= 0; --b) t[kAnsiToUnicode[b]] = static_cast<unsigned char>(b);
        return t;
    }();
    return table;
}

}  // namespace

std::string AnsiToUtf8(std::string_view text) {
    // Names are mostly plain ASCII, which is the same in both.
    if (IsAscii(text)) return std::string(text);
    std::u32string wide;
    wide.reserve(text.size());
    for (char c : text) wide += static_cast<char32_t>(kAnsiToUnicode[static_cast<unsigned char>(c)]);
    return UnicodeToUtf8(wide);
}

std::string UnicodeToAnsi(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    const unsigned char* table = UnicodeToAnsiTable();
    for (char32_t cp : text) out += cp < 0x10000 ? static_cast<char>(table[cp]) : '?';
    return out;
}

// Strict decoding, as Windows decodes: the shortest form of a code point alone, no surrogates, nothing
// past U+10FFFF. Anything else is one U+FFFD for its first byte (a "?" in ANSI): an overlong form
// such as C0 AF must never reach the program as a "/" that leads into another folder.
std::u32string Utf8ToUnicode(std::string_view text) {
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t cp = c;
        char32_t least = 0;
        if (c < 0x80) {
            out += cp;
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; least = 0x80; }
        else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; least = 0x800; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; least = 0x10000; }
        bool ok = extra > 0 && i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const unsigned char n = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((n & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (n & 0x3F);
        }
        ok = ok && cp >= least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!ok) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        out += cp;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::string Utf8ToAnsi(std::string_view text) {
    if (IsAscii(text)) return std::string(text);
    return UnicodeToAnsi(Utf8ToUnicode(text));
}

}  // namespace host
}  // namespace platform
