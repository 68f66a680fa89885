#pragma once
// printf-style formatting into a std::string. The archiver's message texts use the C conversions
// (%s, %d, %u with precision), so one formatter serves them all.
#include <string>

#if defined(__GNUC__)
#define MAILBALE_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define MAILBALE_PRINTF(a, b)
#endif

std::string Format(const char* format, ...) MAILBALE_PRINTF(1, 2);
