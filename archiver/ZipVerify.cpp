#include "archiver/ZipVerify.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/Format.h"
#include "platform/Streams.h"

namespace {

// Bytes read from a volume at a time, and inflated at a time.
constexpr std::size_t kChunk = 256 << 10;
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
    std::string name;        // ANSI, for the messages
    std::string storedName;  // as written
    std::int64_t compressedSize = 0;
    std::int64_t uncompressedSize = 0;
    std::int64_t disk = 0;
    std::int64_t offset = 0;
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
    // Opens volume disk under name; false with reason when it cannot be read back.
    bool Open(std::int64_t disk, const std::string& name, std::string& reason) {
        file_ = platform::FileHandle();
        disk_ = disk;
        name_ = name;
        position_ = 0;
        size_ = 0;
        bufferAt_ = bufferEnd_ = 0;
        try {
            file_ = platform::FileHandle::OpenReadBack(name);
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
    void Close() { file_ = platform::FileHandle(); }

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

TZipVerifier::TZipVerifier(bool worker, bool oemNames)
    : oemNames_(oemNames), reader_(std::make_unique<Reader>()), inflater_(std::make_unique<Inflater>()) {
    if (!worker) return;
    platform::IsMainThread();
    thread_ = std::make_unique<platform::Thread>([this] { Work(); });
    thread_->Resume();
    // A thread the system would not start means the check runs on the caller's thread.
    if (!thread_->Started()) thread_.reset();
}

TZipVerifier::~TZipVerifier() {
    {
        platform::CriticalSectionLock guard(lock_);
        stopping_ = true;
        changed_.Set();
    }
    thread_.reset();
}

void TZipVerifier::Fail(const std::string& volume, const std::string& what) {
    platform::CriticalSectionLock guard(lock_);
    if (failed_) return;
    failed_ = true;
    failedVolume_ = volume;
    failure_ = what;
    progress_.Set();
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

std::string TZipVerifier::VolumeName(std::int64_t disk, bool& noMore) {
    platform::CriticalSectionLock guard(lock_);
    noMore = allVolumes_;
    return disk >= 0 && disk < static_cast<std::int64_t>(volumes_.size()) ? volumes_[static_cast<std::size_t>(disk)]
                                                                          : std::string();
}

void TZipVerifier::ItemWritten(const TDirItem& item) {
    Expected e;
    e.head = item;
    e.name = item.Name;
    e.storedName = oemNames_ ? platform::AnsiToOem(item.Name) : item.Name;
    e.compressedSize = item.RealCompressedSize();
    e.uncompressedSize = item.RealUncompressedSize();
    e.disk = item.DiskNumberStart == zip::kSentinel16 ? item.Zip64DiskNumberStart : item.DiskNumberStart;
    e.offset = item.RealLocalHeaderOffset();
    platform::CriticalSectionLock guard(lock_);
    queue_.push_back(std::move(e));
    ++inputs_;
    changed_.Set();
    if (!thread_) return;
    // The writer waits for a check that has fallen far behind, so that the items kept for it stay
    // few; never for one that waits itself (for the volume being written).
    while (queue_.size() > kMostQueued && !failed_ && !(waiting_ && waitingAt_ == inputs_)) {
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
        ++inputs_;
        changed_.Set();
    }
    if (!thread_) Pump();
}

void TZipVerifier::Pump() {
    while (Next() == Step::Progress) {
    }
}

void TZipVerifier::Work() {
    for (;;) {
        std::uint64_t seen = 0;
        {
            platform::CriticalSectionLock guard(lock_);
            if (stopping_ || failed_) return;
            seen = inputs_;
        }
        const Step step = Next();
        if (step == Step::Failed) return;
        if (step == Step::Progress) continue;
        platform::CriticalSectionLock guard(lock_);
        while (!stopping_ && inputs_ == seen) {
            waiting_ = true;
            waitingAt_ = seen;
            progress_.Set();
            changed_.Reset();
            lock_.Leave();
            changed_.Wait();
            lock_.Enter();
        }
        waiting_ = false;
    }
}

bool TZipVerifier::CheckLocalHeader() {
    Expected& e = *current_;
    bool noMore = false;
    const std::string volume = VolumeName(e.disk, noMore);
    if (volume.empty()) {
        if (noMore) Fail(reader_->Name(), e.name + ": local header on volume " + std::to_string(e.disk + 1) + ", which is missing");
        return false;
    }
    if (e.disk < reader_->Disk() || (e.disk == reader_->Disk() && e.offset < reader_->Position())) {
        Fail(reader_->Name(), e.name + ": local header overlaps the data of the entry before it");
        return true;
    }
    std::string reason;
    if (e.disk != reader_->Disk() && !reader_->Open(e.disk, volume, reason)) {
        Fail(volume, reason);
        return true;
    }
    if (!reader_->Seek(e.offset)) {
        Fail(volume, e.name + ": no local header at offset " + std::to_string(e.offset) + ", the volume ends before");
        return true;
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
    local.NameLength = static_cast<std::uint16_t>(e.storedName.size());
    local.ExtraLength = e.head.UncompressedSize == zip::kSentinel32 ? zip::kLocalZip64Size : 0;
    std::uint8_t expected[zip::LocalFileHeader::kSize];
    local.Encode(expected);
    std::uint8_t found[zip::LocalFileHeader::kSize];
    // A header block never straddles two volumes: all of it stands on this one.
    if (!reader_->Read(found, sizeof found)) {
        Fail(volume, e.name + ": local header cut short by the volume's end");
        return true;
    }
    if (std::string d = Difference(kLocalFields, found, expected); !d.empty()) {
        Fail(volume, e.name + ": local header " + d);
        return true;
    }
    std::string name(e.storedName.size(), '\0');
    std::uint8_t extra[zip::kLocalZip64Size];
    if (!reader_->Read(name.data(), static_cast<std::int64_t>(name.size())) ||
        !reader_->Read(extra, local.ExtraLength)) {
        Fail(volume, e.name + ": local header cut short by the volume's end");
        return true;
    }
    if (name != e.storedName) {
        const auto shown = [this](const std::string& s) { return Quoted(oemNames_ ? platform::OemToAnsi(s) : s); };
        Fail(volume, e.name + ": local header name " + shown(name) + ", expected " + shown(e.storedName));
        return true;
    }
    if (local.ExtraLength != 0) {
        std::uint8_t block[zip::kLocalZip64Size];
        zip::EncodeLocalZip64(block, e.uncompressedSize, e.compressedSize);
        if (std::memcmp(block, extra, sizeof block) != 0) {
            Fail(volume, e.name + ": local Zip64 sizes " + std::to_string(zip::GetLE64(extra + 4)) + " and " +
                             std::to_string(zip::GetLE64(extra + 12)) + ", expected " +
                             std::to_string(e.uncompressedSize) + " and " + std::to_string(e.compressedSize));
            return true;
        }
    }
    headerChecked_ = true;
    remaining_ = e.compressedSize;
    crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    produced_ = 0;
    streamEnded_ = false;
    if (e.head.Method == 8) {
        z_stream& z = inflater_->stream;
        if (!inflater_->ready) {
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
                Fail(volume, e.name + ": no memory to inflate its data");
                return true;
            }
            inflater_->ready = true;
        } else if (inflateReset(&z) != Z_OK) {
            Fail(volume, e.name + ": no memory to inflate its data");
            return true;
        }
    } else if (e.head.Method != 0) {
        Fail(volume, e.name + ": method " + std::to_string(e.head.Method) + " cannot be read back");
    }
    return true;
}

TZipVerifier::Step TZipVerifier::Next() {
    if (Failed()) return Step::Failed;
    if (!current_) {
        platform::CriticalSectionLock guard(lock_);
        if (queue_.empty()) return Step::Blocked;
        current_ = std::make_unique<Expected>(std::move(queue_.front()));
        queue_.pop_front();
        headerChecked_ = false;
        progress_.Set();
    }
    Expected& e = *current_;
    if (!headerChecked_) {
        if (!CheckLocalHeader()) return Step::Blocked;
        if (Failed()) return Step::Failed;
    }
    if (input_.empty()) {
        input_.resize(kChunk);
        output_.resize(kChunk);
    }
    z_stream& z = inflater_->stream;
    while (remaining_ > 0) {
        if (reader_->Position() == reader_->Size()) {
            // The data go on at the start of the next volume.
            bool noMore = false;
            const std::string next = VolumeName(reader_->Disk() + 1, noMore);
            if (next.empty()) {
                if (!noMore) return Step::Blocked;
                Fail(reader_->Name(), e.name + ": data cut short by the end of the last volume");
                return Step::Failed;
            }
            std::string reason;
            if (!reader_->Open(reader_->Disk() + 1, next, reason)) {
                Fail(next, reason);
                return Step::Failed;
            }
            continue;
        }
        const std::int64_t n = std::min({remaining_, reader_->Size() - reader_->Position(), static_cast<std::int64_t>(kChunk)});
        if (!reader_->Read(input_.data(), n)) {
            Fail(reader_->Name(), e.name + ": data cannot be read back");
            return Step::Failed;
        }
        remaining_ -= n;
        if (e.head.Method == 0) {
            crc_ = static_cast<std::uint32_t>(crc32(crc_, input_.data(), static_cast<uInt>(n)));
            produced_ += n;
            continue;
        }
        if (streamEnded_) {
            Fail(reader_->Name(), e.name + ": deflate data end " + std::to_string(remaining_ + n) + " bytes before the entry's end");
            return Step::Failed;
        }
        z.next_in = input_.data();
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in > 0 && !streamEnded_) {
            z.next_out = output_.data();
            z.avail_out = static_cast<uInt>(output_.size());
            const int r = inflate(&z, Z_NO_FLUSH);
            const std::size_t got = output_.size() - z.avail_out;
            crc_ = static_cast<std::uint32_t>(crc32(crc_, output_.data(), static_cast<uInt>(got)));
            produced_ += static_cast<std::int64_t>(got);
            if (r == Z_STREAM_END) {
                streamEnded_ = true;
            } else if (r != Z_OK && !(r == Z_BUF_ERROR && got > 0)) {
                Fail(reader_->Name(), e.name + ": data do not inflate (" + (z.msg ? z.msg : "error " + std::to_string(r)) + ")");
                return Step::Failed;
            }
        }
        if (streamEnded_ && (z.avail_in > 0 || remaining_ > 0)) {
            Fail(reader_->Name(), e.name + ": deflate data end " + std::to_string(remaining_ + z.avail_in) +
                                      " bytes before the entry's end");
            return Step::Failed;
        }
    }
    if (e.head.Method == 8 && e.compressedSize > 0 && !streamEnded_) {
        // The last input may still hold output back: it is all there, so it must come out now.
        z.next_in = input_.data();
        z.avail_in = 0;
        for (;;) {
            z.next_out = output_.data();
            z.avail_out = static_cast<uInt>(output_.size());
            const int r = inflate(&z, Z_SYNC_FLUSH);
            const std::size_t got = output_.size() - z.avail_out;
            crc_ = static_cast<std::uint32_t>(crc32(crc_, output_.data(), static_cast<uInt>(got)));
            produced_ += static_cast<std::int64_t>(got);
            if (r == Z_STREAM_END) streamEnded_ = true;
            if (r != Z_OK || got == 0) break;
        }
        if (!streamEnded_) {
            Fail(reader_->Name(), e.name + ": deflate data do not end with the entry's data");
            return Step::Failed;
        }
    }
    if (produced_ != e.uncompressedSize) {
        Fail(reader_->Name(), e.name + ": data give " + std::to_string(produced_) + " bytes, expected " +
                                  std::to_string(e.uncompressedSize));
        return Step::Failed;
    }
    if (crc_ != e.head.Crc32) {
        Fail(reader_->Name(), e.name + ": CRC " + Number(crc_, true) + ", expected " + Number(e.head.Crc32, true));
        return Step::Failed;
    }
    endDisk_ = reader_->Disk();
    endOffset_ = reader_->Position();
    ++checked_;
    current_.reset();
    return Step::Progress;
}

bool TZipVerifier::Finish(const std::string& name, TZipDirManager& manager) {
    {
        platform::CriticalSectionLock guard(lock_);
        volumes_.push_back(name);
        allVolumes_ = true;
        ++inputs_;
        changed_.Set();
        while (thread_ && !failed_ && !(waiting_ && waitingAt_ == inputs_)) {
            progress_.Reset();
            lock_.Leave();
            progress_.Wait();
            lock_.Enter();
        }
        // The worker, if any, has nothing more to do: it ends, and the rest is done here.
        stopping_ = true;
        changed_.Set();
    }
    thread_.reset();
    Pump();
    if (Failed()) return false;
    if (current_) {
        Fail(reader_->Name(), current_->name + ": not all of it was read back");
        return false;
    }
    reader_->Close();
    return CheckDirectory(manager);
}

bool TZipVerifier::CheckDirectory(TZipDirManager& manager) {
    const std::string last = volumes_.back();
    const std::int64_t lastDisk = static_cast<std::int64_t>(volumes_.size()) - 1;
    TZipDirArray& dir = manager.Dir();
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
        TFileStream stream(last, platform::FileHandle::OpenReadBack(last));
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
    if (!reader.Open(static_cast<std::int64_t>(startDisk), volume, reason)) {
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
            if (!reader.Open(reader.Disk() + 1, volume, reason)) {
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
                if (!reader.Open(reader.Disk() + 1, volume, reason)) {
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
