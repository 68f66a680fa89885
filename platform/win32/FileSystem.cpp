// Files, folders and drives on Windows, through the ANSI file functions of the Windows API.
#include "platform/FileSystem.h"

#include "platform/win32/WindowsApi.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Faults.h"
#include "platform/Format.h"

namespace platform {
namespace {

OsError FromLastError(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return OsError::None;
        case ERROR_FILE_NOT_FOUND: return OsError::FileNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH: return OsError::PathNotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT: return OsError::AccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return OsError::ShareViolation;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return OsError::DiskFull;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return OsError::AlreadyExists;
        case ERROR_INVALID_NAME: return OsError::InvalidName;
        case ERROR_TOO_MANY_OPEN_FILES: return OsError::TooManyOpenFiles;
        default: return OsError::Other;
    }
}

// The system's reason for an error, in the words of an error line ("disk full").
std::string Reason(DWORD error) {
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return "disk full";
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                             sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == '.')) --n;
    std::string text(buffer, n);
    if (text.empty()) text = Format("system error %lu", static_cast<unsigned long>(error));
    if (text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// The runtime's share flags for the open-mode word's sharing bits.
DWORD ShareFlags(std::uint16_t mode) {
    switch (mode & 0xF0) {
        case fmShareDenyWrite: return FILE_SHARE_READ;
        case fmShareDenyRead: return FILE_SHARE_WRITE;
        case fmShareDenyNone: return FILE_SHARE_READ | FILE_SHARE_WRITE;
        default: return 0;  // compatible and exclusive both share nothing
    }
}

std::int32_t PackFileTime(const FILETIME& utc) {
    FILETIME local;
    WORD date = 0;
    WORD time = 0;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToDosDateTime(&local, &date, &time)) return -1;
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(date) << 16) | time);
}

}  // namespace

namespace {

// Whether the file open on handle is the file of that name itself, not one a symbolic link or a
// junction of that name leads to: the name opened without following a reparse point must be the
// same file (volume serial number and file index). A link has an identity of its own; so has a
// file put in the name's place between the two opens. Reparse points that are no links (files
// of deduplication or of a cloud drive) are the file itself and pass.
bool IsNoLink(const std::string& path, HANDLE handle) {
    const HANDLE own = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                   nullptr);
    if (own == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    const bool same = GetFileInformationByHandle(handle, &a) && GetFileInformationByHandle(own, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                      a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(own);
    return same;
}

}  // namespace

// ---- Folders held for a search ----

namespace {

// The final path of what handle has open ("\\?\C:\Vandrel\LOG_EML"), links and junctions resolved;
// empty on failure.
std::wstring FinalPath(HANDLE handle) {
    std::wstring path(512, L'\0');
    DWORD n = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (n >= path.size()) {
        path.resize(n + 1);
        n = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    }
    if (n == 0 || n >= path.size()) return {};
    path.resize(n);
    return path;
}

struct HeldFolder {
    const void* owner;
    std::string path;    // the Windows path as held, full
    std::string prefix;  // the same, upper-cased, with a trailing backslash
    HANDLE folder;       // the folder found there when the hold began (the hold's own handle)
    BY_HANDLE_FILE_INFORMATION identity;  // its volume serial number and file index
};

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Whether the folder of that path now is the folder held.
bool PathIsHeldFolder(const std::string& path, const BY_HANDLE_FILE_INFORMATION& held) {
    const HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION now;
    const bool same = GetFileInformationByHandle(h, &now) && SameFile(now, held);
    CloseHandle(h);
    return same;
}

std::mutex& HeldLock() {
    static std::mutex lock;
    return lock;
}

std::vector<HeldFolder>& Held() {
    static std::vector<HeldFolder> held;
    return held;
}

// Whether the file open on handle (opened by path) lies where a held folder that path is below
// says it must: in the folder found when the hold began, wherever that folder is now (renamed
// away, another folder or a link may have taken its name). True for a path below no held folder.
bool InHeldFolder(const std::string& path, HANDLE handle) {
    std::wstring expected;
    std::string heldPath;
    BY_HANDLE_FILE_INFORMATION heldIdentity{};
    {
        std::lock_guard guard(HeldLock());
        if (Held().empty()) return true;
        const std::string upper = AnsiUpperCase(ExpandFileName(path));
        const HeldFolder* best = nullptr;
        for (const HeldFolder& h : Held()) {
            if (upper.size() > h.prefix.size() && upper.compare(0, h.prefix.size(), h.prefix) == 0 &&
                (!best || h.prefix.size() > best->prefix.size())) {
                best = &h;
            }
        }
        if (!best) return true;
        expected = FinalPath(best->folder);  // under the lock: the hold cannot end meanwhile
        heldPath = best->path;
        heldIdentity = best->identity;
    }
    // The folder of the held name must still be the folder held (Wine lets a held folder be renamed
    // away, and tells the final path of a handle by the name it was opened with).
    if (expected.empty() || !PathIsHeldFolder(heldPath, heldIdentity)) return false;
    if (expected.back() != L'\\') expected += L'\\';
    const std::wstring actual = FinalPath(handle);
    return actual.size() > expected.size() &&
           CompareStringOrdinal(actual.c_str(), static_cast<int>(expected.size()), expected.c_str(),
                                static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

// Held open without delete sharing, Windows refuses to rename or delete the folder while the hold
// lasts. Each file opened below it must lie in it: its final path (links and junctions resolved)
// begins with the held folder's own, asked of the folder's handle, so that a folder renamed away
// all the same (Wine allows it) or one inside swapped for a junction is noticed.
struct FolderHold::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~Impl() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

FolderHold::FolderHold(const std::string& folder) : impl_(std::make_unique<Impl>()) {
    std::string prefix = AnsiUpperCase(ExpandFileName(folder));
    if (prefix.empty()) return;
    if (prefix.back() != '\\') prefix += '\\';
    impl_->handle = CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (impl_->handle == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION identity;
    if (!GetFileInformationByHandle(impl_->handle, &identity)) return;
    std::lock_guard guard(HeldLock());
    Held().push_back(HeldFolder{this, ExpandFileName(folder), prefix, impl_->handle, identity});
}

FolderHold::~FolderHold() {
    std::lock_guard guard(HeldLock());
    auto& held = Held();
    held.erase(std::remove_if(held.begin(), held.end(), [&](const HeldFolder& h) { return h.owner == this; }), held.end());
}

struct FileHandle::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;  // full path, for the fault seam
    // A read-back handle reads without the system's buffering, which takes whole sectors at
    // positions of whole sectors into memory aligned to them: its reads go through this buffer,
    // and its position is kept here.
    static constexpr std::int64_t kSector = 4096;  // a multiple of every usual sector size
    static constexpr std::int64_t kChunk = 1 << 20;
    bool unbuffered = false;
    std::uint8_t* aligned = nullptr;  // kChunk bytes from VirtualAlloc, page-aligned
    std::int64_t position = 0;
    std::int64_t bufferStart = 0;
    std::int64_t bufferLength = 0;
    ~Impl() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (aligned) VirtualFree(aligned, 0, MEM_RELEASE);
    }
    std::int64_t ReadUnbuffered(void* buffer, std::int64_t count) {
        std::int64_t done = 0;
        while (done < count) {
            if (position < bufferStart || position >= bufferStart + bufferLength) {
                const std::int64_t start = position & ~(kSector - 1);
                LARGE_INTEGER at;
                at.QuadPart = start;
                DWORD got = 0;
                if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) ||
                    !ReadFile(handle, aligned, static_cast<DWORD>(kChunk), &got, nullptr)) {
                    NoteFileError("read", path, Reason(GetLastError()));
                    bufferLength = 0;
                    break;
                }
                bufferStart = start;
                bufferLength = got;
                if (position >= bufferStart + bufferLength) break;  // the end of the file
            }
            const std::int64_t n = std::min(count - done, bufferStart + bufferLength - position);
            std::memcpy(static_cast<char*>(buffer) + done, aligned + (position - bufferStart), static_cast<std::size_t>(n));
            done += n;
            position += n;
        }
        return done;
    }
};

FileHandle::FileHandle() = default;
FileHandle::FileHandle(FileHandle&& other) noexcept = default;
FileHandle& FileHandle::operator=(FileHandle&& other) noexcept = default;
FileHandle::~FileHandle() = default;

FileHandle FileHandle::Create(const std::string& path) {
    FileHandle h;
    h.impl_ = std::make_unique<Impl>();
    h.impl_->path = ExpandFileName(path);
    OsError error = faults::OpenFailureFor(h.impl_->path);
    if (error == OsError::None) {
        // Created new, never over a name that is taken: a file, or a symbolic link planted by
        // someone else to a file elsewhere, fails the creation instead of being written through.
        // FILE_FLAG_OPEN_REPARSE_POINT keeps the system from following a link in the name's place.
        h.impl_->handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h.impl_->handle == INVALID_HANDLE_VALUE) error = FromLastError(GetLastError());
    }
    if (error == OsError::AlreadyExists) {
        NoteFileError("create", h.impl_->path, "the name is taken (a file or a link is there)");
    }
    if (error != OsError::None) throw EFCreateError(path, error);
    return h;
}

FileHandle FileHandle::Open(const std::string& path, std::uint16_t mode) {
    FileHandle h;
    h.impl_ = std::make_unique<Impl>();
    h.impl_->path = ExpandFileName(path);
    const unsigned access = mode & 3u;
    const DWORD rights = access == fmOpenRead    ? GENERIC_READ
                         : access == fmOpenWrite ? GENERIC_WRITE
                                                 : GENERIC_READ | GENERIC_WRITE;
    OsError error = faults::OpenFailureFor(h.impl_->path);
    if (error == OsError::None) {
        h.impl_->handle = CreateFileA(path.c_str(), rights, ShareFlags(mode), nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h.impl_->handle == INVALID_HANDLE_VALUE) error = FromLastError(GetLastError());
        else if (!IsNoLink(path, h.impl_->handle) || !InHeldFolder(path, h.impl_->handle)) error = OsError::AccessDenied;
    }
    if (error != OsError::None) throw EFOpenError(path, error);
    return h;
}

FileHandle FileHandle::OpenReadBack(const std::string& path, bool /*again*/) {
    FileHandle h;
    h.impl_ = std::make_unique<Impl>();
    h.impl_->path = ExpandFileName(path);
    OsError error = faults::OpenFailureFor(h.impl_->path);
    if (error == OsError::None) {
        // The file was flushed when it was closed; read without buffering, it comes from the disk.
        h.impl_->handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h.impl_->handle == INVALID_HANDLE_VALUE) error = FromLastError(GetLastError());
    }
    if (error == OsError::None) {
        h.impl_->aligned = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, static_cast<SIZE_T>(Impl::kChunk), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!h.impl_->aligned) error = OsError::Other;
    }
    if (error != OsError::None) {
        std::string reason = OsErrorText(error);
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        NoteFileError("open", h.impl_->path, reason);
        throw EFOpenError(path, error);
    }
    h.impl_->unbuffered = true;
    return h;
}

bool FileHandle::IsOpen() const { return impl_ && impl_->handle != INVALID_HANDLE_VALUE; }

std::int64_t FileHandle::Read(void* buffer, std::int64_t count) {
    if (!IsOpen() || count <= 0) return 0;
    count = faults::AllowRead(impl_->path, count);
    if (impl_->unbuffered) return impl_->ReadUnbuffered(buffer, count);
    std::int64_t done = 0;
    while (done < count) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::int64_t>(count - done, 1 << 30));
        if (!ReadFile(impl_->handle, static_cast<char*>(buffer) + done, want, &got, nullptr)) {
            NoteFileError("read", impl_->path, Reason(GetLastError()));
            break;
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

std::int64_t FileHandle::Write(const void* buffer, std::int64_t count) {
    if (!IsOpen() || count <= 0) return 0;
    count = faults::AllowWrite(impl_->path, count);
    std::vector<std::uint8_t> altered;
    if (faults::FlipsPlanned()) buffer = faults::StoredBytes(impl_->path, Seek(0, SeekOrigin::Current), buffer, count, altered);
    std::int64_t done = 0;
    while (done < count) {
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::int64_t>(count - done, 1 << 30));
        if (!WriteFile(impl_->handle, static_cast<const char*>(buffer) + done, want, &put, nullptr)) {
            NoteFileError("write", impl_->path, Reason(GetLastError()));
            break;
        }
        if (put == 0) break;
        done += put;
    }
    return done;
}

std::int64_t FileHandle::Seek(std::int64_t offset, SeekOrigin origin) {
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Seek, impl_->path)) return -1;
    if (impl_->unbuffered) {
        const std::int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? impl_->position : Size();
        if (base < 0 || base + offset < 0) return -1;
        impl_->position = base + offset;
        return impl_->position;
    }
    const DWORD method = origin == SeekOrigin::Begin ? FILE_BEGIN : origin == SeekOrigin::Current ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(impl_->handle, distance, &position, method)) return -1;
    return position.QuadPart;
}

std::int64_t FileHandle::Size() {
    LARGE_INTEGER size;
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Size, impl_->path)) return -1;
    if (!GetFileSizeEx(impl_->handle, &size)) return -1;
    return size.QuadPart;
}

bool FileHandle::SetSize(std::int64_t size) {
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Write, impl_->path)) return false;
    const std::int64_t old = Size();
    if (size > old && faults::AllowWrite(impl_->path, size - old) < size - old) return false;
    const std::int64_t here = Seek(0, SeekOrigin::Current);
    if (Seek(size, SeekOrigin::Begin) < 0 || !SetEndOfFile(impl_->handle)) return false;
    Seek(std::min(here, size), SeekOrigin::Begin);
    return true;
}

bool FileHandle::Flush() {
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Flush, impl_->path)) return false;
    if (FlushFileBuffers(impl_->handle)) return true;
    NoteFileError("flush", impl_->path, Reason(GetLastError()));
    return false;
}

void FileHandle::StartFlush() {
    // Windows has no flush that does not wait; the one done here makes the later one cheap.
    if (IsOpen()) FlushFileBuffers(impl_->handle);
}

bool FileHandle::Close() {
    if (!IsOpen()) {
        impl_.reset();
        return true;
    }
    const bool failed = faults::OperationFails(faults::FileOp::Close, impl_->path);
    const bool closed = CloseHandle(impl_->handle) != 0;
    if (!closed) NoteFileError("close", impl_->path, Reason(GetLastError()));
    impl_->handle = INVALID_HANDLE_VALUE;
    impl_.reset();
    return closed && !failed;
}

// ---- Folder enumeration ----

struct FindHandle::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::uint32_t excluded = 0;
    bool foldersOnly = false;
    // Entries that carry an attribute the filter lacks are passed over, as the runtime's search
    // does; so are files in a search for folders.
    bool Skips(const WIN32_FIND_DATAW& data) const {
        const DWORD attr = ListedAttributes(data);
        return (attr & excluded) != 0 || (foldersOnly && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0);
    }
    // A symbolic link or a junction (to a file or a folder) is never followed: it may lead to
    // files of someone else's or round in a circle, and whoever may write in the folder can make
    // one. It is listed as a file, which FileHandle::Open refuses (it opens no link), so that it
    // is asked about like any file that cannot be read, and never searched as a folder.
    static DWORD ListedAttributes(const WIN32_FIND_DATAW& data) {
        DWORD attr = data.dwFileAttributes;
        if ((attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
            (data.dwReserved0 == IO_REPARSE_TAG_SYMLINK || data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT)) {
            attr = (attr & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY)) | FILE_ATTRIBUTE_ARCHIVE;
        }
        return attr;
    }
    ~Impl() {
        if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
    }
};

FindHandle::FindHandle() = default;
FindHandle::FindHandle(FindHandle&& other) noexcept = default;
FindHandle& FindHandle::operator=(FindHandle&& other) noexcept = default;
FindHandle::~FindHandle() = default;

namespace {

// A name in the ANSI code page, with "?" for every character the code page lacks. The system's
// ANSI search would put a look-alike there instead ("Ω" becomes "O"), and the name it gives then
// opens another file, or makes two files one; "?" cannot stand in a name, so such a file is listed
// but cannot be opened, and the user is asked about it.
std::string AnsiName(const wchar_t* name) {
    const int length = static_cast<int>(wcslen(name));
    if (length == 0) return {};
    std::string ansi(static_cast<std::size_t>(length) * 2, '\0');
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, length, ansi.data(),
                                      static_cast<int>(ansi.size()), "?", nullptr);
    ansi.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return ansi;
}

std::wstring WidePath(const std::string& ansi) {
    if (ansi.empty()) return {};
    std::wstring wide(ansi.size(), L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                                      static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return wide;
}

void Fill(const WIN32_FIND_DATAW& data, FindEntry& entry) {
    entry.Name = AnsiName(data.cFileName);
    entry.Attr = FindHandle::Impl::ListedAttributes(data);
    entry.Size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.Time = PackFileTime(data.ftLastWriteTime);
}

}  // namespace

bool FindHandle::First(const std::string& pattern, std::uint32_t attrFilter, FindEntry& entry) {
    return Start(pattern, attrFilter, false, entry);
}

// Windows hands out a file's attributes with its name, so leaving the files out costs nothing.
bool FindHandle::FirstFolder(const std::string& pattern, std::uint32_t attrFilter, FindEntry& entry) {
    return Start(pattern, attrFilter, true, entry);
}

bool FindHandle::Start(const std::string& pattern, std::uint32_t attrFilter, bool foldersOnly, FindEntry& entry) {
    impl_ = std::make_unique<Impl>();
    impl_->excluded = ~attrFilter & (faHidden | faSysFile | faVolumeID | faDirectory);
    impl_->foldersOnly = foldersOnly;
    WIN32_FIND_DATAW data;
    impl_->handle = FindFirstFileW(WidePath(pattern).c_str(), &data);
    if (impl_->handle == INVALID_HANDLE_VALUE) {
        // A folder that is there but cannot be read is not an empty one: whoever needs the whole
        // listing (the job deleting old volumes) can tell by the line.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_NO_MORE_FILES) {
            NoteFileError("list", pattern, Reason(error));
        }
        return false;
    }
    while (impl_->Skips(data)) {
        if (!FindNextFileW(impl_->handle, &data)) return false;
    }
    Fill(data, entry);
    return true;
}

bool FindHandle::Next(FindEntry& entry) {
    if (!impl_ || impl_->handle == INVALID_HANDLE_VALUE) return false;
    WIN32_FIND_DATAW data;
    do {
        if (!FindNextFileW(impl_->handle, &data)) return false;
    } while (impl_->Skips(data));
    Fill(data, entry);
    return true;
}

// ---- Queries ----

std::uint32_t GetFileAttributes(const std::string& path) {
    const DWORD attr = GetFileAttributesA(path.c_str());
    return attr == INVALID_FILE_ATTRIBUTES ? faInvalid : attr;
}

std::int32_t FileAge(const std::string& path) {
    WIN32_FIND_DATAA data;
    const HANDLE h = FindFirstFileA(path.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return -1;
    FindClose(h);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return PackFileTime(data.ftLastWriteTime);
}

PathInfo QueryPath(const std::string& path) {
    // The attributes and the time as the two queries find them (the time from the folder's entry).
    PathInfo info;
    info.Attr = GetFileAttributes(path);
    if (info.Attr != faInvalid && (info.Attr & faDirectory) == 0) info.Time = FileAge(path);
    return info;
}

FileIdentity GetFileIdentity(const std::string& path) {
    FileIdentity id;
    // No access asked for, and every sharing given: the query disturbs no open of the file.
    const HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        id.Valid = true;
        id.Volume = info.dwVolumeSerialNumber;
        id.Index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    CloseHandle(h);
    return id;
}

std::string ExpandFileName(const std::string& path) {
    if (path.empty()) return std::string();
    char buffer[MAX_PATH * 4];
    char* name = nullptr;
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, &name);
    if (n == 0 || n >= sizeof buffer) return path;
    return std::string(buffer, n);
}

std::string GetCurrentDir() {
    char buffer[MAX_PATH * 4];
    const DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

bool DeleteFile(const std::string& path) {
    // A file that exists and stays is noted with the reason: the job must say which old file it
    // could not delete, and why.
    if (faults::OperationFails(faults::FileOp::Delete, path)) {
        NoteFileError("delete", ExpandFileName(path), Reason(ERROR_ACCESS_DENIED));
        return false;
    }
    if (DeleteFileA(path.c_str()) == 0) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) NoteFileError("delete", ExpandFileName(path), Reason(error));
        return false;
    }
    faults::FileDeleted(ExpandFileName(path));
    return true;
}

bool FlushFiles(const std::vector<std::string>& paths) {
    // Each was flushed when it was closed (StartFlush): these flushes find little left to do.
    for (const std::string& path : paths) {
        if (faults::OperationFails(faults::FileOp::Flush, path)) return false;
        const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            NoteFileError("flush", path, Reason(GetLastError()));
            return false;
        }
        const bool flushed = FlushFileBuffers(h) != 0;
        if (!flushed) NoteFileError("flush", path, Reason(GetLastError()));
        if (!CloseHandle(h) || !flushed) return false;
    }
    return true;
}

bool FlushFolder(const std::string& path) {
    // NTFS records the creation and renaming of files in its own log, written with the files'
    // flushes; a folder cannot be flushed on its own without administrator rights.
    return !faults::OperationFails(faults::FileOp::Flush, path) && DirectoryExists(path);
}

bool RenameFile(const std::string& oldPath, const std::string& newPath) {
    // MoveFile never replaces: a file or link that took the new name meanwhile fails the rename.
    return !faults::OperationFails(faults::FileOp::Rename, oldPath) && MoveFileA(oldPath.c_str(), newPath.c_str()) != 0;
}

std::int64_t DiskFree(const std::string& path) {
    const std::string full = ExpandFileName(path);
    ULARGE_INTEGER available;
    std::int64_t real = -1;
    // The drive part with a backslash: the root the query names.
    std::string root = full.size() >= 2 && full[1] == ':' ? full.substr(0, 2) + "\\" : full;
    if (GetDiskFreeSpaceExA(root.c_str(), &available, nullptr, nullptr)) {
        real = static_cast<std::int64_t>(available.QuadPart);
    }
    return faults::FreeSpaceFor(full, real);
}

DriveType GetDriveType(const std::string& path) {
    const std::string full = ExpandFileName(path);
    const std::string root = full.size() >= 2 && full[1] == ':' ? full.substr(0, 2) + "\\" : full;
    switch (GetDriveTypeA(root.c_str())) {
        case DRIVE_NO_ROOT_DIR: return DriveType::NoRootDir;
        case DRIVE_REMOVABLE: return DriveType::Removable;
        case DRIVE_FIXED: return DriveType::Fixed;
        case DRIVE_REMOTE: return DriveType::Remote;
        case DRIVE_CDROM: return DriveType::CDRom;
        case DRIVE_RAMDISK: return DriveType::RamDisk;
        default: return DriveType::Unknown;
    }
}

bool SetVolumeLabel(const std::string& path, const std::string& label) {
    const std::string full = ExpandFileName(path);
    const std::string root = full.size() >= 2 && full[1] == ':' ? full.substr(0, 2) + "\\" : full;
    return SetVolumeLabelA(root.c_str(), label.c_str()) != 0;
}

std::string GetTempPath() {
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    std::string dir = n == 0 || n > MAX_PATH ? std::string("C:\\") : std::string(buffer, n);
    if (dir.back() != '\\') dir += '\\';
    return dir;
}

namespace {

// Temporary files hold mail, and a run that is killed cannot remove its own. Each process clears
// the temporary folder it uses, once, of the files of its temporary name pattern (three characters,
// one to four hex digits, ".tmp") not written for two seconds: Windows refuses to delete a file
// that a living run holds open (it never shares deletion), and one just created stays too.
void RemoveStaleTempFiles(const std::string& folder, const std::string& three) {
    const std::string dir = folder.empty() || folder.back() == '\\' ? folder : folder + "\\";
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA((dir + three + "*.tmp").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    do {
        const std::string name = data.cFileName;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || name.size() < three.size() + 5 ||
            name.size() > three.size() + 8 || _strnicmp(name.c_str(), three.c_str(), three.size()) != 0) {
            continue;
        }
        const std::string digits = name.substr(three.size(), name.size() - three.size() - 4);
        if (digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) continue;
        if (ticks(data.ftLastWriteTime) + 2ull * 10000000ull > ticks(now)) continue;  // 100 ns ticks
        DeleteFileA((dir + name).c_str());
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

}  // namespace

void ClearStaleTempFiles(const std::string& folder, const std::string& prefix) {
    static std::mutex lock;
    static std::vector<std::string> cleared;
    const std::lock_guard guard(lock);
    const std::string three = prefix.substr(0, 3);
    if (std::find(cleared.begin(), cleared.end(), folder + "|" + three) != cleared.end()) return;
    cleared.push_back(folder + "|" + three);
    RemoveStaleTempFiles(folder, three);
}

FileHandle FileHandle::CreateTemp(const std::string& folder, const std::string& prefix, std::string& name) {
    if (faults::OperationFails(faults::FileOp::TempName, folder)) throw EFCreateError(folder + prefix, OsError::Other);
    const std::string probe = folder.empty() || folder.back() == '\\' ? folder + "x" : folder + "\\x";
    const OsError fault = faults::OpenFailureFor(ExpandFileName(probe));
    if (fault != OsError::None) throw EFCreateError(probe, fault);
    // GetTempFileName with a number of our own only forms the name; the file is then created new
    // and kept open, so it is not closed and opened again with truncation.
    static volatile LONG counter = static_cast<LONG>(GetTickCount());
    ClearStaleTempFiles(folder, prefix);
    for (int attempt = 0; attempt < 0x10000; ++attempt) {
        const UINT unique = static_cast<UINT>(InterlockedIncrement(&counter)) & 0xFFFF;
        if (unique == 0) continue;
        char buffer[MAX_PATH + 1];
        if (GetTempFileNameA(folder.c_str(), prefix.c_str(), unique, buffer) == 0) break;
        FileHandle h;
        h.impl_ = std::make_unique<Impl>();
        h.impl_->handle = CreateFileA(buffer, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h.impl_->handle != INVALID_HANDLE_VALUE) {
            name = buffer;
            h.impl_->path = ExpandFileName(name);
            return h;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            throw EFCreateError(buffer, FromLastError(error));
        }
    }
    throw EFCreateError(folder + prefix.substr(0, 3) + ".tmp", FromLastError(GetLastError()));
}

std::string GetTempFileName(const std::string& folder, const std::string& prefix) {
    if (faults::OperationFails(faults::FileOp::TempName, folder)) throw EFCreateError(folder + prefix, OsError::Other);
    char buffer[MAX_PATH + 1];
    const std::string probe = folder.empty() || folder.back() == '\\' ? folder + "x" : folder + "\\x";
    const OsError fault = faults::OpenFailureFor(ExpandFileName(probe));
    if (fault != OsError::None) throw EFCreateError(probe, fault);
    if (GetTempFileNameA(folder.c_str(), prefix.c_str(), 0, buffer) == 0) {
        throw EFCreateError(folder + prefix.substr(0, 3) + ".tmp", FromLastError(GetLastError()));
    }
    return buffer;
}

// ---- Run lock ----

// A named mutex for the folder's full path without regard to case: it is let go when its holder
// ends, however it ends, and leaves nothing in the folder. (Runs on several workstations writing
// to one server folder meet the share modes of the volumes instead.)
struct FolderRunLock::Impl {
    HANDLE mutex = nullptr;
    ~Impl() {
        if (mutex) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
    }
};

FolderRunLock::FolderRunLock(const std::string& folder) : impl_(std::make_unique<Impl>()) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : AnsiUpperCase(ExpandFileName(folder))) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    std::string name = "Local\\VandrelMailbale-";
    for (int shift = 60; shift >= 0; shift -= 4) name.push_back("0123456789abcdef"[(hash >> shift) & 0xF]);
    impl_->mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!impl_->mutex) {
        const OsError error = FromLastError(GetLastError());
        throw EOSError(Format("Cannot lock folder \"%s\". %s", folder.c_str(), OsErrorText(error).c_str()), error);
    }
    const DWORD wait = WaitForSingleObject(impl_->mutex, 0);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(impl_->mutex);
        impl_->mutex = nullptr;
        throw EOSError(Format("Folder \"%s\" is in use by another run of this program", folder.c_str()),
                       OsError::ShareViolation);
    }
}

FolderRunLock::~FolderRunLock() = default;

}  // namespace platform
