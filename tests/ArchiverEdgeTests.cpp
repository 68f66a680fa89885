// Archives opened again after they were written (behind a self-extractor stub, split into volumes),
// and the sizes at which the writer changes its ways: exactly at a limit, one below and one above.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStrFunc.h"
#include "platform/CodePage.h"
#include "platform/Faults.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::TestMachine;
using testing_support::WriteHostFile;
using zip::GetLE16;
using zip::GetLE32;

namespace {

const std::uint8_t* At(const std::string& s, std::int64_t offset) {
    return reinterpret_cast<const std::uint8_t*>(s.data() + offset);
}

// Text that deflate shrinks quickly but not to nothing.
std::string Compressible(std::size_t size, std::uint32_t seed) {
    const std::string chunk = testing_support::RandomBytes(997, seed);
    std::string out;
    out.reserve(size + chunk.size());
    while (out.size() < size) out += chunk;
    out.resize(size);
    return out;
}

// The data of the entry whose local header stands at offset of bytes, after checking that header
// against the entry: its signature and its name. Empty data when the header is not there.
std::string EntryData(const std::string& bytes, std::int64_t offset, const TDirItem& item) {
    if (offset < 0 || offset + 30 > static_cast<std::int64_t>(bytes.size())) return "<no header>";
    const std::uint8_t* h = At(bytes, offset);
    if (GetLE32(h) != zip::kLocalHeaderSignature) return "<no header>";
    const std::string name = bytes.substr(static_cast<std::size_t>(offset) + 30, GetLE16(h + 26));
    if (platform::OemToAnsi(name) != item.Name) return "<header of " + name + ">";
    const std::size_t data = static_cast<std::size_t>(offset) + 30 + GetLE16(h + 26) + GetLE16(h + 28);
    const std::string raw = bytes.substr(data, static_cast<std::size_t>(item.RealCompressedSize()));
    return item.Method == 8 ? testing_support::InflateRaw(raw) : raw;
}

// The host file of a folder whose name, in any case, is name.
std::string HostFileNamed(const std::string& folder, const std::string& name) {
    for (const std::string& n : testing_support::HostFolderNames(folder)) {
        if (zip::AsciiLower(n) == zip::AsciiLower(name)) return folder + "/" + n;
    }
    return folder + "/" + name + ".missing";
}

// A stream that stands at a given size without holding the bytes before it: they read as zeros.
// It lets the directory writer work at positions around 4 GiB.
class FarStream : public TStream {
public:
    explicit FarStream(std::int64_t base) : base_(base), position_(base) {}
    std::int64_t Read(void* buffer, std::int64_t count) override {
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::int64_t n = 0;
        for (; n < count && position_ < Size(); ++n, ++position_) {
            out[n] = position_ < base_ ? 0 : tail_[static_cast<std::size_t>(position_ - base_)];
        }
        return n;
    }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        if (position_ < base_) return 0;
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        const auto at = static_cast<std::size_t>(position_ - base_);
        if (tail_.size() < at + static_cast<std::size_t>(count)) tail_.resize(at + static_cast<std::size_t>(count));
        std::copy(in, in + count, tail_.begin() + static_cast<std::ptrdiff_t>(at));
        position_ += count;
        return count;
    }
    std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override {
        if (origin == platform::SeekOrigin::Current) position_ += offset;
        else if (origin == platform::SeekOrigin::End) position_ = Size() + offset;
        else position_ = offset;
        return position_;
    }
    void SetSize(std::int64_t size) override {
        tail_.resize(static_cast<std::size_t>(std::max<std::int64_t>(size - base_, 0)));
        position_ = std::min(position_, size);
    }
    std::int64_t Size() override { return base_ + static_cast<std::int64_t>(tail_.size()); }
    const std::vector<std::uint8_t>& Tail() const { return tail_; }

private:
    std::int64_t base_;
    std::int64_t position_;
    std::vector<std::uint8_t> tail_;
};

// Packs what C:\src holds, stored (level 0), into the job's volumes C:\out\Kelmail.*.
void PackStoredIntoJobVolumes() {
    auto a = testing_support::MakeJobArchiver();
    a->SetCompressionMode(0);
    a->FileName = "C:\\out\\Kelmail.zip";
    a->BaseDir = "C:\\src\\";
    a->FileMasks() = {"C:\\src\\*.*"};
    a->Open(0xFFFF);
    a->AddMatchingFiles();
    a->Close();
}

}  // namespace

// The compression block of each level: a file of exactly one block is compressed in one, one byte
// more takes a second; either way the data comes back whole.
TEST(Boundaries, CompressionBlocksOfEachLevelAtTheirSize) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    const struct {
        std::uint8_t level;
        std::size_t size;
        int blocks;
    } cases[] = {
        {1, 524288, 1},  {1, 524289, 2},  {3, 524288, 1},  {3, 524289, 2},  {4, 1048576, 1},
        {4, 1048577, 2}, {6, 1048577, 2}, {7, 1572864, 1}, {9, 1572863, 1}, {9, 1572864, 1},
        {9, 1572865, 2}, {0, 1048576, 1}, {0, 1048577, 2}, {9, 3145729, 3},
    };
    int serial = 0;
    for (const auto& c : cases) {
        const std::string content = Compressible(c.size, c.level + 1u);
        const std::string dir = "C:\\src" + std::to_string(++serial);
        WriteHostFile(m.OnC(dir + "\\f.bin"), content);
        TZipArchiver a(nullptr);
        a.FileName = "C:\\out\\b" + std::to_string(serial) + ".zip";
        a.SetCompressionMode(c.level);
        a.FileMasks() = {dir + "\\*.*"};
        int blocks = 0;
        a.OnFileProgress = [&](TObject*, const std::string&, double, TZipProcessOperation, TZipProgressPhase phase,
                               bool&) { blocks += phase == ppProcess; };
        a.Open(0xFFFF);
        a.AddMatchingFiles();
        a.Close();
        EXPECT_EQ(blocks, c.blocks) << "level " << int{c.level} << ", " << c.size << " bytes";
        const std::string z = testing_support::ReadHostFile(m.OnC(a.FileName));
        ASSERT_GE(z.size(), 30u);
        TDirItem item;
        item.Name = z.substr(30, GetLE16(At(z, 26)));
        EXPECT_EQ(zip::NamePart(zip::ReplaceChar(item.Name, '/', '\\')), "f.bin");
        item.Method = GetLE16(At(z, 8));
        item.CompressedSize = GetLE32(At(z, 18));
        EXPECT_EQ(item.Method, c.level == 0 ? 0 : 8);
        EXPECT_TRUE(EntryData(z, 0, item) == content) << "level " << int{c.level} << ", " << c.size << " bytes";
    }
}

// Where the central directory begins decides between the 32-bit fields and the Zip64 records: a
// position of 0xFFFFFFFF no longer fits, one less still does.
TEST(Boundaries, DirectoryPositionsAroundTheFourGigabyteMark) {
    const struct {
        std::int64_t at;
        bool zip64;
    } cases[] = {{0xFFFFFFFELL, false}, {0xFFFFFFFFLL, true}, {0x100000000LL, true}};
    for (const auto& c : cases) {
        FarStream stream(c.at);
        {
            TZipDirManager manager(&stream, nullptr, true);
            manager.SaveDirectory();
            EXPECT_EQ(manager.IsZip64, c.zip64) << std::hex << c.at;
        }
        const std::string tail(stream.Tail().begin(), stream.Tail().end());
        ASSERT_EQ(tail.size(), c.zip64 ? 56u + 20 + 22 : 22u) << std::hex << c.at;
        const std::uint8_t* end = At(tail, static_cast<std::int64_t>(tail.size()) - 22);
        EXPECT_EQ(GetLE32(end), zip::kEndRecordSignature);
        EXPECT_EQ(GetLE32(end + 16), static_cast<std::uint32_t>(std::min<std::int64_t>(c.at, 0xFFFFFFFFLL)))
            << std::hex << c.at;
        if (c.zip64) {
            EXPECT_EQ(GetLE32(At(tail, 0)), zip::kZip64EndRecordSignature);
            EXPECT_EQ(zip::GetLE64(At(tail, 48)), static_cast<std::uint64_t>(c.at));
            EXPECT_EQ(zip::GetLE64(At(tail, 56 + 8)), static_cast<std::uint64_t>(c.at));  // the locator
        }
        TZipDirManager loaded(&stream, nullptr, false);
        loaded.LoadDirectory();
        EXPECT_EQ(loaded.IsZip64, c.zip64);
        EXPECT_EQ(loaded.Dir().Count(), 0);
    }
}

// Every combination of fields that hold their sentinel gets exactly those values in the central
// Zip64 block, in their fixed order, and reads back the same; the disk number, last and only four
// bytes long, included.
TEST(Boundaries, CentralZip64BlockOfEveryCombinationOfFields) {
    for (int mask = 0; mask < 16; ++mask) {
        zip::CentralFileHeader head;
        head.UncompressedSize = (mask & 1) ? zip::kSentinel32 : 0xFFFFFFFEu;
        head.CompressedSize = (mask & 2) ? zip::kSentinel32 : 0xFFFFFFFEu;
        head.LocalHeaderOffset = (mask & 4) ? zip::kSentinel32 : 0xFFFFFFFEu;
        head.DiskNumberStart = (mask & 8) ? zip::kSentinel16 : 0xFFFE;
        const zip::Zip64Values values{0x1111111111LL, 0x2222222222LL, 0x3333333333LL, 0x4444};
        const std::vector<std::uint8_t> block = zip::EncodeCentralZip64(head, values);
        const std::size_t data = 8u * (((mask & 1) != 0) + ((mask & 2) != 0) + ((mask & 4) != 0)) + 4u * ((mask & 8) != 0);
        if (mask == 0) {
            EXPECT_TRUE(block.empty());
            continue;
        }
        ASSERT_EQ(block.size(), 4 + data) << mask;
        EXPECT_EQ(GetLE16(block.data()), 1);
        EXPECT_EQ(GetLE16(block.data() + 2), data);
        std::size_t pos = 4;
        for (int bit = 0; bit < 3; ++bit) {
            if (!(mask & (1 << bit))) continue;
            const std::int64_t expected[] = {values.UncompressedSize, values.CompressedSize, values.LocalHeaderOffset};
            EXPECT_EQ(zip::GetLE64(block.data() + pos), static_cast<std::uint64_t>(expected[bit])) << mask;
            pos += 8;
        }
        if (mask & 8) {
            EXPECT_EQ(GetLE32(block.data() + pos), 0x4444u) << mask;
        }
        zip::Zip64Values back{};
        zip::DecodeCentralZip64(head, block.data() + 4, block.size() - 4, back);
        EXPECT_EQ(back.UncompressedSize, (mask & 1) ? values.UncompressedSize : 0) << mask;
        EXPECT_EQ(back.CompressedSize, (mask & 2) ? values.CompressedSize : 0) << mask;
        EXPECT_EQ(back.LocalHeaderOffset, (mask & 4) ? values.LocalHeaderOffset : 0) << mask;
        EXPECT_EQ(back.DiskNumberStart, (mask & 8) ? 0x4444u : 0u) << mask;
    }
}

// A self-extractor written, closed, opened again: the stub is found in front, every entry where
// the directory says, and an update adds behind them while the stub and the old entries stay.
TEST(Reopened, ASelfExtractorIsReadAndUpdated) {
    TestMachine m;
    const std::string stub = "MZ" + std::string(4998, 'S');
    WriteHostFile(m.OnC("C:\\stub.exe"), stub);
    std::map<std::string, std::string> contents = {{"a.txt", Compressible(30000, 1)}, {"b.bin", "tiny"}};
    for (const auto& [name, data] : contents) WriteHostFile(m.OnC("C:\\src\\" + name), data);
    {
        TZipArchiver a(nullptr);
        a.FileName = "C:\\out\\setup.exe";
        a.SFXStub = "C:\\stub.exe";
        a.Options().StorePath = spNoPath;
        a.SetCompressionLevel(clMax);
        a.FileMasks() = {"C:\\src\\*.*"};
        testing_support::MakeHostDirs(m.OnC("C:\\out"));
        a.Open(0xFFFF);
        a.AddMatchingFiles();
        a.Close();
    }
    contents["c.txt"] = Compressible(5000, 3);
    WriteHostFile(m.OnC("C:\\more\\c.txt"), contents["c.txt"]);
    for (int round = 0; round < 2; ++round) {
        TZipArchiver b(nullptr);
        b.FileName = "C:\\out\\setup.exe";
        b.Options().StorePath = spNoPath;
        b.OpenDefault();
        ASSERT_NE(b.DirManager(), nullptr);
        EXPECT_EQ(b.DirManager()->PrefixSize, 5000) << round;
        const std::string z = testing_support::ReadHostFile(m.OnC("C:\\out\\setup.exe"));
        EXPECT_EQ(z.substr(0, 5000), stub);
        TZipDirArray& dir = b.DirManager()->Dir();
        ASSERT_EQ(dir.Count(), round == 0 ? 2 : 3);
        for (std::int32_t i = 0; i < dir.Count(); ++i) {
            const TDirItem item = dir.GetEntry(i);
            EXPECT_GE(item.RealLocalHeaderOffset(), 5000) << item.Name;
            EXPECT_TRUE(EntryData(z, item.RealLocalHeaderOffset(), item) == contents[item.Name]) << item.Name;
        }
        if (round == 0) {
            b.FileMasks() = {"C:\\more\\*.*"};
            b.AddMatchingFiles();
            EXPECT_FALSE(b.UpdateRolledBack());
        }
        b.Close();
    }
    if (testing_support::HaveTool("unzip")) {
        std::string log;
        EXPECT_EQ(testing_support::RunCommand("unzip -tq " + m.OnC("C:\\out\\setup.exe"), &log), 0) << log;
    }
}

// A self-extractor without entries is its stub and an end record: opened again, the stub is still
// found in front (not taken for a damaged start), and files added go in behind it.
TEST(Reopened, AnEmptySelfExtractorKeepsItsStubWhenFilesAreAdded) {
    TestMachine m;
    const std::string stub = "MZ" + testing_support::RandomBytes(1998, 5);
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    const std::string content = Compressible(20000, 6);
    WriteHostFile(m.OnC("C:\\src\\a.txt"), content);
    std::string end(22, '\0');
    end[0] = 'P', end[1] = 'K', end[2] = 5, end[3] = 6;
    WriteHostFile(m.OnC("C:\\out\\empty.exe"), stub + end);
    {
        TZipArchiver b(nullptr);
        b.FileName = "C:\\out\\empty.exe";
        b.Options().StorePath = spNoPath;
        b.OpenDefault();
        ASSERT_NE(b.DirManager(), nullptr);
        EXPECT_EQ(b.DirManager()->PrefixSize, 2000);
        EXPECT_EQ(b.DirManager()->Dir().Count(), 0);
        b.FileMasks() = {"C:\\src\\*.*"};
        b.AddMatchingFiles();
        EXPECT_FALSE(b.UpdateRolledBack());
        b.Close();
    }
    const std::string z = testing_support::ReadHostFile(m.OnC("C:\\out\\empty.exe"));
    EXPECT_EQ(z.substr(0, stub.size()), stub);
    TZipArchiver c(nullptr);
    c.FileName = "C:\\out\\empty.exe";
    c.OpenDefault();
    EXPECT_EQ(c.DirManager()->PrefixSize, 2000);
    ASSERT_EQ(c.DirManager()->Dir().Count(), 1);
    const TDirItem item = c.DirManager()->Dir().GetEntry(0);
    EXPECT_EQ(item.RealLocalHeaderOffset(), 2000);
    EXPECT_TRUE(EntryData(z, item.RealLocalHeaderOffset(), item) == content);
    c.Close();
}

// A new self-extractor closed without entries is its stub and an empty archive behind it, which
// opens again (not the stub alone, which no reader takes for an archive).
TEST(Reopened, ANewSelfExtractorClosedWithoutEntriesOpensAgain) {
    TestMachine m;
    const std::string stub = "MZ" + testing_support::RandomBytes(1998, 7);
    WriteHostFile(m.OnC("C:\\stub.exe"), stub);
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    {
        TZipArchiver b(nullptr);
        b.FileName = "C:\\out\\new.exe";
        b.SFXStub = "C:\\stub.exe";
        b.Open(0xFFFF);
        b.Close();
    }
    std::string end(22, '\0');
    end[0] = 'P', end[1] = 'K', end[2] = 5, end[3] = 6;
    end[16] = static_cast<char>(0xD0), end[17] = 0x07;  // the directory, empty, starts behind the stub
    EXPECT_TRUE(testing_support::ReadHostFile(m.OnC("C:\\out\\new.exe")) == stub + end);
    TZipArchiver c(nullptr);
    c.FileName = "C:\\out\\new.exe";
    EXPECT_NO_THROW(c.OpenDefault());
    ASSERT_NE(c.DirManager(), nullptr);
    EXPECT_EQ(c.DirManager()->PrefixSize, 2000);
    EXPECT_EQ(c.DirManager()->Dir().Count(), 0);
}

// A split archive, with and without a self-extractor stub on its first volume, opened again by
// either name: the volumes are found, and every entry's header and data are where the directory
// read back from them says (volume number and offset in that volume).
TEST(Reopened, ASplitArchiveIsFoundAndReadBackEntryByEntry) {
    for (const bool sfx : {false, true}) {
        TestMachine m;
        const std::string stub = "MZ" + std::string(2998, 'S');
        WriteHostFile(m.OnC("C:\\stub.exe"), stub);
        std::map<std::string, std::string> contents;
        const std::size_t sizes[] = {100000, 30000, 90000, 1, 0, 65536};
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            const std::string name = "file" + std::to_string(i) + ".bin";
            contents[name] = i % 2 ? Compressible(sizes[i], 7) : testing_support::RandomBytes(sizes[i], 9 + i);
            WriteHostFile(m.OnC("C:\\src\\" + name), contents[name]);
        }
        testing_support::MakeHostDirs(m.OnC("C:\\out"));
        {
            auto a = testing_support::MakeJobArchiver(65536);
            a->FileName = sfx ? "C:\\out\\Kelmail.exe" : "C:\\out\\Kelmail.zip";
            if (sfx) a->SFXStub = "C:\\stub.exe";
            a->BaseDir = "C:\\src\\";
            a->FileMasks() = {"C:\\src\\*.*"};
            a->Open(0xFFFF);
            a->AddMatchingFiles();
            a->Close();
        }
        const std::string out = m.OnC("C:\\out");
        std::vector<std::string> names = testing_support::HostFolderNames(out);
        for (std::string& n : names) n = zip::AsciiLower(n);
        std::sort(names.begin(), names.end());
        ASSERT_GE(names.size(), 3u) << testing::PrintToString(names);
        // The first volume of a self-extractor is the .exe with the stub in front, the last the .zip.
        const std::string first = sfx ? "kelmail.exe" : "kelmail.z01";
        EXPECT_NE(std::find(names.begin(), names.end(), first), names.end()) << sfx;
        EXPECT_NE(std::find(names.begin(), names.end(), "kelmail.zip"), names.end()) << sfx;
        if (sfx) {
            EXPECT_EQ(testing_support::ReadHostFile(HostFileNamed(out, "kelmail.exe")).substr(0, 3000), stub);
        }
        std::vector<std::string> volumes;
        for (std::size_t v = 0; v + 1 < names.size(); ++v) {
            char ext[32];
            std::snprintf(ext, sizeof ext, "z%02zu", v + 1);
            volumes.push_back(HostFileNamed(out, v == 0 && sfx ? "kelmail.exe" : std::string("kelmail.") + ext));
        }
        volumes.push_back(HostFileNamed(out, "kelmail.zip"));
        std::vector<std::string> bytes;
        for (const std::string& v : volumes) bytes.push_back(testing_support::ReadHostFile(v));
        for (const std::string& by : {std::string("C:\\out\\Kelmail.zip"), std::string("C:\\out\\Kelmail.exe")}) {
            if (!sfx && by.back() == 'e') continue;
            TZipArchiver reader(nullptr);
            reader.FileName = by;
            reader.OpenDefault();
            EXPECT_EQ(reader.SpanningMode(), smSplitting) << by;
            TZipDirArray& dir = reader.DirManager()->Dir();
            ASSERT_EQ(dir.Count(), static_cast<std::int32_t>(contents.size())) << by;
            for (std::int32_t i = 0; i < dir.Count(); ++i) {
                const TDirItem item = dir.GetEntry(i);
                ASSERT_LT(item.DiskNumberStart, bytes.size()) << item.Name;
                // The data may run on into the volumes after the header's.
                std::string from;
                for (std::size_t v = item.DiskNumberStart; v < bytes.size(); ++v) from += bytes[v];
                EXPECT_TRUE(EntryData(from, item.RealLocalHeaderOffset(), item) == contents[item.Name])
                    << by << ": " << item.Name << " on volume " << item.DiskNumberStart << " at "
                    << item.RealLocalHeaderOffset();
            }
            reader.Close();
        }
    }
}

// The job's volume of 2,097,152 bytes: one stored file whose header and data end one byte before
// the limit, exactly at it, and one byte past it.
TEST(Boundaries, TheJobsVolumeFilledToOneByteBelowExactlyAndOneAbove) {
    constexpr std::int64_t kVolume = 2097152;
    constexpr std::int64_t kHeader = 30 + 9;  // the local header and the name "file0.bin"
    for (const std::int64_t over : {-1, 0, 1}) {
        TestMachine m;
        testing_support::MakeHostDirs(m.OnC("C:\\out"));
        const std::string content = Compressible(static_cast<std::size_t>(kVolume - kHeader + over), 4);
        WriteHostFile(m.OnC("C:\\src\\file0.bin"), content);
        PackStoredIntoJobVolumes();
        const std::string out = m.OnC("C:\\out");
        const std::string first = testing_support::ReadHostFile(HostFileNamed(out, "kelmail.z01"));
        const std::string last = testing_support::ReadHostFile(HostFileNamed(out, "kelmail.zip"));
        EXPECT_EQ(testing_support::HostFolderNames(out).size(), 2u) << over;
        EXPECT_EQ(static_cast<std::int64_t>(first.size()), std::min(kVolume, kVolume + over)) << over;
        // The central header never starts in the one byte left; the byte past the limit opens the
        // last volume.
        ASSERT_GE(last.size(), 4u);
        EXPECT_EQ(GetLE32(At(last, over == 1 ? 1 : 0)), zip::kCentralHeaderSignature) << over;
        EXPECT_TRUE((first + last).substr(static_cast<std::size_t>(kHeader), content.size()) == content) << over;
    }
}

// The central header of the job's one file (46 bytes and its name of 9) at the end of the job's
// volume: with one byte to spare and with exactly its room it stays there, with the end record
// behind it on the same, last, volume; one byte short, it goes whole to the next volume. Each
// archive opens again with its entry.
TEST(Boundaries, TheCentralHeaderAndItsNameInTheRoomLeftOnAVolume) {
    constexpr std::int64_t kVolume = 2097152;
    constexpr std::int64_t kLocal = 30 + 9;     // the local header and the name "file0.bin"
    constexpr std::int64_t kCentral = 46 + 9;
    for (const std::int64_t room : {kCentral + 1, kCentral, kCentral - 1}) {
        TestMachine m;
        testing_support::MakeHostDirs(m.OnC("C:\\out"));
        const std::string content = Compressible(static_cast<std::size_t>(kVolume - kLocal - room), 8);
        WriteHostFile(m.OnC("C:\\src\\file0.bin"), content);
        PackStoredIntoJobVolumes();
        const std::string out = m.OnC("C:\\out");
        const bool fits = room >= kCentral;
        EXPECT_EQ(testing_support::HostFolderNames(out).size(), fits ? 1u : 2u) << room;
        const std::string last = testing_support::ReadHostFile(HostFileNamed(out, "kelmail.zip"));
        if (fits) {
            EXPECT_EQ(static_cast<std::int64_t>(last.size()), kVolume - room + kCentral + 22) << room;
        } else {
            EXPECT_EQ(testing_support::HostFileSize(HostFileNamed(out, "kelmail.z01")), kVolume - room);
            EXPECT_EQ(static_cast<std::int64_t>(last.size()), kCentral + 22) << room;
        }
        ASSERT_GE(last.size(), static_cast<std::size_t>(kCentral + 22));
        EXPECT_EQ(GetLE32(At(last, static_cast<std::int64_t>(last.size()) - kCentral - 22)), zip::kCentralHeaderSignature)
            << room;
        TZipArchiver reader(nullptr);
        reader.FileName = "C:\\out\\Kelmail.zip";
        reader.OpenDefault();
        ASSERT_NE(reader.DirManager(), nullptr);
        ASSERT_EQ(reader.DirManager()->Dir().Count(), 1) << room;
        EXPECT_EQ(reader.DirManager()->Dir().GetEntry(0).Name, "file0.bin");
        EXPECT_EQ(reader.DirManager()->Dir().GetEntry(0).UncompressedSize, content.size());
        reader.Close();
    }
}

// A disk of a spanned archive is taken when its free space holds a whole volume: one byte less
// and the user is told the disk is full; exactly the volume's size, or more, and it is written.
TEST(Boundaries, ASpannedDiskWithRoomForAVolumeLessOneExactlyAndOneMore) {
    SKIP_ON_WINDOWS("needs a removable drive of the Linux machine folder");
    constexpr std::int64_t kVolume = 100000;
    for (const std::int64_t free : {kVolume - 1, kVolume, kVolume + 1}) {
        TestMachine m;
        m.AddDrive('r', true);
        platform::faults::SimulateDisk("R:\\", free);
        TZipArchiver z(nullptr);
        z.SetSpanningMode(smSpanning);
        z.SpanningOptions().VolumeSize = vsCustom;
        z.SpanningOptions().SetCustomVolumeSize(kVolume);
        z.FileName = "R:\\k.zip";
        z.OnRequestBlankVolume = [](TObject*, int, std::string&, bool&) {};
        int diskFull = 0;
        z.OnDiskFull = [&](TObject*, int, const std::string&, bool& cancel) {
            ++diskFull;
            cancel = true;
        };
        int native = 0;
        try {
            z.Open(0xFFFF);
            z.Close();
        } catch (const EZipException& e) {
            native = e.NativeError();
        }
        platform::faults::Clear();
        EXPECT_EQ(diskFull, free < kVolume ? 1 : 0) << free;
        EXPECT_EQ(native, free < kVolume ? 45 : 0) << free;
    }
}
