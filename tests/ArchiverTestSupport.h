#pragma once
// Archivers configured for tests, and readers of the bytes they write.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipRecords.h"

namespace testing_support {

// An archiver set up as the main window sets up the job's: split volumes of volumeSize bytes,
// deflate at level 9, bare OEM names, no Zip64. It owns itself (no owner component).
std::unique_ptr<TZipArchiver> MakeJobArchiver(std::int64_t volumeSize = 2097152);

// The local headers of a byte string, in order: (offset, header, name).
struct LocalEntry {
    std::int64_t offset;
    zip::LocalFileHeader header;
    std::string name;
};
std::vector<LocalEntry> LocalHeadersOf(const std::string& bytes);

// The joined bytes of a split archive's volumes, in order.
std::string JoinHostFiles(const std::vector<std::string>& hostPaths);

// Inflates a raw deflate stream; empty on failure.
std::string InflateRaw(const std::string& data);

}  // namespace testing_support
