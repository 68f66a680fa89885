#pragma once
// The position of a volume in a multi-volume archive: its role and 0-based number.
#include <cstdint>

enum TZipVolumeRole : std::uint8_t { vrFirst, vrLast, vrNumbered, vrUnknown };

namespace zip {
// The most bytes a copy into the volumes moves per step (and per progress event).
inline constexpr std::int64_t kVolumeCopyChunk = 1000000;
}  // namespace zip

class TZipVolumeNumberInfo {
public:
    TZipVolumeRole Role = vrUnknown;
    std::int32_t Number = -1;
    std::int32_t LastNumber = -1;

    void Reset() {
        Role = vrUnknown;
        Number = -1;
        LastNumber = -1;
    }
    // Number is 0. Setting true makes this the first volume; setting false does nothing.
    bool IsFirst() const { return Number == 0; }
    void SetIsFirst(bool value) {
        if (value) {
            Number = 0;
            Role = vrFirst;
        }
    }
    // With LastNumber unknown, the role says it; else Number equals LastNumber.
    bool IsLast() const { return LastNumber == -1 ? Role == vrLast : Number == LastNumber; }
    void SetIsLast(bool value) {
        if (value) {
            Number = LastNumber;
            Role = vrLast;
        }
    }
    void SetNumber(std::int32_t n) {
        Role = vrNumbered;
        Number = n;
    }
    // Whether other names the same volume as this one.
    bool SameVolumeAs(const TZipVolumeNumberInfo& other) const {
        if (IsLast()) return other.IsLast();
        if (IsFirst()) return other.IsFirst();
        if (Number < 0) return Role == other.Role;
        return Number == other.Number;
    }
    void AssignFrom(const TZipVolumeNumberInfo& other) {
        Role = other.Role;
        Number = other.Number;
    }
};
