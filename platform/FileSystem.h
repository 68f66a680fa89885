#pragma once
// Files, folders and drives, in the words of the Windows services the archiver was designed on.
// Every path is a Windows path ("C:\folder\name.ext") in the ANSI code page; each backend maps it
// to its own file system. Failures of the calls that open files are exceptions (EFCreateError,
// EFOpenError); the query calls answer with a neutral value instead, as their Windows models do.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Exception.h"

namespace platform {

// Attribute bits of a file or folder.
inline constexpr std::uint32_t faReadOnly = 0x01;
inline constexpr std::uint32_t faHidden = 0x02;
inline constexpr std::uint32_t faSysFile = 0x04;
inline constexpr std::uint32_t faVolumeID = 0x08;
inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;
inline constexpr std::uint32_t faInvalid = 0xFFFFFFFF;

// Open-mode words: the low two bits give the access, bits 4 to 6 the sharing.
inline constexpr std::uint16_t fmCreate = 0xFFFF;
inline constexpr std::uint16_t fmOpenRead = 0x0000;
inline constexpr std::uint16_t fmOpenWrite = 0x0001;
inline constexpr std::uint16_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint16_t fmShareCompat = 0x0000;
inline constexpr std::uint16_t fmShareExclusive = 0x0010;
inline constexpr std::uint16_t fmShareDenyWrite = 0x0020;
inline constexpr std::uint16_t fmShareDenyRead = 0x0030;
inline constexpr std::uint16_t fmShareDenyNone = 0x0040;

enum class SeekOrigin : std::uint8_t { Begin, Current, End };

// An open file. Move-only; the file is closed when the handle goes.
class FileHandle {
public:
    // Creates a new file for reading and writing with no sharing. A name that is taken (a file, a
    // folder, a symbolic link, also one that appears while the file is being created) is never
    // opened or written through: EFCreateError with OsError::AlreadyExists. Raises EFCreateError.
    static FileHandle Create(const std::string& path);
    // Opens an existing file with an open-mode word (access and sharing). Raises EFOpenError.
    static FileHandle Open(const std::string& path, std::uint16_t mode);
    // Creates a file with a unique name, as GetTempFileName names it, and keeps it open for reading
    // and writing with no sharing: one creation, no second open that truncates. name receives the
    // file's name. Raises EFCreateError when no name can be made or the file cannot be created.
    static FileHandle CreateTemp(const std::string& folder, const std::string& prefix, std::string& name);

    // Opens an existing file, written and closed before, to read back what the disk holds of it as
    // far as the system allows: for reading, sharing read and write. On Linux its data are written
    // out to the disk and waited for, and its cached pages then dropped, so that the reads come
    // from the disk; on Windows it is read without the system's buffering, which reads a flushed
    // file from the disk. Raises EFOpenError, also when the data cannot be written out.
    // again: the file was opened this way before and not written since, so that what the cache
    // holds of it came from the disk: on Linux it is then opened plainly (dropping the pages again
    // would only make another reader of it read them twice); on Windows as the first time.
    static FileHandle OpenReadBack(const std::string& path, bool again = false);

    FileHandle();
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    bool IsOpen() const;
    // Reads up to count bytes; returns how many arrived (0 at the end or on failure).
    std::int64_t Read(void* buffer, std::int64_t count);
    // Writes up to count bytes; returns how many the file took (fewer when the disk is full).
    std::int64_t Write(const void* buffer, std::int64_t count);
    // Moves the file pointer; returns the new position, -1 on failure.
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin);
    std::int64_t Size();
    // Sets the end of the file at size; false on failure.
    bool SetSize(std::int64_t size);
    // Forces the file's buffers to the disk; false on failure.
    bool Flush();
    // Starts writing the file's buffers to the disk without waiting for them where the system can
    // (Windows waits), so that a Flush or FlushFiles later finds little left to do. An error shows
    // in that later flush.
    void StartFlush();
    // Closes the file; false when the system reports an error, which may mean that written data
    // did not reach the disk (network shares report write and quota errors here). The handle is
    // closed either way. Dropping a handle closes it without this report.
    bool Close();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// One step of a folder enumeration.
struct FindEntry {
    std::string Name;          // name without folder, ANSI
    std::uint32_t Attr = 0;    // attribute bits
    std::int64_t Size = 0;     // bytes
    std::int32_t Time = -1;    // packed local date-time of the last write
};

// A folder enumeration in progress. The pattern is a path whose last part may hold "*" and "?";
// entries carrying a hidden, system, volume-label or directory bit that the filter lacks are
// skipped, as the Windows runtime's file search does.
class FindHandle {
public:
    FindHandle();
    FindHandle(FindHandle&& other) noexcept;
    FindHandle& operator=(FindHandle&& other) noexcept;
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle();

    // Starts the enumeration; false when nothing matches (or the folder cannot be read).
    bool First(const std::string& pattern, std::uint32_t attrFilter, FindEntry& entry);
    // Starts an enumeration of the folders alone: of the entries First would give for the same
    // pattern and filter, those with the directory bit ("." and ".." too where First gives them),
    // in the same order; so the filter must hold faDirectory for anything to come. For a walk down
    // a tree, where the files of a folder are listed apart: the Linux backend then need not query
    // every file the folder holds. Next goes on with folders alone.
    bool FirstFolder(const std::string& pattern, std::uint32_t attrFilter, FindEntry& entry);
    // The next match; false at the end.
    bool Next(FindEntry& entry);

    struct Impl;

private:
    bool Start(const std::string& pattern, std::uint32_t attrFilter, bool foldersOnly, FindEntry& entry);

    std::unique_ptr<Impl> impl_;
};

// Attribute bits of a file or folder; faInvalid when nothing exists there.
std::uint32_t GetFileAttributes(const std::string& path);
// A file (not a folder) exists at path.
bool FileExists(const std::string& path);
// A folder exists at path.
bool DirectoryExists(const std::string& path);
// The packed local date-time of the file's last write; -1 when it cannot be read.
std::int32_t FileAge(const std::string& path);
// What GetFileAttributes and FileAge answer for path, found with one look-up where the backend can.
struct PathInfo {
    std::uint32_t Attr = faInvalid;  // attribute bits; faInvalid when nothing exists there
    std::int32_t Time = -1;          // a file's last write, packed; -1 for a folder or when unreadable
};
PathInfo QueryPath(const std::string& path);
// What tells one file from another whatever path names it: the device and inode on Linux, the
// volume serial number and file index on Windows. Valid is false when nothing can be found there.
struct FileIdentity {
    bool Valid = false;
    std::uint64_t Volume = 0;
    std::uint64_t Index = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity GetFileIdentity(const std::string& path);
// The path made absolute against the current folder, "." and ".." resolved, "/" turned into "\".
std::string ExpandFileName(const std::string& path);
// The process's current folder, without a trailing backslash (but "C:\" for a root).
std::string GetCurrentDir();
bool DeleteFile(const std::string& path);
// Forces the buffers of closed files to the disk; false when any of them fails.
bool FlushFiles(const std::vector<std::string>& paths);
// Forces a folder's entries (the names of the files created or renamed in it) to the disk; false
// on failure.
bool FlushFolder(const std::string& path);
// Renames a file; never replaces a file or link of the new name, also one that appears while the
// rename is under way (a change of letter case of the same file aside). False on failure.
bool RenameFile(const std::string& oldPath, const std::string& newPath);
// Bytes available to the user on the drive of path; -1 when the query fails.
std::int64_t DiskFree(const std::string& path);

enum class DriveType : std::uint8_t { Unknown, NoRootDir, Removable, Fixed, Remote, CDRom, RamDisk };
// The kind of the drive that holds path.
DriveType GetDriveType(const std::string& path);
// Sets the label of the drive that holds path; false on failure.
bool SetVolumeLabel(const std::string& path, const std::string& label);
// The system's temporary folder, with a trailing backslash.
std::string GetTempPath();
// Marks a folder as being worked on by this process, until destroyed: one job at a time writes
// an archive there. A folder another process holds gives EOSError (ShareViolation) at once,
// naming the folder (the Linux backend raises too for a folder that is missing). Where the folder
// cannot be locked (no read right on it, or a file system without locks) the job goes on
// unguarded. Leaves no file behind.
class FolderRunLock {
public:
    explicit FolderRunLock(const std::string& folder);
    ~FolderRunLock();
    FolderRunLock(const FolderRunLock&) = delete;
    FolderRunLock& operator=(const FolderRunLock&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
// Holds a folder, until destroyed, as it is when the hold begins: a search and the reading of what
// it found see one folder, whatever its path comes to name meanwhile. Every FileHandle::Open of a
// path below it reads the file of the folder held (on Linux through its descriptor, each folder
// below it entered without following a link; on Windows the folder cannot be renamed or deleted
// while held, and a file opened must lie in it). A folder swapped for another one or for a link
// after the hold began makes such opens fail as files that cannot be read, never succeed with the
// other folder's bytes. A folder that cannot be held (missing) holds nothing.
class FolderHold {
public:
    explicit FolderHold(const std::string& folder);
    ~FolderHold();
    FolderHold(const FolderHold&) = delete;
    FolderHold& operator=(const FolderHold&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
// Creates an empty file with a unique name: folder + the first three characters of prefix + one to
// four hex digits + ".tmp", and returns its name. Raises EFCreateError when no name can be made.
std::string GetTempFileName(const std::string& folder, const std::string& prefix);
// Removes, once in the process's life for each folder and prefix, the temporary files of that
// name pattern that a killed run left there: of this user, unchanged for two seconds and open
// nowhere. Making a temporary file does this too; a job that may need none asks for it at its start.
void ClearStaleTempFiles(const std::string& folder, const std::string& prefix);

// The errors the system reported to this process's file operations since ClearFileErrors, each
// once and in order, as "<operation> <Windows path>: <the system's reason>", for example
// "write C:\Vandrel\Kelmail.z03: disk full": what an archiver error or a failed job does not say.
// The backends note them where the system reports them.
std::vector<std::string> FileErrors();
void ClearFileErrors();
void NoteFileError(const char* operation, const std::string& path, const std::string& reason);
// How many lines FileErrors holds now, and forgetting those noted after that many: an operation
// that is tried again takes back what its first try noted.
std::size_t FileErrorCount();
void ForgetFileErrorsFrom(std::size_t count);
// From now on the calling thread notes no file errors: a helper thread whose failures are redone
// (and, if they fail again, noted) by another.
void NoteNoFileErrorsOnThisThread();

// Packs a local date-time; -1 when the year lies outside 1980..2107.
std::int32_t PackDateTime(int year, int month, int day, int hour, int minute, int second);
// The current local date-time, packed; 0 when the year lies outside 1980..2107.
std::int32_t NowPacked();

}  // namespace platform
