// Compares the mask matcher with a plain recursive matcher on ASCII masks and texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archiver/ZipMasks.h"
#include "platform/Exception.h"

namespace {

char Up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// "*" any run, "?" one character except right after a "*" (where it is dropped), else the
// character itself without regard to ASCII case.
bool Reference(const char* text, const char* mask, bool afterStar) {
    if (*mask == '*') return Reference(text, mask + 1, true);
    if (*mask == '?' && afterStar) return Reference(text, mask + 1, true);
    if (afterStar) {
        for (const char* t = text;; ++t) {
            if (Reference(t, mask, false)) return true;
            if (!*t) return false;
        }
    }
    if (!*mask) return !*text;
    if (!*text) return false;
    if (*mask == '?' || Up(*mask) == Up(*text)) return Reference(text + 1, mask + 1, false);
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first zero byte splits mask from text; only printable ASCII takes part.
    std::string mask;
    std::string text;
    std::string* target = &mask;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == 0 && target == &mask) {
            target = &text;
            continue;
        }
        if (c >= 0x20 && c < 0x7F) *target += c;
    }
    int stars = 0;
    bool pending = false;
    for (std::size_t i = 0; i <= mask.size(); ++i) {
        if (i < mask.size() && mask[i] == '*') {
            pending = true;
        } else if (i < mask.size() && mask[i] == '?' && pending) {
        } else {
            stars += pending ? 1 : 0;
            pending = false;
        }
    }
    try {
        const bool got = Matches(text, mask);
        if (stars > 30 || got != Reference(text.c_str(), mask.c_str(), false)) std::abort();
    } catch (const Exception&) {
        if (stars <= 30) std::abort();
    }
    return 0;
}
