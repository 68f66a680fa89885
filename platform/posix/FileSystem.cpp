// Files, folders and drives of the emulated Windows machine on a Linux host.
#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Faults.h"
#include "platform/Format.h"
#include "platform/posix/Host.h"

namespace platform {
namespace host {

std::string MachineFolder() {
    if (const char* m = std::getenv("MAILBALE_MACHINE"); m && *m) return m;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.mailbale";
}

namespace {

bool IsDir(const std::string& p) {
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& p) {
    struct stat st{};
    return ::lstat(p.c_str(), &st) == 0;
}

std::string RealPath(const std::string& p) {
    char buffer[PATH_MAX];
    if (::realpath(p.c_str(), buffer)) return buffer;
    return p;
}

}  // namespace

std::string DriveFolder(char letter) {
    const char lower = static_cast<char>(letter | 0x20);
    if (lower < 'a' || lower > 'z') return std::string();
    const std::string drives = MachineFolder() + "/drives/";
    for (char c : {lower, static_cast<char>(lower & ~0x20)}) {
        const std::string candidate = drives + c;
        if (IsDir(candidate)) return candidate;
    }
    if (lower == 'c') return MachineFolder() + "/drive_c";
    if (lower == 'z') return "/";
    return std::string();
}

std::string ToHost(const std::string& windowsPath) {
    const std::string full = ExpandFileName(windowsPath);
    if (full.size() < 2 || full[1] != ':') return std::string();
    std::string hostPath = DriveFolder(full[0]);
    if (hostPath.empty()) return std::string();
    std::size_t pos = 2;
    while (pos < full.size()) {
        while (pos < full.size() && full[pos] == '\\') ++pos;
        const std::size_t end = std::min(full.find('\\', pos), full.size());
        if (end == pos) break;
        const std::string component = full.substr(pos, end - pos);
        pos = end;
        const std::string utf8 = AnsiToUtf8(component);
        const std::string base = hostPath == "/" ? std::string() : hostPath;
        std::string next = base + "/" + utf8;
        if (!Exists(next)) {
            // The exact name is missing: look for the one that differs only in letter case.
            if (DIR* dir = ::opendir(hostPath.c_str())) {
                while (const dirent* e = ::readdir(dir)) {
                    if (AnsiSameText(Utf8ToAnsi(e->d_name), component)) {
                        next = base + "/" + e->d_name;
                        break;
                    }
                }
                ::closedir(dir);
            }
        }
        hostPath = next;
    }
    return hostPath;
}

std::string FromHost(const std::string& hostPath) {
    const std::string real = RealPath(hostPath);
    char bestLetter = 0;
    std::size_t bestLength = 0;
    std::string bestRoot;
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        const std::string folder = DriveFolder(letter);
        if (folder.empty() || !IsDir(folder)) continue;
        std::string root = RealPath(folder);
        if (root.size() > 1 && root.back() == '/') root.pop_back();
        const bool inside = root == "/" || real == root || real.compare(0, root.size() + 1, root + "/") == 0;
        if (inside && (bestLetter == 0 || root.size() > bestLength)) {
            bestLetter = letter;
            bestLength = root.size();
            bestRoot = root;
        }
    }
    if (bestLetter == 0) {
        bestLetter = 'z';
        bestRoot = "/";
    }
    std::string rest = bestRoot == "/" ? real : real.substr(bestRoot.size());
    std::replace(rest.begin(), rest.end(), '/', '\\');
    if (rest.empty() || rest.front() != '\\') rest.insert(rest.begin(), '\\');
    return std::string(1, static_cast<char>(bestLetter & ~0x20)) + ":" + Utf8ToAnsi(rest);
}

}  // namespace host

namespace {

using host::ToHost;

OsError FromErrno(int error) {
    switch (error) {
        case ENOENT: return OsError::FileNotFound;
        case ENOTDIR: return OsError::PathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS: return OsError::AccessDenied;
        case ENOSPC:
        case EDQUOT: return OsError::DiskFull;
        case EEXIST: return OsError::AlreadyExists;
        default: return OsError::Other;
    }
}

// Opens of the same file by this process, so that the Windows share modes hold between them.
struct OpenRecord {
    dev_t dev;
    ino_t ino;
    bool read, write, shareRead, shareWrite;
    const void* owner;
};

std::mutex& ShareLock() {
    static std::mutex lock;
    return lock;
}

std::vector<OpenRecord>& OpenFiles() {
    static std::vector<OpenRecord> files;
    return files;
}

bool Conflicts(const OpenRecord& a, const OpenRecord& b) {
    return (a.read && !b.shareRead) || (a.write && !b.shareWrite) || (b.read && !a.shareRead) ||
           (b.write && !a.shareWrite);
}

bool IsOpenHere(dev_t dev, ino_t ino) {
    std::lock_guard guard(ShareLock());
    return std::any_of(OpenFiles().begin(), OpenFiles().end(),
                       [&](const OpenRecord& r) { return r.dev == dev && r.ino == ino; });
}

std::string ParentOf(const std::string& hostPath) {
    const std::size_t slash = hostPath.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return hostPath.substr(0, slash);
}

std::uint32_t AttributesOf(const struct stat& st, const std::string& name) {
    std::uint32_t attr = S_ISDIR(st.st_mode) ? faDirectory : faArchive;
    if ((st.st_mode & S_IWUSR) == 0) attr |= faReadOnly;
    if (!name.empty() && name.front() == '.' && name != "." && name != "..") attr |= faHidden;
    return attr;
}

std::int32_t PackedTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return PackDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                        local.tm_sec);
}

std::string LastComponent(const std::string& hostPath) {
    const std::size_t slash = hostPath.rfind('/');
    return slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
}

}  // namespace

struct FileHandle::Impl {
    int fd = -1;
    std::string path;  // Windows path, for the fault seam
    OpenRecord record{};

    ~Impl() { Release(); }

    // Closes the file; false when close reports an error (the descriptor is gone either way).
    bool Release() {
        if (fd < 0) return true;
        {
            std::lock_guard guard(ShareLock());
            auto& files = OpenFiles();
            files.erase(std::remove_if(files.begin(), files.end(), [&](const OpenRecord& r) { return r.owner == this; }),
                        files.end());
        }
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }
};

namespace {

// Opens (or creates) a file and registers it in the share table, refusing an open that the share
// modes of the other opens forbid. Returns the error kind, OsError::None on success.
OsError OpenHost(FileHandle::Impl& impl, const std::string& hostPath, bool create, bool read, bool write,
                 bool shareRead, bool shareWrite) {
    struct stat st{};
    const bool exists = ::stat(hostPath.c_str(), &st) == 0;
    if (!exists && !create) {
        return ::stat(ParentOf(hostPath).c_str(), &st) == 0 ? OsError::FileNotFound : OsError::PathNotFound;
    }
    if (exists && S_ISDIR(st.st_mode)) return OsError::AccessDenied;
    if (!exists && ::stat(ParentOf(hostPath).c_str(), &st) != 0) return OsError::PathNotFound;
    std::lock_guard guard(ShareLock());
    OpenRecord wanted{0, 0, read, write, shareRead, shareWrite, &impl};
    if (exists) {
        struct stat existing{};
        ::stat(hostPath.c_str(), &existing);
        for (const OpenRecord& r : OpenFiles()) {
            if (r.dev == existing.st_dev && r.ino == existing.st_ino && Conflicts(r, wanted)) return OsError::ShareViolation;
        }
    }
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    if (create) flags |= O_CREAT | O_TRUNC;
    const int fd = ::open(hostPath.c_str(), flags, 0666);
    if (fd < 0) return FromErrno(errno);
    struct stat opened{};
    ::fstat(fd, &opened);
    wanted.dev = opened.st_dev;
    wanted.ino = opened.st_ino;
    impl.fd = fd;
    impl.record = wanted;
    OpenFiles().push_back(wanted);
    return OsError::None;
}

}  // namespace

FileHandle::FileHandle() = default;
FileHandle::FileHandle(FileHandle&& other) noexcept = default;
FileHandle& FileHandle::operator=(FileHandle&& other) noexcept = default;
FileHandle::~FileHandle() = default;

FileHandle FileHandle::Create(const std::string& path) {
    FileHandle h;
    h.impl_ = std::make_unique<Impl>();
    const std::string full = ExpandFileName(path);
    h.impl_->path = full;
    OsError error = faults::OpenFailureFor(full);
    const std::string hostPath = ToHost(full);
    if (error == OsError::None) {
        error = hostPath.empty() ? OsError::PathNotFound : OpenHost(*h.impl_, hostPath, true, true, true, false, false);
    }
    if (error != OsError::None) throw EFCreateError(path, error);
    return h;
}

FileHandle FileHandle::Open(const std::string& path, std::uint16_t mode) {
    FileHandle h;
    h.impl_ = std::make_unique<Impl>();
    const std::string full = ExpandFileName(path);
    h.impl_->path = full;
    const unsigned access = mode & 3u;
    const unsigned share = mode & 0xF0u;
    const bool read = access != fmOpenWrite;
    const bool write = access != fmOpenRead;
    const bool shareRead = share == fmShareDenyWrite || share == fmShareDenyNone;
    const bool shareWrite = share == fmShareDenyRead || share == fmShareDenyNone;
    OsError error = faults::OpenFailureFor(full);
    const std::string hostPath = ToHost(full);
    if (error == OsError::None) {
        error = hostPath.empty() ? OsError::PathNotFound
                                 : OpenHost(*h.impl_, hostPath, false, read, write, shareRead, shareWrite);
    }
    if (error != OsError::None) throw EFOpenError(path, error);
    return h;
}

bool FileHandle::IsOpen() const { return impl_ && impl_->fd >= 0; }

std::int64_t FileHandle::Read(void* buffer, std::int64_t count) {
    if (!IsOpen() || count <= 0) return 0;
    count = faults::AllowRead(impl_->path, count);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(impl_->fd, static_cast<char*>(buffer) + done, static_cast<std::size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t FileHandle::Write(const void* buffer, std::int64_t count) {
    if (!IsOpen() || count <= 0) return 0;
    count = faults::AllowWrite(impl_->path, count);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n =
            ::write(impl_->fd, static_cast<const char*>(buffer) + done, static_cast<std::size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t FileHandle::Seek(std::int64_t offset, SeekOrigin origin) {
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Seek, impl_->path)) return -1;
    const int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    return ::lseek(impl_->fd, offset, whence);
}

std::int64_t FileHandle::Size() {
    struct stat st{};
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Size, impl_->path)) return -1;
    if (::fstat(impl_->fd, &st) != 0) return -1;
    return st.st_size;
}

bool FileHandle::SetSize(std::int64_t size) {
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Write, impl_->path)) return false;
    if (size > Size() && faults::AllowWrite(impl_->path, size - Size()) < size - Size()) return false;
    if (::ftruncate(impl_->fd, size) != 0) return false;
    if (Seek(0, SeekOrigin::Current) > size) Seek(size, SeekOrigin::Begin);
    return true;
}

bool FileHandle::Flush() {
    return IsOpen() && !faults::OperationFails(faults::FileOp::Flush, impl_->path) && ::fsync(impl_->fd) == 0;
}

bool FileHandle::Close() {
    if (!IsOpen()) {
        impl_.reset();
        return true;
    }
    const bool failed = faults::OperationFails(faults::FileOp::Close, impl_->path);
    const bool closed = impl_->Release();
    impl_.reset();
    return closed && !failed;
}

// ---- Folder enumeration ----

namespace {

bool GlobMatch(const char* name, const char* mask) {
    const char* starMask = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*mask == '*') {
            starMask = ++mask;
            starName = name;
        } else if (*mask == '?' || (*mask && AnsiSameText(std::string_view(mask, 1), std::string_view(name, 1)))) {
            ++mask;
            ++name;
        } else if (starMask) {
            mask = starMask;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*mask == '*') ++mask;
    return *mask == 0;
}

// The Windows file search's reading of a pattern: "*.*" means every name, and a name without an
// extension also matches a pattern whose extension is "*".
bool WindowsMatch(const std::string& name, const std::string& mask) {
    if (mask == "*" || mask == "*.*") return true;
    if (GlobMatch(name.c_str(), mask.c_str())) return true;
    if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0 && name.find('.') == std::string::npos) {
        return GlobMatch(name.c_str(), mask.substr(0, mask.size() - 2).c_str());
    }
    return false;
}

}  // namespace

struct FindHandle::Impl {
    std::vector<FindEntry> entries;
    std::size_t next = 0;
};

FindHandle::FindHandle() = default;
FindHandle::FindHandle(FindHandle&& other) noexcept = default;
FindHandle& FindHandle::operator=(FindHandle&& other) noexcept = default;
FindHandle::~FindHandle() = default;

bool FindHandle::First(const std::string& pattern, std::uint32_t attrFilter, FindEntry& entry) {
    impl_ = std::make_unique<Impl>();
    const std::string full = ExpandFileName(pattern);
    const std::size_t slash = full.rfind('\\');
    if (slash == std::string::npos) return false;
    const std::string folder = full.substr(0, slash + 1);
    const std::string mask = full.substr(slash + 1);
    const std::string hostFolder = ToHost(folder);
    if (hostFolder.empty()) return false;
    DIR* dir = ::opendir(hostFolder.c_str());
    if (!dir) return false;
    const bool isRoot = folder.size() == 3;
    const std::uint32_t excluded = ~attrFilter & (faHidden | faSysFile | faVolumeID | faDirectory);
    std::vector<FindEntry> dots;
    while (const dirent* e = ::readdir(dir)) {
        const std::string hostName = e->d_name;
        const bool dot = hostName == "." || hostName == "..";
        if (dot && isRoot) continue;
        const std::string name = host::Utf8ToAnsi(hostName);
        if (!WindowsMatch(name, mask)) continue;
        struct stat st{};
        const std::string path = (hostFolder == "/" ? std::string() : hostFolder) + "/" + hostName;
        if (::stat(path.c_str(), &st) != 0) continue;
        FindEntry found;
        found.Name = name;
        found.Attr = AttributesOf(st, hostName);
        found.Size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
        found.Time = PackedTime(st.st_mtime);
        if ((found.Attr & excluded) != 0) continue;
        (dot ? dots : impl_->entries).push_back(found);
    }
    ::closedir(dir);
    // NTFS hands out names in order; sorting them here keeps archives reproducible.
    std::sort(impl_->entries.begin(), impl_->entries.end(), [](const FindEntry& a, const FindEntry& b) {
        return AnsiUpperCase(a.Name) < AnsiUpperCase(b.Name);
    });
    std::sort(dots.begin(), dots.end(), [](const FindEntry& a, const FindEntry& b) { return a.Name < b.Name; });
    impl_->entries.insert(impl_->entries.begin(), dots.begin(), dots.end());
    return Next(entry);
}

bool FindHandle::Next(FindEntry& entry) {
    if (!impl_ || impl_->next >= impl_->entries.size()) return false;
    entry = impl_->entries[impl_->next++];
    return true;
}

// ---- Queries ----

std::uint32_t GetFileAttributes(const std::string& path) {
    const std::string hostPath = ToHost(path);
    struct stat st{};
    if (hostPath.empty() || ::stat(hostPath.c_str(), &st) != 0) return faInvalid;
    return AttributesOf(st, LastComponent(hostPath));
}

std::int32_t FileAge(const std::string& path) {
    const std::string hostPath = ToHost(path);
    struct stat st{};
    if (hostPath.empty() || ::stat(hostPath.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return PackedTime(st.st_mtime);
}

std::string GetCurrentDir() {
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer)) return "C:\\";
    std::string dir = host::FromHost(buffer);
    if (dir.size() > 3 && dir.back() == '\\') dir.pop_back();
    return dir;
}

std::string ExpandFileName(const std::string& path) {
    if (path.empty()) return std::string();
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    std::string prefix;
    std::string rest;
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        // A UNC name keeps its server and share.
        std::size_t server = p.find('\\', 2);
        std::size_t share = server == std::string::npos ? std::string::npos : p.find('\\', server + 1);
        prefix = p.substr(0, share);
        rest = share == std::string::npos ? std::string() : p.substr(share);
    } else if (p.size() >= 2 && p[1] == ':') {
        prefix = p.substr(0, 2);  // the drive letter keeps its case, as Windows keeps it
        rest = p.substr(2);
        if (rest.empty() || rest.front() != '\\') {
            const std::string current = GetCurrentDir();
            const bool sameDrive = current.size() >= 2 && std::toupper(static_cast<unsigned char>(current[0])) ==
                                                               std::toupper(static_cast<unsigned char>(prefix[0]));
            rest = (sameDrive ? current.substr(2) : std::string()) + "\\" + rest;
        }
    } else {
        const std::string current = GetCurrentDir();
        prefix = current.substr(0, 2);
        rest = (p.front() == '\\') ? p : current.substr(2) + "\\" + p;
    }
    const bool trailing = !rest.empty() && rest.back() == '\\';
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= rest.size()) {
        const std::size_t end = std::min(rest.find('\\', pos), rest.size());
        std::string part = rest.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        // Windows drops trailing dots and spaces of every name.
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        if (!part.empty()) parts.push_back(part);
    }
    std::string out = prefix;
    for (const std::string& part : parts) out += "\\" + part;
    if (parts.empty() || trailing) out += "\\";
    return out;
}

bool DeleteFile(const std::string& path) {
    if (faults::OperationFails(faults::FileOp::Delete, path)) return false;
    const std::string hostPath = ToHost(path);
    struct stat st{};
    if (hostPath.empty() || ::lstat(hostPath.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    // Windows refuses to delete a file that is open without delete sharing; the program never asks
    // for that sharing.
    if (IsOpenHere(st.st_dev, st.st_ino)) return false;
    return ::unlink(hostPath.c_str()) == 0;
}

bool RenameFile(const std::string& oldPath, const std::string& newPath) {
    if (faults::OperationFails(faults::FileOp::Rename, oldPath)) return false;
    const std::string from = ToHost(oldPath);
    const std::string to = ToHost(newPath);
    struct stat st{};
    if (from.empty() || to.empty() || ::lstat(from.c_str(), &st) != 0) return false;
    if (IsOpenHere(st.st_dev, st.st_ino)) return false;
    struct stat target{};
    if (::lstat(to.c_str(), &target) == 0) {
        // Only a change of letter case of the same file may land on an existing name.
        if (target.st_ino != st.st_ino || target.st_dev != st.st_dev) return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

std::int64_t DiskFree(const std::string& path) {
    const std::string full = ExpandFileName(path);
    std::int64_t real = -1;
    const std::string folder = full.size() >= 2 && full[1] == ':' ? host::DriveFolder(full[0]) : std::string();
    struct statvfs vfs{};
    if (!folder.empty() && ::statvfs(folder.c_str(), &vfs) == 0) {
        real = static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
    }
    return faults::FreeSpaceFor(full, real);
}

DriveType GetDriveType(const std::string& path) {
    const std::string full = ExpandFileName(path);
    if (full.size() < 2 || full[1] != ':') return DriveType::NoRootDir;
    const char letter = static_cast<char>(full[0] | 0x20);
    const std::string folder = host::DriveFolder(letter);
    if (folder.empty()) return DriveType::NoRootDir;
    struct stat st{};
    const std::string marker = host::MachineFolder() + "/drives/" + letter + ".removable";
    if (letter == 'a' || letter == 'b' || ::stat(marker.c_str(), &st) == 0) return DriveType::Removable;
    return DriveType::Fixed;
}

bool SetVolumeLabel(const std::string& path, const std::string&) {
    return GetDriveType(path) != DriveType::NoRootDir;
}

std::string GetTempPath() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = host::FromHost(tmp && *tmp ? tmp : "/tmp");
    if (dir.back() != '\\') dir += '\\';
    return dir;
}

namespace {

// Creates a new file with a unique name in folder (the first three characters of prefix, one to
// four hex digits, ".tmp"), open for reading and writing; returns its descriptor and sets name.
int CreateUniqueFile(const std::string& folder, const std::string& prefix, std::string& name) {
    if (faults::OperationFails(faults::FileOp::TempName, folder)) throw EFCreateError(folder + prefix, OsError::Other);
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
    const std::string three = prefix.substr(0, 3);
    // The folder is looked up once; the names made in it differ only in their last component.
    const std::string probe = dir + three + ".tmp";
    const OsError folderFault = faults::OpenFailureFor(ExpandFileName(probe));
    if (folderFault != OsError::None) throw EFCreateError(probe, folderFault);
    std::string hostDir = ToHost(dir);
    if (hostDir.empty()) throw EFCreateError(probe, OsError::PathNotFound);
    if (hostDir.back() != '/') hostDir += '/';
    static std::mutex lock;
    static unsigned counter = 0;
    std::lock_guard guard(lock);
    if (counter == 0) counter = static_cast<unsigned>(::getpid() ^ std::time(nullptr));
    for (int attempt = 0; attempt < 0x10000; ++attempt) {
        counter = (counter + 1) & 0xFFFF;
        if (counter == 0) continue;
        const std::string digits = Format("%X", counter);
        name = dir + three + digits + ".tmp";
        const int fd = ::open((hostDir + three + digits + ".tmp").c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) throw EFCreateError(name, FromErrno(errno));
    }
    throw EFCreateError(probe, OsError::AlreadyExists);
}

}  // namespace

std::string GetTempFileName(const std::string& folder, const std::string& prefix) {
    std::string name;
    ::close(CreateUniqueFile(folder, prefix, name));
    return name;
}

FileHandle FileHandle::CreateTemp(const std::string& folder, const std::string& prefix, std::string& name) {
    FileHandle h;
    h.impl_ = std::make_unique<Impl>();
    const int fd = CreateUniqueFile(folder, prefix, name);
    struct stat opened{};
    ::fstat(fd, &opened);
    h.impl_->fd = fd;
    h.impl_->path = ExpandFileName(name);
    h.impl_->record = OpenRecord{opened.st_dev, opened.st_ino, true, true, false, false, h.impl_.get()};
    std::lock_guard guard(ShareLock());
    OpenFiles().push_back(h.impl_->record);
    return h;
}

}  // namespace platform
