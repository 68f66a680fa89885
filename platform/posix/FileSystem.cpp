// Files, folders and drives of the emulated Windows machine on a Linux host.
#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Faults.h"
#include "platform/Format.h"
#include "platform/posix/Host.h"

namespace platform {
namespace {

// A program started with standard input, output or error closed would get those numbers for the
// first files it opens, and would then print its messages into them: a prompt inside a volume.
// They are put on /dev/null before anything else is opened, ahead of every other initialiser;
// where that cannot be done the program does not run at all rather than write into its files.
__attribute__((constructor(101))) void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (::open("/dev/null", O_RDWR) != fd) ::_exit(1);  // the lowest free number: fd itself
    }
}

}  // namespace

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

std::string RealPath(const std::string& p) {
    char buffer[PATH_MAX];
    if (::realpath(p.c_str(), buffer)) return buffer;
    return p;
}

std::string FindDriveFolder(const std::string& machine, char lower) {
    // A machine without a drives folder (the usual one) costs a single call here, not one for
    // each case of the letter.
    const std::string drives = machine + "/drives";
    if (IsDir(drives)) {
        for (char c : {lower, static_cast<char>(lower & ~0x20)}) {
            const std::string candidate = drives + "/" + c;
            if (IsDir(candidate)) return candidate;
        }
    }
    if (lower == 'c') return machine + "/drive_c";
    if (lower == 'z') return "/";
    return std::string();
}

// The host folders of the drives, found once for each letter. The drives of a machine folder are
// set up before the program starts and stay as they are while it runs, so every path of a run
// (several look-ups for each file packed) need not look for them again. Keyed by the machine
// folder, which a process may change between runs of its jobs.
struct DriveFolders {
    std::mutex lock;
    std::string machine;
    std::string folders[26];
    bool known[26] = {};
    unsigned generation = 0;  // counts the resets, so that a search begun before one is not kept
};

void Reset(DriveFolders& drives, const std::string& machine) {
    drives.machine = machine;
    ++drives.generation;
    for (int i = 0; i < 26; ++i) {
        drives.folders[i].clear();
        drives.known[i] = false;
    }
}

DriveFolders& Drives() {
    static DriveFolders drives;
    return drives;
}

}  // namespace

std::string DriveFolder(char letter) {
    const char lower = static_cast<char>(letter | 0x20);
    if (lower < 'a' || lower > 'z') return std::string();
    const std::string machine = MachineFolder();
    DriveFolders& drives = Drives();
    const int i = lower - 'a';
    unsigned generation = 0;
    {
        std::lock_guard guard(drives.lock);
        if (drives.machine != machine) Reset(drives, machine);
        if (drives.known[i]) return drives.folders[i];
        generation = drives.generation;
    }
    std::string folder = FindDriveFolder(machine, lower);
    std::lock_guard guard(drives.lock);
    if (drives.generation == generation) {
        drives.folders[i] = folder;
        drives.known[i] = true;
    }
    return folder;
}

void ForgetDriveFolders() {
    std::lock_guard guard(Drives().lock);
    Reset(Drives(), MachineFolder());
}

namespace {

// A character Windows does not allow in a file name. "?" is among them, so a host name shown with
// "?" for characters the ANSI code page lacks can be listed but never opened, as on Windows.
bool InvalidNameChar(char c) {
    return static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos;
}

std::string Joined(const std::string& folder, const std::string& name) {
    return (folder == "/" ? std::string() : folder) + "/" + name;
}

// Whether a host name (UTF-8) is the ANSI name without regard to case. A name the ANSI code page
// cannot hold never is: it reaches the program with "?" in it.
bool SameHostName(std::string_view hostName, const std::string& ansiName) {
    const std::string ansi = Utf8ToAnsi(hostName);
    return AnsiSameText(ansi, ansiName) && AnsiToUtf8(ansi) == hostName;
}

// The entry of a host folder that a Windows name (ANSI) denotes without regard to case; empty when
// there is none. Where several differ only in case, the first in byte order is taken, whatever
// order the folder lists them in.
std::string FindWithoutCaseIn(DIR* dir, const std::string& ansiName) {
    std::string best;
    if (!dir) return best;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        // Cheap tests first, as a big folder is read through for every name that is missing: the
        // ANSI name has one byte per character, and ASCII names need no conversion.
        std::size_t characters = 0;
        bool ascii = true;
        for (char c : name) {
            characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        }
        if (characters != ansiName.size() || name == "." || name == "..") continue;
        if (ascii ? !AnsiSameText(name, ansiName) : !SameHostName(name, ansiName)) continue;
        if (best.empty() || name < best) best = name;
    }
    ::closedir(dir);
    return best;
}

std::string FindWithoutCase(const std::string& folder, const std::string& ansiName) {
    return FindWithoutCaseIn(::opendir(folder.c_str()), ansiName);
}

}  // namespace

HostFile Lookup(const std::string& windowsPath) {
    HostFile f;
    f.error = OsError::PathNotFound;
    const std::string full = ExpandFileName(windowsPath);
    if (full.size() < 2 || full[1] != ':') return f;
    const std::string root = DriveFolder(full[0]);
    if (root.empty()) return f;
    std::vector<std::string> names;  // the components, ANSI
    for (std::size_t pos = 2; pos < full.size();) {
        const std::size_t end = std::min(full.find('\\', pos), full.size());
        if (end > pos) names.push_back(full.substr(pos, end - pos));
        pos = end + 1;
    }
    for (const std::string& name : names) {
        if (std::any_of(name.begin(), name.end(), InvalidNameChar)) {
            f.error = OsError::InvalidName;
            return f;
        }
    }
    std::vector<std::string> utf8;
    for (const std::string& name : names) utf8.push_back(AnsiToUtf8(name));
    auto below = [&](std::string path, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) path = Joined(path, utf8[i]);
        return path;
    };
    auto found = [&](std::string path) {
        f.path = std::move(path);
        f.exists = true;
        f.error = OsError::None;
        return f;
    };
    // The exact name first: one call when it exists, which is the case for every name the program
    // got from a folder listing. It also wins over names that differ from it only in case.
    // A link that leads nowhere still takes its name: a file is never created through it.
    const auto present = [&](const std::string& path) {
        return ::stat(path.c_str(), &f.st) == 0 || (::lstat(path.c_str(), &f.st) == 0 && S_ISLNK(f.st.st_mode));
    };
    const std::string exact = below(root, 0, names.size());
    if (present(exact)) return found(exact);
    // Otherwise start from the deepest folder that exists as named, and match the rest without
    // case, trying the exact rest again after each component put right.
    std::size_t known = names.size();
    std::string folder;
    struct stat st{};
    for (;;) {
        if (known == 0) {
            folder = root;
            if (::stat(folder.c_str(), &st) != 0) return f;
            break;
        }
        folder = below(root, 0, --known);
        if (::stat(folder.c_str(), &st) == 0) break;
    }
    while (known < names.size()) {
        const std::string entry = FindWithoutCase(folder, names[known]);
        if (entry.empty()) {
            if (known + 1 == names.size() && S_ISDIR(st.st_mode)) {
                f.path = Joined(folder, utf8[known]);  // where a new file of that name goes
                f.error = OsError::FileNotFound;
            }
            return f;
        }
        folder = Joined(folder, entry);
        ++known;
        const std::string rest = below(folder, known, names.size());
        if (present(rest)) return found(rest);
        if (::stat(folder.c_str(), &st) != 0) return f;
        // Down as named as far as that goes; the next component is then put right in turn.
        while (known < names.size()) {
            const std::string next = Joined(folder, utf8[known]);
            struct stat nextSt{};
            if (::stat(next.c_str(), &nextSt) != 0) break;
            folder = next;
            st = nextSt;
            ++known;
        }
    }
    return f;
}

std::string ToHost(const std::string& windowsPath) { return Lookup(windowsPath).path; }

std::string FromHost(const std::string& hostPath) {
    const std::string real = RealPath(hostPath);
    // One listing of the drives folder instead of a look for each of 26 letters in both cases.
    std::string letters;
    if (DIR* dir = ::opendir((MachineFolder() + "/drives").c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] != 0 && e->d_name[1] == 0) letters += static_cast<char>(e->d_name[0] | 0x20);
        }
        ::closedir(dir);
    }
    char bestLetter = 0;
    std::size_t bestLength = 0;
    std::string bestRoot;
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        if (letter != 'c' && letter != 'z' && letters.find(letter) == std::string::npos) continue;
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

// The system's reason for an error, in the words of an error line ("disk full", "input/output error").
std::string Reason(int error) {
    if (error == ENOSPC || error == EDQUOT) return "disk full";
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

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
        case EMFILE:
        case ENFILE: return OsError::TooManyOpenFiles;
        // A symbolic link where a file was asked for: the program opens files, never links.
        case ELOOP: return OsError::AccessDenied;
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
    // A read-only open queries the file anyway; the first size asked for is answered from that
    // query, microseconds old, instead of asking again. Later questions ask the file system.
    std::int64_t sizeAtOpen = -1;
    // The size a read-only open found, to tell a file that shrank while it was read.
    std::int64_t openedSize = -1;

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

// Share modes between processes. Every open holds shared open-file-description locks on bytes
// far past any data: one for being open, one for each access it has and one for each access it
// denies the others; an open fails when another open holds a byte that conflicts with it. Each
// open takes its own bytes first and then looks for conflicts, so of two opens racing each other
// at least one sees the other. Such locks hold between the opens of one process too, and go with
// the open's last descriptor, also when a process dies.
constexpr off_t kShareBase = std::numeric_limits<off_t>::max() - 8;
// In this order the program's usual modes hold one run of bytes and look at one run.
enum ShareByte { kHasRead, kIsOpen, kDeniesWrite, kHasWrite, kDeniesRead, kShareBytes };

enum class LockResult : std::uint8_t { Done, Conflict, Unsupported };

// Takes shared locks on the bytes of mask (take), or looks whether another open holds any of them.
LockResult ShareBytes(int fd, unsigned mask, bool take) {
    for (int b = 0; b < kShareBytes;) {
        if ((mask & (1u << b)) == 0) {
            ++b;
            continue;
        }
        int e = b;
        while (e < kShareBytes && (mask & (1u << e)) != 0) ++e;
        struct flock lock{};
        lock.l_whence = SEEK_SET;
        lock.l_start = kShareBase + b;
        lock.l_len = e - b;
        lock.l_type = take ? F_RDLCK : F_WRLCK;
        if (::fcntl(fd, take ? F_OFD_SETLK : F_OFD_GETLK, &lock) != 0) {
            return errno == EAGAIN || errno == EACCES ? LockResult::Conflict : LockResult::Unsupported;
        }
        if (!take && lock.l_type != F_UNLCK) return LockResult::Conflict;
        b = e;
    }
    return LockResult::Done;
}

// False when another open's share mode forbids this one. Where the file system keeps no locks the
// modes hold between the program's own opens only.
bool TakeShareLocks(int fd, bool read, bool write, bool shareRead, bool shareWrite) {
    const auto bit = [](bool on, ShareByte b) { return on ? 1u << b : 0u; };
    const unsigned hold = (1u << kIsOpen) | bit(read, kHasRead) | bit(write, kHasWrite) |
                          bit(!shareRead, kDeniesRead) | bit(!shareWrite, kDeniesWrite);
    // An open that shares nothing conflicts with every other open: then one run to look at.
    const unsigned look = bit(read, kDeniesRead) | bit(write, kDeniesWrite) | bit(!shareRead, kHasRead) |
                          bit(!shareWrite, kHasWrite) | bit(!shareRead && !shareWrite, kIsOpen);
    const LockResult taken = ShareBytes(fd, hold, true);
    if (taken != LockResult::Done) return taken == LockResult::Unsupported;
    return ShareBytes(fd, look, false) != LockResult::Conflict;
}

// Windows refuses to delete or rename a file that is open without delete sharing, which the program
// never gives. A claim holds every share byte exclusively until it goes, after the deed, so no
// open slips in between (an open that got its descriptor just before finds the file gone).
class DeleteClaim {
public:
    DeleteClaim(const DeleteClaim&) = delete;
    DeleteClaim& operator=(const DeleteClaim&) = delete;
    explicit DeleteClaim(const std::string& hostPath) {
        struct flock lock{};
        lock.l_whence = SEEK_SET;
        lock.l_start = kShareBase;
        lock.l_len = kShareBytes;
        lock.l_type = F_WRLCK;
        // O_NOFOLLOW: the file may have been swapped for a link since it was looked at, by anyone
        // who may write in its folder; opening where that leads (a device whose opening does
        // something, someone else's file) is no part of deleting a name. A link is held by nobody.
        const int flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
        fd_ = ::open(hostPath.c_str(), O_RDWR | flags);
        if (fd_ >= 0) {
            allowed_ = ::fcntl(fd_, F_OFD_SETLK, &lock) == 0 || (errno != EAGAIN && errno != EACCES);
            return;
        }
        // A file this user may not write can only be looked at; one that cannot be opened at all
        // cannot be open here either.
        fd_ = ::open(hostPath.c_str(), O_RDONLY | flags);
        if (fd_ >= 0 && ::fcntl(fd_, F_OFD_GETLK, &lock) == 0) allowed_ = lock.l_type == F_UNLCK;
    }
    ~DeleteClaim() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Allowed() const { return allowed_; }

private:
    int fd_ = -1;
    bool allowed_ = true;
};

// Opens (or creates) a file and registers it in the share table, refusing an open that the share
// modes of the other opens forbid. Only a regular file is opened: a folder, FIFO, socket or device
// is refused at once, and the open never waits. Returns the error kind, OsError::None on success.
OsError OpenHost(FileHandle::Impl& impl, const host::HostFile& file, bool create, bool read, bool write,
                 bool shareRead, bool shareWrite, int dirFd = AT_FDCWD) {
    if (file.path.empty()) return file.error;
    // A link that leads nowhere takes its name as any file does (O_EXCL below refuses the others).
    if (create && file.exists && S_ISLNK(file.st.st_mode)) return OsError::AlreadyExists;
    if (file.exists && !S_ISREG(file.st.st_mode)) return OsError::AccessDenied;
    if (!file.exists && !create) return file.error;
    // An open of a file that is there is entered in the table at once under the file's identity
    // as looked up, and the lock is not held through the system calls: the opens of the other
    // threads need not wait for them. Entered before the calls, an open is seen by every open of
    // the same file that checks after it, and checks itself again should the file it got be
    // another one (replaced meanwhile), so of two racing opens at least one sees the other. A
    // file being created has no identity yet: its open keeps the lock throughout.
    std::unique_lock guard(ShareLock());
    OpenRecord wanted{0, 0, read, write, shareRead, shareWrite, &impl};
    const auto conflicting = [&](dev_t dev, ino_t ino) {
        return std::any_of(OpenFiles().begin(), OpenFiles().end(), [&](const OpenRecord& r) {
            return r.owner != &impl && r.dev == dev && r.ino == ino && Conflicts(r, wanted);
        });
    };
    const bool entered = file.exists && !create;
    if (file.exists) {
        if (conflicting(file.st.st_dev, file.st.st_ino)) return OsError::ShareViolation;
    }
    if (entered) {
        wanted.dev = file.st.st_dev;
        wanted.ino = file.st.st_ino;
        OpenFiles().push_back(wanted);
        guard.unlock();
    }
    const auto leave = [&] {
        if (!entered) return;
        if (!guard.owns_lock()) guard.lock();
        auto& files = OpenFiles();
        files.erase(std::remove_if(files.begin(), files.end(), [&](const OpenRecord& r) { return r.owner == &impl; }),
                    files.end());
    };
    // O_NONBLOCK: should a FIFO take the file's place meanwhile, open returns instead of waiting for
    // a writer. O_NOFOLLOW: a symbolic link in the file's place is refused, not followed to a file
    // elsewhere. A file is created with O_EXCL: should a name appear meanwhile (a link planted
    // between the look-up and the creation), the creation fails instead of writing through it.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    if (create) flags |= O_CREAT | O_EXCL;
    const int fd = ::openat(dirFd, file.path.c_str(), flags, 0666);
    if (fd < 0) {
        const OsError error = FromErrno(errno);
        leave();
        return error;
    }
    struct stat opened{};
    OsError error = OsError::None;
    // A write-only descriptor cannot hold shared locks; the program opens none.
    if (read && !TakeShareLocks(fd, read, write, shareRead, shareWrite)) error = OsError::ShareViolation;
    else if (::fstat(fd, &opened) != 0) error = FromErrno(errno);
    else if (!S_ISREG(opened.st_mode)) error = OsError::AccessDenied;
    else if (opened.st_nlink == 0) error = create ? OsError::AccessDenied : OsError::FileNotFound;  // deleted meanwhile
    if (error == OsError::None && entered) {
        guard.lock();
        if ((opened.st_dev != wanted.dev || opened.st_ino != wanted.ino) && conflicting(opened.st_dev, opened.st_ino)) {
            error = OsError::ShareViolation;
        }
    }
    if (error != OsError::None) {
        leave();
        ::close(fd);
        return error;
    }
    wanted.dev = opened.st_dev;
    wanted.ino = opened.st_ino;
    impl.fd = fd;
    impl.record = wanted;
    if (read && !write && !create) impl.sizeAtOpen = impl.openedSize = opened.st_size;
    if (entered) {
        for (OpenRecord& r : OpenFiles()) {
            if (r.owner == &impl) r = wanted;
        }
    } else {
        OpenFiles().push_back(wanted);
    }
    return OsError::None;
}

}  // namespace

// ---- Folders held for a search ----

namespace {

// A folder held from the moment a search begins: its Windows path (full, upper-cased, with a
// trailing backslash) and a descriptor of the folder found there then, shared with the opens under
// way (so that it outlives the hold while one still uses it).
struct HeldDescriptor {
    int fd;
    explicit HeldDescriptor(int f) : fd(f) {}
    HeldDescriptor(const HeldDescriptor&) = delete;
    HeldDescriptor& operator=(const HeldDescriptor&) = delete;
    ~HeldDescriptor() { ::close(fd); }
};

struct HeldFolder {
    const void* owner;
    std::string prefix;
    std::shared_ptr<HeldDescriptor> folder;
};

std::mutex& HeldLock() {
    static std::mutex lock;
    return lock;
}

std::vector<HeldFolder>& Held() {
    static std::vector<HeldFolder> held;
    return held;
}

// The folder held for full (a Windows path) and the components of full below it; null when no
// held folder holds full.
std::shared_ptr<HeldDescriptor> HeldFolderOf(const std::string& full, std::vector<std::string>& below) {
    std::lock_guard guard(HeldLock());
    if (Held().empty()) return nullptr;
    const std::string upper = AnsiUpperCase(full);
    const HeldFolder* best = nullptr;
    for (const HeldFolder& h : Held()) {
        if (upper.size() > h.prefix.size() && upper.compare(0, h.prefix.size(), h.prefix) == 0 &&
            (!best || h.prefix.size() > best->prefix.size())) {
            best = &h;
        }
    }
    if (!best) return nullptr;
    below.clear();
    for (std::size_t pos = best->prefix.size(); pos < full.size();) {
        const std::size_t end = std::min(full.find('\\', pos), full.size());
        if (end > pos) below.push_back(full.substr(pos, end - pos));
        pos = end + 1;
    }
    return best->folder;
}

// The entry of the folder open on dirFd that a Windows name denotes, and what is there (a link as
// the link itself): the exact name, else the name without regard to case; empty when there is none.
std::string EntryAt(int dirFd, const std::string& ansiName, struct stat& st) {
    const std::string exact = host::AnsiToUtf8(ansiName);
    if (::fstatat(dirFd, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return exact;
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return std::string();
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return std::string();
    }
    const std::string found = host::FindWithoutCaseIn(dir, ansiName);
    if (found.empty() || ::fstatat(dirFd, found.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::string();
    return found;
}

// Resolves the components below a held folder, never following a link: each folder on the way is
// opened relative to the one before it with O_NOFOLLOW, so a folder swapped for a link, or for
// another folder by a rename, after the search began leads nowhere. Returns the descriptor of the
// last folder, which the caller closes unless it is heldFd, and fills file with the last
// component's name and what is there; -1 with file.error when the way is broken.
int ResolveHeld(int heldFd, const std::vector<std::string>& below, host::HostFile& file) {
    file = host::HostFile{};
    file.error = OsError::PathNotFound;
    int dirFd = heldFd;
    const auto leave = [&] {
        if (dirFd != heldFd && dirFd >= 0) ::close(dirFd);
        return -1;
    };
    for (std::size_t i = 0; i < below.size(); ++i) {
        if (std::any_of(below[i].begin(), below[i].end(), host::InvalidNameChar)) {
            file.error = OsError::InvalidName;
            return leave();
        }
        struct stat st{};
        const std::string entry = EntryAt(dirFd, below[i], st);
        if (i + 1 == below.size()) {
            file.exists = !entry.empty();
            file.path = file.exists ? entry : host::AnsiToUtf8(below[i]);
            file.st = st;
            file.error = file.exists ? OsError::None : OsError::FileNotFound;
            return dirFd;
        }
        const int next = entry.empty() ? -1 : ::openat(dirFd, entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        leave();
        dirFd = next;
        if (dirFd < 0) return -1;
    }
    return leave();
}

}  // namespace

struct FolderHold::Impl {};

FolderHold::FolderHold(const std::string& folder) {
    std::string prefix = AnsiUpperCase(ExpandFileName(folder));
    if (prefix.empty()) return;
    if (prefix.back() != '\\') prefix += '\\';
    const std::string hostFolder = ToHost(folder);
    // The folder as it is now, links on the way to it followed: from here on it is this folder
    // that is read, whatever its path comes to name.
    const int fd = hostFolder.empty() ? -1 : ::open(hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    auto descriptor = std::make_shared<HeldDescriptor>(fd);
    std::lock_guard guard(HeldLock());
    Held().push_back(HeldFolder{this, prefix, std::move(descriptor)});
}

FolderHold::~FolderHold() {
    std::lock_guard guard(HeldLock());
    auto& held = Held();
    held.erase(std::remove_if(held.begin(), held.end(), [&](const HeldFolder& h) { return h.owner == this; }), held.end());
}

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
    if (error == OsError::None) error = OpenHost(*h.impl_, host::Lookup(full), true, true, true, false, false);
    if (error == OsError::AlreadyExists) NoteFileError("create", full, "the name is taken (a file or a link is there)");
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
    std::vector<std::string> below;
    if (error != OsError::None) {
    } else if (const auto held = HeldFolderOf(full, below)) {
        // Inside a folder held for a search: the file of that folder, reached without a link.
        host::HostFile file;
        const int dirFd = ResolveHeld(held->fd, below, file);
        error = dirFd < 0 ? file.error : OpenHost(*h.impl_, file, false, read, write, shareRead, shareWrite, dirFd);
        if (dirFd >= 0 && dirFd != held->fd) ::close(dirFd);
    } else {
        error = OpenHost(*h.impl_, host::Lookup(full), false, read, write, shareRead, shareWrite);
    }
    if (error != OsError::None) {
        std::string reason = OsErrorText(error);
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        NoteFileError("open", full, reason);
        throw EFOpenError(path, error);
    }
    return h;
}

FileHandle FileHandle::OpenReadBack(const std::string& path, bool again) {
    FileHandle h = Open(path, fmOpenRead | fmShareDenyNone);
    if (again) return h;
    // Pages still dirty cannot be dropped: the data go to the disk first, then every cached page
    // of the file goes, and the reads that follow come from the disk. Waiting for the write-out
    // of the pages is enough for that; it spares the journal commit and the drive's cache flush
    // of an fdatasync, which the job's flush at its end does for all volumes at once. Where the
    // file system has no such wait, fdatasync does it.
    if (faults::OperationFails(faults::FileOp::Flush, h.impl_->path)) throw EFOpenError(path, OsError::Other);
    constexpr unsigned kWriteOut = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (::sync_file_range(h.impl_->fd, 0, 0, kWriteOut) != 0 && ::fdatasync(h.impl_->fd) != 0) {
        const int error = errno;
        NoteFileError("flush", h.impl_->path, Reason(error));
        throw EFOpenError(path, FromErrno(error));
    }
    ::posix_fadvise(h.impl_->fd, 0, 0, POSIX_FADV_DONTNEED);
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
        if (n < 0) NoteFileError("read", impl_->path, Reason(errno));
        if (n == 0 && impl_->openedSize >= 0 && ::lseek(impl_->fd, 0, SEEK_CUR) < impl_->openedSize) {
            NoteFileError("read", impl_->path, "file shrank while it was read");
        }
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t FileHandle::Write(const void* buffer, std::int64_t count) {
    if (!IsOpen() || count <= 0) return 0;
    count = faults::AllowWrite(impl_->path, count);
    std::vector<std::uint8_t> altered;
    if (faults::FlipsPlanned()) buffer = faults::StoredBytes(impl_->path, ::lseek(impl_->fd, 0, SEEK_CUR), buffer, count, altered);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n =
            ::write(impl_->fd, static_cast<const char*>(buffer) + done, static_cast<std::size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) NoteFileError("write", impl_->path, Reason(errno));
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
    if (impl_->sizeAtOpen >= 0) return std::exchange(impl_->sizeAtOpen, -1);
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
    if (!IsOpen() || faults::OperationFails(faults::FileOp::Flush, impl_->path)) return false;
    if (::fsync(impl_->fd) == 0) return true;
    NoteFileError("flush", impl_->path, Reason(errno));
    return false;
}

void FileHandle::StartFlush() {
    if (IsOpen()) ::sync_file_range(impl_->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool FileHandle::Close() {
    if (!IsOpen()) {
        impl_.reset();
        return true;
    }
    const bool failed = faults::OperationFails(faults::FileOp::Close, impl_->path);
    const std::string path = impl_->path;
    const bool closed = impl_->Release();
    if (!closed) NoteFileError("close", path, Reason(errno));
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
    // A name the folder gave, in the order it is handed out. Only its name is read with the
    // listing: whether it is a file or a folder, its attributes, size and time are looked up when
    // its turn comes, so that a folder of thousands of mails hands out its first file at once and
    // the caller's work on each file overlaps the look-ups of the next.
    struct Name {
        std::string name;      // the program's name for it
        std::string hostName;  // the host's, when it differs
        unsigned char type = DT_UNKNOWN;
        bool dot = false;      // "." or ".."
    };
    // A deque: a folder of 100,000 files grows it without a copy of all it holds so far, and each
    // name handed out leaves it, so that the listing shrinks while the caller's own record of the
    // files grows.
    std::deque<Name> names;
    // The folder stays open while its names are handed out: each is looked up in it, never again
    // by a path that may lead elsewhere meanwhile.
    DIR* dir = nullptr;
    // A listing of folders alone is looked up whole when it starts, and its folder let go (see
    // Start): these are its entries, handed out in order.
    std::deque<FindEntry> looked;
    bool foldersOnly = false;
    std::uint32_t excluded = 0;
    // The first file of the names handed out so far that are alike but for case.
    std::string runFirst;
    bool inRun = false;

    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() {
        if (dir) ::closedir(dir);
    }
    // Looks n up and fills entry: false when it is not to be handed out.
    bool Look(const Name& n, FindEntry& entry);
    // Fills entry for n, a file when the folder was read that is gone or no file any more by its
    // turn: false when it is not to be handed out.
    bool Gone(const Name& n, FindEntry& entry);
};

FindHandle::FindHandle() = default;
FindHandle::FindHandle(FindHandle&& other) noexcept = default;
FindHandle& FindHandle::operator=(FindHandle&& other) noexcept = default;
FindHandle::~FindHandle() = default;

namespace {

// What a folder entry's type, as the folder itself records it, rules out: a file, FIFO, socket,
// device or symbolic link is no folder (a link is never followed into a folder, see Start). An
// entry of unknown type may be one.
bool CannotBeFolder(unsigned char type) {
    return type == DT_REG || type == DT_FIFO || type == DT_SOCK || type == DT_CHR || type == DT_BLK || type == DT_LNK;
}

// The name a host name has for the program: ANSI, with "?" for what a Windows name cannot hold
// there, so that it is listed but never opened (a name with "?" is refused) and never leads to
// another file: a character the code page lacks or an invalid UTF-8 sequence, a folder separator
// ("\\" or "/", which would lead into another folder), a ":" (which would name a drive or a
// stream), and trailing dots and spaces (which Windows drops, so the name would open the file
// without them).
std::string WindowsName(const std::string& hostName) {
    std::string name = host::Utf8ToAnsi(hostName);
    for (char& c : name) {
        if (c == '\\' || c == '/' || c == ':') c = '?';
    }
    for (auto it = name.rbegin(); it != name.rend() && (*it == '.' || *it == ' '); ++it) *it = '?';
    return name;
}

// Orders two names as their upper-case forms would be ordered, bytes as unsigned, without making
// those forms: a listing sorts thousands of names.
int CompareUpper(std::string_view a, std::string_view b) {
    static const std::array<unsigned char, 256> upper = [] {
        std::array<unsigned char, 256> table{};
        for (int c = 0; c < 256; ++c) {
            const char byte = static_cast<char>(c);
            table[static_cast<std::size_t>(c)] = static_cast<unsigned char>(AnsiUpperCase(std::string_view(&byte, 1))[0]);
        }
        return table;
    }();
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char ua = upper[static_cast<unsigned char>(a[i])];
        const unsigned char ub = upper[static_cast<unsigned char>(b[i])];
        if (ua != ub) return ua < ub ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Windows holds one of names that differ only in case: the first in byte order, which a look-up
// without regard to case finds too. Every other file (after it in the sorted listing) is listed
// with "?" for the letters where it differs from that first one, so it cannot be opened and, its
// stored name differing too, it takes no other file's place in an archive: it is asked about.
// Folders stay as they are: each is searched under its exact name, and what it holds is found.
void MarkCaseDuplicate(std::string& name, std::string& runFirst, bool& inRun) {
    if (!inRun || name.size() != runFirst.size() || !AnsiSameText(name, runFirst)) {
        runFirst = name;
        inRun = true;
        return;
    }
    for (std::size_t k = 0; k < name.size(); ++k) {
        if (name[k] != runFirst[k]) name[k] = '?';
    }
}

}  // namespace

bool FindHandle::First(const std::string& pattern, std::uint32_t attrFilter, FindEntry& entry) {
    return Start(pattern, attrFilter, false, entry);
}

bool FindHandle::FirstFolder(const std::string& pattern, std::uint32_t attrFilter, FindEntry& entry) {
    return Start(pattern, attrFilter, true, entry);
}

bool FindHandle::Start(const std::string& pattern, std::uint32_t attrFilter, bool foldersOnly, FindEntry& entry) {
    impl_ = std::make_unique<Impl>();
    const std::string full = ExpandFileName(pattern);
    const std::size_t slash = full.rfind('\\');
    if (slash == std::string::npos) return false;
    const std::string folder = full.substr(0, slash + 1);
    const std::string mask = full.substr(slash + 1);
    const std::string hostFolder = ToHost(folder);
    if (hostFolder.empty()) return false;
    DIR* dir = ::opendir(hostFolder.c_str());
    if (!dir) {
        // A folder that is there but cannot be read is not an empty one: whoever needs the whole
        // listing (the job deleting old volumes) can tell by the line.
        if (errno != ENOENT && errno != ENOTDIR) NoteFileError("list", folder, Reason(errno));
        return false;
    }
    impl_->dir = dir;
    impl_->foldersOnly = foldersOnly;
    impl_->excluded = ~attrFilter & (faHidden | faSysFile | faVolumeID | faDirectory);
    const bool isRoot = folder.size() == 3;
    std::deque<Impl::Name> dots;
    while (const dirent* e = ::readdir(dir)) {
        // Each entry looked up costs a system call, and a folder of mails holds thousands: what the
        // folder's own record of the type rules out is passed over unqueried.
        if (foldersOnly && CannotBeFolder(e->d_type)) continue;
        Impl::Name n;
        const std::string hostName = e->d_name;
        n.dot = hostName == "." || hostName == "..";
        if (n.dot && isRoot) continue;
        n.name = n.dot ? hostName : WindowsName(hostName);
        if (!WindowsMatch(n.name, mask)) continue;
        if (n.name != hostName) n.hostName = hostName;
        n.type = e->d_type;
        (n.dot ? dots : impl_->names).push_back(std::move(n));
    }
    // NTFS hands out names in order; sorting them here keeps archives reproducible.
    // Names that differ only in case come in byte order, whatever else the folder holds.
    std::sort(impl_->names.begin(), impl_->names.end(), [](const Impl::Name& a, const Impl::Name& b) {
        const int byCase = CompareUpper(a.name, b.name);
        return byCase != 0 ? byCase < 0 : a.name < b.name;
    });
    std::sort(dots.begin(), dots.end(), [](const Impl::Name& a, const Impl::Name& b) { return a.name < b.name; });
    impl_->names.insert(impl_->names.begin(), dots.begin(), dots.end());
    // A listing of folders is what a walk down a tree goes on with after each folder it enters,
    // and it is kept through the walk below that folder: were its folder kept open, a walk would
    // hold a descriptor for each level, and a tree deeper than the descriptors left (a low limit,
    // or a tree made deep by whoever may write in it) would have a folder on the way that cannot
    // be opened, and the mail below it left out unseen. Its entries are looked up now, and the
    // folder let go. It costs little: a folder of mails records its files as files, which such a
    // listing passes over unqueried.
    if (foldersOnly) {
        for (const Impl::Name& n : impl_->names) {
            FindEntry found;
            if (impl_->Look(n, found)) impl_->looked.push_back(std::move(found));
        }
        impl_->names.clear();
        ::closedir(impl_->dir);
        impl_->dir = nullptr;
    }
    return Next(entry);
}

bool FindHandle::Impl::Look(const Name& n, FindEntry& entry) {
    const std::string& hostName = n.hostName.empty() ? n.name : n.hostName;
    // A folder Windows could not name (a "?" put in, or a character it refuses in names: a
    // control character, "|", "*") cannot be searched, and what it holds would be left out
    // unseen: it is listed as a file, which cannot be opened either, so that it is asked about.
    const bool unnamable = !n.dot && std::any_of(n.name.begin(), n.name.end(), host::InvalidNameChar);
    // So is a folder this user may not list or enter: searched, it would give nothing, and the
    // mail in it would be left out of a run reported as a success.
    const auto unlistable = [&] {
        return !n.dot && ::faccessat(::dirfd(dir), hostName.c_str(), R_OK | X_OK, AT_EACCESS) != 0;
    };
    // A real folder is never a link, so its directory bit settles it when the filter lacks that
    // bit (unless its name makes it a file, above).
    if (!foldersOnly && n.type == DT_DIR && (excluded & faDirectory) != 0 && !unnamable && !unlistable()) {
        return false;
    }
    // Only files and folders: a dangling link, FIFO, socket or device is nothing Windows has. But
    // what the folder gave as a file when it was read (or gave without a type, and is gone now) is
    // still handed out when it is gone or no file by now, see Gone.
    struct stat st{};
    if (::fstatat(::dirfd(dir), hostName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT && (n.type == DT_REG || n.type == DT_UNKNOWN) && Gone(n, entry);
    }
    // A symbolic link is never followed: it may lead anywhere the user may read (a file of
    // someone else's, /etc), round in a circle, or elsewhere by the time it is read, and whoever
    // may write in the folder can plant one. A link to a file or folder is listed as a file that
    // cannot be opened (every open refuses a link), so that it is asked about like any file that
    // cannot be read, never packed with bytes from outside and never searched.
    const bool link = S_ISLNK(st.st_mode);
    if (link && ::fstatat(::dirfd(dir), hostName.c_str(), &st, 0) != 0) return n.type == DT_REG && Gone(n, entry);
    if (!(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return n.type == DT_REG && Gone(n, entry);
    const bool isFolder = S_ISDIR(st.st_mode) && !unnamable && !link && !unlistable();
    if (foldersOnly && !isFolder) return false;
    entry.Name = n.name;
    entry.Attr = AttributesOf(st, hostName);
    if (!isFolder) entry.Attr = (entry.Attr & ~faDirectory) | faArchive;
    entry.Size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    entry.Time = PackedTime(st.st_mtime);
    if ((entry.Attr & excluded) != 0) return false;
    if (!n.dot && (entry.Attr & faDirectory) == 0) MarkCaseDuplicate(entry.Name, runFirst, inRun);
    return true;
}

bool FindHandle::Impl::Gone(const Name& n, FindEntry& entry) {
    // The folder's names are read at once and each looked up at its turn, while the caller works
    // on the ones before it: a mail deleted, moved away or replaced meanwhile by anyone who may
    // write in the folder would otherwise be left out unseen, where a listing of the folder as it
    // was read gives it, and its reading then fails and is asked about. So it is handed out as a
    // file, which cannot be opened, its attributes those its name gives, its time unknown.
    if (foldersOnly || n.dot) return false;
    struct stat plain{};
    plain.st_mode = S_IFREG | S_IWUSR;
    entry.Name = n.name;
    entry.Attr = AttributesOf(plain, n.hostName.empty() ? n.name : n.hostName);
    entry.Size = 0;
    entry.Time = -1;
    if ((entry.Attr & excluded) != 0) return false;
    MarkCaseDuplicate(entry.Name, runFirst, inRun);
    return true;
}

bool FindHandle::Next(FindEntry& entry) {
    if (!impl_) return false;
    if (!impl_->looked.empty()) {
        entry = std::move(impl_->looked.front());
        impl_->looked.pop_front();
        return true;
    }
    while (!impl_->names.empty()) {
        const Impl::Name n = std::move(impl_->names.front());
        impl_->names.pop_front();
        if (impl_->Look(n, entry)) return true;
    }
    return false;
}

// ---- Queries ----

std::uint32_t GetFileAttributes(const std::string& path) {
    const host::HostFile file = host::Lookup(path);
    if (!file.exists || !(S_ISREG(file.st.st_mode) || S_ISDIR(file.st.st_mode))) return faInvalid;
    return AttributesOf(file.st, LastComponent(file.path));
}

std::int32_t FileAge(const std::string& path) {
    const host::HostFile file = host::Lookup(path);
    if (!file.exists || !S_ISREG(file.st.st_mode)) return -1;
    return PackedTime(file.st.st_mtime);
}

PathInfo QueryPath(const std::string& path) {
    PathInfo info;
    const host::HostFile file = host::Lookup(path);
    if (!file.exists || !(S_ISREG(file.st.st_mode) || S_ISDIR(file.st.st_mode))) return info;
    info.Attr = AttributesOf(file.st, LastComponent(file.path));
    if (S_ISREG(file.st.st_mode)) info.Time = PackedTime(file.st.st_mtime);
    return info;
}

FileIdentity GetFileIdentity(const std::string& path) {
    FileIdentity id;
    const host::HostFile file = host::Lookup(path);
    if (!file.exists || !(S_ISREG(file.st.st_mode) || S_ISDIR(file.st.st_mode))) return id;
    id.Valid = true;
    id.Volume = static_cast<std::uint64_t>(file.st.st_dev);
    id.Index = static_cast<std::uint64_t>(file.st.st_ino);
    return id;
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
    // A file that exists and stays is noted with the reason: the job must say which old file it
    // could not delete, and why.
    const auto stays = [&](std::string reason) {
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        NoteFileError("delete", ExpandFileName(path), reason);
        return false;
    };
    if (faults::OperationFails(faults::FileOp::Delete, path)) return stays(OsErrorText(OsError::AccessDenied));
    const std::string hostPath = ToHost(path);
    struct stat st{};
    if (hostPath.empty() || ::lstat(hostPath.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    // Windows refuses to delete a file that is open without delete sharing; the program never asks
    // for that sharing.
    if (IsOpenHere(st.st_dev, st.st_ino)) return stays(OsErrorText(OsError::ShareViolation));
    if (S_ISLNK(st.st_mode)) return ::unlink(hostPath.c_str()) == 0 || stays(Reason(errno));
    if (!S_ISREG(st.st_mode)) return false;  // a FIFO, socket or device is no file of the program's
    const DeleteClaim claim(hostPath);
    if (!claim.Allowed()) return stays(OsErrorText(OsError::ShareViolation));
    if (::unlink(hostPath.c_str()) != 0) return stays(Reason(errno));
    faults::FileDeleted(ExpandFileName(path));
    return true;
}

namespace {

// fsync on a descriptor of its own, which a read-only open gives on Linux. A file is opened without
// following a link: one put in a closed volume's place fails the flush, and with it the job.
bool SyncHost(const std::string& path, const std::string& hostPath, int flags) {
    const int fd = hostPath.empty() ? -1 : ::open(hostPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | flags);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0 && ::close(fd) != 0 && synced) {
        NoteFileError("flush", path, Reason(errno));
        return false;
    }
    if (!synced) NoteFileError("flush", path, hostPath.empty() ? "not found" : Reason(error));
    return synced;
}

}  // namespace

bool FlushFiles(const std::vector<std::string>& paths) {
    // The host paths, and the failures the fault seam plans, in order on this thread.
    std::vector<std::string> hostPaths;
    for (const std::string& path : paths) {
        if (faults::OperationFails(faults::FileOp::Flush, path)) return false;
        const host::HostFile file = host::Lookup(path);
        hostPaths.push_back(file.exists && S_ISREG(file.st.st_mode) ? file.path : std::string());
    }
    // The flushes wait side by side: a journalling file system commits the ones that wait together
    // once, where one after another each would wait for a commit (and a disk flush) of its own.
    std::vector<char> flushed(paths.size(), 0);
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) flushed[i] = SyncHost(paths[i], hostPaths[i], O_NOFOLLOW);
    };
    std::vector<std::thread> helpers;
    helpers.reserve(8);
    try {
        for (std::size_t n = 1; n < std::min<std::size_t>(paths.size(), 8); ++n) {
            if (faults::ThreadStartRefused()) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            helpers.emplace_back(work);
        }
    } catch (const std::system_error&) {
        // A thread the system refuses (a user allowed few processes) means fewer helpers, down to
        // none: the flushes are then done here.
    }
    work();
    for (std::thread& t : helpers) t.join();
    // A flush that failed side by side is tried once more alone: the helpers' descriptors may have
    // been more than the process may open, and that must not fail a complete archive. A file that
    // truly cannot be flushed fails again here.
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!flushed[i]) flushed[i] = SyncHost(paths[i], hostPaths[i], O_NOFOLLOW);
    }
    return std::all_of(flushed.begin(), flushed.end(), [](char f) { return f != 0; });
}

bool FlushFolder(const std::string& path) {
    if (faults::OperationFails(faults::FileOp::Flush, path)) return false;
    // A folder the user may write in but not read (write and search rights only) still takes the
    // archive, but Linux opens no descriptor on it to flush: its entries reach the disk with the
    // file system's next commit, as they did before any flush was asked for.
    const std::string host = ToHost(path);
    if (!host.empty() && ::access(host.c_str(), R_OK) != 0 && errno == EACCES) return true;
    return SyncHost(path, host, O_DIRECTORY);
}

bool RenameFile(const std::string& oldPath, const std::string& newPath) {
    if (faults::OperationFails(faults::FileOp::Rename, oldPath)) return false;
    const std::string from = ToHost(oldPath);
    const std::string to = ToHost(newPath);
    struct stat st{};
    if (from.empty() || to.empty() || ::lstat(from.c_str(), &st) != 0) return false;
    if (IsOpenHere(st.st_dev, st.st_ino)) return false;
    std::optional<DeleteClaim> claim;
    if (S_ISREG(st.st_mode) && !claim.emplace(from).Allowed()) return false;
    // Anyone who may write in the folder can put a file or a link of the new name there at any
    // moment: a plain rename would replace it, and no check before the rename can close that gap.
    // The system refuses such a rename itself (RENAME_NOREPLACE); a file system that knows no such
    // rename gets a hard link, which fails just as surely when the name is taken, and the old name
    // then goes.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    int error = errno;
    struct stat target{};
    if (error == EEXIST && ::lstat(to.c_str(), &target) == 0) {
        // Only a change of letter case of the same file may land on an existing name.
        if (target.st_ino != st.st_ino || target.st_dev != st.st_dev) {
            NoteFileError("rename", oldPath, "a file of the new name is there");
            return false;
        }
        if (::rename(from.c_str(), to.c_str()) == 0) return true;
        NoteFileError("rename", oldPath, Reason(errno));
        return false;
    }
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            if (::unlink(from.c_str()) == 0) return true;
            error = errno;
            ::unlink(to.c_str());
        } else {
            error = errno;
            // No hard links either (a FAT drive): rather no archive than one renamed over a name
            // another user may have put there.
            if (error == EPERM || error == ENOTSUP || error == EXDEV) {
                NoteFileError("rename", oldPath, "the file system cannot rename a file without replacing another");
                return false;
            }
        }
    }
    NoteFileError("rename", oldPath, error == EEXIST ? "a file of the new name is there" : Reason(error));
    return false;
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

// Whether a host name is one of the temporary names made below: three, one to four hex digits, ".tmp".
bool IsTempName(std::string_view name, std::string_view three) {
    if (name.size() < three.size() + 5 || name.size() > three.size() + 8 || name.substr(0, three.size()) != three ||
        name.substr(name.size() - 4) != ".tmp") {
        return false;
    }
    const std::string_view digits = name.substr(three.size(), name.size() - three.size() - 4);
    return digits.find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
}

// Temporary files hold mail (local headers and deflated data). A run that dies without its clean-up
// (SIGKILL from a scheduler's time-out, the OOM killer) leaves them behind, so each process clears
// the temporary folder it uses, once, of the files of this name pattern that belong to its user and
// that no living process holds: every open of a temporary file holds its share locks for as long as
// it is open, and a taken exclusive lock proves that nobody does. A file changed in the last two
// seconds stays too, as one just created may not hold its locks yet.
// Whether a file is open anywhere but on this descriptor. The share locks speak only for this
// program's opens; another program may hold a file of the same name pattern without them. Linux
// grants a write lease only on a file nobody else has open; where the file system knows no leases,
// the share locks have the last word.
bool OpenElsewhere(int fd) {
    if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    return errno == EAGAIN || errno == EBUSY;
}

void RemoveStaleTempFiles(const std::string& hostDir, const std::string& three) {
    DIR* dir = ::opendir(hostDir.c_str());
    if (!dir) return;
    const uid_t user = ::geteuid();
    const std::time_t now = std::time(nullptr);
    while (const dirent* e = ::readdir(dir)) {
        if (!IsTempName(e->d_name, three)) continue;
        struct stat st{};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != user || st.st_nlink != 1 || now - st.st_mtime < 2) {
            continue;
        }
        const int fd = ::openat(::dirfd(dir), e->d_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct flock lock{};
        lock.l_whence = SEEK_SET;
        lock.l_start = kShareBase;
        lock.l_len = kShareBytes;
        lock.l_type = F_WRLCK;
        struct stat opened{};
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0 && ::fstat(fd, &opened) == 0 && opened.st_ino == st.st_ino &&
            opened.st_dev == st.st_dev && !OpenElsewhere(fd)) {
            ::unlinkat(::dirfd(dir), e->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

// Clears a host folder of stale temporary files of one name pattern, once in the process's life.
void ClearStaleOnce(const std::string& hostDir, const std::string& three) {
    static std::mutex lock;
    static std::vector<std::string> cleared;
    std::lock_guard guard(lock);
    if (std::find(cleared.begin(), cleared.end(), hostDir + three) != cleared.end()) return;
    cleared.push_back(hostDir + three);
    RemoveStaleTempFiles(hostDir, three);
}

// Creates a new file with a unique name in folder (the first three characters of prefix, one to
// four hex digits, ".tmp"), open for reading and writing by its owner alone (it holds mail, and
// the temporary folder is shared by all users); returns its descriptor and sets name.
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
    ClearStaleOnce(hostDir, three);
    static std::mutex lock;
    static unsigned counter = 0;
    std::lock_guard guard(lock);
    if (counter == 0) counter = static_cast<unsigned>(::getpid() ^ std::time(nullptr));
    for (int attempt = 0; attempt < 0x10000; ++attempt) {
        counter = (counter + 1) & 0xFFFF;
        if (counter == 0) continue;
        const std::string digits = Format("%X", counter);
        name = dir + three + digits + ".tmp";
        const int fd = ::open((hostDir + three + digits + ".tmp").c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
        if (errno != EEXIST) throw EFCreateError(name, FromErrno(errno));
    }
    throw EFCreateError(probe, OsError::AlreadyExists);
}

}  // namespace

void ClearStaleTempFiles(const std::string& folder, const std::string& prefix) {
    std::string hostDir = ToHost(folder.empty() || folder.back() == '\\' ? folder : folder + "\\");
    if (hostDir.empty()) return;
    if (hostDir.back() != '/') hostDir += '/';
    ClearStaleOnce(hostDir, prefix.substr(0, 3));
}

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
    // Nobody shares a temporary file, other processes included.
    TakeShareLocks(fd, true, true, false, false);
    h.impl_->fd = fd;
    h.impl_->path = ExpandFileName(name);
    h.impl_->record = OpenRecord{opened.st_dev, opened.st_ino, true, true, false, false, h.impl_.get()};
    std::lock_guard guard(ShareLock());
    OpenFiles().push_back(h.impl_->record);
    return h;
}

// ---- Run lock ----

// flock on the folder itself: held by the open file description, so by this process alone, and
// let go by the system when the process ends however it ends.
struct FolderRunLock::Impl {
    int fd = -1;
    ~Impl() {
        if (fd >= 0) ::close(fd);
    }
};

FolderRunLock::FolderRunLock(const std::string& folder) : impl_(std::make_unique<Impl>()) {
    const std::string hostFolder = ToHost(folder);
    impl_->fd = hostFolder.empty() ? -1 : ::open(hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (impl_->fd < 0) {
        const OsError error = hostFolder.empty() ? OsError::PathNotFound : FromErrno(errno);
        // A folder that exists but may not be listed (write and search rights only) can still take
        // the archive: it goes without the lock rather than refusing a job Windows would run.
        if (error != OsError::AccessDenied) {
            throw EOSError(Format("Cannot lock folder \"%s\". %s", folder.c_str(), OsErrorText(error).c_str()), error);
        }
        return;
    }
    if (::flock(impl_->fd, LOCK_EX | LOCK_NB) != 0) {
        // Only a lock held elsewhere refuses the run; a file system without locks (ENOLCK,
        // EOPNOTSUPP) leaves runs unguarded against each other, as it leaves share modes.
        if (errno == EWOULDBLOCK) {
            throw EOSError(Format("Folder \"%s\" is in use by another run of this program", folder.c_str()),
                           OsError::ShareViolation);
        }
    }
}

FolderRunLock::~FolderRunLock() = default;

}  // namespace platform
