// Volumes of a multi-volume archive: their names, limits, requests and the volume-aware write path,
// and the default behaviour of every event hook.
#include <algorithm>
#include <limits>
#include <vector>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipStrFunc.h"
#include "archiver/ZipVerify.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"
#include "platform/Format.h"

namespace {

constexpr std::int64_t kMinimumFreeSpace = 65536;

bool Confirmed(const std::string& text) {
    return MessageDlg(text, mtConfirmation, {mbOK, mbCancel}) == mrOk;
}

}  // namespace

bool TZipBaseArchiver::IsSFXTarget() const {
    return (dirManager_ && dirManager_->PrefixSize > 0) || !SFXStub.empty() ||
           zip::AsciiLower(zip::FileExtension(FileName)).find(".exe") != std::string::npos;
}

void TZipBaseArchiver::MakeVolumeFileName(std::string& name, std::int32_t volumeNumber, bool checkExists) {
    const std::string folder = zip::FolderPart(name);
    const std::string file = zip::NamePart(name);
    const std::string ext = zip::FileExtension(file);
    const std::string base = file.substr(0, file.size() - ext.size());
    const bool sfx = IsSFXTarget();
    const bool advanced = spanningOptions_->AdvancedNaming;
    if (spanningMode_ == smSplitting) {
        // The base class, which has no compression method of its own, marks its volumes with F.
        const bool f = itemMethod_ > 251;
        if (volumeNumber >= 0) {
            if (volumeNumber == 0 && sfx) name = folder + base + ".exe";
            else if (advanced) name = folder + base + "_" + Format("%.3u", static_cast<unsigned>(volumeNumber + 1)) + ext;
            // The letter is lower-case, as Info-ZIP writes it: 7-Zip and Info-ZIP look for
            // Kelmail.z01 beside Kelmail.zip, and on a case-sensitive file system (where a
            // recipient may save the attachments) Kelmail.Z01 is another name.
            else name = folder + base + (f ? ".f" : ".z") + Format("%.2d", volumeNumber + 1);
        } else if (sfx) {
            name = folder + base + (f ? ".ZF" : ".ZIP");
        }
        return;
    }
    if (spanningMode_ == smSpanning && volumeNumber >= 0) {
        const std::string e = sfx ? ".exe" : ext;
        const std::string numbered = folder + base + "_" + Format("%.3u", static_cast<unsigned>(volumeNumber + 1)) + e;
        const std::string plain = folder + base + e;
        name = advanced ? numbered : plain;
        if (checkExists && !platform::FileExists(name)) {
            const std::string other = advanced ? plain : numbered;
            if (platform::FileExists(other)) name = other;
        }
    }
}

std::int64_t TZipBaseArchiver::DriveFreeSpace(const std::string& name) {
    const std::string drive = zip::DrivePart(zip::FullPath(name));
    const std::int64_t free = platform::DiskFree(drive + "\\");
    // A failed query counts as unlimited space; the write itself then reports a real shortage.
    return free < 0 ? std::numeric_limits<std::int64_t>::max() / 4 : free;
}

std::int64_t TZipBaseArchiver::VolumeFreeSpace(std::int64_t volumeSize) {
    // The drive is asked once per volume: the archiver's own writes to the volume are counted off
    // the answer, which costs a system call less per write and does not depend on the moment of
    // the write. A write that falls short asks again.
    if (!volumeFreeKnown_) {
        volumeFree_ = DriveFreeSpace(currentVolumeFileName_);
        volumeFreeBase_ = volumeSize;
        volumeFreeKnown_ = true;
    }
    return volumeFree_ - (volumeSize - volumeFreeBase_);
}

void TZipBaseArchiver::OpenVolumeFile(const std::string& name) {
    FreeArchiveStream();
    volumeFreeKnown_ = false;
    ownedStream_ = std::make_unique<TFileStream>(name, openMode_);
    archiveStream_ = ownedStream_.get();
    currentVolumeFileName_ = name;
    if (dirManager_) dirManager_->StreamReplaced(nullptr, archiveStream_);
}

void TZipBaseArchiver::OpenVolume(TZipVolumeNumberInfo& info) {
    if (spanningMode_ == smNone) {
        if (!archiveStream_) OpenVolumeFile(FileName);
        currentVolume_->AssignFrom(info);
        return;
    }
    bool cancel = false;
    if (openMode_ == platform::fmCreate) {
        std::string closed;
        if (auto* file = externalStream_ ? nullptr : dynamic_cast<TFileStream*>(ownedStream_.get())) {
            // The volume is complete: its write-back starts now, while the next ones are written,
            // so that waiting for it at the end costs little.
            file->StartFlush();
            closed = currentVolumeFileName_;
            if (std::find(closedVolumes_.begin(), closedVolumes_.end(), currentVolumeFileName_) == closedVolumes_.end()) {
                closedVolumes_.push_back(currentVolumeFileName_);
            }
        }
        CloseArchiveStream();
        // Its read-back check begins too.
        if (verifier_ && !closed.empty()) verifier_->VolumeClosed(closed);
        const std::int64_t limit = spanningOptions_->VolumeSizeFor(info);
        std::string name;
        for (;;) {
            name = FileName;
            DoRequestBlankVolume(info.Number, name, cancel);
            if (cancel) break;
            const std::int64_t free = DriveFreeSpace(name);
            const bool accepted = free > kMinimumFreeSpace && (limit <= 0 || spanningMode_ != smSpanning || free >= limit);
            if (accepted) break;
            DoDiskFull(info.Number, name, cancel);
            if (cancel) {
                // The commit is rolled back without an error of its own: the line says why.
                platform::NoteFileError("create", zip::FullPath(name),
                                        Format("disk full (%lld bytes free)", static_cast<long long>(free)));
                break;
            }
        }
        if (!cancel) {
            OpenVolumeFile(name);
            if (spanningMode_ == smSpanning) {
                // A disk that cannot be labelled is still usable.
                platform::SetVolumeLabel(zip::DrivePart(zip::FullPath(name)) + "\\",
                                         "pkback# " + Format("%.3d", info.Number + 1));
            }
        }
    } else {
        if (currentVolume_->SameVolumeAs(info) && archiveStream_) return;
        for (;;) {
            std::string name = FileName;
            if (info.IsFirst()) DoRequestFirstVolume(name, cancel);
            else if (info.IsLast()) DoRequestLastVolume(name, cancel);
            else DoRequestMiddleVolume(info.Number, name, cancel);
            if (cancel) break;
            if (name.empty() && spanningMode_ != smSpanning) return;
            if (platform::FileExists(name)) {
                OpenVolumeFile(name);
                currentVolume_->AssignFrom(info);
                return;
            }
        }
    }
    if (cancel) throw EZipException(45, this);
}

std::int64_t TZipBaseArchiver::WriteToVolumes(const void* buffer, std::int64_t count, TStream*& volumeStream,
                                              TZipVolumeNumberInfo& info, std::int32_t reserve,
                                              TMemoryStream* bufferStream) {
    if (spanningMode_ == smNone) return volumeStream->Write(buffer, count);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::int64_t written = 0;
    while (written < count) {
        const std::int64_t buffered = bufferStream ? bufferStream->Size() : 0;
        const std::int64_t volumeSize = volumeStream->Size();
        const bool freshAnswer = !volumeFreeKnown_;
        std::int64_t free = VolumeFreeSpace(volumeSize) - buffered;
        const std::int64_t limit = spanningOptions_->VolumeSizeFor(info);
        if (limit != -1) free = std::min(free, limit - volumeSize - buffered);
        if (free < 0) return written;
        const std::int64_t remaining = count - written;
        const bool fits = reserve == -1 || remaining + reserve <= free;
        if (fits) {
            const std::int64_t n = std::min(free, remaining);
            if (n > 0) {
                TStream* target = bufferStream ? static_cast<TStream*>(bufferStream) : volumeStream;
                const std::int64_t took = target->Write(bytes + written, n);
                if (took < n) {
                    if (!freshAnswer && target == volumeStream) {
                        // The free space counted down since the volume's query ran out early:
                        // something else wrote to the drive meanwhile. The write is undone and the
                        // drive asked again, as if it had been asked just before the write.
                        volumeStream->SetSize(volumeSize);
                        volumeFreeKnown_ = false;
                        continue;
                    }
                    // The room was measured before the write: a volume that takes less is failing,
                    // not full. Moving on would cut a block that must stay whole (a local header
                    // would straddle two volumes) or open volumes without end.
                    throw EZipException(46, this);
                }
                written += took;
            }
        } else if (volumeSize + buffered == 0) {
            // A block that may not be split does not fit even an empty volume: every further volume
            // would refuse it too, so the write ends here instead of asking for volumes without end.
            throw EZipException(46, this);
        }
        if (written < count) {
            if (bufferStream) {
                if (bufferStream->Size() > 0 &&
                    volumeStream->Write(bufferStream->Data().data(), bufferStream->Size()) != bufferStream->Size()) {
                    throw EZipException(46, this);
                }
                bufferStream->SetSize(0);
            }
            if (spanningMode_ == smSpanning) {
                auto* file = dynamic_cast<TFileStream*>(volumeStream);
                if (file && !file->Flush()) throw EZipException(46, this);
            }
            info.SetNumber(info.Number + 1);
            OpenVolume(info);
            volumeStream = archiveStream_;
        }
    }
    return written;
}

void TZipBaseArchiver::WriteToVolumesChecked(const void* buffer, std::int64_t count, TStream*& volumeStream,
                                             TZipVolumeNumberInfo& info, std::int32_t reserve,
                                             TMemoryStream* bufferStream) {
    if (WriteToVolumes(buffer, count, volumeStream, info, reserve, bufferStream) != count) {
        throw EZipException(46, this);
    }
}

void TZipBaseArchiver::CopyStreamToVolumes(TStream& source, TStream*& volumeStream, bool showProgress,
                                           TMemoryStream* bufferStream, std::int32_t reserve, std::int64_t count,
                                           bool& cancel, TZipVolumeNumberInfo& info) {
    std::int64_t total = 0;
    std::int64_t chunk = zip::kVolumeCopyChunk;
    if (count == -1) {
        total = source.Size() - source.Position();
    } else {
        total = count;
        chunk = std::min(zip::kVolumeCopyChunk, count);
    }
    // The buffer takes no more than the copy needs: most items are far smaller than a chunk.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::max<std::int64_t>(std::min(chunk, total), 1)));
    if (showProgress) {
        DoCopyTempFileProgress(ppStart, cancel, 0.0);
        if (cancel) return;
    }
    std::int64_t done = 0;
    while (done < total) {
        const std::int64_t want = std::min(chunk, total - done);
        const std::int64_t got = source.Read(buffer.data(), want);
        const std::int64_t took = got > 0 ? WriteToVolumes(buffer.data(), got, volumeStream, info, reserve, bufferStream) : 0;
        done += took;
        // A copy whose source ran short, or whose volumes stopped taking bytes, can never reach its
        // total: it ends here rather than going on with bytes missing.
        if (got <= 0 || took < got) throw EZipException(46, this);
        if (showProgress) {
            DoCopyTempFileProgress(ppProcess, cancel, static_cast<double>(done) / static_cast<double>(total) * 100.0);
            if (cancel) break;
        }
    }
    if (showProgress) {
        // The closing event clears Cancel before its handler runs; a cancel given earlier must
        // survive it, or the item would count as written.
        const bool cancelledBefore = cancel;
        DoCopyTempFileProgress(ppEnd, cancel, 100.0);
        cancel = cancel || cancelledBefore;
    }
}

bool TZipBaseArchiver::FlushClosedVolumes() {
    if (spanningMode_ != smSplitting) return true;  // a spanned volume was flushed before its disk went
    if (!platform::FlushFiles(closedVolumes_)) return false;
    std::vector<std::string> folders{zip::FolderPart(zip::FullPath(currentVolumeFileName_))};
    for (const std::string& volume : closedVolumes_) {
        const std::string folder = zip::FolderPart(zip::FullPath(volume));
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    }
    // The folders' entries, the last volume's new name among them.
    return std::all_of(folders.begin(), folders.end(), [](const std::string& f) { return platform::FlushFolder(f); });
}

void TZipBaseArchiver::FinishVolumes() {
    // File names are compared as the file system compares them, without regard to case: a volume
    // named like the archive in other letters is the archive file itself.
    const auto sameFile = [](const std::string& a, const std::string& b) {
        return platform::AnsiSameText(zip::FullPath(a), zip::FullPath(b));
    };
    if (spanningMode_ == smNone) return;
    // A last volume that has the archive's name already is reopened all the same: created, it
    // shares nothing, and the read-back check must open it too.
    const std::string volume = currentVolumeFileName_;
    const bool named = sameFile(volume, FileName);
    CloseArchiveStream();
    std::string name = named ? volume : FileName;
    if (!named) MakeVolumeFileName(name, -1, false);
    if (!sameFile(volume, name)) {
        if (platform::FileExists(name)) platform::DeleteFile(name);
        if (!platform::RenameFile(volume, name)) {
            // The archive would be left under its volume name while the caller believes it complete.
            throw EZipException::CreateWithArgs(36, this, {name});
        }
    }
    ownedStream_ = std::make_unique<TFileStream>(name, platform::fmOpenReadWrite | platform::fmShareDenyNone);
    archiveStream_ = ownedStream_.get();
    currentVolumeFileName_ = name;
    if (dirManager_) dirManager_->StreamReplaced(nullptr, archiveStream_);
}

void TZipBaseArchiver::OpenExistingArchive() {
    spanningMode_ = smNone;
    currentVolume_->Reset();
    if (!platform::FileExists(FileName) && zip::IsRemovablePath(FileName)) spanningMode_ = smSpanning;
    const bool namingBefore = spanningOptions_->AdvancedNaming;
    damagedDirectorySwitch_ = false;
    try {
        std::string lastName;
        for (int probe = 0; probe < 2; ++probe) {
            TZipVolumeNumberInfo last;
            last.Role = vrLast;
            if (lastName.empty()) {
                OpenVolume(last);
            } else {
                OpenVolumeFile(lastName);
                currentVolume_->AssignFrom(last);
            }
            if (!archiveStream_) throw EZipException(45, this);
            dirManager_ = std::make_unique<TZipDirManager>(archiveStream_, this, false);
            if (dirManager_->HasEndRecord()) {
                const std::uint16_t disk = dirManager_->EndRecord.ThisDisk;
                if (disk == 0) {
                    spanningMode_ = smNone;
                    break;
                }
                currentVolume_->LastNumber = disk;
                currentVolume_->SetIsLast(true);
                spanningMode_ = smSplitting;
                std::string previous = FileName;
                MakeVolumeFileName(previous, disk - 1, false);
                if (!platform::FileExists(previous)) {
                    spanningOptions_->AdvancedNaming = !spanningOptions_->AdvancedNaming;
                    previous = FileName;
                    MakeVolumeFileName(previous, disk - 1, false);
                    if (!platform::FileExists(previous)) {
                        spanningOptions_->AdvancedNaming = namingBefore;
                        const bool exe = zip::AsciiLower(FileName).find(".exe") != std::string::npos;
                        spanningMode_ = exe ? smNone : smSpanning;
                    }
                }
                break;
            }
            if (zip::AsciiLower(zip::FileExtension(FileName)).find(".exe") == std::string::npos || probe > 0) break;
            // A self-extractor without an end record: its directory may be in the .ZIP last volume.
            spanningMode_ = smSplitting;
            std::string zipName = FileName;
            MakeVolumeFileName(zipName, -1, false);
            spanningMode_ = smNone;
            if (!platform::FileExists(zipName)) break;
            lastName = zipName;
        }
    } catch (...) {
        damagedDirectorySwitch_ = true;
        throw;
    }
    damagedDirectorySwitch_ = true;
    dirManager_->LoadDirectory();
}

// ---- Event hooks ----

void TZipBaseArchiver::DoOverallProgress(TZipProcessOperation operation, TZipProgressPhase phase, bool& cancel,
                                         double progress) {
    if (OnOverallProgress) OnOverallProgress(this, progress, operation, phase, cancel);
    else cancel = false;
}

void TZipBaseArchiver::DoFileProgress(const std::string& fileName, TZipProcessOperation operation, bool& cancel,
                                      TZipProgressPhase phase, double progress) {
    if (OnFileProgress) OnFileProgress(this, zip::ReplaceChar(fileName, '/', '\\'), progress, operation, phase, cancel);
    else cancel = false;
}

void TZipBaseArchiver::DoCopyTempFileProgress(TZipProgressPhase phase, bool& cancel, double progress) {
    cancel = false;
    if (OnCopyTempFileProgress) OnCopyTempFileProgress(this, progress, phase, cancel);
}

void TZipBaseArchiver::DoConfirmOverwrite(const std::string& sourceFileName, std::string& destFileName,
                                          bool& confirm) {
    if (OnConfirmOverwrite) {
        OnConfirmOverwrite(this, sourceFileName, destFileName, confirm);
        return;
    }
    const TModalResult r =
        MessageDlg(Format("Overwrite file \"%s\" with \"%s\"", destFileName.c_str(), sourceFileName.c_str()),
                   mtConfirmation, {mbYes, mbNo, mbNoToAll, mbYesToAll});
    confirm = r == mrYes || r == mrYesToAll;
    if (r == mrYesToAll) options_->OverwriteMode = omAlways;
    if (r == mrNoToAll) options_->OverwriteMode = omNever;
}

void TZipBaseArchiver::DoConfirmProcessFile(const std::string& fileName, TZipProcessOperation operation,
                                            bool& confirm) {
    confirm = true;
    if (OnConfirmProcessFile) OnConfirmProcessFile(this, fileName, operation, confirm);
}

void TZipBaseArchiver::DoPassword(const std::string& fileName, std::string& newPassword, bool& skipFile) {
    if (OnPassword) {
        OnPassword(this, fileName, newPassword, skipFile);
        return;
    }
    if (!InputQuery(Format("Password for \"%s\"", fileName.c_str()), "Enter password: ", newPassword)) skipFile = true;
}

void TZipBaseArchiver::DoProcessFileFailure(const std::string& fileName, TZipProcessOperation operation,
                                            int nativeError, int errorCode, const std::string& errorMessage,
                                            TZipAction& action) {
    action = fxaIgnore;
    if (OnProcessFileFailure) {
        OnProcessFileFailure(this, fileName, operation, nativeError, errorCode, errorMessage, action);
        return;
    }
    TModalResult r = mrAbort;
    if (nativeError == 45) {
        action = fxaAbort;
        return;
    }
    if (nativeError == 61) {
        r = MessageDlg(errorMessage, mtConfirmation, {mbAbort, mbIgnore});
    } else {
        r = MessageDlg(Format("%s. File processing error, possibly disk is full", errorMessage.c_str()), mtConfirmation,
                       {mbAbort, mbRetry, mbIgnore});
    }
    action = r == mrRetry ? fxaRetry : r == mrIgnore ? fxaIgnore : fxaAbort;
}

void TZipBaseArchiver::DoRequestBlankVolume(std::int32_t volumeNumber, std::string& volumeFileName, bool& cancel) {
    const std::int32_t n = std::max(volumeNumber, 0);
    MakeVolumeFileName(volumeFileName, n, false);
    cancel = false;
    if (OnRequestBlankVolume) {
        OnRequestBlankVolume(this, n + 1, volumeFileName, cancel);
        return;
    }
    if (spanningMode_ == smSpanning) cancel = !Confirmed(Format("Please insert a blank disk #%d", n + 1));
}

void TZipBaseArchiver::DoRequestFirstVolume(std::string& volumeFileName, bool& cancel) {
    const std::string passed = volumeFileName;
    MakeVolumeFileName(volumeFileName, 0, !OnRequestFirstVolume);
    cancel = false;
    if (OnRequestFirstVolume) {
        OnRequestFirstVolume(this, volumeFileName, cancel);
        return;
    }
    if (spanningMode_ == smSpanning) {
        cancel = !Confirmed("Please insert the first disk");
        volumeFileName = passed;
        MakeVolumeFileName(volumeFileName, 0, true);
    } else {
        cancel = !platform::FileExists(volumeFileName) && openMode_ != platform::fmCreate;
    }
}

void TZipBaseArchiver::DoRequestLastVolume(std::string& volumeFileName, bool& cancel) {
    MakeVolumeFileName(volumeFileName, -1, true);
    cancel = false;
    if (OnRequestLastVolume) {
        OnRequestLastVolume(this, volumeFileName, cancel);
        return;
    }
    if (spanningMode_ == smSpanning) {
        cancel = !Confirmed("Please insert the last disk");
        while (!cancel && !platform::FileExists(volumeFileName)) {
            cancel = !Confirmed(Format("File '%s' not found on inserted disk. Please insert last disk with required file",
                                       volumeFileName.c_str()));
        }
    } else {
        cancel = !platform::FileExists(volumeFileName);
    }
}

void TZipBaseArchiver::DoRequestMiddleVolume(std::int32_t volumeNumber, std::string& volumeFileName, bool& cancel) {
    const std::string passed = volumeFileName;
    MakeVolumeFileName(volumeFileName, volumeNumber, !OnRequestMiddleVolume);
    cancel = false;
    if (OnRequestMiddleVolume) {
        OnRequestMiddleVolume(this, volumeNumber + 1, volumeFileName, cancel);
        return;
    }
    if (spanningMode_ == smSpanning) {
        cancel = !Confirmed(Format("Please insert disk #%d", volumeNumber + 1));
    } else {
        cancel = !platform::FileExists(volumeFileName);
    }
    volumeFileName = passed;
    MakeVolumeFileName(volumeFileName, volumeNumber, true);
}

void TZipBaseArchiver::DoDiskFull(std::int32_t volumeNumber, const std::string& volumeFileName, bool& cancel) {
    cancel = false;
    if (OnDiskFull) {
        OnDiskFull(this, volumeNumber + 1, volumeFileName, cancel);
        return;
    }
    if (spanningMode_ == smSpanning) {
        TZipVolumeNumberInfo info;
        info.SetNumber(volumeNumber);
        const long long limit = spanningOptions_->VolumeSizeFor(info);
        const long long free = DriveFreeSpace(volumeFileName);
        cancel = !Confirmed(Format("Disk is full. Required free space: %lld bytes, but available only: %lld bytes. "
                                   "Clean the disk or find another blank disk",
                                   limit, free));
    } else {
        cancel = true;
    }
}

void TZipBaseArchiver::DoStoreFile(std::string& fileName, std::uint32_t& fileAttr, std::string& comment,
                                   const std::string& originalFileName) {
    if (!OnStoreFile) return;
    fileName = zip::ReplaceChar(fileName, '/', '\\');
    OnStoreFile(this, fileName, fileAttr, comment, originalFileName);
    fileName = zip::ReplaceChar(fileName, '\\', '/');
}

void TZipBaseArchiver::DoExtractFile(std::string& fileName, std::uint32_t& fileAttr, const std::string& comment) {
    fileName = zip::ReplaceChar(fileName, '/', '\\');
    if (OnExtractFile) OnExtractFile(this, fileName, fileAttr, comment);
}
