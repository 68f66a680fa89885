// The archiver's surface: construction, properties, opening and closing, the update transaction.
#include "archiver/ZipArchiver.h"

#include <exception>

#include "archiver/ZipDirectory.h"
#include "archiver/ZipPipeline.h"
#include "archiver/ZipStrFunc.h"
#include "archiver/ZipVerify.h"
#include "archiver/ZipZlib.h"
#include "platform/Format.h"

namespace zip {

platform::CriticalSection& SearchLock() {
    static platform::CriticalSection lock;
    return lock;
}

std::uint8_t ModeForLevel(TZipCompressionLevel level) {
    switch (level) {
        case clNone: return 0;
        case clFastest: return 1;
        case clNormal: return 6;
        case clMax: return 9;
    }
    return 1;
}

TZipCompressionLevel LevelForMode(std::uint8_t mode) {
    if (mode == 0) return clNone;
    if (mode <= 3) return clFastest;
    if (mode <= 6) return clNormal;
    return clMax;
}

std::int32_t BlockSizeForLevel(std::uint8_t level) {
    if (level >= 1 && level <= 3) return 0x80000;
    if (level >= 7 && level <= 9) return 0x180000;
    return 0x100000;
}

}  // namespace zip

std::int64_t TZipSpanningOptions::VolumeSizeFor(const TZipVolumeNumberInfo& info) const {
    if (info.IsFirst() && FirstVolumeSize > 0) return FirstVolumeSize;
    switch (VolumeSize) {
        case vsAutoDetect: return -1;
        case vsCustom: return customVolumeSize_;
        case vs1_44MB: return 1457664;
        case vs100MB: return 104857600;
        case vs200MB: return 209715200;
        case vs250MB: return 262144000;
        case vs600MB: return 629145600;
        case vs650MB: return 681574400;
        case vs700MB: return 734003200;
        case vs4700MB: return 4928307200LL;
    }
    return -1;
}

TZipBaseArchiver::TZipBaseArchiver(TComponent* owner)
    : TComponent(owner),
      options_(std::make_unique<TZipOptions>()),
      fileMasks_(std::make_unique<TStringList>()),
      exclusionMasks_(std::make_unique<TStringList>()),
      noCompressionMasks_(std::make_unique<TStringList>()),
      spanningOptions_(std::make_unique<TZipSpanningOptions>()) {
    SetCompressionLevel(clFastest);
    currentVolume_ = std::make_unique<TZipVolumeNumberInfo>();
}

TZipBaseArchiver::~TZipBaseArchiver() {
    // A destructor cannot report; an owner that must know whether the archive was written whole
    // calls Close first.
    try {
        Close();
    } catch (...) {
    }
}

TZipArchiver::TZipArchiver(TComponent* owner) : TZipBaseArchiver(owner) {
    useZipSignatures_ = true;
    Zip64Mode = zmDisabled;
    // The base constructor chose the method before this class existed; choose it as a TZipArchiver.
    ChooseCompressionMethod();
}

TZipArchiver::~TZipArchiver() {
    // As in the base destructor: a destructor cannot report, and must not throw.
    try {
        Close();
    } catch (...) {
    }
}

void TZipBaseArchiver::ChooseCompressionMethod() { itemMethod_ = 0xFFFF; }

void TZipArchiver::ChooseCompressionMethod() { itemMethod_ = CompressionMode() != 0 ? 8 : 0; }

void TZipBaseArchiver::SetCompressionLevel(TZipCompressionLevel level) {
    compressionLevel_ = level;
    compressionMode_ = zip::ModeForLevel(level);
    ChooseCompressionMethod();
}

void TZipBaseArchiver::SetCompressionMode(std::uint8_t mode) {
    if (mode > 9) throw EZipException(5, this);
    compressionMode_ = mode;
    compressionLevel_ = zip::LevelForMode(mode);
    ChooseCompressionMethod();
}

std::string TZipBaseArchiver::CurrentVersion() const {
    // The version 2.72 with two decimals and a point whatever the locale, then a space and the
    // edition suffix, which is empty here.
    return "2.72 ";
}

void TZipBaseArchiver::SetSpanningMode(TZipSpanningMode mode) {
    if (isOpen_) throw Exception("Cannot set spanning mode on open archive");
    spanningMode_ = mode;
}

void TZipBaseArchiver::SetInMemory(bool value) {
    if (value == inMemory_) return;
    if (isOpen_) {
        if (inMemory_) {
            if (FileName.empty()) throw EZipException(29, this);
            {
                TFileStream file(FileName, platform::fmCreate);
                if (archiveStream_->Size() > 0) file.CopyFrom(*archiveStream_, 0);
            }
            Close();
            inMemory_ = false;
            OpenDefault();
        } else {
            Close();
            inMemory_ = true;
            OpenDefault();
        }
    }
    inMemory_ = value;
}

void TZipBaseArchiver::FreeArchiveStream() {
    const TStream* old = archiveStream_;
    if (!externalStream_) ownedStream_.reset();
    archiveStream_ = nullptr;
    // The directory manager must not keep writing to a stream that is gone.
    if (dirManager_ && old) dirManager_->StreamReplaced(old, nullptr);
}

void TZipBaseArchiver::CloseArchiveStream() {
    auto* file = externalStream_ ? nullptr : dynamic_cast<TFileStream*>(ownedStream_.get());
    bool closed = true;
    if (file) {
        try {
            file->Close();
        } catch (const EWriteError&) {
            closed = false;
        }
    }
    FreeArchiveStream();
    if (!closed) throw EZipException(46, this);
}

void TZipBaseArchiver::Open(std::uint16_t mode) {
    if (!inMemory_ && zip::NamePart(FileName).empty()) throw EZipException(10, this);
    if (mode != platform::fmCreate && !platform::FileExists(FileName) && spanningMode_ != smSpanning &&
        !zip::IsRemovablePath(FileName)) {
        throw EZipException::CreateWithArgs(12, this, {FileName});
    }
    if (mode != platform::fmCreate && inMemory_) throw EZipException::CreateWithArgs(28, this, {FileName});
    Close();
    externalStream_ = false;
    openMode_ = mode;
    if (openMode_ == platform::fmCreate || inMemory_) CreateNewArchive();
    else OpenExistingArchive();
    isOpen_ = true;
    if (AfterOpen) AfterOpen(this);
}

void TZipBaseArchiver::CreateNewArchive() {
    if (inMemory_) {
        ownedStream_ = std::make_unique<TMemoryStream>();
        archiveStream_ = ownedStream_.get();
    } else {
        closedVolumes_.clear();
        currentVolume_->SetIsFirst(true);
        OpenVolume(*currentVolume_);
    }
    dirManager_ = std::make_unique<TZipDirManager>(archiveStream_, this, true);
}

void TZipBaseArchiver::OpenDefault() {
    updateCommitted_ = false;
    if (!inMemory_ && zip::NamePart(FileName).empty()) throw EZipException(9, this);
    std::uint16_t mode = platform::fmCreate;
    if (!inMemory_ && platform::FileExists(FileName)) {
        try {
            platform::FileHandle probe = platform::FileHandle::Open(FileName, platform::fmOpenReadWrite | platform::fmShareDenyWrite);
            mode = platform::fmOpenReadWrite | platform::fmShareDenyWrite;
        } catch (const EOSError&) {
            mode = platform::fmOpenRead | platform::fmShareDenyNone;
        }
    }
    Open(mode);
}

void TZipBaseArchiver::SetOpen(bool value) {
    if (value == isOpen_) return;
    if (value) OpenDefault();
    else Close();
}

void TZipBaseArchiver::Close() {
    // The archive is released in every case; an error of the final commit, of the empty directory
    // or of closing the file is raised afterwards, or the caller would take a broken archive for
    // a whole one.
    std::exception_ptr failure;
    if (isOpen_) {
        try {
            CommitUpdate();
            // A new archive that got no entry still gets its end record, behind the stub of a
            // self-extractor when it has one: a file of the stub alone would be no archive.
            if (archiveStream_ && dirManager_ && dirManager_->Dir().Count() == 0 &&
                archiveStream_->Size() <= dirManager_->PrefixSize) {
                archiveStream_->SetPosition(archiveStream_->Size());
                dirManager_->SaveDirectory();
            }
        } catch (...) {
            failure = std::current_exception();
        }
        isOpen_ = false;
        try {
            CloseArchiveStream();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    FreeArchiveStream();
    dirManager_.reset();
    if (failure) std::rethrow_exception(failure);
}

void TZipBaseArchiver::RequireOpen() {
    if (!isOpen_) throw EZipException(13, this);
}

void TZipBaseArchiver::BeginUpdate() {
    if (spanningMode_ != smNone && updateCommitted_) throw EZipException(62, nullptr);
    if (updateDepth_ == 0) {
        SetOpen(true);
        if ((openMode_ & 3) == 0 && !externalStream_) throw EZipException(32, this);
        TZipDirArray& dir = dirManager_->Dir();
        for (std::int32_t i = 0; i < dir.Count(); ++i) dir.EntryRef(i).Selected = false;
        dirManager_->SavedDir().AssignFrom(dir);
    }
    ++updateDepth_;
}

void TZipBaseArchiver::EndUpdate() {
    if (updateDepth_ <= 0) return;
    if (updateDepth_ >= 2) {
        --updateDepth_;
        return;
    }
    updateCommitted_ = true;  // set before the commit, so that it stays set when the commit fails
    CommitUpdate();
    if (spanningMode_ != smNone && openMode_ == platform::fmCreate) {
        openMode_ = platform::fmOpenReadWrite | platform::fmShareDenyWrite;
    }
}

void TZipBaseArchiver::DiscardUpdate() {
    if (updateDepth_ > 0) updateDepth_ = 0;
}

void TZipBaseArchiver::AddMatchingFiles() {
    RequireOpen();
    if (updateDepth_ == 0 && dirManager_->Dir().Count() >= 1 && spanningMode_ != smNone) {
        throw EZipException(52, this);
    }
    BeginUpdate();
    TStringList exclusions = *exclusionMasks_;
    exclusions.push_back(ResolvePath("", FileName, searchBaseDir_));
    // The base folder is fixed when the search begins, until its files have been read: one swapped
    // for another folder or a link meanwhile makes them fail, never come from elsewhere.
    const platform::FolderHold hold(ResolvePath(BaseDir, "", searchBaseDir_));
    try {
        // This update commits as soon as its search ends, unless the caller holds it open.
        if (updateDepth_ == 1) StartPipelineForSearch();
        SearchAndMark(*fileMasks_, options_->SearchAttr, options_->Recurse, exclusions);
        EndUpdate();
    } catch (...) {
        // Workers the search started stop before anything else, their temporary files deleted.
        pipeline_.reset();
        // An error of the search leaves the update open: entries it marked must not reach a
        // directory written later, so the directory goes back to its state before the update.
        // An error of the commit has rolled the directory back already.
        if (updateDepth_ > 0 && dirManager_) dirManager_->Dir().AssignFrom(dirManager_->SavedDir());
        DiscardUpdate();
        throw;
    }
}
