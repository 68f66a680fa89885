#include "archiver/ZipPipeline.h"

#include <algorithm>
#include <utility>

#include "archiver/ZipStrFunc.h"
#include "archiver/ZipZlib.h"

namespace {

// The input before a block that primes its deflate stream: the whole window of deflate.
constexpr std::int64_t kPrimeBytes = 32768;
// The part of a block read and fed to deflate at a time.
constexpr std::int64_t kPartBytes = 128 * 1024;

}  // namespace

// The block loop of one large item, run by the worker that began the item: it publishes the item,
// deflates blocks of it as the others do, and waits for the blocks that others deflate.
class TZipPipeline::BlockRunner : public TZipBlockRunner {
public:
    BlockRunner(TZipPipeline& pipeline, TZipStagedJob& job, TZlibDeflater& deflater, platform::Event& wake)
        : pipeline_(pipeline), job_(job), deflater_(deflater), wake_(wake) {}

    bool Run(TStream& source, TStream& output, int level, std::int64_t blockSize, std::int64_t sourceSize,
             Outcome& outcome) override {
        TZipSplitItem split;
        split.source = &source;
        split.output = &output;
        split.level = level;
        split.blockSize = blockSize;
        split.sourceSize = sourceSize;
        split.count = (sourceSize + blockSize - 1) / blockSize;
        TZipPipeline& p = pipeline_;
        {
            platform::CriticalSectionLock guard(p.lock_);
            job_.split = &split;
            const auto at = std::find_if(p.splitting_.begin(), p.splitting_.end(),
                                         [&](const TZipStagedJob* other) { return other->index > job_.index; });
            p.splitting_.insert(at, &job_);
            p.workChanged_.Set();  // idle workers may take blocks of it
            for (;;) {
                if (p.stopping_ && !split.stopped) {
                    split.stopped = true;
                    p.DropParked(split);
                }
                if (split.Failed() ? split.inFlight == 0 : split.joined == split.count) break;
                if (p.MayTakeBlock(job_)) {
                    const std::int64_t k = p.TakeBlock(job_, wake_);
                    if (k >= 0) {
                        p.lock_.Leave();
                        p.DeflateBlock(job_, k, deflater_);
                        p.lock_.Enter();
                    }
                    continue;
                }
                // Every block is taken, or the bounds hold: the others' blocks end this wait.
                p.WaitHeld(wake_);
            }
            p.splitting_.erase(std::find(p.splitting_.begin(), p.splitting_.end(), &job_));
            job_.split = nullptr;
        }
        if (split.error) std::rethrow_exception(split.error);
        outcome.consumed = std::min(split.joined * blockSize, sourceSize);
        outcome.compressed = split.compressed;
        outcome.crc = ~split.crc;
        outcome.dataCrc = split.dataCrc;
        outcome.stopped = split.stopped;
        return true;
    }

private:
    TZipPipeline& pipeline_;
    TZipStagedJob& job_;
    TZlibDeflater& deflater_;
    platform::Event& wake_;
};

TZipPipeline::TZipPipeline(const TZipBaseArchiver& archiver, const TZipBaseArchiver::ItemSettings& settings,
                           int workers, std::int64_t memoryBound, std::int64_t tempBound)
    : archiver_(archiver), settings_(settings), memoryBound_(memoryBound), tempBound_(tempBound) {
    // The thread layer learns which thread is the main one on first use; make sure that use is
    // here, on the caller's thread, and not in a worker.
    platform::IsMainThread();
    try {
        AddWorkers(workers);
    } catch (...) {
        {
            platform::CriticalSectionLock guard(lock_);
            stopping_ = true;
            workChanged_.Set();
        }
        threads_.clear();
        throw;
    }
}

void TZipPipeline::AddWorkers(int count) {
    for (int i = 0; i < count; ++i) {
        auto thread = std::make_unique<platform::Thread>([this] { Work(); });
        thread->Resume();
        // A thread the system would not create does not count; with none, the caller's thread
        // compresses every item itself.
        if (thread->Started()) threads_.push_back(std::move(thread));
    }
    platform::CriticalSectionLock guard(lock_);
    workers_ = static_cast<int>(threads_.size());
    // As many blocks as workers, so that all of them may work on one item; a block finished before
    // the one due ahead of it keeps its output until its turn, and more would only hold memory.
    blockWindow_ = workers_;
    workChanged_.Set();
}

TZipPipeline::~TZipPipeline() {
    {
        platform::CriticalSectionLock guard(lock_);
        stopping_ = true;
        workChanged_.Set();
        WakeHeld();
    }
    threads_.clear();  // each waits for its thread
    jobs_.clear();     // staging streams delete their temporary files
}

int TZipPipeline::Room() {
    const int capacity = kMostQueued;
    platform::CriticalSectionLock guard(lock_);
    const int queued = static_cast<int>(jobs_.size());
    return queued > capacity / 2 ? 0 : capacity - queued;
}

void TZipPipeline::Submit(const std::vector<std::pair<int, const TDirItem*>>& items) {
    if (items.empty()) return;
    std::vector<std::unique_ptr<TZipStagedJob>> made;
    made.reserve(items.size());
    for (const auto& [index, item] : items) {
        auto job = std::make_unique<TZipStagedJob>();
        job->index = index;
        job->item = *item;
        made.push_back(std::move(job));
    }
    platform::CriticalSectionLock guard(lock_);
    for (auto& job : made) {
        const std::int64_t blockSize = zip::BlockSizeForLevel(job->item.CompressionMode);
        if (job->item.ListedSize > blockSize && job->item.CompressionMode > 0) large_.push_back(job.get());
        jobs_.push_back(std::move(job));
    }
    workChanged_.Set();
}

TZipStagedJob* TZipPipeline::Front(int index) {
    platform::CriticalSectionLock guard(lock_);
    // Done with the item it compressed itself, if any: its next one is the front job now.
    if (std::exchange(callerBusy_, false)) {
        workChanged_.Set();
        WakeHeld();
    }
    if (jobs_.empty() || jobs_.front()->index != index) return nullptr;
    if (jobs_.front()->started) return jobs_.front().get();
    // Rather than wait for a worker, the caller compresses it: the bounds on read-ahead may hold
    // every worker on a later item, which only this one's end would free.
    jobs_.front()->started = true;  // no worker may begin it now
    PopFront();
    // Until the caller is done with it (its next Front), the job behind it is read ahead like any
    // other: what the caller's own item takes is what the next one's would.
    callerBusy_ = true;
    return nullptr;
}

std::unique_ptr<TZipStagedJob> TZipPipeline::PopFront() {
    std::unique_ptr<TZipStagedJob> job = std::move(jobs_.front());
    jobs_.pop_front();
    if (firstUnstarted_ > 0) --firstUnstarted_;
    // No pointer to it may outlive it.
    if (const auto at = std::find(large_.begin(), large_.end(), job.get()); at != large_.end()) large_.erase(at);
    return job;
}

TZipStagedJob* TZipPipeline::NextToStart() {
    while (firstUnstarted_ < jobs_.size() && jobs_[firstUnstarted_]->started) ++firstUnstarted_;
    if (firstUnstarted_ >= jobs_.size()) return nullptr;
    // The caller's next item starts whatever the bounds, which hold back only what is read ahead.
    if (firstUnstarted_ == 0 && !callerBusy_) return jobs_.front().get();
    if (tempBytes_ + tempInProgress_ >= tempBound_ || memoryBytes_ >= memoryBound_) return nullptr;
    while (!large_.empty() && large_.front()->started) large_.pop_front();
    if (!large_.empty()) return large_.front();
    return jobs_[firstUnstarted_].get();
}

bool TZipPipeline::NextBlock(TZipStagedJob& job, std::int64_t& consumed, std::int64_t& size) {
    // Blocks are handed over in their order and forgotten once seen.
    for (;;) {
        {
            platform::CriticalSectionLock guard(lock_);
            if (!job.blocks.empty()) {
                consumed = job.blocks.front();
                size = job.sourceSize;
                job.blocks.erase(job.blocks.begin());
                return true;
            }
            if (job.done) return false;
            job.changed.Reset();
        }
        job.changed.Wait();
    }
}

std::unique_ptr<TZipStagedJob> TZipPipeline::Take() {
    platform::CriticalSectionLock guard(lock_);
    TZipStagedJob* front = jobs_.front().get();
    while (!front->done) {
        front->changed.Reset();
        lock_.Leave();
        front->changed.Wait();
        lock_.Enter();
    }
    std::unique_ptr<TZipStagedJob> job = PopFront();
    // Only the bounds on bytes in flight hold workers back from items already queued: they
    // need waking only when this item frees room under a bound they had reached.
    const bool held = tempBytes_ + tempInProgress_ >= tempBound_ || memoryBytes_ >= memoryBound_;
    Count(*job, -1);
    if (held) workChanged_.Set();
    // A job held back may be the front one now, or find room.
    WakeHeld();
    return job;
}

void TZipPipeline::Removed(int index) {
    platform::CriticalSectionLock guard(lock_);
    for (auto& job : jobs_) {
        if (job->index > index) --job->index;
    }
}

void TZipPipeline::Replaced(int index) {
    platform::CriticalSectionLock guard(lock_);
    for (auto& job : jobs_) {
        if (job->index == index) job->replaced = true;
    }
}

void TZipPipeline::Count(TZipStagedJob& job, int sign) {
    if (!job.output) return;
    (job.output->Spilled() ? tempBytes_ : memoryBytes_) += sign * job.output->Size();
}

void TZipPipeline::WakeHeld() {
    for (platform::Event* wake : held_) wake->Set();
}

bool TZipPipeline::HoldBack(TZipStagedJob& job, std::int64_t held, std::int64_t next, platform::Event& wake) {
    // A job counts what its temporary file holds, and while it compresses a block what that
    // block may add: the room it may take is reserved before it takes it, so that workers going
    // on at the same moment cannot together pass the bound.
    const auto count = [&](std::int64_t bytes) {
        tempInProgress_ += bytes - job.tempCounted;
        job.tempCounted = bytes;
    };
    for (;;) {
        if (stopping_) {
            count(held);
            return false;
        }
        // The caller's next item goes on whatever it takes, as it would without workers: the
        // bound holds back only what is read ahead.
        const std::int64_t others = tempBytes_ + tempInProgress_ - job.tempCounted;
        if (IsCallersNext(job) || others + held + next <= tempBound_) {
            count(held + next);
            return true;
        }
        count(held);
        // Each held worker waits on its own event, which only it resets: a shared one, reset by a
        // worker whose job still may not go on, could swallow the wake-up of one whose job may.
        WaitHeld(wake);
    }
}

void TZipPipeline::Work() {
    // A worker's failure is never the job's: the caller compresses the item again and notes what
    // fails then, so that the error lines are the same whatever the number of workers.
    platform::NoteNoFileErrorsOnThisThread();
    TZlibDeflater deflater;  // this worker's state, reused from item to item
    platform::Event wake{false};  // set when this worker, held back, may look again
    for (;;) {
        TZipStagedJob* job = nullptr;
        {
            platform::CriticalSectionLock guard(lock_);
            for (;;) {
                if (stopping_) return;
                // A large item whose blocks are deflated apart goes first: it holds back the items
                // behind it, and its blocks are work that is there now.
                bool tookBlock = false;
                for (TZipStagedJob* splitJob : splitting_) {
                    if (!MayTakeBlock(*splitJob)) continue;
                    const std::int64_t k = TakeBlock(*splitJob, wake);
                    if (k >= 0) {
                        lock_.Leave();
                        DeflateBlock(*splitJob, k, deflater);
                        lock_.Enter();
                    }
                    tookBlock = true;
                    break;
                }
                if (tookBlock) continue;
                job = NextToStart();
                if (job) break;
                workChanged_.Reset();
                lock_.Leave();
                workChanged_.Wait();
                lock_.Enter();
            }
            job->started = true;
        }
        try {
            job->output = std::make_unique<TZipStagingStream>(settings_.tempFolder);
            std::unique_ptr<TFileStream> source;
            BlockRunner runner(*this, *job, deflater, wake);
            bool firstBlock = true;
            const std::int64_t blockSize = zip::BlockSizeForLevel(job->item.CompressionMode);
            const bool written = archiver_.WriteItem(
                job->item, source, *job->output, 0, settings_, deflater,
                [this, job, &firstBlock, &wake, blockSize](std::int64_t consumed, std::int64_t size) {
                    // What the temporary file holds, and what the next block may add to it (its
                    // input, a tenth more and the deflate stream's overhead).
                    TZipStagingStream& output = *job->output;
                    const std::int64_t staged = output.Size();
                    const std::int64_t block = std::min(blockSize, size - consumed);
                    const std::int64_t after = staged + block + block / 10 + 1024;
                    const std::int64_t held = output.Spilled() ? staged : 0;
                    const std::int64_t next =
                        output.Spilled() ? after - staged : after > TZipStagingStream::kStagedInMemory ? after : 0;
                    {
                        platform::CriticalSectionLock guard(lock_);
                        if (!HoldBack(*job, held, next, wake)) return false;
                        job->sourceSize = size;
                        job->blocks.push_back(consumed);
                    }
                    // A caller waiting for this item learns of each block when the block before it
                    // is done, and of the last with the item's end: it has nothing to do in between
                    // but wait, and a small item, all one block, then wakes it once, not twice.
                    // Signalled outside the lock, so that the caller woken does not wait for it.
                    // The job lives until the caller has taken it, which is after its end below.
                    if (!std::exchange(firstBlock, false)) job->changed.Set();
                    return true;
                },
                job->headerLength, nullptr, &runner);
            // Stopped only when the pipeline stops: nobody will take this item.
            if (!written) job->output.reset();
        } catch (...) {
            // Whatever stopped the worker (a file it could not open or read, a full temporary
            // folder, no file handle left), the item goes back to the caller, who compresses it at
            // its turn as without workers: the failure, if it is the item's own, is met and asked
            // about there, and one that came of the workers' read-ahead is not.
            job->output.reset();
            job->handedBack = true;
        }
        platform::CriticalSectionLock guard(lock_);
        tempInProgress_ -= job->tempCounted;
        job->tempCounted = 0;
        job->done = true;
        Count(*job, 1);
        job->changed.Set();
    }
}

bool TZipPipeline::MayTakeBlock(TZipStagedJob& job) const {
    const TZipSplitItem& split = *job.split;
    if (stopping_ || split.Failed() || split.next >= split.count) return false;
    if (split.next - split.joined >= blockWindow_) return false;
    // The caller's next item goes on whatever the others hold, as it would without workers; and an
    // item with no block out may take one: a block due at once is never parked, and its worker
    // would otherwise wait.
    return IsCallersNext(job) || blocksOut_ < blockWindow_ || split.next == split.joined;
}

std::int64_t TZipPipeline::TakeBlock(TZipStagedJob& job, platform::Event& wake) {
    TZipSplitItem& split = *job.split;
    const std::int64_t k = split.next++;
    ++split.inFlight;
    ++blocksOut_;
    // The caller raises the block's events in their order, whoever deflates it and when.
    job.sourceSize = split.sourceSize;
    job.blocks.push_back(k * split.blockSize);
    if (k > 0) job.changed.Set();
    // The temporary bytes the item may take: what its temporary file holds, and for each block
    // taken and not yet written its input, a tenth more and the deflate stream's overhead. The
    // blocks other workers have in flight stay counted while this one waits; a block is counted as
    // going to the temporary file, since blocks of 1.5 MB mostly take the item past what stays in
    // memory.
    TZipStagingStream& output = *job.output;
    const std::int64_t perBlock = split.blockSize + split.blockSize / 10 + 1024;
    const std::int64_t held = (output.Spilled() ? output.Size() : 0) + (split.next - 1 - split.joined) * perBlock;
    const std::int64_t next = perBlock;
    if (!HoldBack(job, held, next, wake)) {
        split.stopped = true;
        DropParked(split);
        --split.inFlight;
        --blocksOut_;
        WakeHeld();
        return -1;
    }
    return k;
}

void TZipPipeline::DeflateBlock(TZipStagedJob& job, std::int64_t k, TZlibDeflater& deflater) {
    // The item's fields used here were set before it was published and do not change.
    TZipSplitItem& split = *job.split;
    const std::int64_t start = k * split.blockSize;
    const std::int64_t length = std::min(split.blockSize, split.sourceSize - start);
    const std::int64_t prime = std::min(kPrimeBytes, start);
    const bool last = start + length == split.sourceSize;
    bool fellShort = false;
    std::exception_ptr error;
    std::uint8_t* out = nullptr;
    std::int64_t produced = 0;
    std::uint32_t crc = 0;
    std::uint32_t dataCrc = 0;
    try {
        // The block is read and fed in parts: a worker then holds a part of the input rather than
        // all of it, so that several of them on one item take little more memory than one did.
        std::uint8_t* const input = deflater.InputBuffer(std::max(prime, std::min(kPartBytes, length)));
        // Reads count bytes of the source at offset; false when fewer arrive.
        const auto read = [&](std::int64_t offset, std::int64_t count) {
            // The workers share the item's one source handle.
            platform::CriticalSectionLock reading(split.sourceLock);
            split.source->SetPosition(offset);
            return split.source->Read(input, count) == count;
        };
        const std::int64_t room = TZlibDeflater::OutputRoom(length);
        out = deflater.OutputBuffer(room);
        deflater.Start(split.level);
        if (prime > 0) {
            fellShort = !read(start - prime, prime);
            if (!fellShort) deflater.Prime(input, static_cast<std::uint32_t>(prime));
        }
        std::uint32_t running = 0xFFFFFFFF;
        for (std::int64_t done = 0; !fellShort && done < length;) {
            const std::int64_t part = std::min(kPartBytes, length - done);
            if (!read(start + done, part)) {
                fellShort = true;
                break;
            }
            running = zip::Crc32Update(running, input, part);
            const auto partLength = static_cast<std::uint32_t>(part);
            const auto left = static_cast<std::uint32_t>(room - produced);
            done += part;
            produced += done < length ? deflater.DeflatePart(input, partLength, out + produced, left)
                                      : deflater.Deflate(input, partLength, out + produced, left, last);
        }
        crc = ~running;
        dataCrc = ~zip::Crc32Update(0xFFFFFFFF, out, produced);
        // A block flushed and not finished is not an error here: the next block goes on from it.
        deflater.End();
    } catch (...) {
        deflater.End();
        error = std::current_exception();
    }
    platform::CriticalSectionLock guard(lock_);
    --split.inFlight;
    if (error && !split.error) split.error = error;
    if (fellShort) split.fellShort = true;
    if (split.Failed()) {
        --blocksOut_;
        DropParked(split);
    } else if (k == split.joined) {
        // Due now: written from this worker's buffer, then whatever others finished after it.
        WriteBlock(split, out, produced, length, crc, dataCrc);
        WriteDueBlocks(split);
    } else {
        // Ahead of its turn: parked with its buffer, which the deflater lets go of.
        try {
            TZipSplitItem::Parked& block = split.parked[k];
            block.data = deflater.TakeOutputBuffer();
            block.produced = produced;
            block.length = length;
            block.crc = crc;
            block.dataCrc = dataCrc;
        } catch (...) {
            // No memory to park it: the item goes back to the caller, as any failure of a worker's.
            split.error = std::current_exception();
            split.parked.erase(k);
            --blocksOut_;
            DropParked(split);
        }
    }
    workChanged_.Set();  // a block written frees room under the bounds
    WakeHeld();          // the item's owner may be waiting for it
}

void TZipPipeline::WriteBlock(TZipSplitItem& split, const std::uint8_t* bytes, std::int64_t produced,
                              std::int64_t length, std::uint32_t crc, std::uint32_t dataCrc) {
    --blocksOut_;  // written or, failing, dropped
    try {
        if (split.output->Write(bytes, produced) < produced) split.fellShort = true;
    } catch (...) {
        split.error = std::current_exception();
    }
    if (split.Failed()) {
        DropParked(split);
        return;
    }
    split.crc = zip::Crc32Combine(split.crc, crc, length);
    split.dataCrc = zip::Crc32Combine(split.dataCrc, dataCrc, produced);
    split.compressed += produced;
    ++split.joined;
}

void TZipPipeline::WriteDueBlocks(TZipSplitItem& split) {
    for (auto due = split.parked.find(split.joined); due != split.parked.end() && !split.Failed();
         due = split.parked.find(split.joined)) {
        const TZipSplitItem::Parked block = std::move(due->second);
        split.parked.erase(due);
        WriteBlock(split, block.data.get(), block.produced, block.length, block.crc, block.dataCrc);
    }
}

void TZipPipeline::DropParked(TZipSplitItem& split) {
    blocksOut_ -= static_cast<int>(split.parked.size());
    split.parked.clear();
}

void TZipPipeline::WaitHeld(platform::Event& wake) {
    wake.Reset();
    held_.push_back(&wake);
    lock_.Leave();
    wake.Wait();
    lock_.Enter();
    held_.erase(std::find(held_.begin(), held_.end(), &wake));
}
