#include "archiver/ZipStaging.h"

#include <utility>

#include "archiver/ZipStrFunc.h"
#include "platform/FileSystem.h"

TZipStagingStream::TZipStagingStream(std::string tempFolder, std::int64_t memoryLimit)
    : folder_(std::move(tempFolder)), limit_(memoryLimit) {}

TZipStagingStream::~TZipStagingStream() {
    file_.reset();
    if (!fileName_.empty()) zip::RemoveFile(fileName_);
}

void TZipStagingStream::Close() {
    if (file_) file_->Close();
}

void TZipStagingStream::Spill() {
    const std::int64_t position = memory_.Position();
    failed_ = true;  // until the file holds the bytes
    platform::FileHandle handle = platform::FileHandle::CreateTemp(folder_, "FC", fileName_);
    file_ = std::make_unique<TFileStream>(fileName_, std::move(handle));
    file_->WriteBuffer(memory_.Data().data(), memory_.Size());
    file_->SetPosition(position);
    memory_.Clear();
    failed_ = false;
}

std::int64_t TZipStagingStream::Read(void* buffer, std::int64_t count) {
    return file_ ? file_->Read(buffer, count) : memory_.Read(buffer, count);
}

std::int64_t TZipStagingStream::Write(const void* buffer, std::int64_t count) {
    if (!file_ && memory_.Position() + count > limit_) Spill();
    if (!file_) return memory_.Write(buffer, count);
    const std::int64_t written = file_->Write(buffer, count);
    if (written < count) failed_ = true;
    return written;
}

std::int64_t TZipStagingStream::Seek(std::int64_t offset, platform::SeekOrigin origin) {
    return file_ ? file_->Seek(offset, origin) : memory_.Seek(offset, origin);
}

void TZipStagingStream::SetSize(std::int64_t size) {
    if (file_) file_->SetSize(size);
    else memory_.SetSize(size);
}

std::int64_t TZipStagingStream::Size() { return file_ ? file_->Size() : memory_.Size(); }
