#pragma once
// Failures on purpose. Tests use these to make a drive small, a write stop, an open fail or a read
// come back short, without real full disks or locked files. Every backend consults them at the
// start of the calls they name; with no fault set they cost one lock and one lookup.
// A fault names its target by a Windows path prefix, compared without regard to case.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Exception.h"

namespace platform::faults {

// The drive (or folder subtree) behind prefix has capacity free bytes: DiskFree answers what is
// left of it, and writes to files below prefix take no more than what is left.
void SimulateDisk(const std::string& prefix, std::int64_t capacity);
// As SimulateDisk, and deleting a file below prefix gives back the bytes written to it, as on a small
// temporary file system that files come and go on.
void SimulateDiskWithDeletes(const std::string& prefix, std::int64_t capacity);
// Opens and creations of files below prefix fail with error (for example ShareViolation).
void FailOpens(const std::string& prefix, OsError error);
// Writes to files below prefix fail once count bytes in all have been written there.
void FailWritesAfter(const std::string& prefix, std::int64_t count);
// Reads from files below prefix stop delivering once count bytes in all have been read there.
void ShortReadsAfter(const std::string& prefix, std::int64_t count);
// Closes of files below prefix report an error, as network shares report write and quota errors;
// the file is closed all the same.
void FailCloses(const std::string& prefix);
// Flushes of files below prefix report an error.
void FailFlushes(const std::string& prefix);
// The byte at offset of a file below prefix (named as while it is written) is stored with the bits
// of mask flipped, once, by the first write that covers it, while the write reports every byte
// taken: a bit gone wrong on its way to the disk, for the read-back check to find.
void FlipStoredBits(const std::string& prefix, std::int64_t offset, std::uint8_t mask);
// Deletions of files below prefix fail (access denied), as of a file the system will not let go.
void FailDeletes(const std::string& prefix);
// Thread starts from the count-th on (counting from 1, from now) are refused, as a system at its
// limit of processes refuses them; 0 refuses none.
void RefuseThreadsFrom(std::int64_t count);
// Removes every fault.
void Clear();

// The kinds of file operation the backends count.
enum class FileOp : std::uint8_t { Open, Read, Write, Seek, Size, Close, Flush, Rename, Delete, FreeSpace, TempName };
// Counts every file operation from now on and fails the one numbered failAt (counting from 1; 0 fails
// none): an open or a temporary name raises, a read delivers nothing, a write takes half of its
// bytes, a seek, size or free-space query answers -1, a close, flush, rename or delete reports failure.
void FailOperation(std::int64_t failAt);
// The operations counted since FailOperation.
std::int64_t OperationCount();
// The kind of the operation that was failed; false when none was.
bool FailedOperation(FileOp& op);

// Used by the backends.
std::int64_t FreeSpaceFor(const std::string& path, std::int64_t real);
OsError OpenFailureFor(const std::string& path);
std::int64_t AllowWrite(const std::string& path, std::int64_t count);
std::int64_t AllowRead(const std::string& path, std::int64_t count);
// Whether any planned flip waits for its write; false costs no lock.
bool FlipsPlanned();
// The bytes a write of count bytes from buffer at position of path stores: buffer itself, or a
// copy in altered with the planned bits flipped.
const void* StoredBytes(const std::string& path, std::int64_t position, const void* buffer, std::int64_t count,
                        std::vector<std::uint8_t>& altered);
// Counts one operation of kind op on path; true when it is the one to fail, or when it is a close,
// a flush or a deletion that a fault covers.
bool OperationFails(FileOp op, const std::string& path);
// The file at path was deleted (a full Windows path).
void FileDeleted(const std::string& path);
// Counts one thread start; true when it is to be refused.
bool ThreadStartRefused();

}  // namespace platform::faults
