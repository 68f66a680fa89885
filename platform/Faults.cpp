#include "platform/Faults.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/CodePage.h"

namespace platform::faults {
namespace {

enum class Kind { Disk, Open, Write, Read, Close, Flush, Delete };

struct Fault {
    Kind kind;
    std::string prefix;        // upper-cased
    std::int64_t budget = 0;   // bytes left (disk, write, read)
    OsError error = OsError::None;
    bool refunds = false;  // a disk that gives back the bytes of a deleted file
    std::map<std::string, std::int64_t> written;  // upper-cased path: bytes written (refunds only)
};

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::vector<Fault>& Faults() {
    static std::vector<Fault> faults;
    return faults;
}

// The operation count of FailOperation.
struct OperationCounter {
    bool counting = false;
    std::int64_t count = 0;
    std::int64_t failAt = 0;
    bool failed = false;
    FileOp failedOp = FileOp::Open;
    std::int64_t threadStarts = 0;
    std::int64_t refuseThreadsFrom = 0;
};

// A planned flip: the byte at offset of the first file below prefix written there.
struct Flip {
    std::string prefix;  // upper-cased
    std::int64_t offset = 0;
    std::uint8_t mask = 0;
};

std::vector<Flip>& Flips() {
    static std::vector<Flip> flips;
    return flips;
}

// How many flips wait, read without the lock by every write.
std::atomic<int>& FlipCount() {
    static std::atomic<int> count{0};
    return count;
}

OperationCounter& Counter() {
    static OperationCounter counter;
    return counter;
}

bool Below(const std::string& path, const std::string& prefix) {
    const std::string upper = AnsiUpperCase(path);
    return upper.compare(0, prefix.size(), prefix) == 0;
}

void Add(Kind kind, const std::string& prefix, std::int64_t budget, OsError error) {
    std::lock_guard guard(Lock());
    Faults().push_back(Fault{kind, AnsiUpperCase(prefix), budget, error});
}

// Takes up to count bytes from the budgets of every fault of kind that covers path.
std::int64_t Consume(Kind kind, const std::string& path, std::int64_t count) {
    std::lock_guard guard(Lock());
    for (Fault& f : Faults()) {
        if (f.kind == kind && Below(path, f.prefix)) count = std::min(count, std::max<std::int64_t>(0, f.budget));
    }
    for (Fault& f : Faults()) {
        if (f.kind != kind || !Below(path, f.prefix)) continue;
        f.budget -= count;
        if (f.refunds) f.written[AnsiUpperCase(path)] += count;
    }
    return count;
}

}  // namespace

void SimulateDisk(const std::string& prefix, std::int64_t capacity) { Add(Kind::Disk, prefix, capacity, OsError::None); }
void SimulateDiskWithDeletes(const std::string& prefix, std::int64_t capacity) {
    std::lock_guard guard(Lock());
    Faults().push_back(Fault{Kind::Disk, AnsiUpperCase(prefix), capacity, OsError::None, true, {}});
}

void FileDeleted(const std::string& path) {
    std::lock_guard guard(Lock());
    for (Fault& f : Faults()) {
        if (!f.refunds) continue;
        const auto it = f.written.find(AnsiUpperCase(path));
        if (it == f.written.end()) continue;
        f.budget += it->second;
        f.written.erase(it);
    }
}

void RefuseThreadsFrom(std::int64_t count) {
    std::lock_guard guard(Lock());
    Counter().threadStarts = 0;
    Counter().refuseThreadsFrom = count;
}

bool ThreadStartRefused() {
    std::lock_guard guard(Lock());
    OperationCounter& c = Counter();
    ++c.threadStarts;
    return c.refuseThreadsFrom > 0 && c.threadStarts >= c.refuseThreadsFrom;
}

void FailOpens(const std::string& prefix, OsError error) { Add(Kind::Open, prefix, 0, error); }
void FailWritesAfter(const std::string& prefix, std::int64_t count) { Add(Kind::Write, prefix, count, OsError::None); }
void ShortReadsAfter(const std::string& prefix, std::int64_t count) { Add(Kind::Read, prefix, count, OsError::None); }
void FailCloses(const std::string& prefix) { Add(Kind::Close, prefix, 0, OsError::None); }
void FailFlushes(const std::string& prefix) { Add(Kind::Flush, prefix, 0, OsError::None); }
void FailDeletes(const std::string& prefix) { Add(Kind::Delete, prefix, 0, OsError::None); }

void FlipStoredBits(const std::string& prefix, std::int64_t offset, std::uint8_t mask) {
    std::lock_guard guard(Lock());
    Flips().push_back(Flip{AnsiUpperCase(prefix), offset, mask});
    FlipCount() = static_cast<int>(Flips().size());
}

bool FlipsPlanned() { return FlipCount().load(std::memory_order_relaxed) > 0; }

const void* StoredBytes(const std::string& path, std::int64_t position, const void* buffer, std::int64_t count,
                        std::vector<std::uint8_t>& altered) {
    std::lock_guard guard(Lock());
    auto& flips = Flips();
    for (auto it = flips.begin(); it != flips.end(); ++it) {
        if (position < 0 || it->offset < position || it->offset >= position + count || !Below(path, it->prefix)) continue;
        if (altered.empty()) {
            altered.resize(static_cast<std::size_t>(count));
            std::memcpy(altered.data(), buffer, static_cast<std::size_t>(count));
        }
        altered[static_cast<std::size_t>(it->offset - position)] ^= it->mask;
        flips.erase(it);
        FlipCount() = static_cast<int>(flips.size());
        return altered.data();
    }
    return buffer;
}

void Clear() {
    std::lock_guard guard(Lock());
    Faults().clear();
    Flips().clear();
    FlipCount() = 0;
    Counter() = OperationCounter{};
}

void FailOperation(std::int64_t failAt) {
    std::lock_guard guard(Lock());
    const OperationCounter old = Counter();
    Counter() = OperationCounter{true, 0, failAt};
    Counter().refuseThreadsFrom = old.refuseThreadsFrom;
}

std::int64_t OperationCount() {
    std::lock_guard guard(Lock());
    return Counter().count;
}

bool FailedOperation(FileOp& op) {
    std::lock_guard guard(Lock());
    op = Counter().failedOp;
    return Counter().failed;
}

bool OperationFails(FileOp op, const std::string& path) {
    std::lock_guard guard(Lock());
    OperationCounter& c = Counter();
    if (c.counting && ++c.count == c.failAt) {
        c.failed = true;
        c.failedOp = op;
        return true;
    }
    if (op != FileOp::Close && op != FileOp::Flush && op != FileOp::Delete) return false;
    const Kind kind = op == FileOp::Close ? Kind::Close : op == FileOp::Flush ? Kind::Flush : Kind::Delete;
    return std::any_of(Faults().begin(), Faults().end(),
                       [&](const Fault& f) { return f.kind == kind && Below(path, f.prefix); });
}

std::int64_t FreeSpaceFor(const std::string& path, std::int64_t real) {
    if (OperationFails(FileOp::FreeSpace, path)) return -1;
    std::lock_guard guard(Lock());
    for (const Fault& f : Faults()) {
        if (f.kind == Kind::Disk && Below(path, f.prefix)) real = std::max<std::int64_t>(0, f.budget);
    }
    return real;
}

OsError OpenFailureFor(const std::string& path) {
    if (OperationFails(FileOp::Open, path)) return OsError::AccessDenied;
    std::lock_guard guard(Lock());
    for (const Fault& f : Faults()) {
        if (f.kind == Kind::Open && Below(path, f.prefix)) return f.error;
    }
    return OsError::None;
}

std::int64_t AllowWrite(const std::string& path, std::int64_t count) {
    if (OperationFails(FileOp::Write, path)) count /= 2;
    count = Consume(Kind::Disk, path, count);
    return Consume(Kind::Write, path, count);
}

std::int64_t AllowRead(const std::string& path, std::int64_t count) {
    if (OperationFails(FileOp::Read, path)) return 0;
    return Consume(Kind::Read, path, count);
}

}  // namespace platform::faults
