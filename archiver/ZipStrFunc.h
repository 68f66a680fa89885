#pragma once
// Path and string helpers of the archiver, and its CRC-32.
#include <cstdint>
#include <string>

namespace zip {

// The path up to and including its last backslash or colon ("" when there is none). A slash does
// not count.
std::string FolderPart(const std::string& path);
// What follows that character.
std::string NamePart(const std::string& path);
// The path made absolute against the current folder, "." and ".." resolved, slashes as backslashes.
std::string FullPath(const std::string& path);
// The path that leads from the folder base to path; path unchanged when the drives differ.
std::string RelativePath(const std::string& base, const std::string& path);
// a, or b when a is empty, with a backslash appended when it lacks one.
std::string DirWithSlash(const std::string& a, const std::string& b);
// NamePart of path after dropping one trailing backslash.
std::string LastPathPart(const std::string& path);
// The drive part of path ("C:", "\\server\share", or "").
std::string DrivePart(const std::string& path);
// The drive of path is A: or B:.
bool IsFloppyPath(const std::string& path);
// IsFloppyPath, or the platform reports the drive of path as removable.
bool IsRemovablePath(const std::string& path);
// The extension of a file name, from its last dot (dot included); "" when it has none.
std::string FileExtension(const std::string& path);
// The name with its extension replaced by ext (ext includes its dot).
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// ASCII lower case (only A..Z change).
std::string AsciiLower(std::string text);
// Every occurrence of from replaced by to.
std::string ReplaceChar(std::string text, char from, char to);
// Deletes a file, trying again a few times after a short pause, since a virus scanner or an
// indexer may hold a file that was just closed for a moment. True when the file is gone.
bool RemoveFile(const std::string& path);

// Feeds length bytes into a running CRC-32 register (reflected polynomial 0xEDB88320, no inversion:
// start with 0xFFFFFFFF and complement at the end). A missing buffer or a length of 0 or less
// leaves the register unchanged.
std::uint32_t Crc32Update(std::uint32_t crc, const void* buffer, std::int64_t length);
// The CRC-32 of two byte runs one after the other, from the CRC-32 of each (complemented values, as
// stored in a header) and the second run's length: the input blocks of an item compressed apart
// give the item's CRC without being read again.
std::uint32_t Crc32Combine(std::uint32_t first, std::uint32_t second, std::int64_t secondLength);

}  // namespace zip
