#pragma once
// The base of every error this program reports. Each error carries a class name and a message,
// because the job shows both to the user ("Exception \"<class>: <message>\" ...").
#include <cstdint>
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}

    // The name the user sees for this kind of error.
    virtual const char* ClassName() const { return "Exception"; }
    const std::string& Message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

namespace platform {

// Operating-system failures, reduced to the kinds the archiver and the job react to differently.
enum class OsError : std::uint8_t {
    None,
    FileNotFound,
    PathNotFound,
    AccessDenied,
    ShareViolation,
    DiskFull,
    AlreadyExists,
    InvalidName,
    TooManyOpenFiles,
    Other,
};

// The system's own wording for an error kind, as Windows words it.
std::string OsErrorText(OsError error);

// The class name of any error: ClassName() for this program's own, the C++ name of the type for
// the others (for example "std::out_of_range").
std::string ExceptionClassName(const std::exception& error);

}  // namespace platform

// A failed operating-system call that is not tied to a file stream.
class EOSError : public Exception {
public:
    EOSError(std::string message, platform::OsError error) : Exception(std::move(message)), error_(error) {}
    const char* ClassName() const override { return "EOSError"; }
    platform::OsError Error() const { return error_; }

private:
    platform::OsError error_;
};

// A file could not be created: "Cannot create file \"<name>\". <system reason>".
class EFCreateError : public EOSError {
public:
    EFCreateError(const std::string& fileName, platform::OsError error);
    const char* ClassName() const override { return "EFCreateError"; }
};

// An existing file could not be opened: "Cannot open file \"<name>\". <system reason>".
class EFOpenError : public EOSError {
public:
    EFOpenError(const std::string& fileName, platform::OsError error);
    const char* ClassName() const override { return "EFOpenError"; }
};

// A stream delivered fewer bytes than a caller required.
class EReadError : public Exception {
public:
    EReadError() : Exception("Stream read error") {}
    const char* ClassName() const override { return "EReadError"; }
};

// A stream took fewer bytes than a caller required.
class EWriteError : public Exception {
public:
    EWriteError() : Exception("Stream write error") {}
    const char* ClassName() const override { return "EWriteError"; }
};

// A stream could not tell or move its position, or its size.
class ESeekError : public Exception {
public:
    ESeekError() : Exception("Stream seek error") {}
    const char* ClassName() const override { return "ESeekError"; }
};

// An operation given up because the program was asked to stop (a signal, a console event): it
// says nothing the user needs told, so whoever catches it shows no error of its own.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
    const char* ClassName() const override { return "EAbort"; }
};
