#pragma once
// Compression on every core: worker threads compress the next items of a split archive's commit,
// each into its own staging stream (memory, or its "FC" temporary file when large), while the
// caller's thread writes the volumes. The caller still does everything the application can see,
// in the order of the plain path: it raises each item's events when it reaches the item (the input
// blocks a worker went through become that item's progress events), asks about failures, requests
// volumes and writes every byte. Workers never touch the directory, the volumes or the user
// interface; they read their item's source and write their staging stream, nothing else.
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipStaging.h"
#include "platform/Threads.h"

class TZlibDeflater;

// An item whose input blocks several workers deflate at once: the worker that began the item (its
// owner) publishes this while it waits for the blocks, any idle worker takes the next block, and
// whoever finishes the block due next in the output writes it and any finished after it. Guarded
// by the pipeline's lock, except the fields set before it is published and the source, which
// sourceLock guards.
struct TZipSplitItem {
    TStream* source = nullptr;
    TStream* output = nullptr;  // the job's staging stream, written only under the pipeline's lock
    int level = 0;
    std::int64_t blockSize = 0;
    std::int64_t sourceSize = 0;
    std::int64_t count = 0;   // input blocks
    std::int64_t next = 0;    // blocks taken by a worker
    std::int64_t joined = 0;  // blocks written to the output, in order
    int inFlight = 0;         // blocks taken and not yet written or parked
    std::int64_t compressed = 0;
    std::uint32_t crc = 0;  // CRC-32 of the joined input (complemented form; 0 for nothing)
    std::uint32_t dataCrc = 0;  // and of the joined output
    // A block deflated before the one due ahead of it: its output, kept until its turn.
    struct Parked {
        std::unique_ptr<std::uint8_t[]> data;
        std::int64_t produced = 0;
        std::int64_t length = 0;
        std::uint32_t crc = 0;
        std::uint32_t dataCrc = 0;
    };
    std::map<std::int64_t, Parked> parked;
    bool fellShort = false;  // the source gave fewer bytes than its size, or the output took fewer
    bool stopped = false;    // the pipeline stops
    std::exception_ptr error;
    platform::CriticalSection sourceLock;
    bool Failed() const { return fellShort || stopped || error; }
};

// One item given to the workers.
struct TZipStagedJob {
    int index = 0;   // the item's index in the directory, kept current by the caller
    TDirItem item;   // a copy of the item; the worker fills in its CRC, sizes, method and version
    std::unique_ptr<TZipStagingStream> output;  // the local header and data, header rewritten
    std::int64_t headerLength = 0;
    // The worker gave the item up (its file could not be read, its temporary file not written, no
    // file handle was left): the caller compresses it itself, as without workers.
    bool handedBack = false;
    // The search replaced the item after handing it over (another file of the same stored name):
    // the caller compresses it again. The caller's alone.
    bool replaced = false;
    // Guarded by the pipeline's lock.
    std::int64_t tempCounted = 0;  // temporary bytes it holds or may take, counted among the items in progress
    std::int64_t sourceSize = 0;  // written again at every block, so read only under the lock
    std::vector<std::int64_t> blocks;  // source bytes consumed when each input block began
    bool started = false;
    bool done = false;
    TZipSplitItem* split = nullptr;  // while its blocks are deflated apart
    platform::Event changed{false};  // set when blocks or done change
};

class TZipPipeline {
public:
    // Read-ahead bounds. The bytes that finished items not yet written hold in memory and in
    // temporary files, together with the temporary files of the items in progress: a worker starts
    // no new item while either passes its bound, and an item in progress that is not the caller's
    // next waits before a block that could take the temporary bytes past theirs. Within these
    // bounds the queue is deep (thousands of small mails), so that while one worker compresses a
    // large mail the others never run out of items; the item count only caps the memory the
    // queued copies of the items take.
    static constexpr int kMostQueued = 4096;

    // Starts workers threads compressing with settings on behalf of archiver (whose WriteItem
    // they call, which touches none of its state), within the bounds of bytes in flight given.
    TZipPipeline(const TZipBaseArchiver& archiver, const TZipBaseArchiver::ItemSettings& settings, int workers,
                 std::int64_t memoryBound = TZipBaseArchiver::kReadAheadMemory,
                 std::int64_t tempBound = TZipBaseArchiver::kReadAheadTemp);
    // Stops the workers (an item being compressed stops at its next input block), waits for
    // them, and drops every staged item, deleting its temporary file.
    ~TZipPipeline();
    TZipPipeline(const TZipPipeline&) = delete;
    TZipPipeline& operator=(const TZipPipeline&) = delete;

    // The workers running; 0 when the system started none.
    int Workers() const { return workers_; }
    // Starts count more workers (the caller's thread).
    void AddWorkers(int count);
    // The settings the workers compress with.
    const TZipBaseArchiver::ItemSettings& Settings() const { return settings_; }
    // How many more items may be queued. The queue is topped up only once it has run half empty,
    // so that the workers are woken once for many items rather than once for each: 0 before then.
    int Room();
    // Queues copies of the items at their indexes, in order, and wakes the workers once (the
    // caller's thread).
    void Submit(const std::vector<std::pair<int, const TDirItem*>>& items);
    // The queued job of the item at index when it is the next one and a worker has begun it, else
    // null. A next job no worker has begun (all of them busy on larger items) is taken off the
    // queue: the caller compresses that item itself, as without workers.
    TZipStagedJob* Front(int index);
    // Waits for job's next input block (true, consumed and the source's size set) or its end (false).
    bool NextBlock(TZipStagedJob& job, std::int64_t& consumed, std::int64_t& size);
    // Waits for the front job to end and takes it off the queue. A job handed back has no output.
    std::unique_ptr<TZipStagedJob> Take();
    // The directory lost the item at index: the queued items behind it move up.
    void Removed(int index);
    // The item at index is no longer the one queued (the caller's thread).
    void Replaced(int index);

private:
    class BlockRunner;
    void Work();
    // Under the lock: whether a worker may take the next input block of job, whose blocks are
    // deflated apart. The blocks taken and not yet written are bounded per item and, for items
    // other than the caller's next, over all items: a block finished early keeps its output until
    // its turn, and these bounds keep those outputs few.
    bool MayTakeBlock(TZipStagedJob& job) const;
    // Under the lock: takes job's next block for the calling worker (wake: its own event), after
    // holding back as the bound on temporary bytes asks; -1 when the pipeline stops meanwhile.
    std::int64_t TakeBlock(TZipStagedJob& job, platform::Event& wake);
    // Outside the lock: reads and deflates block k of job with deflater, then writes it (or parks
    // it) under the lock.
    void DeflateBlock(TZipStagedJob& job, std::int64_t k, TZlibDeflater& deflater);
    // Under the lock: writes a block's output at the end of the item's output; on a failure the
    // item fails and its parked blocks go.
    void WriteBlock(TZipSplitItem& split, const std::uint8_t* bytes, std::int64_t produced, std::int64_t length,
                    std::uint32_t crc, std::uint32_t dataCrc);
    // Under the lock: writes the parked blocks that are due, in order.
    void WriteDueBlocks(TZipSplitItem& split);
    // Under the lock: drops the parked blocks of an item that failed or stopped.
    void DropParked(TZipSplitItem& split);
    // Under the lock: the calling worker (wake: its own event) waits until woken by WakeHeld.
    void WaitHeld(platform::Event& wake);
    // Under the lock: the job a worker should begin now, or null: the caller's next item first,
    // whatever the bounds; within the read-ahead bounds, the first large item not yet begun, else
    // the next item in order.
    TZipStagedJob* NextToStart();
    // Under the lock: whether job is the one the caller waits for next, which goes on whatever
    // the bounds, as it would without workers.
    bool IsCallersNext(const TZipStagedJob& job) const { return !callerBusy_ && jobs_.front().get() == &job; }
    // Under the lock: takes the front job off the queue.
    std::unique_ptr<TZipStagedJob> PopFront();
    // Adds (sign 1) or removes (sign -1) what a finished job holds to the totals below.
    void Count(TZipStagedJob& job, int sign);
    // Under the lock, before job's next block: waits (on wake, the waiting worker's own event)
    // while the bytes its temporary file holds (held) and the block may add (next) could take the
    // temporary bytes past their bound and the job is not the front one; then counts both. False
    // when the pipeline stops.
    bool HoldBack(TZipStagedJob& job, std::int64_t held, std::int64_t next, platform::Event& wake);
    // Under the lock: wakes the workers held back.
    void WakeHeld();

    const TZipBaseArchiver& archiver_;
    const TZipBaseArchiver::ItemSettings settings_;
    const std::int64_t memoryBound_;
    const std::int64_t tempBound_;
    int workers_ = 0;
    platform::CriticalSection lock_;
    platform::Event workChanged_{false};  // set when a job is queued, taken, or the workers stop
    std::deque<std::unique_ptr<TZipStagedJob>> jobs_;
    std::int64_t memoryBytes_ = 0;  // bytes finished jobs still queued hold in memory
    std::int64_t tempBytes_ = 0;    // and in temporary files
    std::int64_t tempInProgress_ = 0;  // bytes in the temporary files of jobs in progress
    std::size_t firstUnstarted_ = 0;  // position in jobs_ before which every job has begun
    // Queued jobs of several input blocks, in queue order, that no worker had begun when they were
    // last looked at: the workers begin these before the small ones, so that a large item late in
    // the order is compressed while the small ones before it are.
    std::deque<TZipStagedJob*> large_;
    std::vector<platform::Event*> held_;  // the events of workers held back by HoldBack
    std::vector<TZipStagedJob*> splitting_;  // jobs whose blocks are deflated apart, in queue order
    int blockWindow_ = 0;  // blocks taken and not yet written: most per item, and over other items
    int blocksOut_ = 0;    // blocks taken and not yet written, over all items
    bool callerBusy_ = false;  // the caller compresses an item it took off the queue itself
    bool stopping_ = false;
    std::vector<std::unique_ptr<platform::Thread>> threads_;
};
