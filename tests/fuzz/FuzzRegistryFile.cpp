// Feeds arbitrary bytes to the registry file reader: a bad file must give its error, nothing worse.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Registry.h"
#include "platform/posix/Host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        platform::host::ParseRegistryFile("fuzz.reg", std::string(reinterpret_cast<const char*>(data), size));
    } catch (const ERegistryException&) {
    }
    return 0;
}
