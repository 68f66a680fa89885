// The machine's code pages, through the Windows conversions themselves.
#include "platform/CodePage.h"

#include <vector>

#include "platform/win32/WindowsApi.h"

namespace platform {

std::string AnsiToOem(std::string_view text) {
    std::string out(text);
    if (!out.empty()) CharToOemBuffA(out.data(), out.data(), static_cast<DWORD>(out.size()));
    return out;
}

std::string OemToAnsi(std::string_view text) {
    std::string out(text);
    if (!out.empty()) OemToCharBuffA(out.data(), out.data(), static_cast<DWORD>(out.size()));
    return out;
}

std::string AnsiUpperCase(std::string_view text) {
    std::string out(text);
    if (!out.empty()) CharUpperBuffA(out.data(), static_cast<DWORD>(out.size()));
    return out;
}

std::string AnsiLowerCase(std::string_view text) {
    std::string out(text);
    if (!out.empty()) CharLowerBuffA(out.data(), static_cast<DWORD>(out.size()));
    return out;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AnsiUpperCase(a) == AnsiUpperCase(b);
}

bool IsDBCSLeadByte(std::uint8_t byte) { return ::IsDBCSLeadByte(byte) != 0; }

}  // namespace platform
