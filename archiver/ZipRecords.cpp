#include "archiver/ZipRecords.h"

namespace zip {

void PutLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutLE64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t GetLE16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t GetLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t GetLE64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(GetLE32(p)) | (static_cast<std::uint64_t>(GetLE32(p + 4)) << 32);
}

void LocalFileHeader::Encode(std::uint8_t* out) const {
    PutLE32(out + 0, Signature);          // local file header signature
    PutLE16(out + 4, VersionNeeded);      // version needed to extract
    PutLE16(out + 6, Flags);              // general purpose bit flag
    PutLE16(out + 8, Method);             // compression method
    PutLE16(out + 10, ModTime);           // last mod file time
    PutLE16(out + 12, ModDate);           // last mod file date
    PutLE32(out + 14, Crc32);             // crc-32
    PutLE32(out + 18, CompressedSize);    // compressed size
    PutLE32(out + 22, UncompressedSize);  // uncompressed size
    PutLE16(out + 26, NameLength);        // file name length
    PutLE16(out + 28, ExtraLength);       // extra field length
}

LocalFileHeader LocalFileHeader::Decode(const std::uint8_t* in) {
    LocalFileHeader h;
    h.Signature = GetLE32(in + 0);
    h.VersionNeeded = GetLE16(in + 4);
    h.Flags = GetLE16(in + 6);
    h.Method = GetLE16(in + 8);
    h.ModTime = GetLE16(in + 10);
    h.ModDate = GetLE16(in + 12);
    h.Crc32 = GetLE32(in + 14);
    h.CompressedSize = GetLE32(in + 18);
    h.UncompressedSize = GetLE32(in + 22);
    h.NameLength = GetLE16(in + 26);
    h.ExtraLength = GetLE16(in + 28);
    return h;
}

void CentralFileHeader::EncodeHead(std::uint8_t* out) const {
    PutLE32(out + 0, Signature);            // central file header signature
    PutLE16(out + 4, VersionMadeBy);        // version made by
    PutLE16(out + 6, VersionNeeded);        // version needed to extract
    PutLE16(out + 8, Flags);                // general purpose bit flag
    PutLE16(out + 10, Method);              // compression method
    PutLE16(out + 12, ModTime);             // last mod file time
    PutLE16(out + 14, ModDate);             // last mod file date
    PutLE32(out + 16, Crc32);               // crc-32
    PutLE32(out + 20, CompressedSize);      // compressed size
    PutLE32(out + 24, UncompressedSize);    // uncompressed size
    PutLE16(out + 28, NameLength);          // file name length
    PutLE16(out + 30, ExtraLength);         // extra field length
    PutLE16(out + 32, CommentLength);       // file comment length
    PutLE16(out + 34, DiskNumberStart);     // disk number start
    PutLE16(out + 36, InternalAttributes);  // internal file attributes
    PutLE32(out + 38, ExternalAttributes);  // external file attributes
    PutLE32(out + 42, LocalHeaderOffset);   // relative offset of local header
}

void CentralFileHeader::DecodeHead(const std::uint8_t* in) {
    Signature = GetLE32(in + 0);
    VersionMadeBy = GetLE16(in + 4);
    VersionNeeded = GetLE16(in + 6);
    Flags = GetLE16(in + 8);
    Method = GetLE16(in + 10);
    ModTime = GetLE16(in + 12);
    ModDate = GetLE16(in + 14);
    Crc32 = GetLE32(in + 16);
    CompressedSize = GetLE32(in + 20);
    UncompressedSize = GetLE32(in + 24);
    NameLength = GetLE16(in + 28);
    ExtraLength = GetLE16(in + 30);
    CommentLength = GetLE16(in + 32);
    DiskNumberStart = GetLE16(in + 34);
    InternalAttributes = GetLE16(in + 36);
    ExternalAttributes = GetLE32(in + 38);
    LocalHeaderOffset = GetLE32(in + 42);
}

void EncodeLocalZip64(std::uint8_t* out, std::int64_t uncompressedSize, std::int64_t compressedSize) {
    PutLE16(out + 0, kZip64ExtraId);                                 // header ID
    PutLE16(out + 2, 16);                                            // data size
    PutLE64(out + 4, static_cast<std::uint64_t>(uncompressedSize));  // original size
    PutLE64(out + 12, static_cast<std::uint64_t>(compressedSize));   // compressed size
}

std::vector<std::uint8_t> EncodeCentralZip64(const CentralFileHeader& head, const Zip64Values& values) {
    std::vector<std::uint8_t> data;
    auto put64 = [&](std::int64_t v) {
        std::uint8_t b[8];
        PutLE64(b, static_cast<std::uint64_t>(v));
        data.insert(data.end(), b, b + 8);
    };
    if (head.UncompressedSize == kSentinel32) put64(values.UncompressedSize);
    if (head.CompressedSize == kSentinel32) put64(values.CompressedSize);
    if (head.LocalHeaderOffset == kSentinel32) put64(values.LocalHeaderOffset);
    if (head.DiskNumberStart == kSentinel16) {
        std::uint8_t b[4];
        PutLE32(b, values.DiskNumberStart);
        data.insert(data.end(), b, b + 4);
    }
    if (data.empty()) return data;
    std::vector<std::uint8_t> block(4);
    PutLE16(block.data(), kZip64ExtraId);                           // header ID
    PutLE16(block.data() + 2, static_cast<std::uint16_t>(data.size()));  // data size
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

void DecodeCentralZip64(const CentralFileHeader& head, const std::uint8_t* data, std::size_t size, Zip64Values& values) {
    std::size_t pos = 0;
    if (head.UncompressedSize == kSentinel32 && pos + 8 <= size) {
        values.UncompressedSize = static_cast<std::int64_t>(GetLE64(data + pos));
        pos += 8;
    }
    if (head.CompressedSize == kSentinel32 && pos + 8 <= size) {
        values.CompressedSize = static_cast<std::int64_t>(GetLE64(data + pos));
        pos += 8;
    }
    if (head.LocalHeaderOffset == kSentinel32 && pos + 8 <= size) {
        values.LocalHeaderOffset = static_cast<std::int64_t>(GetLE64(data + pos));
        pos += 8;
    }
    // The disk number takes the first two of its four bytes.
    if (head.DiskNumberStart == kSentinel16 && pos + 2 <= size) values.DiskNumberStart = GetLE16(data + pos);
}

void Zip64EndRecord::Encode(std::uint8_t* out) const {
    PutLE32(out + 0, Signature);         // zip64 end of central dir signature
    PutLE64(out + 4, RecordSize);        // size of zip64 end of central directory record
    PutLE16(out + 12, VersionMadeBy);    // version made by
    PutLE16(out + 14, VersionNeeded);    // version needed to extract
    PutLE32(out + 16, ThisDisk);         // number of this disk
    PutLE32(out + 20, StartDisk);        // disk with the start of the central directory
    PutLE64(out + 24, EntriesOnDisk);    // entries in the central directory on this disk
    PutLE64(out + 32, TotalEntries);     // total entries in the central directory
    PutLE64(out + 40, DirectorySize);    // size of the central directory
    PutLE64(out + 48, DirectoryOffset);  // offset of start of central directory
}

Zip64EndRecord Zip64EndRecord::Decode(const std::uint8_t* in) {
    Zip64EndRecord r;
    r.Signature = GetLE32(in + 0);
    r.RecordSize = GetLE64(in + 4);
    r.VersionMadeBy = GetLE16(in + 12);
    r.VersionNeeded = GetLE16(in + 14);
    r.ThisDisk = GetLE32(in + 16);
    r.StartDisk = GetLE32(in + 20);
    r.EntriesOnDisk = GetLE64(in + 24);
    r.TotalEntries = GetLE64(in + 32);
    r.DirectorySize = GetLE64(in + 40);
    r.DirectoryOffset = GetLE64(in + 48);
    return r;
}

void Zip64Locator::Encode(std::uint8_t* out) const {
    PutLE32(out + 0, Signature);         // zip64 end of central dir locator signature
    PutLE32(out + 4, EndRecordDisk);     // disk with the start of the zip64 end record
    PutLE64(out + 8, EndRecordOffset);   // relative offset of the zip64 end record
    PutLE32(out + 16, TotalDisks);       // total number of disks
}

Zip64Locator Zip64Locator::Decode(const std::uint8_t* in) {
    Zip64Locator r;
    r.Signature = GetLE32(in + 0);
    r.EndRecordDisk = GetLE32(in + 4);
    r.EndRecordOffset = GetLE64(in + 8);
    r.TotalDisks = GetLE32(in + 16);
    return r;
}

void EndRecord::Encode(std::uint8_t* out) const {
    PutLE32(out + 0, Signature);        // end of central dir signature
    PutLE16(out + 4, ThisDisk);         // number of this disk
    PutLE16(out + 6, StartDisk);        // disk where the central directory starts
    PutLE16(out + 8, EntriesOnDisk);    // entries on this disk
    PutLE16(out + 10, TotalEntries);    // total entries
    PutLE32(out + 12, DirectorySize);   // size of the central directory
    PutLE32(out + 16, DirectoryOffset); // offset of start of central directory
    PutLE16(out + 20, CommentLength);   // .ZIP file comment length
}

EndRecord EndRecord::Decode(const std::uint8_t* in) {
    EndRecord r;
    r.Signature = GetLE32(in + 0);
    r.ThisDisk = GetLE16(in + 4);
    r.StartDisk = GetLE16(in + 6);
    r.EntriesOnDisk = GetLE16(in + 8);
    r.TotalEntries = GetLE16(in + 10);
    r.DirectorySize = GetLE32(in + 12);
    r.DirectoryOffset = GetLE32(in + 16);
    r.CommentLength = GetLE16(in + 20);
    return r;
}

}  // namespace zip
