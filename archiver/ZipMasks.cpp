#include "archiver/ZipMasks.h"

#include <array>

#include "platform/CodePage.h"
#include "platform/Exception.h"
#include "platform/Format.h"

namespace {

std::uint8_t UpAscii(std::uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 32) : c; }

}  // namespace

TMask::TMask(const std::string& mask) {
    const int count = Compile(mask, nullptr);
    items_.reserve(static_cast<std::size_t>(count));
    Compile(mask, &items_);
}

int TMask::Compile(const std::string& mask, std::vector<TMaskItem>* items) {
    bool starPending = false;
    int count = 0;
    int stars = 0;
    auto emit = [&](TMaskItem item, std::size_t position) {
        item.AfterStar = starPending;
        if (items) {
            if (starPending && ++stars > kMaxStars) {
                throw Exception(Format("'%s' is an invalid mask at (%d)", mask.c_str(), static_cast<int>(position) + 1));
            }
            items->push_back(item);
        }
        starPending = false;
        ++count;
    };
    for (std::size_t i = 0; i < mask.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(mask[i]);
        if (c == '*') {
            starPending = true;
        } else if (c == '?') {
            if (!starPending) emit(TMaskItem{false, mkAnyChar, 0, 0}, i);
        } else if (platform::IsDBCSLeadByte(c) && i + 1 < mask.size()) {
            // A lead byte with its trail byte is one character. A lead byte that ends the mask has
            // no trail byte and is taken as a literal, so nothing past the mask is read.
            emit(TMaskItem{false, mkDoubleByte, c, static_cast<std::uint8_t>(mask[i + 1])}, i);
            ++i;
        } else {
            emit(TMaskItem{false, mkLiteral, UpAscii(c), 0}, i);
        }
    }
    emit(TMaskItem{false, mkLiteral, 0, 0}, mask.size());
    return count;
}

bool TMask::Accepts(const std::string& text) const {
    // The text with its terminating zero; a zero byte inside the text ends it, as it would a C string.
    const std::size_t length = text.find('\0') == std::string::npos ? text.size() : text.find('\0');
    const auto* t = reinterpret_cast<const std::uint8_t*>(text.c_str());
    struct Retry {
        std::size_t position;
        std::size_t item;
    };
    std::array<Retry, kMaxStars> stack{};
    int top = 0;
    auto matchesAt = [&](const TMaskItem& item, std::size_t p) {
        switch (item.Kind) {
            case mkLiteral: return UpAscii(t[p]) == item.Ch;
            case mkAnyChar: return p < length;
            case mkDoubleByte: return p + 1 < length && t[p] == item.Ch && t[p + 1] == item.Ch2;
        }
        return false;
    };
    auto tryFrom = [&](std::size_t p, std::size_t k) {
        for (; k < items_.size(); ++k) {
            const TMaskItem& item = items_[k];
            if (item.AfterStar) {
                // Search forward for the first place where the item matches.
                std::size_t q = p;
                if (item.Kind == mkDoubleByte) {
                    while (q < length && !(q + 1 < length && t[q] == item.Ch && t[q + 1] == item.Ch2)) {
                        q += (t[q] == item.Ch || !platform::IsDBCSLeadByte(t[q])) ? 1 : 2;
                    }
                } else if (item.Kind == mkLiteral) {
                    while (q < length && UpAscii(t[q]) != item.Ch) ++q;
                }
                p = std::min(q, length);
                if (p < length) {
                    // Once a later star has found its place, going back to an earlier star cannot
                    // succeed where this one fails (this star can take whatever the earlier one
                    // would give up), so only the latest retry point is kept. The answer is the
                    // same as with every point kept, and the time stays polynomial however many
                    // stars the mask has.
                    top = 0;
                    const std::size_t width = item.Kind == mkDoubleByte ? 2 : 1;
                    stack[static_cast<std::size_t>(top++)] = Retry{p + width, k};
                }
            }
            if (!matchesAt(item, p)) return false;
            if (item.Kind == mkLiteral && item.Ch == 0) return true;  // the end marker met the end
            p += item.Kind == mkDoubleByte ? 2 : 1;
        }
        return false;
    };
    std::size_t p = 0;
    std::size_t k = 0;
    for (;;) {
        if (tryFrom(p, k)) return true;
        if (top == 0) return false;
        const Retry r = stack[static_cast<std::size_t>(--top)];
        p = r.position;
        k = r.item;
    }
}

bool Matches(const std::string& name, const std::string& mask) { return TMask(mask).Accepts(name); }
