// Compares the mask matcher with a plain recursive matcher on ASCII masks and texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archiver/ZipMasks.h"
#include "platform/Exception.h"

namespace {

char Up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// "*" any run, "?" one character except right after a "*" (where it is dropped), else the
// character itself without regard to ASCII case. A table over (text position, mask position) keeps
// it polynomial.
bool Reference(const std::string& text, const std::string& rawMask) {
    std::string mask;  // with the dropped "?" removed and runs of "*" made one
    bool star = false;
    for (char c : rawMask) {
        if (c == '*') {
            if (!star) mask += '*';
            star = true;
        } else if (c == '?' && star) {
        } else {
            mask += c;
            star = false;
        }
    }
    const std::size_t n = text.size();
    const std::size_t m = mask.size();
    std::vector<std::vector<char>> ok(n + 2, std::vector<char>(m + 2, 0));
    ok[n][m] = 1;
    for (std::size_t j = m; j-- > 0;) {
        for (std::size_t i = n + 1; i-- > 0;) {
            if (mask[j] == '*') ok[i][j] = ok[i][j + 1] || (i < n && ok[i + 1][j]);
            else if (i < n && (mask[j] == '?' || Up(mask[j]) == Up(text[i]))) ok[i][j] = ok[i + 1][j + 1];
        }
    }
    return ok[0][0] != 0;
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
        if (stars > 30 || got != Reference(text, mask)) std::abort();
    } catch (const Exception&) {
        if (stars <= 30) std::abort();
    }
    return 0;
}
