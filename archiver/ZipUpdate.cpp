// The update engine: writes the selected entries and the directory, and rolls the archive back when
// the update is aborted, cancelled or broken.
#include <algorithm>
#include <cstdlib>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipPipeline.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStaging.h"
#include "archiver/ZipStrFunc.h"
#include "archiver/ZipVerify.h"
#include "archiver/ZipZlib.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"

using zip::kSentinel32;

namespace {

// Paths the source may have; longer ones cannot be opened by the platform the archiver was made for.
constexpr std::size_t kMaxSourcePath = 259;
// Bytes the local header writer takes for a stored name.
constexpr std::size_t kMaxLocalName = 256;

}  // namespace

std::uint16_t TZipBaseArchiver::ShareModeFlags(TZipFileShareMode mode) {
    switch (mode) {
        case smShareCompat: return 0;
        case smShareExclusive: return 0x10;
        case smShareDenyWrite: return 0x20;
        case smShareDenyRead: return 0x30;
        case smShareDenyNone: return 0x40;
    }
    return 0x40;
}

TZipBaseArchiver::ItemSettings TZipBaseArchiver::CurrentItemSettings() const {
    ItemSettings settings;
    settings.zip64Mode = Zip64Mode;
    settings.oemFileNames = options_->OEMFileNames;
    settings.shareMode = options_->ShareMode;
    settings.split = spanningMode_ != smNone;
    settings.tempFolder = TempDir.empty() ? platform::GetTempPath() : TempDir;
    return settings;
}

void TZipBaseArchiver::StartPipeline(const ItemSettings& settings, int first, int workers) {
    pipeline_.reset();
    if (!settings.split || workers < 1) return;
    pipeline_ = std::make_unique<TZipPipeline>(*this, settings, workers, readAheadMemory_, readAheadTemp_);
    pipelineNext_ = first;
    if (pipeline_->Workers() == 0) pipeline_.reset();
}

int TZipBaseArchiver::ParseThreadCount(const char* text) {
    if (!text || !*text) return 0;
    int n = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + (*p - '0');
        if (n > kMostWorkerThreads) return 0;
    }
    return n;
}

int TZipBaseArchiver::WorkerThreads() const {
    if (workerThreads_ > 0) return std::min(workerThreads_, kMostWorkerThreads);
    // The program refuses an invalid value at its start; a caller of the component that sets one
    // gets the default.
    if (const int n = ParseThreadCount(std::getenv("MAILBALE_THREADS")); n > 0) return n;
    return std::min(platform::HardwareThreads(), kMostWorkerThreads);
}

void TZipBaseArchiver::FeedPipeline(int index) {
    if (!pipeline_) return;
    TZipDirArray& dir = dirManager_->Dir();
    pipelineNext_ = std::max(pipelineNext_, index);
    const int room = pipeline_->Room();
    if (room == 0) return;
    std::vector<std::pair<int, const TDirItem*>> items;
    while (pipelineNext_ < dir.Count() && static_cast<int>(items.size()) < room) {
        const TDirItem& item = dir.EntryRef(pipelineNext_);
        if (item.Selected) items.emplace_back(pipelineNext_, &item);
        ++pipelineNext_;
    }
    pipeline_->Submit(items);
}

void TZipBaseArchiver::StartPipelineForSearch() {
    pipeline_.reset();
    // Only a new split archive: its commit begins at its first item, which is what a search's
    // first find becomes. An update of an existing archive rewrites from the first item it
    // changes, which only the end of the search tells.
    if (spanningMode_ == smNone || openMode_ != platform::fmCreate || dirManager_->Dir().Count() != 0) return;
    const ItemSettings settings = CurrentItemSettings();
    // Workers stage large items in temporary files while the search goes on: in a folder the
    // search goes through (the base folder, a mask's folder, or below), it would find them there
    // and take them for files to pack, where the plain path has made none yet. The commit starts
    // its workers then.
    const std::string temp = platform::AnsiUpperCase(zip::DirWithSlash(zip::FullPath(settings.tempFolder), ""));
    const auto searched = [&temp](const std::string& folder) {
        if (folder.empty()) return false;
        const std::string upper = platform::AnsiUpperCase(zip::DirWithSlash(zip::FullPath(folder), ""));
        return temp.compare(0, upper.size(), upper) == 0;
    };
    const std::string base = ResolvePath(BaseDir, "", searchBaseDir_);
    if (searched(base)) return;
    for (const std::string& mask : *fileMasks_) {
        std::string pattern;
        bool isRelative = false;
        ResolveMask(mask, base, pattern, isRelative);
        if (searched(zip::FolderPart(pattern))) return;
    }
    // A killed run's temporary files go before the workers make any of their own.
    platform::ClearStaleTempFiles(settings.tempFolder, "FC");
    // The search keeps a core busy itself: a worker on it too would only slow the search down,
    // while the workers, far ahead, soon wait for it with their queue full.
    const int workers = WorkerThreads();
    if (workers > 1) StartPipeline(settings, 0, workers - 1);
}

void TZipBaseArchiver::OfferFoundItems() {
    // Waking the workers costs more than compressing a small mail: they get the items found by
    // the batch. Listing a batch takes well under a millisecond, so they hardly wait for it.
    constexpr int kBatch = 64;
    if (pipeline_ && dirManager_->Dir().Count() - pipelineNext_ >= kBatch) FeedPipeline(pipelineNext_);
}

std::unique_ptr<TFileStream> TZipBaseArchiver::CreateTempFile(std::string& name) {
    platform::FileHandle handle = platform::FileHandle::CreateTemp(itemSettings_.tempFolder, "FC", name);
    return std::make_unique<TFileStream>(name, std::move(handle));
}

void TZipBaseArchiver::ReleaseSource() { source_.reset(); }

int TZipBaseArchiver::FirstChangedIndex() {
    TZipDirArray& dir = dirManager_->Dir();
    TZipDirArray& saved = dirManager_->SavedDir();
    const std::int32_t n = std::min(saved.Count(), dir.Count());
    for (std::int32_t i = 0; i < n; ++i) {
        const TDirItem& item = dir.EntryRef(i);
        if (item.Selected || item.Name != saved.EntryRef(i).Name) return i;
    }
    return n;
}

void TZipBaseArchiver::SaveArchiveTail(int index) {
    tailFile_ = CreateTempFile(tailFileName_);
    const std::int64_t from = dirManager_->SavedDir().EntryRef(index).RealLocalHeaderOffset();
    const std::int64_t count = archiveStream_->Size() - from;
    archiveStream_->SetPosition(from);
    if (count > 0) tailFile_->CopyFrom(*archiveStream_, count);
}

void TZipBaseArchiver::DeleteTailFile() {
    tailFile_.reset();
    if (!tailFileName_.empty()) platform::DeleteFile(tailFileName_);
    tailFileName_.clear();
}

void TZipBaseArchiver::RestoreArchiveTail() {
    // Until the restore is complete the tail file is the only copy of the old entries: when it
    // fails, the file is closed but kept, and the error says where it is.
    const auto keepTailFile = [this] {
        tailFile_.reset();
        const std::string kept = tailFileName_;
        tailFileName_.clear();
        return kept;
    };
    try {
        archiveStream_->SetPosition(static_cast<std::int64_t>(rewriteStart_));
        archiveStream_->SetSize(static_cast<std::int64_t>(rewriteStart_));
        const std::int64_t size = tailFile_->Size();
        tailFile_->SetPosition(0);
        if (size > 0) archiveStream_->CopyFrom(*tailFile_, size);
    } catch (const Exception& e) {
        const std::string kept = keepTailFile();
        throw Exception(e.Message() + ". The archive could not be restored; its old entries from offset " +
                        std::to_string(rewriteStart_) + " on are kept in \"" + kept + "\"");
    } catch (...) {
        keepTailFile();
        throw;
    }
    DeleteTailFile();
}

void TZipBaseArchiver::RollbackUpdate() {
    updateRolledBack_ = true;
    dirManager_->Dir().AssignFrom(dirManager_->SavedDir());
    if (!archiveStream_) return;
    if (tailFile_) {
        RestoreArchiveTail();
    } else {
        archiveStream_->SetPosition(static_cast<std::int64_t>(rewriteStart_));
        archiveStream_->SetSize(static_cast<std::int64_t>(rewriteStart_));
        dirManager_->SaveDirectory(archiveStream_);
    }
}

void TZipBaseArchiver::CommitUpdate() {
    if (updateDepth_ <= 0) return;
    updateDepth_ = 0;
    tailFile_.reset();
    tailFileName_.clear();
    processedCount_ = 0;
    totalCount_ = 0;
    cancelRequested_ = false;
    volumeCopyCancelled_ = false;
    updateRolledBack_ = false;
    // Whatever way the commit ends, no tail file outlives it.
    struct TailGuard {
        TZipBaseArchiver* self;
        ~TailGuard() { self->DeleteTailFile(); }
    } tailGuard{this};

    // The workers live no longer than the commit; however it ends, they stop, and every item they
    // staged is dropped with its temporary file before the archive is rolled back or finished.
    struct PipelineGuard {
        TZipBaseArchiver* self;
        ~PipelineGuard() { self->pipeline_.reset(); self->verifier_.reset(); }
    } pipelineGuard{this};

    // The settings every item of this commit is compressed with, and the drive's free space asked
    // afresh.
    itemSettings_ = CurrentItemSettings();
    volumeFreeKnown_ = false;
    // A killed run's temporary files hold mail: they go now, even if this commit stages every item
    // in memory and makes no temporary file of its own.
    if (itemSettings_.split) platform::ClearStaleTempFiles(itemSettings_.tempFolder, "FC");

    TZipDirArray& dir = dirManager_->Dir();
    TZipDirArray& saved = dirManager_->SavedDir();
    std::int32_t firstSelected = -1;
    for (std::int32_t i = 0; i < dir.Count(); ++i) {
        if (!dir.EntryRef(i).Selected) continue;
        ++totalCount_;
        if (firstSelected < 0) firstSelected = i;
    }
    const int firstChanged = FirstChangedIndex();
    overallOperation_ = firstSelected < 0 ? poDelete : static_cast<TZipProcessOperation>(dir.EntryRef(firstSelected).Operation);
    DoOverallProgress(overallOperation_, ppStart, cancelRequested_, 0.0);
    if (cancelRequested_) {
        // Nothing was written; the entries the selection added must not reach a directory that a
        // later Close writes.
        dir.AssignFrom(saved);
        updateRolledBack_ = true;
        return;
    }
    if (firstChanged < saved.Count()) SaveArchiveTail(firstChanged);
    if (firstChanged < saved.Count()) {
        rewriteStart_ = static_cast<std::uint64_t>(saved.EntryRef(firstChanged).RealLocalHeaderOffset());
    } else if (saved.Count() == 0) {
        rewriteStart_ = static_cast<std::uint64_t>(dirManager_->PrefixSize);
    } else {
        rewriteStart_ = static_cast<std::uint64_t>(dirManager_->CentralDirectoryOffset());
    }
    archiveStream_->SetPosition(static_cast<std::int64_t>(rewriteStart_));
    archiveStream_->SetSize(static_cast<std::int64_t>(rewriteStart_));
    action_ = fxaIgnore;
    currentVolume_->SetIsFirst(true);

    const auto stopped = [this] { return cancelRequested_ || action_ == fxaAbort; };
    try {
        if (spanningMode_ == smSpanning && zip::IsFloppyPath(FileName)) bufferStream_ = std::make_unique<TMemoryStream>();
        const auto flushBuffer = [this, &stopped] {
            if (!bufferStream_) return;
            std::unique_ptr<TMemoryStream> gathered = std::move(bufferStream_);
            if (!stopped() && gathered->Size() > 0) {
                WriteToVolumes(gathered->Data().data(), gathered->Size(), archiveStream_, *currentVolume_, -1, nullptr);
            }
        };
        // The workers the search started go on if they compress as this commit would, from its
        // first item; else the commit starts its own (or none).
        const bool searchWorkers = pipeline_ && firstChanged == 0 && pipeline_->Settings() == itemSettings_;
        if (totalCount_ <= 1 || !searchWorkers) pipeline_.reset();
        if (pipeline_) pipeline_->AddWorkers(WorkerThreads() - pipeline_->Workers());
        if (totalCount_ > 1 && !pipeline_ && WorkerThreads() > 1) StartPipeline(itemSettings_, firstChanged, WorkerThreads());
        // A new split archive is read back from the disk and checked, volume by volume as each is
        // closed, before it counts as written: a bit that went wrong on its way there must not
        // be mailed out as a good archive.
        verifier_.reset();
        if (spanningMode_ == smSplitting && openMode_ == platform::fmCreate && saved.Count() == 0 && !bufferStream_) {
            // Inflating is several times as fast as deflating: a checker for every four
            // compression workers keeps up, and at least two, so that the checks left at the end
            // run on two cores and one checker reads while the other inflates.
            const int checkers = WorkerThreads() > 1 ? std::max(2, WorkerThreads() / 4) : 0;
            verifier_ = std::make_unique<TZipVerifier>(checkers, itemSettings_.oemFileNames);
        }
        try {
            std::int32_t i = firstChanged;
            while (i < dir.Count() && !cancelRequested_) {
                bool succeeded = true;
                do {
                    action_ = fxaIgnore;
                    succeeded = true;
                    if (dir.EntryRef(i).Selected) succeeded = CompressItem(i);
                    else CopyItem(i);
                } while (action_ == fxaRetry);
                if (stopped()) break;
                if (succeeded) {
                    if (verifier_) {
                        verifier_->ItemWritten(dir.EntryRef(i));
                        // A volume that reads back wrong fails the archive: no use writing on.
                        if (verifier_->Failed()) ThrowVerifyFailure();
                    }
                    ++processedCount_;
                    ++i;
                } else if (dir.EntryRef(i).Operation == poAdd) {
                    dir.DeleteEntry(i);
                    if (pipeline_) {
                        pipeline_->Removed(i);
                        if (pipelineNext_ > i) --pipelineNext_;
                    }
                } else {
                    CopyItem(i);
                    ++i;
                }
            }
        } catch (...) {
            pipeline_.reset();
            flushBuffer();
            throw;
        }
        pipeline_.reset();
        flushBuffer();
        // The old tail stays until the closing event has passed: a cancel there still rolls back,
        // and the roll-back needs the old bytes.
        if (!stopped()) dirManager_->SaveDirectory(archiveStream_);
    } catch (...) {
        bufferStream_.reset();
        verifier_.reset();
        RollbackUpdate();
        throw;
    }
    if (!stopped()) DoOverallProgress(overallOperation_, ppEnd, cancelRequested_, 100.0);
    if (stopped()) {
        RollbackUpdate();
        return;
    }
    if (options_->FlushBuffers) {
        // Data that did not reach the disk is an update that did not happen.
        auto* file = dynamic_cast<TFileStream*>(archiveStream_);
        if (file && (!file->Flush() || !FlushClosedVolumes())) {
            verifier_.reset();
            RollbackUpdate();
            throw EZipException(46, this);
        }
    }
    if (verifier_ && !verifier_->Finish(currentVolumeFileName_, *dirManager_)) {
        try {
            ThrowVerifyFailure();
        } catch (...) {
            verifier_.reset();
            RollbackUpdate();
            throw;
        }
    }
}

void TZipBaseArchiver::ThrowVerifyFailure() {
    // One line says which volume, which entry (or record) and what did not match; the error says
    // that the archive's data are not what was written.
    platform::NoteFileError("verify", zip::FullPath(verifier_->FailedVolume()), verifier_->Failure());
    throw EZipException(8, this);
}

bool TZipBaseArchiver::WriteItem(TDirItem& item, std::unique_ptr<TFileStream>& source, TStream& output,
                                 std::int64_t position, const ItemSettings& settings, TZlibDeflater& deflater,
                                 const TZipBlockHook& beforeBlock, std::int64_t& headerLength,
                                 platform::OsError* openError, TZipBlockRunner* runner) const {
    item.HasZip64 = false;
    item.DataCrc32 = 0;
    const bool hasSource = !item.IsFolder();
    if (hasSource) {
        if (item.SourceFileName.size() > kMaxSourcePath) {
            throw EZipException::CreateWithArgs(61, this, {item.SourceFileName});
        }
        try {
            source = std::make_unique<TFileStream>(item.SourceFileName,
                                                   platform::fmOpenRead | ShareModeFlags(settings.shareMode));
        } catch (const EOSError& e) {
            if (openError) *openError = e.Error();
            throw EZipException::CreateWithArgs(33, this, {item.SourceFileName});
        }
    }
    const std::string storedName = settings.oemFileNames ? platform::AnsiToOem(item.Name) : item.Name;
    if (storedName.size() > kMaxLocalName) {
        // A longer name would not fit the local header; it is refused rather than cut.
        source.reset();
        throw EZipException::CreateWithArgs(61, this, {item.Name});
    }
    item.SetLocalHeaderOffset(position, settings.zip64Mode == zmAlways);
    const std::int64_t sourceSize = hasSource ? source->Size() : 0;
    const std::uint16_t version = (item.HasZip64 || sourceSize >= kSentinel32) ? zip::kVersionZip64
                                  : settings.oemFileNames                      ? zip::kVersionOem
                                                                               : zip::kVersionAnsi;
    item.VersionNeeded = version;
    item.VersionMadeBy = version;
    zip::LocalFileHeader local;
    local.VersionNeeded = version;
    local.Flags = item.Flags;
    local.Method = item.Method;
    local.ModTime = item.ModTime;
    local.ModDate = item.ModDate;
    local.Crc32 = item.Crc32;
    local.CompressedSize = 0;
    if (!hasSource) {
        local.UncompressedSize = 0;
    } else if (sourceSize >= kSentinel32 || settings.zip64Mode == zmAlways) {
        local.UncompressedSize = kSentinel32;
        item.HasZip64 = true;
    } else {
        local.UncompressedSize = static_cast<std::uint32_t>(sourceSize);
    }
    local.NameLength = static_cast<std::uint16_t>(storedName.size());
    local.ExtraLength = local.UncompressedSize == kSentinel32 ? zip::kLocalZip64Size : 0;
    if (settings.zip64Mode == zmDisabled && item.HasZip64) {
        source.reset();
        throw EZipException::CreateWithArgs(43, this, {item.SourceFileName});
    }
    std::uint8_t raw[zip::LocalFileHeader::kSize];
    local.Encode(raw);
    output.WriteBuffer(raw, sizeof raw);
    output.WriteBuffer(storedName.data(), static_cast<std::int64_t>(storedName.size()));
    headerLength = static_cast<std::int64_t>(sizeof raw + storedName.size());
    if (local.ExtraLength != 0) {
        // The gap for the local Zip64 block, filled when the header is written again.
        const std::uint8_t gap[zip::kLocalZip64Size] = {};
        output.WriteBuffer(gap, sizeof gap);
        headerLength += zip::kLocalZip64Size;
    }
    if (!hasSource) return true;
    // The size the local header was written with is the one compressed: a file still growing
    // meanwhile gives a whole entry of what it held then, not a header that contradicts its data.
    if (!CompressStream(*source, output, item, deflater, settings.zip64Mode, beforeBlock, sourceSize, runner)) {
        return false;
    }
    local.Crc32 = item.Crc32;
    local.CompressedSize =
        (item.CompressedSize == kSentinel32 || settings.zip64Mode == zmAlways) ? kSentinel32 : item.CompressedSize;
    if (sourceSize == 0) local.Method = 0;
    output.SetPosition(settings.split ? 0 : item.RealLocalHeaderOffset());
    local.Encode(raw);
    output.WriteBuffer(raw, sizeof raw);
    output.Seek(static_cast<std::int64_t>(storedName.size()), platform::SeekOrigin::Current);
    if (local.UncompressedSize == kSentinel32) {
        std::uint8_t block[zip::kLocalZip64Size];
        zip::EncodeLocalZip64(block, sourceSize, item.RealCompressedSize());
        output.WriteBuffer(block, sizeof block);
    }
    return true;
}

void TZipBaseArchiver::CopyStagedToVolumes(TDirItem& item, TStream& staged, std::int64_t headerLength) {
    // The item's central entry learns where its header landed from the position after the header.
    const auto headerPlaced = [&](std::int64_t q) {
        item.DiskNumberStart = static_cast<std::uint16_t>(currentVolume_->Number & 0xFFFF);
        // The Zip64 form is due when the position after the header reaches the sentinel.
        item.SetLocalHeaderOffset(q - headerLength, q >= kSentinel32 || itemSettings_.zip64Mode == zmAlways);
    };
    const auto copyData = [&] {
        CopyStreamToVolumes(staged, archiveStream_, true, bufferStream_.get(), -1, -1, volumeCopyCancelled_,
                            *currentVolume_);
    };
    staged.SetPosition(0);
    // A small item staged in memory that fits whole in the room left on the current volume goes out
    // in one write instead of two (header, then data): most items of a mail folder are such, and the
    // write is their main cost. The copy events follow as the data copy raises them; no volume is
    // requested, as nothing passes the current one. Anything else takes the two copies.
    const auto* inMemory = dynamic_cast<const TZipStagingStream*>(&staged);
    const std::int64_t length = staged.Size();
    if (inMemory && !inMemory->Spilled() && !bufferStream_ && spanningMode_ != smNone &&
        length - headerLength <= zip::kVolumeCopyChunk) {
        // The room as the volume-aware write measures it. It asks the drive when the volume's free
        // space is not known yet; should the two copies run after all, they find it as unknown as
        // before, so that a write of theirs falling short is judged as it always was.
        const bool freeKnown = volumeFreeKnown_;
        const std::int64_t start = archiveStream_->Size();
        std::int64_t room = VolumeFreeSpace(start);
        const std::int64_t limit = spanningOptions_->VolumeSizeFor(*currentVolume_);
        if (limit != -1) room = std::min(room, limit - start);
        if (length <= room) {
            staged.SetPosition(length);  // as after reading it all
            const std::int64_t position = archiveStream_->Position();
            const std::int64_t took = archiveStream_->Write(inMemory->MemoryBytes(), length);
            if (took == length) {
                headerPlaced(position + headerLength);
                bool& cancel = volumeCopyCancelled_;
                DoCopyTempFileProgress(ppStart, cancel, 0.0);
                if (cancel) return;
                // All the data in one step: done equals the total, 100 percent.
                if (length > headerLength) DoCopyTempFileProgress(ppProcess, cancel, 100.0);
                // The closing event clears Cancel before its handler runs; a cancel given earlier
                // must survive it.
                const bool cancelledBefore = cancel;
                DoCopyTempFileProgress(ppEnd, cancel, 100.0);
                cancel = cancel || cancelledBefore;
                return;
            }
            // The volume took less than asked. The copies go on as they would have from that
            // point, the drive having seen the same bytes. A header that went out whole stays, and
            // the data copy takes over as after its own first write falling short on the counted-
            // down answer: its part is undone and the drive asked again.
            if (took >= headerLength) {
                archiveStream_->SetSize(start + headerLength);
                volumeFreeKnown_ = false;
                headerPlaced(position + headerLength);
                staged.SetPosition(headerLength);
                copyData();
                return;
            }
            // A header cut short on an answer just asked is a failing volume; on a counted-down
            // answer it is undone and both copies run on a fresh one.
            if (!freeKnown) throw EZipException(46, this);
            archiveStream_->SetSize(start);
            volumeFreeKnown_ = false;
            staged.SetPosition(0);
        }
        if (!freeKnown) volumeFreeKnown_ = false;
    }
    CopyStreamToVolumes(staged, archiveStream_, false, bufferStream_.get(), 0, headerLength, volumeCopyCancelled_,
                        *currentVolume_);
    headerPlaced(bufferStream_ ? bufferStream_->Position() : archiveStream_->Position());
    copyData();
}

bool TZipBaseArchiver::CompressItem(int index) {
    ChooseCompressionMethod();
    FeedPipeline(index);
    TZipDirArray& dir = dirManager_->Dir();
    TDirItem& item = dir.EntryRef(index);
    const auto operation = static_cast<TZipProcessOperation>(item.Operation);
    const std::string progressName = operation == poUpdate ? item.Name : item.SourceFileName;
    DoFileProgress(progressName, operation, cancelRequested_, ppStart, 0.0);
    if (cancelRequested_) return false;
    const bool split = itemSettings_.split;
    // A split archive's item is staged (in memory, or in its temporary file when large) and then
    // copied into the volumes; a single-file archive takes it directly.
    std::unique_ptr<TZipStagingStream> staged;
    TZipStagedJob* job = pipeline_ ? pipeline_->Front(index) : nullptr;
    // A job of an item that the search replaced after handing it over is of another file.
    if (job && job->replaced) {
        pipeline_->Take();
        job = nullptr;
    }
    // The worker wrote the header as one that lands below 4 GiB, where its form does not depend on
    // where it lands; one that lands further on is compressed again here.
    if (job && archiveStream_->Position() >= kSentinel32 && itemSettings_.zip64Mode != zmAlways) {
        pipeline_->Take();
        job = nullptr;
    }
    try {
        TStream* output = archiveStream_;
        std::int64_t headerLength = 0;
        bool written = true;
        // The events of the item's input blocks raised so far: a block's are raised once, however
        // many times the item is compressed.
        std::size_t blocksRaised = 0;
        if (job) {
            // A worker compressed the item: its input blocks become the events they would have
            // been, raised now, as they come, then its outcome is this item's.
            std::int64_t consumed = 0;
            std::int64_t size = 0;
            while (written && pipeline_->NextBlock(*job, consumed, size)) {
                written = RaiseBlockProgress(item.SourceFileName, operation, consumed, size);
                ++blocksRaised;
            }
            // A cancel leaves the job to the pipeline, which drops it when the commit stops it.
            if (!written) return false;
            std::unique_ptr<TZipStagedJob> done = pipeline_->Take();
            job = nullptr;
            // A worker reads ahead of the items' turns, and whatever stopped it (a file held by
            // another program then, a temporary folder the other workers had filled) is not the
            // item's failure: an item handed back is compressed below, as the plain path does it
            // at this moment, and only that attempt's failure is asked about.
            if (!done->handedBack) {
                item = done->item;
                staged = std::move(done->output);
                headerLength = done->headerLength;
                output = staged.get();
            }
        }
        for (bool own = !staged; own;) {
            if (split) {
                staged = std::make_unique<TZipStagingStream>(itemSettings_.tempFolder);
                output = staged.get();
            }
            std::size_t blocksSeen = 0;
            platform::OsError openError = platform::OsError::None;
            const std::size_t errorsBefore = platform::FileErrorCount();
            try {
                written = WriteItem(
                    item, source_, *output, archiveStream_->Position(), itemSettings_, OwnDeflater(),
                    [&](std::int64_t consumed, std::int64_t size) {
                        if (blocksSeen++ < blocksRaised) return true;
                        ++blocksRaised;
                        return RaiseBlockProgress(item.SourceFileName, operation, consumed, size);
                    },
                    headerLength, &openError);
                own = false;
            } catch (...) {
                // The workers hold temporary files and file handles of the items they read ahead:
                // an item that lacked either here stops them, so that it is compressed again with
                // all the room the plain path would have had, and so is the rest of the commit.
                const bool lackedRoom = (staged && staged->Failed()) || openError == platform::OsError::TooManyOpenFiles;
                if (!pipeline_ || !lackedRoom) throw;
                // What failed here is tried again: only a failure of that try is the job's to tell.
                platform::ForgetFileErrorsFrom(errorsBefore);
                ReleaseSource();
                staged.reset();
                pipeline_.reset();
            }
        }
        if (!written || cancelRequested_) {
            ReleaseSource();
            return false;
        }
        output->Seek(0, platform::SeekOrigin::End);
        if (split) {
            CopyStagedToVolumes(item, *staged, headerLength);
            // Closed on the road of success, where an error on closing counts as a write error.
            try {
                staged->Close();
            } catch (const EWriteError&) {
                throw EZipException(46, this);
            }
        }
        staged.reset();
        ReleaseSource();
        DoFileProgress(progressName, operation, cancelRequested_, ppEnd, 100.0);
        if (volumeCopyCancelled_) {
            action_ = fxaAbort;
            return false;
        }
        return true;
    } catch (const EZipException& e) {
        ReleaseSource();
        staged.reset();
        if (!archiveStream_) {
            action_ = fxaAbort;
        } else {
            DoProcessFileFailure(progressName, operation, e.NativeError(), e.ErrorCode(), e.Message(), action_);
        }
        return false;
    } catch (...) {
        ReleaseSource();
        throw;
    }
}

void TZipBaseArchiver::CopyItem(int index) {
    TZipDirArray& dir = dirManager_->Dir();
    TZipDirArray& saved = dirManager_->SavedDir();
    std::int32_t j = -1;
    for (std::int32_t k = 0; k < saved.Count(); ++k) {
        if (saved.EntryRef(k).Name == dir.EntryRef(index).Name) {
            j = k;
            break;
        }
    }
    // A replaced item keeps the name it was selected under, which the directory matched without
    // regard to case: its previous version may be stored in other letters.
    for (std::int32_t k = 0; j < 0 && k < saved.Count(); ++k) {
        if (platform::AnsiSameText(saved.EntryRef(k).Name, dir.EntryRef(index).Name)) j = k;
    }
    if (j < 0) throw EZipException(7, this);
    if (!tailFile_) throw EZipException(6, this);
    TDirItem& item = dir.EntryRef(index);
    if (item.Operation == poUpdate) item = saved.GetEntry(j);
    const TDirItem& old = saved.EntryRef(j);
    const std::int64_t sourceOffset = old.RealLocalHeaderOffset() - static_cast<std::int64_t>(rewriteStart_);
    // The byte count comes from the local header itself: its name and extra field may differ in
    // length from the central ones, and the entry comment lives in the central directory only.
    std::uint8_t raw[zip::LocalFileHeader::kSize];
    tailFile_->SetPosition(sourceOffset);
    tailFile_->ReadBuffer(raw, sizeof raw);
    const zip::LocalFileHeader local = zip::LocalFileHeader::Decode(raw);
    std::int64_t count = static_cast<std::int64_t>(sizeof raw) + local.NameLength + local.ExtraLength + old.RealCompressedSize();
    if ((old.Flags & 8) != 0) {
        // A data descriptor follows the data; it moves with the entry.
        std::uint8_t sig[4] = {};
        tailFile_->SetPosition(sourceOffset + count);
        const bool marked = tailFile_->Read(sig, 4) == 4 && zip::GetLE32(sig) == zip::kDataDescriptorSignature;
        count += (marked ? 4 : 0) + (old.HasZip64 ? 20 : 12);
    }
    item.SetLocalHeaderOffset(archiveStream_->Position());
    tailFile_->SetPosition(sourceOffset);
    archiveStream_->CopyFrom(*tailFile_, count);
}
