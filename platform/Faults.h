#pragma once
// Failures on purpose. Tests use these to make a drive small, a write stop, an open fail or a read
// come back short, without real full disks or locked files. Every backend consults them at the
// start of the calls they name; with no fault set they cost one lock and one lookup.
// A fault names its target by a Windows path prefix, compared without regard to case.
#include <cstdint>
#include <string>

#include "platform/Exception.h"

namespace platform::faults {

// The drive (or folder subtree) behind prefix has capacity free bytes: DiskFree answers what is
// left of it, and writes to files below prefix take no more than what is left.
void SimulateDisk(const std::string& prefix, std::int64_t capacity);
// Opens and creations of files below prefix fail with error (for example ShareViolation).
void FailOpens(const std::string& prefix, OsError error);
// Writes to files below prefix fail once count bytes in all have been written there.
void FailWritesAfter(const std::string& prefix, std::int64_t count);
// Reads from files below prefix stop delivering once count bytes in all have been read there.
void ShortReadsAfter(const std::string& prefix, std::int64_t count);
// Removes every fault.
void Clear();

// Used by the backends.
std::int64_t FreeSpaceFor(const std::string& path, std::int64_t real);
OsError OpenFailureFor(const std::string& path);
std::int64_t AllowWrite(const std::string& path, std::int64_t count);
std::int64_t AllowRead(const std::string& path, std::int64_t count);

}  // namespace platform::faults
