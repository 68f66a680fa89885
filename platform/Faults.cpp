#include "platform/Faults.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/CodePage.h"

namespace platform::faults {
namespace {

enum class Kind { Disk, Open, Write, Read };

struct Fault {
    Kind kind;
    std::string prefix;        // upper-cased
    std::int64_t budget = 0;   // bytes left (disk, write, read)
    OsError error = OsError::None;
};

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::vector<Fault>& Faults() {
    static std::vector<Fault> faults;
    return faults;
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
        if (f.kind == kind && Below(path, f.prefix)) f.budget -= count;
    }
    return count;
}

}  // namespace

void SimulateDisk(const std::string& prefix, std::int64_t capacity) { Add(Kind::Disk, prefix, capacity, OsError::None); }
void FailOpens(const std::string& prefix, OsError error) { Add(Kind::Open, prefix, 0, error); }
void FailWritesAfter(const std::string& prefix, std::int64_t count) { Add(Kind::Write, prefix, count, OsError::None); }
void ShortReadsAfter(const std::string& prefix, std::int64_t count) { Add(Kind::Read, prefix, count, OsError::None); }

void Clear() {
    std::lock_guard guard(Lock());
    Faults().clear();
}

std::int64_t FreeSpaceFor(const std::string& path, std::int64_t real) {
    std::lock_guard guard(Lock());
    for (const Fault& f : Faults()) {
        if (f.kind == Kind::Disk && Below(path, f.prefix)) real = std::max<std::int64_t>(0, f.budget);
    }
    return real;
}

OsError OpenFailureFor(const std::string& path) {
    std::lock_guard guard(Lock());
    for (const Fault& f : Faults()) {
        if (f.kind == Kind::Open && Below(path, f.prefix)) return f.error;
    }
    return OsError::None;
}

std::int64_t AllowWrite(const std::string& path, std::int64_t count) {
    count = Consume(Kind::Disk, path, count);
    return Consume(Kind::Write, path, count);
}

std::int64_t AllowRead(const std::string& path, std::int64_t count) { return Consume(Kind::Read, path, count); }

}  // namespace platform::faults
