#include "archiver/ZipVerify.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStrFunc.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/Format.h"
#include "platform/Streams.h"

namespace {

// Bytes read from a volume at a time, and inflated at a time.
constexpr std::size_t kChunk = 128 << 10;
// Items written and not yet checked that the writer may run ahead by while the check is busy.
constexpr std::size_t kMostQueued = 4096;

// One field of a record, for saying which one differs.
struct Field {
    const char* name;
    std::size_t offset;
    std::size_t size;
    bool hex;
};

constexpr Field kLocalFields[] = {
    {"signature", 0, 4, true},          {"version needed", 4, 2, false}, {"flags", 6, 2, false},
    {"method", 8, 2, false},            {"time", 10, 2, false},          {"date", 12, 2, false},
    {"CRC", 14, 4, true},               {"compressed size", 18, 4, false}, {"uncompressed size", 22, 4, false},
    {"name length", 26, 2, false},      {"extra field length", 28, 2, false},
};

constexpr Field kCentralFields[] = {
    {"signature", 0, 4, true},           {"version made by", 4, 2, false},     {"version needed", 6, 2, false},
    {"flags", 8, 2, false},              {"method", 10, 2, false},             {"time", 12, 2, false},
    {"date", 14, 2, false},              {"CRC", 16, 4, true},                 {"compressed size", 20, 4, false},
    {"uncompressed size", 24, 4, false}, {"name length", 28, 2, false},        {"extra field length", 30, 2, false},
    {"comment length", 32, 2, false},    {"disk number start", 34, 2, false},  {"internal attributes", 36, 2, false},
    {"external attributes", 38, 4, true}, {"local header offset", 42, 4, false},
};

constexpr Field kEndFields[] = {
    {"signature", 0, 4, true},       {"number of this disk", 4, 2, false},      {"start disk", 6, 2, false},
    {"entries on this disk", 8, 2, false}, {"total entries", 10, 2, false},     {"directory size", 12, 4, false},
    {"directory offset", 16, 4, false}, {"comment length", 20, 2, false},
};

constexpr Field kZip64EndFields[] = {
    {"signature", 0, 4, true},         {"record size", 4, 8, false},          {"version made by", 12, 2, false},
    {"version needed", 14, 2, false},  {"number of this disk", 16, 4, false}, {"start disk", 20, 4, false},
    {"entries on this disk", 24, 8, false}, {"total entries", 32, 8, false},  {"directory size", 40, 8, false},
    {"directory offset", 48, 8, false},
};

constexpr Field kLocatorFields[] = {
    {"signature", 0, 4, true},
    {"end record disk", 4, 4, false},
    {"end record offset", 8, 8, false},
    {"total disks", 16, 4, false},
};

std::uint64_t FieldValue(const std::uint8_t* p, std::size_t size) {
    return size == 2 ? zip::GetLE16(p) : size == 4 ? zip::GetLE32(p) : zip::GetLE64(p);
}

std::string Number(std::uint64_t value, bool hex) {
    return hex ? Format("%08llx", static_cast<unsigned long long>(value))
               : Format("%llu", static_cast<unsigned long long>(value));
}

// "<field> <found>, expected <expected>" for the first field that differs; empty when the records
// are equal.
template <std::size_t N>
std::string Difference(const Field (&fields)[N], const std::uint8_t* found, const std::uint8_t* expected) {
    for (const Field& f : fields) {
        const std::uint64_t a = FieldValue(found + f.offset, f.size);
        const std::uint64_t b = FieldValue(expected + f.offset, f.size);
        if (a != b) return std::string(f.name) + " " + Number(a, f.hex) + ", expected " + Number(b, f.hex);
    }
    return {};
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

// What the writer says of an item written.
struct TZipVerifier::Expected {
    zip::CentralFileHeader head;
    std::string name;  // ANSI, as the directory holds it
    std::int64_t index = 0;  // in the order written
    std::int64_t compressedSize = 0;
    std::int64_t uncompressedSize = 0;
    std::int64_t disk = 0;
    std::int64_t offset = 0;
    std::uint32_t dataCrc = 0;
};

struct TZipVerifier::Inflater {
    z_stream stream{};
    bool ready = false;
    ~Inflater() {
        if (ready) inflateEnd(&stream);
    }
};

// Reads the volumes one after another from the disk, keeping one open.
class TZipVerifier::Reader {
public:
    std::int64_t Disk() const { return disk_; }
    std::int64_t Position() const { return position_; }
    std::int64_t Size() const { return size_; }
    const std::string& Name() const { return name_; }
    // Opens volume disk under name (again: read back before); false with reason when it cannot be
    // read back.
    bool Open(std::int64_t disk, const std::string& name, bool again, std::string& reason) {
        file_ = platform::FileHandle();
        disk_ = disk;
        name_ = name;
        position_ = 0;
        size_ = 0;
        bufferAt_ = bufferEnd_ = 0;
        try {
            file_ = platform::FileHandle::OpenReadBack(name, again);
        } catch (const Exception& e) {
            reason = "cannot be read back: " + e.Message();
            return false;
        }
        size_ = file_.Size();
        if (size_ < 0) {
            reason = "cannot be read back: its size is unknown";
            return false;
        }
        return true;
    }
    bool Seek(std::int64_t offset) {
        if (offset < 0 || offset > size_) return false;
        // Within what was read, or just ahead of it, the buffer serves: a volume of small entries
        // costs no system call per entry.
        if (offset >= position_ - bufferAt_ && offset <= position_ + (bufferEnd_ - bufferAt_)) {
            bufferAt_ += offset - position_;
            position_ = offset;
            return true;
        }
        if (file_.Seek(offset, platform::SeekOrigin::Begin) != offset) return false;
        position_ = offset;
        bufferAt_ = bufferEnd_ = 0;
        return true;
    }
    // Reads exactly count bytes of this volume; false when they are not there or cannot be read.
    bool Read(void* buffer, std::int64_t count) {
        if (count > size_ - position_) return false;
        auto* out = static_cast<std::uint8_t*>(buffer);
        while (count > 0) {
            if (bufferAt_ == bufferEnd_) {
                if (buffer_.empty()) buffer_.resize(kChunk);
                const std::int64_t want = std::min<std::int64_t>(static_cast<std::int64_t>(kChunk), size_ - position_);
                if (file_.Read(buffer_.data(), want) != want) return false;
                bufferAt_ = 0;
                bufferEnd_ = want;
            }
            const std::int64_t n = std::min(count, bufferEnd_ - bufferAt_);
            std::memcpy(out, buffer_.data() + bufferAt_, static_cast<std::size_t>(n));
            out += n;
            bufferAt_ += n;
            position_ += n;
            count -= n;
        }
        return true;
    }
    void Close() {
        file_ = platform::FileHandle();
        disk_ = -1;
    }

private:
    platform::FileHandle file_;
    std::int64_t disk_ = -1;
    std::string name_;
    std::int64_t position_ = 0;
    std::int64_t size_ = 0;
    std::vector<std::uint8_t> buffer_;  // read ahead of position_: bytes bufferAt_ to bufferEnd_
    std::int64_t bufferAt_ = 0;
    std::int64_t bufferEnd_ = 0;
};

// What one checker works with: its own reader, inflate stream and buffers, and its thread.
struct TZipVerifier::Checker {
    Reader reader;
    Inflater inflater;
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    platform::Event wake{false};
    std::unique_ptr<platform::Thread> thread;
};

TZipVerifier::TZipVerifier(int checkers, bool oemNames) : oemNames_(oemNames) {
    if (checkers > 0) platform::IsMainThread();
    for (int k = 0; k < checkers; ++k) {
        auto c = std::make_unique<Checker>();
        Checker* self = c.get();
        c->thread = std::make_unique<platform::Thread>([this, self] { Work(*self); });
        c->thread->Resume();
        // A thread the system would not start is not needed: those started do the work, and
        // with none the caller's thread does it.
        if (!c->thread->Started()) break;
        checkers_.push_back(std::move(c));
    }
    threaded_ = !checkers_.empty();
    if (!threaded_) checkers_.push_back(std::make_unique<Checker>());
}

TZipVerifier::~TZipVerifier() {
    {
        platform::CriticalSectionLock guard(lock_);
        stopping_ = true;
        Notify();
    }
    for (auto& c : checkers_) c->thread.reset();
}

void TZipVerifier::Fail(const std::string& volume, const std::string& what) {
    platform::CriticalSectionLock guard(lock_);
    if (failed_) return;
    failed_ = true;
    failedVolume_ = volume;
    failure_ = what;
    progress_.Set();
    Notify();
}

bool TZipVerifier::Failed() {
    platform::CriticalSectionLock guard(lock_);
    return failed_;
}

std::string TZipVerifier::FailedVolume() {
    platform::CriticalSectionLock guard(lock_);
    return failedVolume_;
}

std::string TZipVerifier::Failure() {
    platform::CriticalSectionLock guard(lock_);
    return failure_;
}

void TZipVerifier::Wait(Checker& c) {
    c.wake.Reset();
    waiting_.push_back(&c);
    lock_.Leave();
    c.wake.Wait();
    lock_.Enter();
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &c));
}

void TZipVerifier::Notify() {
    for (Checker* c : waiting_) c->wake.Set();
}

bool TZipVerifier::FrontReady() const {
    if (queue_.empty()) return false;
    if (allVolumes_) return true;
    const auto closed = static_cast<std::int64_t>(volumes_.size());
    // A checker follows the data of an entry into the volumes as they close; the caller's thread
    // may not wait, so it takes an entry only once the next one's header stands on a closed volume
    // (its data end before that).
    if (threaded_) return queue_.front().disk < closed;
    return queue_.size() > 1 && queue_[1].disk < closed;
}

void TZipVerifier::ItemWritten(const TDirItem& item) {
    Expected e;
    e.head = item;
    e.name = item.Name;
    e.compressedSize = item.RealCompressedSize();
    e.uncompressedSize = item.RealUncompressedSize();
    e.disk = item.DiskNumberStart == zip::kSentinel16 ? item.Zip64DiskNumberStart : item.DiskNumberStart;
    e.offset = item.RealLocalHeaderOffset();
    e.dataCrc = item.DataCrc32;
    platform::CriticalSectionLock guard(lock_);
    e.index = announced_++;
    // Most entries are announced while their volume is still written: nothing for a checker to do
    // until it is closed, and waking the checkers for each would cost more than checking it.
    const bool ready = e.disk < static_cast<std::int64_t>(volumes_.size());
    queue_.push_back(std::move(e));
    if (!threaded_) return;
    if (ready) Notify();
    // The writer waits for checks that have fallen far behind, so that the items kept for them
    // stay few; never while the next one waits for the volume being written, whose checks cannot
    // go on until it is closed.
    while (queue_.size() > kMostQueued && !failed_ && FrontReady()) {
        progress_.Reset();
        lock_.Leave();
        progress_.Wait();
        lock_.Enter();
    }
}

void TZipVerifier::VolumeClosed(const std::string& name) {
    {
        platform::CriticalSectionLock guard(lock_);
        volumes_.push_back(name);
        readBack_.push_back(0);
        Notify();
    }
    if (!threaded_) Pump();
}

void TZipVerifier::Pump() {
    Checker& c = *checkers_.front();
    for (;;) {
        Expected e;
        {
            platform::CriticalSectionLock guard(lock_);
            if (failed_ || !FrontReady()) return;
            e = std::move(queue_.front());
            queue_.pop_front();
        }
        Span span;
        if (!CheckEntry(c, e, span)) return;
        platform::CriticalSectionLock guard(lock_);
        Checked(e.index, span);
    }
}

void TZipVerifier::Work(Checker& c) {
    platform::CriticalSectionLock guard(lock_);
    for (;;) {
        if (stopping_ || failed_) return;
        if (!FrontReady()) {
            Wait(c);
            continue;
        }
        const Expected e = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        progress_.Set();
        lock_.Leave();
        Span span;
        const bool sound = CheckEntry(c, e, span);
        lock_.Enter();
        --busy_;
        if (sound) Checked(e.index, span);
        progress_.Set();
    }
}

void TZipVerifier::Checked(std::int64_t index, const Span& span) {
    ahead_.emplace(index, span);
    // The entries are taken in order but may end out of it: they are put in order here.
    for (auto next = ahead_.find(checked_); next != ahead_.end() && !failed_; next = ahead_.find(checked_)) {
        const Span& s = next->second;
        if (checked_ > 0 && (s.disk < endDisk_ || (s.disk == endDisk_ && s.offset < endOffset_))) {
            Fail(volumes_[static_cast<std::size_t>(s.disk)], s.name + ": local header overlaps the data of the entry before it");
            return;
        }
        endDisk_ = s.endDisk;
        endOffset_ = s.endOffset;
        ++checked_;
        ahead_.erase(next);
    }
}

bool TZipVerifier::ToVolume(Checker& c, std::int64_t disk, const std::string& entry) {
    std::string name;
    bool again = false;
    {
        platform::CriticalSectionLock guard(lock_);
        for (;;) {
            if (stopping_ || failed_) return false;
            if (disk < static_cast<std::int64_t>(volumes_.size())) {
                std::uint8_t& state = readBack_[static_cast<std::size_t>(disk)];
                // Another checker forcing the volume to the disk and dropping its cached pages:
                // what is read before that ends might come from the cache.
                if (state == 1 && threaded_) {
                    Wait(c);
                    continue;
                }
                again = state == 2;
                if (!again) state = 1;
                name = volumes_[static_cast<std::size_t>(disk)];
                break;
            }
            if (allVolumes_ || !threaded_) {
                Fail(c.reader.Name(), entry + ": data cut short by the end of the last volume");
                return false;
            }
            Wait(c);
        }
    }
    std::string reason;
    const bool opened = c.reader.Open(disk, name, again, reason);
    platform::CriticalSectionLock guard(lock_);
    if (!again) {
        readBack_[static_cast<std::size_t>(disk)] = 2;
        Notify();
    }
    if (!opened) Fail(name, reason);
    return opened;
}

bool TZipVerifier::CheckEntry(Checker& c, const Expected& e, Span& span) {
    const std::string storedName = oemNames_ ? platform::AnsiToOem(e.name) : e.name;
    if (e.disk != c.reader.Disk()) {
        bool known = false;
        {
            platform::CriticalSectionLock guard(lock_);
            known = e.disk < static_cast<std::int64_t>(volumes_.size());
        }
        if (!known) {
            Fail(c.reader.Name(), e.name + ": local header on volume " + std::to_string(e.disk + 1) + ", which is missing");
            return false;
        }
        if (!ToVolume(c, e.disk, e.name)) return false;
    }
    Reader& reader = c.reader;
    const std::string volume = reader.Name();
    if (!reader.Seek(e.offset)) {
        Fail(volume, e.name + ": no local header at offset " + std::to_string(e.offset) + ", the volume ends before");
        return false;
    }
    zip::LocalFileHeader local;
    local.VersionNeeded = e.head.VersionNeeded;
    local.Flags = e.head.Flags;
    local.Method = e.head.Method;
    local.ModTime = e.head.ModTime;
    local.ModDate = e.head.ModDate;
    local.Crc32 = e.head.Crc32;
    local.CompressedSize = e.head.CompressedSize;
    local.UncompressedSize = e.head.UncompressedSize;
    local.NameLength = static_cast<std::uint16_t>(storedName.size());
    local.ExtraLength = e.head.UncompressedSize == zip::kSentinel32 ? zip::kLocalZip64Size : 0;
    std::uint8_t expected[zip::LocalFileHeader::kSize];
    local.Encode(expected);
    std::uint8_t found[zip::LocalFileHeader::kSize];
    // A header block never straddles two volumes: all of it stands on this one.
    if (!reader.Read(found, sizeof found)) {
        Fail(volume, e.name + ": local header cut short by the volume's end");
        return false;
    }
    if (std::string d = Difference(kLocalFields, found, expected); !d.empty()) {
        Fail(volume, e.name + ": local header " + d);
        return false;
    }
    std::string name(storedName.size(), '\0');
    std::uint8_t extra[zip::kLocalZip64Size];
    if (!reader.Read(name.data(), static_cast<std::int64_t>(name.size())) || !reader.Read(extra, local.ExtraLength)) {
        Fail(volume, e.name + ": local header cut short by the volume's end");
        return false;
    }
    if (name != storedName) {
        const auto shown = [this](const std::string& s) { return Quoted(oemNames_ ? platform::OemToAnsi(s) : s); };
        Fail(volume, e.name + ": local header name " + shown(name) + ", expected " + shown(storedName));
        return false;
    }
    if (local.ExtraLength != 0) {
        std::uint8_t block[zip::kLocalZip64Size];
        zip::EncodeLocalZip64(block, e.uncompressedSize, e.compressedSize);
        if (std::memcmp(block, extra, sizeof block) != 0) {
            Fail(volume, e.name + ": local Zip64 sizes " + std::to_string(zip::GetLE64(extra + 4)) + " and " +
                             std::to_string(zip::GetLE64(extra + 12)) + ", expected " +
                             std::to_string(e.uncompressedSize) + " and " + std::to_string(e.compressedSize));
            return false;
        }
    }
    span.disk = e.disk;
    span.offset = e.offset;
    span.name = e.name;
    // Encrypted data are checked by their bytes alone: they inflate only once deciphered.
    const bool inflating = e.head.Method == 8 && (e.head.Flags & 1) == 0;
    if (e.head.Method != 0 && e.head.Method != 8) {
        Fail(volume, e.name + ": method " + std::to_string(e.head.Method) + " cannot be read back");
        return false;
    }
    z_stream& z = c.inflater.stream;
    if (inflating) {
        const int r = c.inflater.ready ? inflateReset(&z) : inflateInit2(&z, -MAX_WBITS);
        if (r != Z_OK) {
            Fail(volume, e.name + ": no memory to inflate its data");
            return false;
        }
        c.inflater.ready = true;
    }
    if (c.input.empty()) {
        c.input.resize(kChunk);
        c.output.resize(kChunk);
    }
    std::uint32_t crc = 0xFFFFFFFF;      // of the data as a reader gets them
    std::uint32_t stored = 0xFFFFFFFF;   // of the bytes as they lie in the volumes
    std::int64_t produced = 0;
    bool streamEnded = false;
    // Inflates what z holds; false when the data do not inflate.
    const auto drain = [&](int flush) {
        for (;;) {
            z.next_out = c.output.data();
            z.avail_out = static_cast<uInt>(c.output.size());
            const int r = inflate(&z, flush);
            const std::size_t got = c.output.size() - z.avail_out;
            crc = zip::Crc32Update(crc, c.output.data(), static_cast<std::int64_t>(got));
            produced += static_cast<std::int64_t>(got);
            if (r == Z_STREAM_END) {
                streamEnded = true;
                return true;
            }
            if (r == Z_BUF_ERROR && got == 0) return true;  // all input taken, nothing more to give
            if (r != Z_OK) {
                Fail(reader.Name(), e.name + ": data do not inflate (" + (z.msg ? z.msg : "error " + std::to_string(r)) + ")");
                return false;
            }
            if (z.avail_in == 0 && z.avail_out > 0) return true;
        }
    };
    for (std::int64_t remaining = e.compressedSize; remaining > 0;) {
        {
            // A check that stops (the job cancelled) ends at the next chunk, not the entry's end.
            platform::CriticalSectionLock guard(lock_);
            if (stopping_ || failed_) return false;
        }
        if (reader.Position() == reader.Size()) {
            // The data go on at the start of the next volume.
            if (!ToVolume(c, reader.Disk() + 1, e.name)) return false;
            continue;
        }
        const std::int64_t n = std::min({remaining, reader.Size() - reader.Position(), static_cast<std::int64_t>(kChunk)});
        if (!reader.Read(c.input.data(), n)) {
            Fail(reader.Name(), e.name + ": data cannot be read back");
            return false;
        }
        remaining -= n;
        stored = zip::Crc32Update(stored, c.input.data(), n);
        if (!inflating) {
            crc = zip::Crc32Update(crc, c.input.data(), n);
            produced += n;
            continue;
        }
        if (streamEnded) {
            Fail(reader.Name(), e.name + ": deflate data end " + std::to_string(remaining + n) + " bytes before the entry's end");
            return false;
        }
        z.next_in = c.input.data();
        z.avail_in = static_cast<uInt>(n);
        if (!drain(Z_NO_FLUSH)) return false;
        if (streamEnded && (z.avail_in > 0 || remaining > 0)) {
            Fail(reader.Name(), e.name + ": deflate data end " + std::to_string(remaining + z.avail_in) +
                                    " bytes before the entry's end");
            return false;
        }
    }
    if (inflating && e.compressedSize > 0 && !streamEnded) {
        // The last input may still hold output back: it is all there, so it must come out now.
        z.next_in = c.input.data();
        z.avail_in = 0;
        if (!drain(Z_SYNC_FLUSH)) return false;
        if (!streamEnded) {
            Fail(reader.Name(), e.name + ": deflate data do not end with the entry's data");
            return false;
        }
    }
    // What is found wrong only now may lie on any volume of the entry's data, not only on the one
    // the check ended on: a line naming that one alone would send the search for the fault astray.
    const std::string spread = reader.Disk() == e.disk ? std::string()
                                                       : " (its data lie on volumes " + std::to_string(e.disk + 1) +
                                                             " to " + std::to_string(reader.Disk() + 1) + ")";
    if (inflating || (e.head.Flags & 1) == 0) {
        if (produced != e.uncompressedSize) {
            Fail(reader.Name(), e.name + ": data give " + std::to_string(produced) + " bytes, expected " +
                                    std::to_string(e.uncompressedSize) + spread);
            return false;
        }
        if (~crc != e.head.Crc32) {
            Fail(reader.Name(),
                 e.name + ": CRC " + Number(~crc, true) + ", expected " + Number(e.head.Crc32, true) + spread);
            return false;
        }
    }
    // Bits that no reader looks at (the padding of a deflate stream's last byte) must be as
    // written too: the recipient's copy is the one checked here.
    if (~stored != e.dataCrc) {
        Fail(reader.Name(), e.name + ": data bytes differ from those written (their CRC " + Number(~stored, true) +
                                ", expected " + Number(e.dataCrc, true) + ")" + spread);
        return false;
    }
    span.endDisk = reader.Disk();
    span.endOffset = reader.Position();
    return true;
}

bool TZipVerifier::Finish(const std::string& name, TZipDirManager& manager) {
    {
        platform::CriticalSectionLock guard(lock_);
        volumes_.push_back(name);
        readBack_.push_back(0);
        allVolumes_ = true;
        Notify();
        while (threaded_ && !failed_ && (!queue_.empty() || busy_ > 0)) {
            progress_.Reset();
            lock_.Leave();
            progress_.Wait();
            lock_.Enter();
        }
        // The checkers have nothing more to do: they end, and the rest is done here.
        if (threaded_) {
            stopping_ = true;
            Notify();
        }
    }
    for (auto& c : checkers_) c->thread.reset();
    if (!threaded_) Pump();
    if (Failed()) return false;
    for (auto& c : checkers_) c->reader.Close();
    if (checked_ != announced_ || !queue_.empty()) {
        Fail(volumes_.back(), std::to_string(announced_ - checked_) + " entries were not all read back");
        return false;
    }
    return CheckDirectory(manager);
}

bool TZipVerifier::CheckDirectory(TZipDirManager& manager) {
    const std::string last = volumes_.back();
    const std::int64_t lastDisk = static_cast<std::int64_t>(volumes_.size()) - 1;
    TZipDirArray& dir = manager.Dir();
    // Whether a volume was read back before; from now on it has been. The checkers have ended.
    const auto readAgain = [this](std::int64_t disk) {
        std::uint8_t& state = readBack_[static_cast<std::size_t>(disk)];
        const bool again = state == 2;
        state = 2;
        return again;
    };
    if (checked_ != dir.Count()) {
        Fail(last, "central directory: " + std::to_string(checked_) + " entries were written, the directory holds " +
                       std::to_string(dir.Count()));
        return false;
    }
    // The end records, found as a reader finds them: by the end-record search of the directory.
    std::int64_t size = 0;
    zip::EndRecord end;
    std::string comment;
    std::uint8_t zip64Record[zip::Zip64EndRecord::kSize] = {};
    std::uint8_t locator[zip::Zip64Locator::kSize] = {};
    try {
        TFileStream stream(last, platform::FileHandle::OpenReadBack(last, readAgain(lastDisk)));
        size = stream.Size();
        TZipDirManager probe(&stream, nullptr, false);
        probe.HasEndRecord();
        if (probe.EndRecord.Signature != zip::kEndRecordSignature) {
            Fail(last, "end record: not found");
            return false;
        }
        end = probe.EndRecord;
        comment = probe.ZipComment;
        if (manager.IsZip64) {
            const std::int64_t at = size - static_cast<std::int64_t>(zip::EndRecord::kSize + comment.size() +
                                                                      sizeof locator + sizeof zip64Record);
            if (at < 0) {
                Fail(last, "Zip64 end record: not found");
                return false;
            }
            stream.SetPosition(at);
            stream.ReadBuffer(zip64Record, sizeof zip64Record);
            stream.ReadBuffer(locator, sizeof locator);
        }
    } catch (const Exception& e) {
        Fail(last, "cannot be read back: " + e.Message());
        return false;
    }
    std::uint8_t found[zip::EndRecord::kSize];
    std::uint8_t expected[zip::EndRecord::kSize];
    end.Encode(found);
    manager.EndRecord.Encode(expected);
    if (std::string d = Difference(kEndFields, found, expected); !d.empty()) {
        Fail(last, "end record: " + d);
        return false;
    }
    if (comment != manager.ZipComment) {
        Fail(last, "end record: comment " + Quoted(comment) + ", expected " + Quoted(manager.ZipComment));
        return false;
    }
    std::uint64_t dirSize = end.DirectorySize;
    std::uint64_t dirOffset = end.DirectoryOffset;
    std::uint64_t startDisk = end.StartDisk;
    std::uint64_t thisDisk = end.ThisDisk;
    std::uint64_t count = end.TotalEntries;
    const std::int64_t recordsSize = static_cast<std::int64_t>(zip::EndRecord::kSize + comment.size()) +
                                     (manager.IsZip64 ? static_cast<std::int64_t>(sizeof locator + sizeof zip64Record) : 0);
    if (manager.IsZip64) {
        std::uint8_t want[zip::Zip64EndRecord::kSize];
        manager.Zip64EndRecord.Encode(want);
        if (std::string d = Difference(kZip64EndFields, zip64Record, want); !d.empty()) {
            Fail(last, "Zip64 end record: " + d);
            return false;
        }
        std::uint8_t wantLocator[zip::Zip64Locator::kSize];
        manager.Zip64Locator.Encode(wantLocator);
        if (std::string d = Difference(kLocatorFields, locator, wantLocator); !d.empty()) {
            Fail(last, "Zip64 end locator: " + d);
            return false;
        }
        const zip::Zip64EndRecord record = zip::Zip64EndRecord::Decode(zip64Record);
        const zip::Zip64Locator where = zip::Zip64Locator::Decode(locator);
        if (static_cast<std::int64_t>(where.EndRecordOffset) != size - recordsSize || where.TotalDisks != lastDisk + 1 ||
            where.EndRecordDisk != lastDisk) {
            Fail(last, "Zip64 end locator: it does not point at the Zip64 end record");
            return false;
        }
        if (end.DirectorySize == zip::kSentinel32) dirSize = record.DirectorySize;
        if (end.DirectoryOffset == zip::kSentinel32) dirOffset = record.DirectoryOffset;
        if (end.StartDisk == zip::kSentinel16) startDisk = record.StartDisk;
        if (end.ThisDisk == zip::kSentinel16) thisDisk = record.ThisDisk;
        count = record.TotalEntries;
    }
    // What the records say must be what the volumes hold.
    if (thisDisk != static_cast<std::uint64_t>(lastDisk)) {
        Fail(last, "end record: number of this disk " + std::to_string(thisDisk) + ", but the archive has " +
                       std::to_string(lastDisk + 1) + " volumes");
        return false;
    }
    if (count != static_cast<std::uint64_t>(dir.Count())) {
        Fail(last, "end record: " + std::to_string(count) + " entries, expected " + std::to_string(dir.Count()));
        return false;
    }
    const bool afterData = checked_ == 0 || static_cast<std::int64_t>(startDisk) > endDisk_ ||
                           (static_cast<std::int64_t>(startDisk) == endDisk_ &&
                            static_cast<std::int64_t>(dirOffset) >= endOffset_);
    if (startDisk > static_cast<std::uint64_t>(lastDisk) || !afterData) {
        Fail(last, "end record: the central directory starts on disk " + std::to_string(startDisk) + " at offset " +
                       std::to_string(dirOffset) + ", which is not behind the entries' data");
        return false;
    }
    // The central directory, header after header from where the end record says it starts.
    Reader reader;
    std::string reason;
    std::string volume = volumes_[static_cast<std::size_t>(startDisk)];
    if (!reader.Open(static_cast<std::int64_t>(startDisk), volume, readAgain(static_cast<std::int64_t>(startDisk)), reason)) {
        Fail(volume, reason);
        return false;
    }
    if (!reader.Seek(static_cast<std::int64_t>(dirOffset))) {
        Fail(volume, "central directory: its offset " + std::to_string(dirOffset) + " lies past the volume's end");
        return false;
    }
    std::uint64_t read = 0;
    std::vector<std::uint8_t> bytes;
    for (std::int32_t i = 0; i < dir.Count(); ++i) {
        const TDirItem& item = dir.EntryRef(i);
        if (reader.Position() == reader.Size() && reader.Disk() < lastDisk) {
            volume = volumes_[static_cast<std::size_t>(reader.Disk() + 1)];
            if (!reader.Open(reader.Disk() + 1, volume, readAgain(reader.Disk() + 1), reason)) {
                Fail(volume, reason);
                return false;
            }
        }
        // What the directory writer wrote for the item: its fixed part, name, Zip64 block, the extra
        // fields it keeps, its comment.
        std::uint8_t head[zip::CentralFileHeader::kSize];
        item.EncodeHead(head);
        const std::string name = oemNames_ ? platform::AnsiToOem(item.Name) : item.Name;
        std::vector<std::uint8_t> extra = zip::EncodeCentralZip64(
            item, zip::Zip64Values{item.Zip64UncompressedSize, item.Zip64CompressedSize, item.Zip64LocalHeaderOffset,
                                   item.Zip64DiskNumberStart});
        for (const TZipExtraField& f : item.ExtraFields) {
            if (f.HeaderID == zip::kZip64ExtraId) continue;
            std::uint8_t fieldHead[4];
            zip::PutLE16(fieldHead, f.HeaderID);
            zip::PutLE16(fieldHead + 2, static_cast<std::uint16_t>(f.Data.size()));
            extra.insert(extra.end(), fieldHead, fieldHead + 4);
            extra.insert(extra.end(), f.Data.begin(), f.Data.end());
        }
        std::uint8_t got[zip::CentralFileHeader::kSize];
        // The fixed part, the name and the extra field stand on one volume.
        if (!reader.Read(got, sizeof got)) {
            Fail(volume, item.Name + ": central header cut short by the volume's end");
            return false;
        }
        if (std::string d = Difference(kCentralFields, got, head); !d.empty()) {
            Fail(volume, item.Name + ": central header " + d);
            return false;
        }
        bytes.resize(name.size() + extra.size());
        if (!reader.Read(bytes.data(), static_cast<std::int64_t>(bytes.size()))) {
            Fail(volume, item.Name + ": central header cut short by the volume's end");
            return false;
        }
        const std::string gotName(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(name.size()));
        if (gotName != name) {
            const auto shown = [this](const std::string& s) { return Quoted(oemNames_ ? platform::OemToAnsi(s) : s); };
            Fail(volume, item.Name + ": central header name " + shown(gotName) + ", expected " + shown(name));
            return false;
        }
        if (!std::equal(extra.begin(), extra.end(), bytes.begin() + static_cast<std::ptrdiff_t>(name.size()))) {
            Fail(volume, item.Name + ": central header extra field differs from the one written");
            return false;
        }
        // A comment may run on into the next volume.
        std::string gotComment;
        for (std::int64_t left = item.CommentLength; left > 0;) {
            if (reader.Position() == reader.Size() && reader.Disk() < lastDisk) {
                volume = volumes_[static_cast<std::size_t>(reader.Disk() + 1)];
                if (!reader.Open(reader.Disk() + 1, volume, readAgain(reader.Disk() + 1), reason)) {
                    Fail(volume, reason);
                    return false;
                }
            }
            const std::int64_t n = std::min(left, reader.Size() - reader.Position());
            std::string part(static_cast<std::size_t>(n), '\0');
            if (n <= 0 || !reader.Read(part.data(), n)) {
                Fail(volume, item.Name + ": central header comment cut short by the last volume's end");
                return false;
            }
            gotComment += part;
            left -= n;
        }
        if (gotComment != item.Comment.Text()) {
            Fail(volume, item.Name + ": central header comment differs from the one written");
            return false;
        }
        read += sizeof got + bytes.size() + gotComment.size();
    }
    // The end records follow the directory at once, on the last volume.
    if (dir.Count() == 0) reader.Seek(static_cast<std::int64_t>(dirOffset));
    if (reader.Disk() != lastDisk || reader.Position() != size - recordsSize) {
        Fail(last, "central directory: it ends on disk " + std::to_string(reader.Disk()) + " at offset " +
                       std::to_string(reader.Position()) + ", not where the end records begin");
        return false;
    }
    if (read != dirSize) {
        Fail(last, "end record: directory size " + std::to_string(dirSize) + ", but the directory holds " +
                       std::to_string(read) + " bytes");
        return false;
    }
    return true;
}
