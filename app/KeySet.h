#pragma once
// A set of 64-bit keys (hashes of names) in one flat table. The job keeps four keys a mail, and a
// folder may hold 100,000 mails: a standard set would spend a heap node of 32 bytes and more on
// each 8-byte key, and the time to make it.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class TKeySet {
public:
    // The 64-bit FNV-1a hash of a text: two different names share one with odds of about 1 in
    // 10^19 a pair, whatever the width of the program's own words.
    static std::uint64_t Hash(std::string_view text) {
        std::uint64_t h = 14695981039346656037ull;
        for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        return h;
    }

    bool Contains(std::uint64_t key) const {
        if (key == 0) return hasZero_;
        if (slots_.empty()) return false;
        for (std::size_t i = Home(key);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i] == key) return true;
            if (slots_[i] == 0) return false;
        }
    }

    void Insert(std::uint64_t key) {
        if (key == 0) {
            hasZero_ = true;
            return;
        }
        // At most half full, so that a probe meets an empty slot soon.
        if (2 * (count_ + 1) > slots_.size()) Grow();
        std::size_t i = Home(key);
        while (slots_[i] != 0) {
            if (slots_[i] == key) return;
            i = (i + 1) & (slots_.size() - 1);
        }
        slots_[i] = key;
        ++count_;
    }

    void Clear() {
        std::vector<std::uint64_t>().swap(slots_);
        count_ = 0;
        hasZero_ = false;
    }

private:
    // The key's first slot; the keys are hashes already, but their high bits are mixed in so that
    // keys alike in their low bits do not crowd together.
    std::size_t Home(std::uint64_t key) const {
        return static_cast<std::size_t>((key ^ (key >> 32)) * 0x9E3779B97F4A7C15ull >> 17) & (slots_.size() - 1);
    }

    void Grow() {
        std::vector<std::uint64_t> old(slots_.empty() ? 64 : 2 * slots_.size(), 0);
        old.swap(slots_);
        count_ = 0;
        for (const std::uint64_t key : old) {
            if (key != 0) Insert(key);
        }
    }

    std::vector<std::uint64_t> slots_;  // 0: empty (the key 0 is kept apart)
    std::size_t count_ = 0;
    bool hasZero_ = false;
};
