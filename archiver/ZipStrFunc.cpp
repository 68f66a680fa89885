#include "archiver/ZipStrFunc.h"

#include <zlib.h>

#include <algorithm>
#include <array>

#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/Threads.h"

namespace zip {

std::string FolderPart(const std::string& path) {
    const std::size_t i = path.find_last_of("\\:");
    return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

std::string NamePart(const std::string& path) {
    const std::size_t i = path.find_last_of("\\:");
    return i == std::string::npos ? path : path.substr(i + 1);
}

std::string FullPath(const std::string& path) { return platform::ExpandFileName(path); }

std::string DrivePart(const std::string& path) {
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
        std::size_t server = path.find_first_of("\\/", 2);
        if (server == std::string::npos) return path;
        std::size_t share = path.find_first_of("\\/", server + 1);
        return share == std::string::npos ? path : path.substr(0, share);
    }
    return std::string();
}

namespace {

// The backslash-separated folders of a path below its drive part.
std::string StripDrive(const std::string& path) { return path.substr(DrivePart(path).size()); }

}  // namespace

std::string RelativePath(const std::string& base, const std::string& path) {
    if (!platform::AnsiSameText(DrivePart(base), DrivePart(path))) return path;
    const std::string b = ReplaceChar(StripDrive(base), '/', '\\');
    const std::string p = ReplaceChar(StripDrive(path), '/', '\\');
    // Compare whole folder names of base (up to its last backslash) with the start of path.
    std::size_t common = 0;  // length of the shared part, ending after a backslash
    std::size_t i = 0;
    const std::string baseUpper = platform::AnsiUpperCase(b);
    const std::string pathUpper = platform::AnsiUpperCase(p);
    while (i < b.size() && i < p.size() && baseUpper[i] == pathUpper[i]) {
        if (b[i] == '\\') common = i + 1;
        ++i;
    }
    std::string out;
    const std::string baseFolder = FolderPart(b);
    for (std::size_t k = common; k < baseFolder.size(); ++k) {
        if (baseFolder[k] == '\\') out += "..\\";
    }
    return out + p.substr(common);
}

std::string DirWithSlash(const std::string& a, const std::string& b) {
    std::string out = a.empty() ? b : a;
    if (out.empty() || out.back() != '\\') out += '\\';
    return out;
}

std::string LastPathPart(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p.back() == '\\') p.pop_back();
    return NamePart(p);
}

bool IsFloppyPath(const std::string& path) {
    const std::string drive = platform::AnsiUpperCase(DrivePart(path));
    return drive == "A:" || drive == "B:";
}

bool IsRemovablePath(const std::string& path) {
    if (IsFloppyPath(path)) return true;
    const std::string drive = DrivePart(path);
    return !drive.empty() && platform::GetDriveType(drive + "\\") == platform::DriveType::Removable;
}

std::string FileExtension(const std::string& path) {
    const std::size_t i = path.find_last_of(".\\:");
    if (i == std::string::npos || path[i] != '.') return std::string();
    return path.substr(i);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
    return path.substr(0, path.size() - FileExtension(path).size()) + ext;
}

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return text;
}

std::string ReplaceChar(std::string text, char from, char to) {
    for (char& c : text) {
        if (c == from) c = to;
    }
    return text;
}

bool RemoveFile(const std::string& path) {
    for (std::uint32_t attempt = 0; attempt < 4; ++attempt) {
        if (platform::DeleteFile(path) || !platform::FileExists(path)) return true;
        platform::Sleep(10u << attempt);
    }
    return false;
}

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();


}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, const void* buffer, std::int64_t length) {
    if (!buffer || length <= 0) return crc;
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    // Short runs (the cipher's single bytes) by the table; longer ones by zlib, which takes
    // several words at a time and wants the register inverted.
    constexpr std::int64_t kByTable = 64;
    if (length < kByTable) {
        for (std::int64_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kCrcTable[(crc ^ p[i]) & 0xFF];
        return crc;
    }
    constexpr std::int64_t kChunk = 1 << 30;  // zlib's length is 32 bits on 32-bit systems
    for (std::int64_t done = 0; done < length; done += kChunk) {
        const std::int64_t n = std::min(kChunk, length - done);
        crc = ~static_cast<std::uint32_t>(crc32_z(~crc, p + done, static_cast<z_size_t>(n)));
    }
    return crc;
}

std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::int64_t secondLength) {
    if (secondLength <= 0) return first;
    // zlib's length is a long, 32 bits on Windows. Combining shifts the first CRC by the second
    // run's length and adds the second; a longer shift is taken in steps, adding 0.
    constexpr std::int64_t kStep = 1 << 30;
    while (secondLength > kStep) {
        first = static_cast<std::uint32_t>(crc32_combine(first, 0, static_cast<z_off_t>(kStep)));
        secondLength -= kStep;
    }
    return static_cast<std::uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

}  // namespace zip
