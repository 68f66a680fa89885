#pragma once
// Where an item of a split archive is compressed before its bytes go to the volumes.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Streams.h"

// The rule: an item's local header and compressed data stay in memory while they take no more
// than kStagedInMemory bytes (1 MiB). The first write that would pass that bound moves them into
// the item's temporary file (prefix "FC", in the temporary folder), which then takes every later
// byte; the file is deleted with the stream. Small items, the bulk of a mail folder, thus cost no
// file creation and deletion, and the archive's bytes are the same either way.
class TZipStagingStream : public TStream {
public:
    static constexpr std::int64_t kStagedInMemory = 1 << 20;

    // tempFolder: the folder for the temporary file, with or without a trailing backslash.
    explicit TZipStagingStream(std::string tempFolder, std::int64_t memoryLimit = kStagedInMemory);
    ~TZipStagingStream() override;
    TZipStagingStream(const TZipStagingStream&) = delete;
    TZipStagingStream& operator=(const TZipStagingStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    // Raises EFCreateError when the temporary file is needed and cannot be created.
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override;

    // Closes the temporary file, when there is one; raises EWriteError when the system reports an
    // error on closing. The stream is not used afterwards; the file is still deleted with it.
    void Close();
    // Whether the bytes live in the temporary file, and its name (empty while they are in memory).
    bool Spilled() const { return file_ != nullptr; }
    // The bytes while they are in memory (Size of them), to be written out without a copy.
    const std::uint8_t* MemoryBytes() const { return memory_.Data().data(); }
    const std::string& TempFileName() const { return fileName_; }
    // Whether the temporary file could not be created or took fewer bytes than offered (a full
    // temporary folder, no file handle left): a lack of room, not a fault of the item.
    bool Failed() const { return failed_; }

private:
    void Spill();

    std::string folder_;
    std::int64_t limit_;
    TMemoryStream memory_;
    std::unique_ptr<TFileStream> file_;
    std::string fileName_;
    bool failed_ = false;
};
