#include "platform/Streams.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

using platform::SeekOrigin;

std::int64_t TStream::Size() {
    const std::int64_t here = Position();
    const std::int64_t end = Seek(0, SeekOrigin::End);
    Seek(here, SeekOrigin::Begin);
    return end;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    if (count > 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    if (count > 0 && Write(buffer, count) != count) throw EWriteError();
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr std::int64_t kChunk = 1 << 20;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count, kChunk)) + 1);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = std::min(count - done, kChunk);
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        done += n;
    }
    return done;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    const std::int64_t size = Size();
    if (count <= 0 || position_ >= size) return 0;
    const std::int64_t n = std::min(count, size - position_);
    std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    const std::int64_t end = position_ + count;
    if (end > Size()) data_.resize(static_cast<std::size_t>(end));
    std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
    position_ = end;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current) base = position_;
    if (origin == SeekOrigin::End) base = Size();
    position_ = std::max<std::int64_t>(0, base + offset);
    return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
    data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
    position_ = std::min(position_, Size());
}

TFileStream::TFileStream(const std::string& fileName, std::uint16_t mode)
    : fileName_(fileName),
      handle_(mode == platform::fmCreate ? platform::FileHandle::Create(fileName)
                                         : platform::FileHandle::Open(fileName, mode)) {
    if (mode == platform::fmCreate) {
        Track(0);
    } else {
        // The position of this open is its own whoever else has the file open; its size is not.
        positionKnown_ = true;
        position_ = 0;
    }
}

TFileStream::TFileStream(const std::string& fileName, platform::FileHandle handle)
    : fileName_(fileName), handle_(std::move(handle)) {
    Track(handle_.Size());
}

void TFileStream::Track(std::int64_t size) {
    if (size < 0) return;
    position_ = handle_.Seek(0, SeekOrigin::Current);
    if (position_ < 0) return;
    tracked_ = true;
    positionKnown_ = true;
    size_ = size;
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    const std::int64_t got = handle_.Read(buffer, count);
    if (positionKnown_) position_ += got;
    return got;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    const std::int64_t took = handle_.Write(buffer, count);
    if (positionKnown_) position_ += took;
    if (tracked_) size_ = std::max(size_, position_);
    return took;
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
    if (positionKnown_ && ((origin == SeekOrigin::Current && offset == 0) ||
                           (origin == SeekOrigin::Begin && offset == position_))) {
        return position_;
    }
    const std::int64_t position = handle_.Seek(offset, origin);
    if (position < 0) {
        tracked_ = false;
        positionKnown_ = false;
        throw ESeekError();
    }
    position_ = position;
    return position;
}

std::int64_t TFileStream::Size() {
    if (tracked_) return size_;
    const std::int64_t size = handle_.Size();
    if (size < 0) throw ESeekError();
    return size;
}

void TFileStream::Close() {
    tracked_ = false;
    positionKnown_ = false;
    if (!handle_.Close()) throw EWriteError();
}

void TFileStream::SetSize(std::int64_t size) {
    if (!handle_.SetSize(size)) {
        tracked_ = false;
        positionKnown_ = false;
        throw EWriteError();
    }
    if (tracked_) size_ = size;
    if (positionKnown_) position_ = std::min(position_, size);
}
