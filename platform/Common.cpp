// Backend-independent pieces of the platform layer: error texts, formatting, packed date-times.
#include <cxxabi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "platform/Exception.h"
#include "platform/FileSystem.h"
#include "platform/Format.h"

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (needed > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        out.assign(buffer.data(), static_cast<std::size_t>(needed));
    }
    va_end(args);
    return out;
}

namespace platform {

namespace {

struct FileErrorLog {
    std::mutex lock;
    std::vector<std::string> lines;
};

FileErrorLog& ErrorLog() {
    static FileErrorLog log;
    return log;
}

}  // namespace

std::vector<std::string> FileErrors() {
    std::lock_guard guard(ErrorLog().lock);
    return ErrorLog().lines;
}

void ClearFileErrors() {
    std::lock_guard guard(ErrorLog().lock);
    ErrorLog().lines.clear();
}

std::size_t FileErrorCount() {
    std::lock_guard guard(ErrorLog().lock);
    return ErrorLog().lines.size();
}

void ForgetFileErrorsFrom(std::size_t count) {
    std::lock_guard guard(ErrorLog().lock);
    if (ErrorLog().lines.size() > count) ErrorLog().lines.resize(count);
}

namespace {
thread_local bool tQuiet = false;
}

void NoteNoFileErrorsOnThisThread() { tQuiet = true; }

void NoteFileError(const char* operation, const std::string& path, const std::string& reason) {
    if (tQuiet) return;
    const std::string line = std::string(operation) + " " + path + ": " + reason;
    std::lock_guard guard(ErrorLog().lock);
    auto& lines = ErrorLog().lines;
    // A file failing block after block is one failure; and a run gone wrong does not grow the log
    // without end.
    if (lines.size() < 64 && std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
}

std::string OsErrorText(OsError error) {
    switch (error) {
        case OsError::None: return "The operation completed successfully";
        case OsError::FileNotFound: return "The system cannot find the file specified";
        case OsError::PathNotFound: return "The system cannot find the path specified";
        case OsError::AccessDenied: return "Access is denied";
        case OsError::ShareViolation:
            return "The process cannot access the file because it is being used by another process";
        case OsError::DiskFull: return "There is not enough space on the disk";
        case OsError::AlreadyExists: return "The file exists";
        case OsError::InvalidName: return "The filename, directory name, or volume label syntax is incorrect";
        // Windows says "The system cannot open the file" alone, which does not tell why.
        case OsError::TooManyOpenFiles: return "The system cannot open the file: too many files are open";
        case OsError::Other: break;
    }
    return "The request is not supported";
}

std::string ExceptionClassName(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Exception*>(&error)) return own->ClassName();
    const char* mangled = typeid(error).name();
    int status = 0;
    const std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                      std::free);
    std::string text = status == 0 && name ? name.get() : mangled;
    // The library's ABI tag ("std::ios_base::failure[abi:cxx11]") means nothing to a user.
    if (const std::size_t tag = text.find("[abi:"); tag != std::string::npos) text.erase(tag);
    return text;
}

bool FileExists(const std::string& path) {
    const std::uint32_t attr = GetFileAttributes(path);
    return attr != faInvalid && (attr & faDirectory) == 0;
}

bool DirectoryExists(const std::string& path) {
    const std::uint32_t attr = GetFileAttributes(path);
    return attr != faInvalid && (attr & faDirectory) != 0;
}

std::int32_t PackDateTime(int year, int month, int day, int hour, int minute, int second) {
    if (year < 1980 || year > 2107) return -1;
    const std::uint32_t date = static_cast<std::uint32_t>(((year - 1980) << 9) | (month << 5) | day);
    const std::uint32_t time = static_cast<std::uint32_t>((hour << 11) | (minute << 5) | (second / 2));
    return static_cast<std::int32_t>((date << 16) | time);
}

std::int32_t NowPacked() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    const std::int32_t packed = PackDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                             local.tm_min, local.tm_sec);
    return packed == -1 ? 0 : packed;
}

}  // namespace platform

EFCreateError::EFCreateError(const std::string& fileName, platform::OsError error)
    : EOSError(Format("Cannot create file \"%s\". %s", fileName.c_str(), platform::OsErrorText(error).c_str()), error) {}

EFOpenError::EFOpenError(const std::string& fileName, platform::OsError error)
    : EOSError(Format("Cannot open file \"%s\". %s", fileName.c_str(), platform::OsErrorText(error).c_str()), error) {}
