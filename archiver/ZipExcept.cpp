#include "archiver/ZipExcept.h"

#include "archiver/ZipArchiver.h"
#include "archiver/ZipConst.h"
#include "platform/Format.h"

EZipException::EZipException(int nativeError, const TZipBaseArchiver* archiver)
    : EZipException(nativeError, archiver, nullptr) {}

EZipException EZipException::CreateWithArgs(int nativeError, const TZipBaseArchiver* archiver,
                                            const std::vector<TZipErrorArg>& args) {
    return EZipException(nativeError, archiver, &args);
}

EZipException::EZipException(int nativeError, const TZipBaseArchiver* archiver, const std::vector<TZipErrorArg>* args)
    : Exception(Build(nativeError, zip::ErrorCodeFor(nativeError), archiver, args)),
      errorCode_(zip::ErrorCodeFor(nativeError)),
      nativeError_(nativeError) {}

std::string EZipException::Build(int nativeError, int errorCode, const TZipBaseArchiver* archiver,
                                 const std::vector<TZipErrorArg>* args) {
    const std::string table = zip::ErrorMessage(errorCode);
    std::string text;
    if (args) {
        // Fill %s and %d (written %lld in the table) in order; a missing argument leaves the
        // conversion empty, an extra one is ignored.
        std::size_t next = 0;
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (table[i] != '%' || i + 1 >= table.size()) {
                text += table[i];
                continue;
            }
            std::size_t j = i + 1;
            while (j < table.size() && table[j] == 'l') ++j;
            const char conv = j < table.size() ? table[j] : 0;
            if (conv != 's' && conv != 'd') {
                text += table[i];
                continue;
            }
            if (next < args->size()) {
                const TZipErrorArg& a = (*args)[next++];
                text += a.isText ? a.text : Format("%lld", static_cast<long long>(a.number));
            }
            i = j;
        }
    } else {
        text = table;
    }
    if (archiver && !archiver->Name.empty()) text = Format("%s: %s", archiver->Name.c_str(), text.c_str());
    std::string number = Format("%5d", nativeError);
    for (char& c : number) {
        if (c == ' ') c = '0';
    }
    return text + " - Native error: " + number;
}
