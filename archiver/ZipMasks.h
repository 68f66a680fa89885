#pragma once
// Wildcard masks: "*" for any run of characters, "?" for one, every other byte for itself (ASCII
// letters without regard to case). A mask is compiled into items; the matcher backtracks over at
// most 30 star positions with a fixed stack.
#include <cstdint>
#include <string>
#include <vector>

enum TMaskItemKind : std::uint8_t { mkLiteral, mkAnyChar, mkDoubleByte };

struct TMaskItem {
    bool AfterStar = false;
    TMaskItemKind Kind = mkLiteral;
    std::uint8_t Ch = 0;
    std::uint8_t Ch2 = 0;
};

class TMask {
public:
    static constexpr int kMaxStars = 30;

    // Compiles mask; raises Exception "'<mask>' is an invalid mask at (<position>)" when more than 30
    // items follow a "*" (the position is the 1-based byte of the item that exceeded the limit).
    explicit TMask(const std::string& mask);
    // Whether text matches the whole mask.
    bool Accepts(const std::string& text) const;
    int ItemCount() const { return static_cast<int>(items_.size()); }
    const std::vector<TMaskItem>& Items() const { return items_; }

private:
    // One compilation pass; fills items when given, returns the item count.
    int Compile(const std::string& mask, std::vector<TMaskItem>* items);
    std::vector<TMaskItem> items_;
};

// Whether name matches mask (compiled afresh for the test). The mask's error passes out.
bool Matches(const std::string& name, const std::string& mask);
