#pragma once
// The archiver's errors.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Exception.h"

class TZipBaseArchiver;

// One argument of a formatted archiver message: text for %s, a 64-bit number for %d.
struct TZipErrorArg {
    TZipErrorArg(const std::string& s) : isText(true), text(s) {}  // NOLINT(google-explicit-constructor)
    TZipErrorArg(const char* s) : isText(true), text(s) {}         // NOLINT(google-explicit-constructor)
    TZipErrorArg(std::int64_t n) : isText(false), number(n) {}     // NOLINT(google-explicit-constructor)
    bool isText;
    std::string text;
    std::int64_t number = 0;
};

// Every failure the archiver detects itself. NativeError names the raising place (0..62); ErrorCode
// is the index of its message. The message is finished in the constructor:
// "<component name>: <text> - Native error: <five digits>", without the name part when the
// archiver is absent or unnamed.
class EZipException : public Exception {
public:
    EZipException(int nativeError, const TZipBaseArchiver* archiver);
    // The table text is used as a format with args first.
    static EZipException CreateWithArgs(int nativeError, const TZipBaseArchiver* archiver,
                                        const std::vector<TZipErrorArg>& args);

    const char* ClassName() const override { return "EZipException"; }
    int ErrorCode() const { return errorCode_; }
    int NativeError() const { return nativeError_; }

private:
    EZipException(int nativeError, const TZipBaseArchiver* archiver, const std::vector<TZipErrorArg>* args);
    static std::string Build(int nativeError, int errorCode, const TZipBaseArchiver* archiver,
                             const std::vector<TZipErrorArg>* args);
    int errorCode_;
    int nativeError_;
};

// zlib failed while compressing.
class ECompressionError : public Exception {
public:
    ECompressionError() : Exception("error") {}
    const char* ClassName() const override { return "ECompressionError"; }
};
