#pragma once
// The ZIP records as they stand in a file: little-endian, packed, explicit widths. This is the one
// place where they are encoded and decoded; everything else works on the structures.
#include <cstdint>
#include <string>
#include <vector>

namespace zip {

inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr std::uint32_t kZip64EndRecordSignature = 0x06064B50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr std::uint32_t kDataDescriptorSignature = 0x08074B50;

inline constexpr std::uint16_t kZip64ExtraId = 0x0001;
inline constexpr std::uint16_t kSentinel16 = 0xFFFF;
inline constexpr std::uint32_t kSentinel32 = 0xFFFFFFFF;

// Version values: OEM names, ANSI names on a Windows host, and entries with Zip64 values.
inline constexpr std::uint16_t kVersionOem = 20;
inline constexpr std::uint16_t kVersionAnsi = 0x0B14;
inline constexpr std::uint16_t kVersionZip64 = 45;

// A value is stored as its sentinel when it does not fit, that is when it is at least the sentinel.
inline std::uint16_t Fit16(std::int64_t v) { return v >= kSentinel16 ? kSentinel16 : static_cast<std::uint16_t>(v); }
inline std::uint32_t Fit32(std::int64_t v) { return v >= kSentinel32 ? kSentinel32 : static_cast<std::uint32_t>(v); }

void PutLE16(std::uint8_t* p, std::uint16_t v);
void PutLE32(std::uint8_t* p, std::uint32_t v);
void PutLE64(std::uint8_t* p, std::uint64_t v);
std::uint16_t GetLE16(const std::uint8_t* p);
std::uint32_t GetLE32(const std::uint8_t* p);
std::uint64_t GetLE64(const std::uint8_t* p);

// Local file header: 30 bytes, then the name, then the extra field.
struct LocalFileHeader {
    static constexpr std::size_t kSize = 30;
    std::uint32_t Signature = kLocalHeaderSignature;
    std::uint16_t VersionNeeded = 0;
    std::uint16_t Flags = 0;
    std::uint16_t Method = 0;
    std::uint16_t ModTime = 0;
    std::uint16_t ModDate = 0;
    std::uint32_t Crc32 = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t UncompressedSize = 0;
    std::uint16_t NameLength = 0;
    std::uint16_t ExtraLength = 0;

    void Encode(std::uint8_t* out) const;
    static LocalFileHeader Decode(const std::uint8_t* in);
};

// The fixed 46 bytes of a central directory file header.
struct CentralFileHeader {
    static constexpr std::size_t kSize = 46;
    std::uint32_t Signature = kCentralHeaderSignature;
    std::uint16_t VersionMadeBy = 0;
    std::uint16_t VersionNeeded = 0;
    std::uint16_t Flags = 0;
    std::uint16_t Method = 0;
    std::uint16_t ModTime = 0;
    std::uint16_t ModDate = 0;
    std::uint32_t Crc32 = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t UncompressedSize = 0;
    std::uint16_t NameLength = 0;
    std::uint16_t ExtraLength = 0;
    std::uint16_t CommentLength = 0;
    std::uint16_t DiskNumberStart = 0;
    std::uint16_t InternalAttributes = 0;
    std::uint32_t ExternalAttributes = 0;
    std::uint32_t LocalHeaderOffset = 0;

    void EncodeHead(std::uint8_t* out) const;
    void DecodeHead(const std::uint8_t* in);
};

// The 64-bit values of an entry that its 16- and 32-bit fields cannot hold.
struct Zip64Values {
    std::int64_t UncompressedSize = 0;
    std::int64_t CompressedSize = 0;
    std::int64_t LocalHeaderOffset = 0;
    std::uint32_t DiskNumberStart = 0;
};

// The local Zip64 extra block (ID 1, size 16, uncompressed size, compressed size): 20 bytes.
inline constexpr std::size_t kLocalZip64Size = 20;
void EncodeLocalZip64(std::uint8_t* out, std::int64_t uncompressedSize, std::int64_t compressedSize);

// The central Zip64 block for a header: a value for every field that holds its sentinel, in the
// order uncompressed size, compressed size, header offset, disk. Empty when no field needs one.
std::vector<std::uint8_t> EncodeCentralZip64(const CentralFileHeader& head, const Zip64Values& values);
// Reads a central Zip64 block's data (without ID and size) into values, taking each value only when
// the header's field holds its sentinel and bytes remain.
void DecodeCentralZip64(const CentralFileHeader& head, const std::uint8_t* data, std::size_t size, Zip64Values& values);

// Zip64 end of central directory record: 56 bytes.
struct Zip64EndRecord {
    static constexpr std::size_t kSize = 56;
    std::uint32_t Signature = kZip64EndRecordSignature;
    std::uint64_t RecordSize = 44;
    std::uint16_t VersionMadeBy = kVersionZip64;
    std::uint16_t VersionNeeded = kVersionZip64;
    std::uint32_t ThisDisk = 0;
    std::uint32_t StartDisk = 0;
    std::uint64_t EntriesOnDisk = 0;
    std::uint64_t TotalEntries = 0;
    std::uint64_t DirectorySize = 0;
    std::uint64_t DirectoryOffset = 0;

    void Encode(std::uint8_t* out) const;
    static Zip64EndRecord Decode(const std::uint8_t* in);
};

// Zip64 end of central directory locator: 20 bytes.
struct Zip64Locator {
    static constexpr std::size_t kSize = 20;
    std::uint32_t Signature = kZip64LocatorSignature;
    std::uint32_t EndRecordDisk = 0;
    std::uint64_t EndRecordOffset = 0;
    std::uint32_t TotalDisks = 0;

    void Encode(std::uint8_t* out) const;
    static Zip64Locator Decode(const std::uint8_t* in);
};

// End of central directory record: 22 bytes, then the comment.
struct EndRecord {
    static constexpr std::size_t kSize = 22;
    std::uint32_t Signature = kEndRecordSignature;
    std::uint16_t ThisDisk = 0;
    std::uint16_t StartDisk = 0;
    std::uint16_t EntriesOnDisk = 0;
    std::uint16_t TotalEntries = 0;
    std::uint32_t DirectorySize = 0;
    std::uint32_t DirectoryOffset = 0;
    std::uint16_t CommentLength = 0;

    void Encode(std::uint8_t* out) const;
    static EndRecord Decode(const std::uint8_t* in);
};

}  // namespace zip
