#pragma once
// The machine's 8-bit code pages. Text inside the program is in the ANSI code page; stored ZIP
// names are in the OEM code page. These calls behave as the Windows conversions of the same name.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// ANSI to OEM, byte for byte (best fit, else "?"), like CharToOem.
std::string AnsiToOem(std::string_view text);
// OEM to ANSI, byte for byte (best fit, else "?"), like OemToChar.
std::string OemToAnsi(std::string_view text);
// Upper and lower case by the ANSI code page's rules (accented letters included), like CharUpper.
std::string AnsiUpperCase(std::string_view text);
std::string AnsiLowerCase(std::string_view text);
// Compares two ANSI strings without regard to case; true when they are equal.
bool AnsiSameText(std::string_view a, std::string_view b);
// Whether the byte begins a double-byte character in the ANSI code page.
bool IsDBCSLeadByte(std::uint8_t byte);

}  // namespace platform
