// Feeds arbitrary bytes to the directory loader as an archive: it must end in the directory it
// read or rebuilt, or in one of its own errors, and never crash, hang or read out of bounds.
#include <cstddef>
#include <cstdint>

#include "archiver/ZipDirectory.h"
#include "platform/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TMemoryStream stream;
    stream.Write(data, static_cast<std::int64_t>(size));
    TZipDirManager manager(&stream, nullptr, false);
    try {
        manager.LoadDirectory();
        // A directory that loaded must save again.
        TMemoryStream out;
        manager.SaveDirectory(&out);
    } catch (const Exception&) {
    }
    return 0;
}
