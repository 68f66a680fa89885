#pragma once
// The archiver component: selects files by masks, compresses them into a ZIP archive, keeps its
// central directory and writes it as one file or as split volumes. Everything happens on the
// calling thread; events are raised through virtual hooks that apply a default when no handler is
// assigned.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archiver/ZipExcept.h"
#include "archiver/ZipVolume.h"
#include "platform/Forms.h"
#include "platform/Streams.h"
#include "platform/Threads.h"

class TZipDirManager;
class TZipPipeline;
class TZipStagingStream;
class TZipVerifier;
class TZlibDeflater;
struct TDirItem;

enum TZipCompressionLevel : std::uint8_t { clNone, clFastest, clNormal, clMax };
enum TZipProcessOperation : std::uint8_t {
    poAdd, poMove, poDelete, poUpdate, poExtract, poTest, poRename, poChangeAttr, poChangeComment, poMakeSFX,
};
enum TZipProgressPhase : std::uint8_t { ppStart, ppProcess, ppEnd };
enum TZipAction : std::uint8_t { fxaRetry, fxaIgnore, fxaAbort };
enum TZipOverwriteMode : std::uint8_t { omPrompt, omAlways, omNever, omIfNewer, omIfOlder };
enum TZipFileShareMode : std::uint8_t {
    smShareCompat, smShareExclusive, smShareDenyWrite, smShareDenyRead, smShareDenyNone,
};
enum TZipStorePathMode : std::uint8_t { spNoPath, spRelativePath, spFullPath, spFullPathWithDrive };
enum TZip64Mode : std::uint8_t { zmDisabled, zmAuto, zmAlways };
enum TZipSpanningMode : std::uint8_t { smNone, smSpanning, smSplitting };
enum TZipVolumeSize : std::uint8_t {
    vsAutoDetect, vsCustom, vs1_44MB, vs100MB, vs200MB, vs250MB, vs600MB, vs650MB, vs700MB, vs4700MB,
};

using TStringList = std::vector<std::string>;

// Called by the compression stage before each input block with the bytes of the source consumed so
// far and its size; false stops the run as a cancel does.
using TZipBlockHook = std::function<bool(std::int64_t consumed, std::int64_t size)>;

// Deflates the input blocks of one large item on several threads at once (the compression workers
// give one to the stage). Each block is deflated by a stream of its own primed with the 32 KiB of
// input before it, which gives the bytes of the one stream; the blocks are joined in their order.
class TZipBlockRunner {
public:
    struct Outcome {
        std::int64_t consumed = 0;    // source bytes of the blocks joined
        std::int64_t compressed = 0;  // bytes written to the output
        std::uint32_t crc = 0xFFFFFFFF;  // running CRC-32 register of the consumed bytes
        std::uint32_t dataCrc = 0;       // CRC-32 of the bytes written (complemented form; 0 for none)
        bool stopped = false;         // stopped from outside (the workers stopping), as a cancel
    };
    virtual ~TZipBlockRunner() = default;
    // Deflates the sourceSize bytes of source at level in blocks of blockSize onto output; false
    // when it leaves the item to the plain block loop. A source that falls short ends it with fewer
    // bytes consumed; other failures are raised once every block in flight has ended.
    virtual bool Run(TStream& source, TStream& output, int level, std::int64_t blockSize, std::int64_t sourceSize,
                     Outcome& outcome) = 0;
};

// Event types. Sender is the archiver; a handler answers through its reference parameters.
using TZipProgressEvent = std::function<void(TObject* Sender, double Progress, TZipProcessOperation Operation,
                                             TZipProgressPhase ProgressPhase, bool& Cancel)>;
using TZipFileProgressEvent =
    std::function<void(TObject* Sender, const std::string& FileName, double Progress, TZipProcessOperation Operation,
                       TZipProgressPhase ProgressPhase, bool& Cancel)>;
using TZipCopyTempFileProgressEvent =
    std::function<void(TObject* Sender, double Progress, TZipProgressPhase ProgressPhase, bool& Cancel)>;
using TZipConfirmOverwriteEvent = std::function<void(TObject* Sender, const std::string& SourceFileName,
                                                     std::string& DestFileName, bool& Confirm)>;
using TZipConfirmProcessFileEvent = std::function<void(TObject* Sender, const std::string& FileName,
                                                       TZipProcessOperation Operation, bool& Confirm)>;
using TZipOnPasswordEvent = std::function<void(TObject* Sender, const std::string& FileName, std::string& NewPassword,
                                               bool& SkipFile)>;
using TZipProcessFileFailureEvent =
    std::function<void(TObject* Sender, const std::string& FileName, TZipProcessOperation Operation, int NativeError,
                       int ErrorCode, const std::string& ErrorMessage, TZipAction& Action)>;
using TZipOnRequestBlankVolumeEvent =
    std::function<void(TObject* Sender, int VolumeNumber, std::string& VolumeFileName, bool& Cancel)>;
using TZipOnRequestFirstVolumeEvent = std::function<void(TObject* Sender, std::string& VolumeFileName, bool& Cancel)>;
using TZipOnRequestLastVolumeEvent = std::function<void(TObject* Sender, std::string& VolumeFileName, bool& Cancel)>;
using TZipOnRequestMiddleVolumeEvent =
    std::function<void(TObject* Sender, int VolumeNumber, std::string& VolumeFileName, bool& Cancel)>;
using TZipOnDiskFullEvent =
    std::function<void(TObject* Sender, int VolumeNumber, const std::string& VolumeFileName, bool& Cancel)>;
using TZipOnStoreFileEvent = std::function<void(TObject* Sender, std::string& FileName, std::uint32_t& FileAttr,
                                                std::string& Comment, const std::string& OriginalFileName)>;
using TZipOnExtractFileEvent = std::function<void(TObject* Sender, std::string& FileName, std::uint32_t& FileAttr,
                                                  const std::string& Comment)>;

// General options of the archiver.
class TZipOptions {
public:
    TZipStorePathMode StorePath = spRelativePath;
    bool Recurse = true;
    TZipFileShareMode ShareMode = smShareDenyNone;
    TZipOverwriteMode OverwriteMode = omAlways;
    bool CreateDirs = true;
    bool ReplaceReadOnly = true;
    bool SetAttributes = true;
    std::int32_t SearchAttr = 10431;  // 0x28BF: the six attribute bits, normal, compressed, not indexed
    bool FlushBuffers = true;
    bool OEMFileNames = true;

    // Copies every option, the share mode included.
    void Assign(const TZipOptions& other) { *this = other; }
};

// Multi-volume options of the archiver.
class TZipSpanningOptions {
public:
    bool AdvancedNaming = true;
    std::int64_t FirstVolumeSize = 0;
    TZipVolumeSize VolumeSize = vsAutoDetect;

    std::int64_t CustomVolumeSize() const { return customVolumeSize_; }
    // Values below 65,536 (negative ones included) are stored as 65,536.
    void SetCustomVolumeSize(std::int64_t value) { customVolumeSize_ = value < 65536 ? 65536 : value; }
    // Not published; false after construction, copied along with the other options; nothing reads it.
    bool Reserved = false;

    // The byte limit of a volume: FirstVolumeSize for the first one when it is set, else the limit
    // of VolumeSize; -1 for no limit.
    std::int64_t VolumeSizeFor(const TZipVolumeNumberInfo& info) const;
    void Assign(const TZipSpanningOptions& other) { *this = other; }

private:
    std::int64_t customVolumeSize_ = 0;
};

class TZipBaseArchiver : public TComponent {
public:
    explicit TZipBaseArchiver(TComponent* owner);
    ~TZipBaseArchiver() override;

    // ---- Published properties ----
    bool ExtractCorruptedFiles = false;
    TZipCompressionLevel CompressionLevel() const { return compressionLevel_; }
    // Sets the level, then CompressionMode from it (0, 1, 6 or 9), then the method.
    void SetCompressionLevel(TZipCompressionLevel level);
    std::uint8_t CompressionMode() const { return compressionMode_; }
    // Sets the mode (0..9; above 9 raises code 5 and changes nothing), the level from it, the method.
    void SetCompressionMode(std::uint8_t mode);
    // "2.72 " whatever the locale; assigning it changes nothing.
    std::string CurrentVersion() const;
    void SetCurrentVersion(const std::string&) {}
    std::string Password;
    std::string FileName;
    std::string BaseDir;
    std::string TempDir;
    TZipSpanningMode SpanningMode() const { return spanningMode_; }
    // Raises Exception "Cannot set spanning mode on open archive" while an archive is open.
    void SetSpanningMode(TZipSpanningMode mode);
    TZipSpanningOptions& SpanningOptions() { return *spanningOptions_; }
    void SetSpanningOptions(const TZipSpanningOptions& options) { spanningOptions_->Assign(options); }
    std::string SFXStub;
    TZipOptions& Options() { return *options_; }
    void SetOptions(const TZipOptions& options) { options_->Assign(options); }
    TStringList& FileMasks() { return *fileMasks_; }
    void SetFileMasks(const TStringList& masks) { *fileMasks_ = masks; }
    TStringList& ExclusionMasks() { return *exclusionMasks_; }
    void SetExclusionMasks(const TStringList& masks) { *exclusionMasks_ = masks; }
    TStringList& NoCompressionMasks() { return *noCompressionMasks_; }
    void SetNoCompressionMasks(const TStringList& masks) { *noCompressionMasks_ = masks; }
    bool InMemory() const { return inMemory_; }
    void SetInMemory(bool value);

    TZipFileProgressEvent OnFileProgress;
    TZipProgressEvent OnOverallProgress;
    TZipCopyTempFileProgressEvent OnCopyTempFileProgress;
    TZipConfirmOverwriteEvent OnConfirmOverwrite;
    TZipConfirmProcessFileEvent OnConfirmProcessFile;
    TNotifyEvent AfterOpen;
    TZipOnPasswordEvent OnPassword;
    TZipProcessFileFailureEvent OnProcessFileFailure;
    TZipOnRequestBlankVolumeEvent OnRequestBlankVolume;
    TZipOnRequestFirstVolumeEvent OnRequestFirstVolume;
    TZipOnRequestLastVolumeEvent OnRequestLastVolume;
    TZipOnRequestMiddleVolumeEvent OnRequestMiddleVolume;
    TZipOnDiskFullEvent OnDiskFull;
    TZipOnStoreFileEvent OnStoreFile;
    TZipOnExtractFileEvent OnExtractFile;

    TZip64Mode Zip64Mode = zmAuto;

    // ---- Operations ----
    // Opens the archive FileName with an open-mode word; fmCreate (0xFFFF) creates a new one.
    void Open(std::uint16_t mode);
    // Opens with a mode chosen from the file's existence and writability.
    void OpenDefault();
    void SetOpen(bool value);
    // Finishes a pending update, then releases the archive in every case. Then raises the first
    // error of that update or of closing the archive file, since either means the archive on disk
    // is not what the caller was told.
    void Close();
    // Adds every file selected by FileMasks in one update.
    void AddMatchingFiles();
    void BeginUpdate();
    // The outermost EndUpdate commits the update.
    void EndUpdate();
    // Forgets the open update without committing it.
    void DiscardUpdate();

    // ---- State, readable by the owner and by tests ----
    bool IsOpen() const { return isOpen_; }
    std::int32_t UpdateDepth() const { return updateDepth_; }
    std::uint16_t OpenMode() const { return openMode_; }
    std::uint16_t ItemMethod() const { return itemMethod_; }
    bool UpdateCommitted() const { return updateCommitted_; }
    // Whether the last commit ended without writing its update (aborted, cancelled or failed): the
    // archive was rolled back to its state before the update. AddMatchingFiles returns normally in
    // that case, so this is how a caller tells success from a roll-back.
    bool UpdateRolledBack() const { return updateRolledBack_; }
    TZipDirManager* DirManager() const { return dirManager_.get(); }
    TStream* ArchiveStream() const { return archiveStream_; }
    const TZipVolumeNumberInfo& CurrentVolume() const { return *currentVolume_; }
    const std::string& CurrentVolumeFileName() const { return currentVolumeFileName_; }
    bool UseZipSignatures() const { return useZipSignatures_; }
    // Threads that compress the items of a split archive's commit: 0 (the default) takes the
    // environment variable MAILBALE_THREADS when it holds a valid count, else the machine's
    // hardware threads, never more than kMostWorkerThreads. With 1 the caller's thread compresses
    // every item itself; with more, worker threads compress the next items while it writes the
    // volumes. The archive's bytes and the events are the same either way.
    static constexpr int kMostWorkerThreads = 64;
    void SetWorkerThreads(int count) { workerThreads_ = count < 0 ? 0 : count; }
    int WorkerThreads() const;
    // The count a MAILBALE_THREADS value gives: a whole number from 1 to kMostWorkerThreads in
    // decimal digits alone; 0 for anything else (empty, signs, spaces, other characters, 0, more).
    static int ParseThreadCount(const char* text);
    // How far the workers may read ahead: the bytes that staged items not yet written may hold in
    // memory and in temporary files (the rules are the pipeline's).
    static constexpr std::int64_t kReadAheadMemory = 16LL << 20;
    static constexpr std::int64_t kReadAheadTemp = 64LL << 20;
    void SetReadAheadBounds(std::int64_t memoryBytes, std::int64_t tempBytes) {
        readAheadMemory_ = memoryBytes;
        readAheadTemp_ = tempBytes;
    }

    // ---- Volumes (used by the directory manager) ----
    // Whether the archive is a self-extractor: a stub in front, SFXStub set, or an .exe name.
    bool IsSFXTarget() const;
    // The name of volume number (0-based; -1 for the last) derived from name.
    void MakeVolumeFileName(std::string& name, std::int32_t volumeNumber, bool checkExists);
    // Free bytes on the drive of name; a failed query counts as unlimited.
    std::int64_t DriveFreeSpace(const std::string& name);
    // Makes the volume info names current (requesting, checking and creating it as needed).
    void OpenVolume(TZipVolumeNumberInfo& info);
    // Writes count bytes through the volumes; reserve -1 lets the block straddle two volumes, a value
    // of 0 or more requires the rest of the block plus reserve bytes to fit. Returns the bytes taken.
    std::int64_t WriteToVolumes(const void* buffer, std::int64_t count, TStream*& volumeStream,
                                TZipVolumeNumberInfo& info, std::int32_t reserve, TMemoryStream* bufferStream);
    // The same; raises code 46 when fewer than count bytes were taken.
    void WriteToVolumesChecked(const void* buffer, std::int64_t count, TStream*& volumeStream,
                               TZipVolumeNumberInfo& info, std::int32_t reserve, TMemoryStream* bufferStream);
    // Copies count bytes of source (-1: to its end) through the volumes; raises code 46 when the
    // volumes take fewer bytes than were read.
    void CopyStreamToVolumes(TStream& source, TStream*& volumeStream, bool showProgress, TMemoryStream* bufferStream,
                             std::int32_t reserve, std::int64_t count, bool& cancel, TZipVolumeNumberInfo& info);
    // After the directory is written: the last volume takes the archive's own name.
    void FinishVolumes();
    TZipVolumeNumberInfo& CurrentVolumeRef() { return *currentVolume_; }
    TStream*& ArchiveStreamRef() { return archiveStream_; }
    // While off, the end-record search of an opened archive reports only what it really finds.
    bool DamagedDirectorySwitch() const { return damagedDirectorySwitch_; }

    // ---- Event hooks: each calls its handler when one is assigned, else applies a default ----
    virtual void ChooseCompressionMethod();
    virtual void DoOverallProgress(TZipProcessOperation operation, TZipProgressPhase phase, bool& cancel,
                                   double progress);
    virtual void DoFileProgress(const std::string& fileName, TZipProcessOperation operation, bool& cancel,
                                TZipProgressPhase phase, double progress);
    virtual void DoCopyTempFileProgress(TZipProgressPhase phase, bool& cancel, double progress);
    virtual void DoConfirmOverwrite(const std::string& sourceFileName, std::string& destFileName, bool& confirm);
    virtual void DoConfirmProcessFile(const std::string& fileName, TZipProcessOperation operation, bool& confirm);
    virtual void DoPassword(const std::string& fileName, std::string& newPassword, bool& skipFile);
    virtual void DoProcessFileFailure(const std::string& fileName, TZipProcessOperation operation, int nativeError,
                                      int errorCode, const std::string& errorMessage, TZipAction& action);
    virtual void DoRequestBlankVolume(std::int32_t volumeNumber, std::string& volumeFileName, bool& cancel);
    virtual void DoRequestFirstVolume(std::string& volumeFileName, bool& cancel);
    virtual void DoRequestLastVolume(std::string& volumeFileName, bool& cancel);
    virtual void DoRequestMiddleVolume(std::int32_t volumeNumber, std::string& volumeFileName, bool& cancel);
    virtual void DoDiskFull(std::int32_t volumeNumber, const std::string& volumeFileName, bool& cancel);
    virtual void DoReserved() {}
    virtual void DoStoreFile(std::string& fileName, std::uint32_t& fileAttr, std::string& comment,
                             const std::string& originalFileName);
    virtual void DoExtractFile(std::string& fileName, std::uint32_t& fileAttr, const std::string& comment);

    // ---- File selection (exposed for the search's own tests) ----
    // The pattern a mask stands for, and whether it was relative to folder.
    void ResolveMask(const std::string& mask, const std::string& folder, std::string& pattern, bool& isRelative);
    std::string ResolvePath(const std::string& base, const std::string& path, const std::string& fallback);
    std::string MakeStoredName(const std::string& fullName, const std::string& base, TZipStorePathMode storePath,
                               const std::string& fallback);
    bool PathMatchesMask(const std::string& path, const std::string& mask, bool isFolder);
    const std::string& SearchBaseDir() const { return searchBaseDir_; }
    void SetSearchBaseDir(const std::string& dir) { searchBaseDir_ = dir; }

protected:
    bool useZipSignatures_ = false;
    std::uint16_t itemMethod_ = 0;

private:
    friend class TZipDirManager;
    friend class TZipPipeline;

    void CreateNewArchive();
    void OpenExistingArchive();
    void OpenVolumeFile(const std::string& name);
    void RequireOpen();
    void FreeArchiveStream();
    // Free bytes left on the current volume's drive, given the volume's size now.
    std::int64_t VolumeFreeSpace(std::int64_t volumeSize);
    // Closes a written archive file (or volume) and frees its stream; raises code 46 when the
    // system reports an error on closing.
    void CloseArchiveStream();
    // Forces the closed volumes, and the folders' entries for them, to the disk; false on failure.
    bool FlushClosedVolumes();
    // The read-back check failed: its line is noted, and the commit ends as a failure.
    [[noreturn]] void ThrowVerifyFailure();

    // Selection.
    void SearchAndMark(const TStringList& masks, std::int32_t searchAttr, bool recurse, const TStringList& exclusions);
    void SearchMask(const std::string& folder, const std::string& rootFolder, const std::string& mask, bool recurse,
                    const TStringList& exclusions, std::int32_t searchAttr);
    bool AddFoundEntry(const platform::FindEntry& entry, const std::string& entryFolder, const std::string& rootFolder,
                       const TStringList& exclusions, bool listed);
    // listed: entry comes from a folder listing, whose attributes and time are the file's; else
    // the file is looked at afresh.
    void MarkFoundFile(const std::string& fullName, const std::string& rootFolder, const platform::FindEntry& entry,
                       bool listed);
    int AddOrReplaceItem(const std::string& fullName, const std::string& rootFolder,
                         const platform::PathInfo* known = nullptr);
    // there: what is at fullName (attributes and time), as looked up by the caller.
    void FillNewItem(int index, const std::string& fullName, const platform::PathInfo& there);

    // Update engine.
    void CommitUpdate();
    int FirstChangedIndex();
    void SaveArchiveTail(int index);
    bool CompressItem(int index);
    void CopyItem(int index);
    void ReleaseSource();
    void RollbackUpdate();
    void RestoreArchiveTail();
    void DeleteTailFile();
    // Creates a temporary file with a unique name (prefix "FC", in the temporary folder the commit
    // took when it began: TempDir or else the system's) and keeps it open; name gets its name.
    // Called only inside a commit.
    std::unique_ptr<TFileStream> CreateTempFile(std::string& name);
    static std::uint16_t ShareModeFlags(TZipFileShareMode mode);

    // The settings a commit compresses its items with, taken when it starts.
    struct ItemSettings {
        TZip64Mode zip64Mode = zmDisabled;
        bool oemFileNames = true;
        TZipFileShareMode shareMode = smShareDenyNone;
        bool split = false;
        std::string tempFolder;
        bool operator==(const ItemSettings&) const = default;
    };
    // The settings a commit that began now would take.
    ItemSettings CurrentItemSettings() const;
    // Opens the item's source into source, writes its local header and compressed data to output
    // (position is where the header lands in the archive) and writes the header again with the
    // CRC and sizes. Returns false when beforeBlock stopped the run. Raises EZipException for a
    // failure of the item; openError, when given, learns why the source could not be opened.
    // Touches no state of the archiver: worker threads run it too.
    bool WriteItem(TDirItem& item, std::unique_ptr<TFileStream>& source, TStream& output, std::int64_t position,
                   const ItemSettings& settings, TZlibDeflater& deflater, const TZipBlockHook& beforeBlock,
                   std::int64_t& headerLength, platform::OsError* openError = nullptr,
                   TZipBlockRunner* runner = nullptr) const;
    // The rest of an item of a split archive, from its staged bytes: header block and data into the
    // volumes, disk number and offset into the item.
    void CopyStagedToVolumes(TDirItem& item, TStream& staged, std::int64_t headerLength);

    // Compression.
    bool CompressStream(TStream& source, TStream& output, TDirItem& item);
    // The same with a given deflater and Zip64 mode, beforeBlock called before each input block;
    // sourceSize, when not negative, is the source's size as the caller measured it (else it is
    // asked for). A runner, when given, may take an item of several input blocks (deflated, not
    // encrypted) and deflate its blocks apart; the bytes are the same. Touches no state of the archiver.
    bool CompressStream(TStream& source, TStream& output, TDirItem& item, TZlibDeflater& deflater,
                        TZip64Mode zip64Mode, const TZipBlockHook& beforeBlock, std::int64_t sourceSize = -1,
                        TZipBlockRunner* runner = nullptr) const;
    // Raises the progress events of an input block (OnFileProgress, then OnOverallProgress);
    // false when one of them cancelled.
    bool RaiseBlockProgress(const std::string& fileName, TZipProcessOperation operation, std::int64_t consumed,
                            std::int64_t size);
    TZlibDeflater& OwnDeflater();
    // Keeps the workers' read-ahead going from the item at index on.
    void FeedPipeline(int index);
    // Starts workers for a split archive's commit, offering them the items from index first on;
    // none when one thread is asked for or the system starts none.
    void StartPipeline(const ItemSettings& settings, int first, int workers);
    // Before the search of an update that commits as soon as it ends: starts the workers of a new
    // split archive, so that the items found are compressed while the search goes on (the commit
    // takes the workers over when its settings are theirs).
    void StartPipelineForSearch();
    // During that search: hands the items found so far to the workers, by the batch.
    void OfferFoundItems();

    std::string searchBaseDir_;
    std::int32_t updateDepth_ = 0;
    bool isOpen_ = false;
    bool externalStream_ = false;
    std::string currentVolumeFileName_;
    // The volumes of a new split archive closed so far, whose write-back has begun; the commit
    // waits for them before it counts as done.
    std::vector<std::string> closedVolumes_;
    std::unique_ptr<TZipVolumeNumberInfo> currentVolume_;
    std::uint16_t openMode_ = 0;
    std::unique_ptr<TZipOptions> options_;
    std::unique_ptr<TStringList> fileMasks_;
    std::unique_ptr<TStringList> exclusionMasks_;
    std::unique_ptr<TStringList> noCompressionMasks_;
    bool inMemory_ = false;

    // Progress of a running commit.
    bool cancelRequested_ = false;
    std::int32_t processedCount_ = 0;
    std::int32_t totalCount_ = 0;
    long double currentFileDone_ = 0;
    long double currentFileSize_ = 0;

    TZipSpanningMode spanningMode_ = smNone;
    std::unique_ptr<TZipSpanningOptions> spanningOptions_;
    bool damagedDirectorySwitch_ = true;
    bool updateCommitted_ = false;
    bool updateRolledBack_ = false;
    std::unique_ptr<TZipDirManager> dirManager_;
    TStream* archiveStream_ = nullptr;
    std::unique_ptr<TStream> ownedStream_;  // the archive stream unless it is the caller's
    std::uint8_t compressionMode_ = 1;
    TZipCompressionLevel compressionLevel_ = clFastest;

    // State of one commit.
    std::uint64_t rewriteStart_ = 0;
    std::unique_ptr<TFileStream> tailFile_;
    std::string tailFileName_;
    TZipAction action_ = fxaIgnore;
    bool volumeCopyCancelled_ = false;
    std::unique_ptr<TMemoryStream> bufferStream_;
    TZipProcessOperation overallOperation_ = poAdd;
    std::unique_ptr<TFileStream> source_;
    // The current volume's drive was asked for its free space (volumeFree_) when the volume held
    // volumeFreeBase_ bytes.
    // The deflate state of the caller's thread, kept from item to item.
    std::unique_ptr<TZlibDeflater> deflater_;
    ItemSettings itemSettings_;
    // Workers compressing the next items of a split archive's commit; none on the plain path.
    std::unique_ptr<TZipPipeline> pipeline_;
    // The read-back check of a new split archive's volumes while its commit writes them.
    std::unique_ptr<TZipVerifier> verifier_;
    int pipelineNext_ = 0;  // index of the next item to offer them
    int workerThreads_ = 0;
    std::int64_t readAheadMemory_ = kReadAheadMemory;
    std::int64_t readAheadTemp_ = kReadAheadTemp;
    bool volumeFreeKnown_ = false;
    std::int64_t volumeFree_ = 0;
    std::int64_t volumeFreeBase_ = 0;
};

// The ZIP flavour of the archiver: ZIP signatures, deflate for every mode but 0, no Zip64 by default.
class TZipArchiver : public TZipBaseArchiver {
public:
    explicit TZipArchiver(TComponent* owner);
    // Closes here, not only in the base destructor: a commit still pending must run while this
    // class's choices (compression method, volume names) are in force.
    ~TZipArchiver() override;
    void ChooseCompressionMethod() override;
};

namespace zip {
// The lock the file search holds, shared by every archiver of the process.
platform::CriticalSection& SearchLock();
// CompressionMode for a level, and the level of a mode.
std::uint8_t ModeForLevel(TZipCompressionLevel level);
TZipCompressionLevel LevelForMode(std::uint8_t mode);
// Input block size of a level.
std::int32_t BlockSizeForLevel(std::uint8_t level);
}  // namespace zip
