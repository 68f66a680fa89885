#pragma once
// Byte streams: the abstract stream the archiver writes through, a memory stream and a file stream.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes at the position; returns how many arrived.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes up to count bytes at the position; returns how many were taken.
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    // Moves the position; returns the new one.
    virtual std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) = 0;
    // Sets the size; the position moves back when it lay behind the new end.
    virtual void SetSize(std::int64_t size) = 0;
    virtual std::int64_t Size();

    std::int64_t Position() { return Seek(0, platform::SeekOrigin::Current); }
    void SetPosition(std::int64_t position) { Seek(position, platform::SeekOrigin::Begin); }
    // Reads exactly count bytes or raises EReadError.
    void ReadBuffer(void* buffer, std::int64_t count);
    // Writes exactly count bytes or raises EWriteError.
    void WriteBuffer(const void* buffer, std::int64_t count);
    // Copies count bytes from source's position (count 0: all of source from its start) and returns
    // the bytes copied; raises EReadError or EWriteError when a side falls short.
    std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
    const std::vector<std::uint8_t>& Data() const { return data_; }
    void Clear() { data_.clear(); position_ = 0; }

private:
    std::vector<std::uint8_t> data_;
    std::int64_t position_ = 0;
};

// A stream over a file. mode is an open-mode word; fmCreate creates a new file (never over a taken
// name, see FileHandle::Create).
// Raises EFCreateError or EFOpenError. A failed seek or size query raises ESeekError: a position
// taken for -1 would land in the archive's records.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, std::uint16_t mode);
    // A stream over a file already open.
    TFileStream(const std::string& fileName, platform::FileHandle handle);
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override;
    // Forces the file's buffers to the disk; false on failure.
    bool Flush() { return handle_.Flush(); }
    void StartFlush() { handle_.StartFlush(); }
    // Closes the file now; raises EWriteError when the system reports an error on closing, which
    // may mean that written data was lost. Destroying the stream closes it without this check.
    void Close();
    const std::string& FileName() const { return fileName_; }

private:
    // A file this stream created (or was handed new) is not written by anyone else: its position
    // and size are followed here instead of being asked of the system at every step. The position
    // of any open is followed too, as only this stream moves it.
    void Track(std::int64_t size);

    std::string fileName_;
    platform::FileHandle handle_;
    bool tracked_ = false;
    bool positionKnown_ = false;
    std::int64_t position_ = 0;
    std::int64_t size_ = 0;
};
