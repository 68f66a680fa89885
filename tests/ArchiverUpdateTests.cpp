// Compression and the update engine: what a commit writes, its events, failures and roll-backs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <zlib.h>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStrFunc.h"
#include "platform/Dialogs.h"
#include "platform/Faults.h"
#include "platform/FileSystem.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::TestMachine;
using testing_support::WriteHostFile;
using zip::GetLE16;
using zip::GetLE32;

namespace {

struct Event {
    std::string kind;  // "file" or "overall"
    TZipProgressPhase phase;
    double progress;
};

// A single-file archive C:\u.zip over the files of C:\src, with its events recorded.
class UpdateEngine : public ::testing::Test {
protected:
    void SetUp() override {
        Application.Initialize();
        platform::SetHeadlessOutput(&prompts);
        platform::SetHeadlessAnswers({});
        testing_support::MakeHostDirs(m.OnC("C:\\src"));
        testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
        a.FileName = "C:\\u.zip";
        a.BaseDir = "C:\\src\\";
        a.TempDir = "C:\\tmp\\";
        a.SetCompressionLevel(clMax);
        a.Options().Recurse = false;
        a.FileMasks() = {"C:\\src\\*.*"};
        a.OnFileProgress = [this](TObject*, const std::string&, double p, TZipProcessOperation, TZipProgressPhase ph,
                                  bool& cancel) {
            events.push_back({"file", ph, p});
            if (cancelAt == events.size()) cancel = true;
        };
        a.OnOverallProgress = [this](TObject*, double p, TZipProcessOperation, TZipProgressPhase ph, bool& cancel) {
            events.push_back({"overall", ph, p});
            if (cancelAt == events.size()) cancel = true;
        };
    }
    void TearDown() override {
        platform::SetHeadlessOutput(nullptr);
        platform::SetHeadlessAnswers({});
    }
    std::string Archive() { return testing_support::ReadHostFile(m.OnC("C:\\u.zip")); }
    void Add() {
        // A new archive is created new: the one of an earlier round goes first.
        if (!a.IsOpen()) std::filesystem::remove(m.OnC("C:\\u.zip"));
        a.Open(a.IsOpen() ? a.OpenMode() : 0xFFFF);
        a.AddMatchingFiles();
    }

    TestMachine m;
    TZipArchiver a{nullptr};
    std::vector<Event> events;
    std::size_t cancelAt = 0;
    std::string prompts;
};

}  // namespace

TEST(Crc32, StandardCheckValues) {
    EXPECT_EQ(~zip::Crc32Update(0xFFFFFFFF, "abc", 3), 0x352441C2u);
    EXPECT_EQ(~zip::Crc32Update(0xFFFFFFFF, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(zip::Crc32Update(0x12345678, nullptr, 5), 0x12345678u);
    EXPECT_EQ(zip::Crc32Update(0x12345678, "x", 0), 0x12345678u);
}

// Runs of every length around the ones the register is fed by in wider steps (16 and 64 bytes),
// at every alignment and from any register, give zlib's CRC; so does a long run fed in two parts.
TEST(Crc32, EveryLengthAndAlignmentAgreesWithZlib) {
    const std::string bytes = testing_support::RandomBytes(70000, 11);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto zlib = [&](std::uint32_t reg, std::size_t at, std::size_t n) {
        return ~static_cast<std::uint32_t>(crc32(~reg & 0xFFFFFFFFul, p + at, static_cast<uInt>(n)));
    };
    int wrong = 0;
    for (std::size_t at = 0; at < 17; ++at) {
        for (std::size_t n = 0; n <= 200; ++n) {
            const std::uint32_t reg = 0xFFFFFFFFu - static_cast<std::uint32_t>(at * 977 + n);
            if (zip::Crc32Update(reg, p + at, static_cast<std::int64_t>(n)) != zlib(reg, at, n)) ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0);
    for (const std::size_t n : {4095u, 4096u, 4097u, 65536u, 69999u}) {
        EXPECT_EQ(zip::Crc32Update(0xFFFFFFFF, p + 1, static_cast<std::int64_t>(n)), zlib(0xFFFFFFFF, 1, n)) << n;
        const std::uint32_t half = zip::Crc32Update(0xFFFFFFFF, p, static_cast<std::int64_t>(n / 2));
        EXPECT_EQ(zip::Crc32Update(half, p + n / 2, static_cast<std::int64_t>(n - n / 2)), zlib(0xFFFFFFFF, 0, n)) << n;
    }
}

TEST_F(UpdateEngine, ShortTextIsOneRawDeflateBlock) {
    WriteHostFile(m.OnC("C:\\src\\t.txt"), "0123456789");
    Add();
    a.Close();
    const std::string z = Archive();
    const auto* l = reinterpret_cast<const std::uint8_t*>(z.data());
    const std::uint32_t size = GetLE32(l + 18);
    EXPECT_EQ(GetLE16(l + 8), 8);
    EXPECT_EQ(GetLE32(l + 14), ~zip::Crc32Update(0xFFFFFFFF, "0123456789", 10));
    EXPECT_EQ(testing_support::InflateRaw(z.substr(30 + 5, size)), "0123456789");
    EXPECT_FALSE(a.UpdateRolledBack());
}

TEST_F(UpdateEngine, TwoBlocksWithASyncFlushBetweenAndTheirProgress) {
    const std::size_t size = 1572864 + 1000;
    const std::string content = testing_support::RandomBytes(size, 5);
    WriteHostFile(m.OnC("C:\\src\\big.bin"), content);
    Add();
    a.Close();
    std::vector<double> fileProcess;
    int overallProcess = 0;
    for (const Event& e : events) {
        if (e.kind == "file" && e.phase == ppProcess) fileProcess.push_back(e.progress);
        if (e.kind == "overall" && e.phase == ppProcess) ++overallProcess;
    }
    ASSERT_EQ(fileProcess.size(), 2u);
    EXPECT_EQ(fileProcess[0], 0.0);
    EXPECT_DOUBLE_EQ(fileProcess[1], 1572864.0 / size * 100);
    EXPECT_EQ(overallProcess, 2);
    EXPECT_EQ(events.front().kind, "overall");
    EXPECT_EQ(events.front().phase, ppStart);
    EXPECT_EQ(events.back().phase, ppEnd);
    EXPECT_EQ(events.back().progress, 100.0);
    const std::string z = Archive();
    const std::uint32_t compressed = GetLE32(reinterpret_cast<const std::uint8_t*>(z.data()) + 18);
    const std::string data = z.substr(30 + 7, compressed);
    EXPECT_EQ(testing_support::InflateRaw(data), content);
    // The first block ends with the empty stored block of a sync flush.
    EXPECT_NE(data.find(std::string("\x00\x00\xFF\xFF", 4)), std::string::npos);
    // Byte for byte what zlib gives when called the same way: level 9, a sync flush after each
    // input block of 1,572,864 bytes, the last one finished; the zlib header and trailer cut.
    z_stream zs{};
    ASSERT_EQ(deflateInit(&zs, 9), Z_OK);
    std::string expected(size + size / 10 + 1024, '\0');
    zs.next_out = reinterpret_cast<Bytef*>(expected.data());
    zs.avail_out = static_cast<uInt>(expected.size());
    for (std::size_t at = 0; at < size; at += 1572864) {
        const std::size_t n = std::min<std::size_t>(1572864, size - at);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data() + at));
        zs.avail_in = static_cast<uInt>(n);
        ASSERT_GE(deflate(&zs, at + n < size ? Z_SYNC_FLUSH : Z_FINISH), 0);
    }
    expected.resize(zs.total_out);
    deflateEnd(&zs);
    EXPECT_TRUE(data == expected.substr(2, expected.size() - 6));
}

TEST_F(UpdateEngine, EmptyFileAndFolderHaveNoData) {
    WriteHostFile(m.OnC("C:\\src\\empty.txt"), "");
    testing_support::MakeHostDirs(m.OnC("C:\\src\\dir"));
    Add();
    a.Close();
    int fileEvents = 0;
    for (const Event& e : events) fileEvents += e.kind == "file" ? 1 : 0;
    EXPECT_EQ(fileEvents, 4);  // ppStart and ppEnd of each, nothing in between
    {
        TFileStream file("C:\\u.zip", platform::fmOpenRead);
        TZipDirManager loaded(&file, nullptr, false);
        loaded.LoadDirectory();
        ASSERT_EQ(loaded.Dir().Count(), 2);
        const TDirItem empty = loaded.Dir().GetEntry(0);
        EXPECT_EQ(empty.Name, "empty.txt");
        EXPECT_EQ(empty.Method, 0);
        EXPECT_EQ(empty.Crc32, 0u);
        EXPECT_EQ(empty.CompressedSize, 0u);
        EXPECT_EQ(empty.UncompressedSize, 0u);
        const TDirItem dir = loaded.Dir().GetEntry(1);
        EXPECT_EQ(dir.Name, "dir/");
        EXPECT_EQ(dir.LocalHeaderOffset, 30u + 9);  // right behind the empty file's header: no data between
        EXPECT_EQ(dir.Flags, 2);
    }
    const std::string z = Archive();
    ASSERT_GE(z.size(), 30u);
    EXPECT_EQ(GetLE16(reinterpret_cast<const std::uint8_t*>(z.data()) + 8), 0);  // method 0 in the local header
}

TEST_F(UpdateEngine, NoCompressionMaskStoresTheBytes) {
    const std::string content = "stored as it is, stored as it is";
    WriteHostFile(m.OnC("C:\\src\\s.dat"), content);
    a.NoCompressionMasks() = {"*.dat"};
    Add();
    a.Close();
    const std::string z = Archive();
    EXPECT_EQ(GetLE16(reinterpret_cast<const std::uint8_t*>(z.data()) + 8), 0);
    EXPECT_EQ(z.substr(30 + 5, content.size()), content);
}

TEST_F(UpdateEngine, Zip64AlwaysOnASmallFile) {
    WriteHostFile(m.OnC("C:\\src\\z.txt"), "zip64 please");
    a.Zip64Mode = zmAlways;
    Add();
    const TDirItem item = a.DirManager()->Dir().GetEntry(0);
    EXPECT_TRUE(item.HasZip64);
    EXPECT_EQ(item.CompressedSize, zip::kSentinel32);
    EXPECT_EQ(item.UncompressedSize, zip::kSentinel32);
    EXPECT_EQ(item.Zip64UncompressedSize, 12);
    EXPECT_EQ(item.VersionNeeded, 45);
    a.Close();
    const std::string z = Archive();
    const auto* l = reinterpret_cast<const std::uint8_t*>(z.data());
    EXPECT_EQ(GetLE16(l + 28), 20);  // the local Zip64 block
    EXPECT_EQ(GetLE16(l + 30 + 5), 1);
    EXPECT_EQ(zip::GetLE64(l + 30 + 5 + 4), 12u);
    if (testing_support::HaveTool("unzip")) {
        std::string out;
        EXPECT_EQ(testing_support::RunCommand("unzip -t " + m.OnC("C:\\u.zip"), &out), 0) << out;
    }
}

TEST_F(UpdateEngine, LockedFileRetryIgnoreAndAbort) {
    WriteHostFile(m.OnC("C:\\src\\a.txt"), "aaa");
    WriteHostFile(m.OnC("C:\\src\\b.txt"), "bbb");
    {
        // Retry after the lock is gone succeeds.
        auto lock = std::make_unique<TFileStream>("C:\\src\\a.txt", platform::fmOpenRead | platform::fmShareExclusive);
        int failures = 0;
        a.OnProcessFileFailure = [&](TObject*, const std::string& f, TZipProcessOperation, int native, int code,
                                     const std::string& message, TZipAction& action) {
            EXPECT_EQ(f, "C:\\src\\a.txt");
            EXPECT_EQ(native, 33);
            EXPECT_EQ(code, 12);
            EXPECT_EQ(message, "Cannot open file \"C:\\src\\a.txt\" - Native error: 00033");
            lock.reset();
            action = ++failures == 1 ? fxaRetry : fxaAbort;  // retried once, never without end
        };
        Add();
        EXPECT_EQ(failures, 1);
        a.Close();
        EXPECT_EQ(a.DirManager(), nullptr);
        TFileStream file("C:\\u.zip", platform::fmOpenRead);
        TZipDirManager loaded(&file, nullptr, false);
        loaded.LoadDirectory();
        EXPECT_EQ(loaded.Dir().Count(), 2);
    }
    {
        // Ignore drops the file and writes the others; the default prompt offers it.
        TFileStream lock("C:\\src\\a.txt", platform::fmOpenRead | platform::fmShareExclusive);
        a.OnProcessFileFailure = nullptr;
        platform::SetHeadlessAnswers({"Ignore"});
        Add();
        EXPECT_EQ(a.DirManager()->Dir().Count(), 1);
        EXPECT_EQ(a.DirManager()->Dir().GetEntry(0).Name, "b.txt");
        EXPECT_FALSE(a.UpdateRolledBack());
        a.Close();
        EXPECT_NE(prompts.find("Cannot open file \"C:\\src\\a.txt\" - Native error: 00033. File processing error, "
                               "possibly disk is full\n-> Ignore"),
                  std::string::npos)
            << prompts;
    }
    {
        // Abort leaves the archive as it was before the update.
        const std::string before = Archive();
        TFileStream lock("C:\\src\\a.txt", platform::fmOpenRead | platform::fmShareExclusive);
        platform::SetHeadlessAnswers({"Abort"});
        a.Open(0x0022);
        a.AddMatchingFiles();
        EXPECT_TRUE(a.UpdateRolledBack());
        a.Close();
        EXPECT_EQ(Archive(), before);
    }
}

TEST_F(UpdateEngine, IgnoreOnAFileThatReplacedANewItemDropsOnlyThatItem) {
    // Without folders both files are stored as x.eml: the second replaces the item the first one
    // added in the same update, and then cannot be opened.
    WriteHostFile(m.OnC("C:\\src\\x.eml"), "first");
    WriteHostFile(m.OnC("C:\\src\\y.eml"), "other");
    WriteHostFile(m.OnC("C:\\src\\sub\\x.eml"), "second");
    a.Options().StorePath = spNoPath;
    TFileStream lock("C:\\src\\sub\\x.eml", platform::fmOpenRead | platform::fmShareExclusive);
    a.OnProcessFileFailure = [](TObject*, const std::string&, TZipProcessOperation, int, int, const std::string&,
                                TZipAction& action) { action = fxaIgnore; };
    EXPECT_NO_THROW(Add());
    EXPECT_FALSE(a.UpdateRolledBack());
    a.Close();
    {
        TFileStream file("C:\\u.zip", platform::fmOpenRead);
        TZipDirManager loaded(&file, nullptr, false);
        loaded.LoadDirectory();
        ASSERT_EQ(loaded.Dir().Count(), 2);
        EXPECT_EQ(loaded.Dir().GetEntry(0).Name, "y.eml");
        EXPECT_EQ(loaded.Dir().GetEntry(1).Name, "sub/");
    }
    // An archived item replaced under its name in other letters, then ignored, comes back as it was.
    a.FileMasks() = {"C:\\src\\y.eml"};
    a.OnStoreFile = [](TObject*, std::string& name, std::uint32_t&, std::string&, const std::string&) { name = "Y.EML"; };
    TFileStream lockY("C:\\src\\y.eml", platform::fmOpenRead | platform::fmShareExclusive);
    a.Open(0x0022);
    EXPECT_NO_THROW(a.AddMatchingFiles());
    EXPECT_FALSE(a.UpdateRolledBack());
    a.Close();
    TFileStream again("C:\\u.zip", platform::fmOpenRead);
    TZipDirManager reloaded(&again, nullptr, false);
    reloaded.LoadDirectory();
    ASSERT_EQ(reloaded.Dir().Count(), 2);
    EXPECT_EQ(reloaded.Dir().GetEntry(0).Name, "y.eml");
    EXPECT_EQ(reloaded.Dir().GetEntry(0).UncompressedSize, 5u);
}

TEST_F(UpdateEngine, AFailedRestoreKeepsTheOldTailAndNamesIt) {
    WriteHostFile(m.OnC("C:\\src\\a.txt"), std::string(3000, 'a'));
    WriteHostFile(m.OnC("C:\\src\\b.txt"), std::string(3000, 'b'));
    Add();
    a.Close();
    const std::string before = Archive();
    WriteHostFile(m.OnC("C:\\src\\a.txt"), testing_support::RandomBytes(5000, 3));
    a.FileMasks() = {"C:\\src\\a.txt"};
    a.OnProcessFileFailure = [](TObject*, const std::string&, TZipProcessOperation, int, int, const std::string&,
                                TZipAction& action) { action = fxaAbort; };
    a.Open(0x0022);
    // Every write to the archive fails from the 100th byte on: the new item, then its roll-back.
    platform::faults::FailWritesAfter("C:\\u.zip", 100);
    std::string message;
    try {
        a.AddMatchingFiles();
    } catch (const Exception& e) {
        message = e.Message();
    }
    platform::faults::Clear();
    a.Close();
    const auto kept = testing_support::HostFolderNames(m.OnC("C:\\tmp"));
    ASSERT_EQ(kept.size(), 1u) << message;
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\tmp\\" + kept[0])), before);
    EXPECT_NE(message.find(kept[0]), std::string::npos) << message;
}

TEST_F(UpdateEngine, SourceOf4GiBIsRefusedBeforeAnythingIsWritten) {
    WriteHostFile(m.OnC("C:\\src\\small.txt"), "small");
    {
        // A sparse file takes no room on the disk.
        std::ofstream(m.OnC("C:\\src\\huge.bin"));
        std::filesystem::resize_file(m.OnC("C:\\src\\huge.bin"), 0xFFFFFFFFULL);
    }
    std::vector<int> natives;
    a.OnProcessFileFailure = [&](TObject*, const std::string&, TZipProcessOperation, int native, int, const std::string&,
                                 TZipAction& action) {
        natives.push_back(native);
        action = fxaIgnore;
    };
    Add();
    EXPECT_EQ(natives, std::vector<int>{43});
    ASSERT_EQ(a.DirManager()->Dir().Count(), 1);
    EXPECT_EQ(a.DirManager()->Dir().GetEntry(0).Name, "small.txt");
    EXPECT_EQ(a.DirManager()->Dir().GetEntry(0).LocalHeaderOffset, 0u);  // nothing of the big one was written
    a.Close();
}

TEST_F(UpdateEngine, CancelsFromEveryEventRollBack) {
    WriteHostFile(m.OnC("C:\\src\\a.txt"), std::string(5000, 'a'));
    WriteHostFile(m.OnC("C:\\src\\b.txt"), std::string(5000, 'b'));
    Add();
    a.Close();
    // Before each block the overall progress counts the files done and the part of this one.
    std::vector<double> overall;
    for (const Event& e : events) {
        if (e.kind == "overall" && e.phase == ppProcess) overall.push_back(e.progress);
    }
    EXPECT_EQ(overall, (std::vector<double>{0.0, 50.0}));
    const std::string before = Archive();
    WriteHostFile(m.OnC("C:\\src\\c.txt"), std::string(5000, 'c'));
    // Events of the second update: overall start, then per file start/process/process/end...
    for (std::size_t at = 1; at <= 14; ++at) {
        events.clear();
        cancelAt = at;
        a.Open(0x0022);
        a.AddMatchingFiles();
        EXPECT_TRUE(a.UpdateRolledBack()) << "cancel at event " << at;
        EXPECT_EQ(a.DirManager()->Dir().Count(), 2) << "cancel at event " << at;
        a.Close();
        EXPECT_EQ(Archive(), before) << "cancel at event " << at;
    }
    // A new file behind the old ones alone: no old bytes lie behind the change, so no tail file is
    // kept, and the roll-back cuts the archive back to what it was, also once the file is written.
    a.FileMasks() = {"C:\\src\\c.txt"};
    for (std::size_t at = 1; at <= 6; ++at) {
        events.clear();
        cancelAt = at;
        a.Open(0x0022);
        a.AddMatchingFiles();
        EXPECT_TRUE(a.UpdateRolledBack()) << "appending, cancel at event " << at;
        a.Close();
        EXPECT_EQ(Archive(), before) << "appending, cancel at event " << at;
    }
    cancelAt = 0;
    EXPECT_TRUE(testing_support::HostFolderNames(m.OnC("C:\\tmp")).empty());
}

TEST_F(UpdateEngine, CancelOfTheCopyIntoVolumesRollsBack) {
    WriteHostFile(m.OnC("C:\\src\\a.bin"), testing_support::RandomBytes(150000, 2));
    WriteHostFile(m.OnC("C:\\src\\b.txt"), std::string(1000, 'b'));
    a.SetSpanningMode(smSplitting);
    a.SpanningOptions().VolumeSize = vsCustom;
    a.SpanningOptions().SetCustomVolumeSize(65536);
    a.SpanningOptions().AdvancedNaming = false;
    // Each item's copy reports its start, each chunk and its end: cancel at every one of them.
    std::size_t copyEvents = 0;
    std::size_t cancelCopyAt = 0;
    a.OnCopyTempFileProgress = [&](TObject*, double, TZipProgressPhase, bool& cancel) {
        cancel = ++copyEvents == cancelCopyAt;
    };
    for (cancelCopyAt = 1; cancelCopyAt <= 6; ++cancelCopyAt) {
        copyEvents = 0;
        std::filesystem::remove(m.OnC("C:\\u.zip"));
        for (const char* volume : {"C:\\u.z01", "C:\\u.z02", "C:\\u.z03"}) {
            std::filesystem::remove(m.OnC(volume));  // the volumes a rolled-back round left
        }
        a.OpenDefault();  // a new archive, and a new first update
        a.AddMatchingFiles();
        EXPECT_TRUE(a.UpdateRolledBack()) << "cancel at copy event " << cancelCopyAt;
        EXPECT_EQ(a.DirManager()->Dir().Count(), 0) << "cancel at copy event " << cancelCopyAt;
        a.Close();
        EXPECT_TRUE(testing_support::HostFolderNames(m.OnC("C:\\tmp")).empty());
        // What stays is the end record of an archive without entries.
        const std::string z = Archive();
        ASSERT_GE(z.size(), 22u);
        EXPECT_EQ(GetLE32(reinterpret_cast<const std::uint8_t*>(z.data() + z.size() - 22)), zip::kEndRecordSignature);
        EXPECT_EQ(GetLE16(reinterpret_cast<const std::uint8_t*>(z.data() + z.size() - 22 + 10)), 0);
    }
    EXPECT_EQ(copyEvents, 6u);  // the last round cancelled at the last event of the second item
}

TEST_F(UpdateEngine, UpdateBehindUnchangedItemsKeepsThemByteForByte) {
    WriteHostFile(m.OnC("C:\\src\\a.txt"), std::string(3000, 'a'));
    WriteHostFile(m.OnC("C:\\src\\b.txt"), std::string(3000, 'b'));
    Add();
    a.Close();
    const std::string before = Archive();
    const std::uint32_t secondOffset = [&] {
        TFileStream file("C:\\u.zip", platform::fmOpenRead);
        TZipDirManager loaded(&file, nullptr, false);
        loaded.LoadDirectory();
        return loaded.Dir().GetEntry(1).LocalHeaderOffset;
    }();
    WriteHostFile(m.OnC("C:\\src\\b.txt"), std::string(4000, 'B'));
    a.FileMasks() = {"C:\\src\\b.txt"};
    a.Open(0x0022);
    a.AddMatchingFiles();
    a.Close();
    const std::string after = Archive();
    EXPECT_EQ(after.substr(0, secondOffset), before.substr(0, secondOffset));
    {
        TFileStream file("C:\\u.zip", platform::fmOpenRead);
        TZipDirManager loaded(&file, nullptr, false);
        loaded.LoadDirectory();
        ASSERT_EQ(loaded.Dir().Count(), 2);
        EXPECT_EQ(loaded.Dir().GetEntry(1).UncompressedSize, 4000u);
        EXPECT_EQ(loaded.Dir().GetEntry(1).LocalHeaderOffset, secondOffset);
    }
    // Adding a third file in front of nothing: the old items are copied from the tail unchanged.
    WriteHostFile(m.OnC("C:\\src\\0first.txt"), "first");
    a.FileMasks() = {"C:\\src\\0first.txt"};
    a.Open(0x0022);
    a.AddMatchingFiles();
    a.Close();
    if (testing_support::HaveTool("unzip")) {
        std::string out;
        EXPECT_EQ(testing_support::RunCommand("unzip -t " + m.OnC("C:\\u.zip"), &out), 0) << out;
    }
    EXPECT_TRUE(testing_support::HostFolderNames(m.OnC("C:\\tmp")).empty());
}

TEST_F(UpdateEngine, EntriesOfInfoZipBehindAnUpdatedOneAreCopiedWhole) {
    if (!testing_support::HaveTool("zip") || !testing_support::HaveTool("unzip")) GTEST_SKIP() << "zip and unzip are needed";
    // Written to a file, and streamed through a pipe: then Info-ZIP cannot go back to the local
    // headers and puts a data descriptor ("PK\7\8", CRC, sizes) behind each entry's data instead.
    for (const bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "to a file");
        const std::map<std::string, std::string> contents = {
            {"a.txt", "changed"}, {"b.txt", std::string(3000, 'b')}, {"c.txt", testing_support::RandomBytes(2000, 3)}};
        WriteHostFile(m.OnC("C:\\src\\a.txt"), std::string(5000, 'a'));
        WriteHostFile(m.OnC("C:\\src\\b.txt"), contents.at("b.txt"));
        WriteHostFile(m.OnC("C:\\src\\c.txt"), contents.at("c.txt"));
        std::filesystem::remove(m.OnC("C:\\u.zip"));
        ASSERT_EQ(testing_support::RunCommand("cd " + m.OnC("C:\\src") + " && zip -q " +
                                              (streamed ? "- a.txt b.txt c.txt | cat > ../u.zip" : "../u.zip a.txt b.txt c.txt")),
                  0);
        // Info-ZIP's local headers carry extra fields, which the copies of b.txt and c.txt must
        // take along, with their data descriptors.
        WriteHostFile(m.OnC("C:\\src\\a.txt"), contents.at("a.txt"));
        a.FileMasks() = {"C:\\src\\a.txt"};
        a.Open(0x0022);
        a.AddMatchingFiles();
        a.Close();
        std::string out;
        EXPECT_EQ(testing_support::RunCommand("unzip -tq " + m.OnC("C:\\u.zip"), &out), 0) << out;
        // Each entry whole and the next right behind it: its header, name, extra, data and
        // descriptor, if any, and after the last the central directory.
        const std::string z = Archive();
        TFileStream file("C:\\u.zip", platform::fmOpenRead);
        TZipDirManager loaded(&file, nullptr, false);
        loaded.LoadDirectory();
        ASSERT_EQ(loaded.Dir().Count(), 3);
        for (std::int32_t i = 0; i < 3; ++i) {
            const TDirItem item = loaded.Dir().GetEntry(i);
            const std::int64_t at = item.RealLocalHeaderOffset();
            ASSERT_LE(at + 30, static_cast<std::int64_t>(z.size())) << item.Name;
            const auto* h = reinterpret_cast<const std::uint8_t*>(z.data() + at);
            ASSERT_EQ(GetLE32(h), zip::kLocalHeaderSignature) << item.Name;
            const std::size_t data = static_cast<std::size_t>(at) + 30 + GetLE16(h + 26) + GetLE16(h + 28);
            const std::string raw = z.substr(data, item.CompressedSize);
            EXPECT_TRUE((item.Method == 8 ? testing_support::InflateRaw(raw) : raw) == contents.at(item.Name)) << item.Name;
            std::size_t next = data + item.CompressedSize;
            EXPECT_EQ((GetLE16(h + 6) & 8) != 0, streamed && item.Name != "a.txt") << item.Name;
            if (GetLE16(h + 6) & 8) {
                ASSERT_LE(next + 16, z.size());
                EXPECT_EQ(GetLE32(reinterpret_cast<const std::uint8_t*>(z.data() + next)), zip::kDataDescriptorSignature);
                EXPECT_EQ(GetLE32(reinterpret_cast<const std::uint8_t*>(z.data() + next + 4)), item.Crc32) << item.Name;
                next += 16;
            }
            const std::int64_t following =
                i + 1 < 3 ? loaded.Dir().GetEntry(i + 1).RealLocalHeaderOffset() : loaded.CentralDirectoryOffset();
            EXPECT_EQ(static_cast<std::int64_t>(next), following) << item.Name;
        }
    }
}

TEST_F(UpdateEngine, PasswordEncryptsForInfoZip) {
    if (!testing_support::HaveTool("unzip")) GTEST_SKIP() << "unzip is needed";
    const std::string content = "secret mail " + std::string(2000, 'x');
    WriteHostFile(m.OnC("C:\\src\\secret.txt"), content);
    a.Password = "pa55";
    Add();
    a.Close();
    const std::string z = Archive();
    EXPECT_EQ(GetLE16(reinterpret_cast<const std::uint8_t*>(z.data()) + 6) & 1, 1);
    std::string out;
    EXPECT_EQ(testing_support::RunCommand("unzip -p -P pa55 " + m.OnC("C:\\u.zip") + " secret.txt", &out), 0);
    EXPECT_EQ(out, content);
    EXPECT_NE(testing_support::RunCommand("unzip -t -P wrong " + m.OnC("C:\\u.zip"), &out), 0);
}

TEST_F(UpdateEngine, NamesTooLongAreRefusedNotCut) {
    // Stored names of up to 256 bytes ("C:/src/" and the file's name) and source paths of up to 259
    // characters ("C:\src\" and the name) are taken; one more is refused.
    const struct { TZipStorePathMode storePath; std::size_t length; bool refused; } cases[] = {
        {spFullPathWithDrive, 249, false}, {spFullPathWithDrive, 250, true}, {spNoPath, 252, false}, {spNoPath, 253, true}};
    std::vector<int> natives;
    a.OnProcessFileFailure = [&](TObject*, const std::string&, TZipProcessOperation, int native, int, const std::string&,
                                 TZipAction& action) {
        natives.push_back(native);
        action = fxaIgnore;
    };
    for (const auto& c : cases) {
        const std::string name(c.length, 'n');
        WriteHostFile(m.OnC("C:\\src\\" + name), "x");
        a.FileMasks() = {"C:\\src\\" + name};
        a.Options().StorePath = c.storePath;
        natives.clear();
        Add();
        EXPECT_EQ(natives, c.refused ? std::vector<int>{61} : std::vector<int>{}) << c.length;
        a.Close();
    }
}

TEST_F(UpdateEngine, ASelfExtractorStubStaysInFrontOfTheEntries) {
    WriteHostFile(m.OnC("C:\\stub.exe"), std::string(5000, 'S'));
    WriteHostFile(m.OnC("C:\\src\\t.txt"), "text");
    a.SFXStub = "C:\\stub.exe";
    Add();
    a.Close();
    const std::string z = Archive();
    ASSERT_GT(z.size(), 5004u);
    EXPECT_EQ(z.substr(0, 5000), std::string(5000, 'S'));
    EXPECT_EQ(GetLE32(reinterpret_cast<const std::uint8_t*>(z.data() + 5000)), zip::kLocalHeaderSignature);
}

TEST_F(UpdateEngine, SplitCommitLeavesNoTemporaryFiles) {
    WriteHostFile(m.OnC("C:\\src\\a.bin"), testing_support::RandomBytes(150000, 2));
    WriteHostFile(m.OnC("C:\\src\\b.txt"), std::string(100000, 'b'));
    a.SetSpanningMode(smSplitting);
    a.SpanningOptions().VolumeSize = vsCustom;
    a.SpanningOptions().SetCustomVolumeSize(65536);
    a.SpanningOptions().AdvancedNaming = false;
    Add();
    a.Close();
    EXPECT_TRUE(testing_support::HostFolderNames(m.OnC("C:\\tmp")).empty());
    // Every entry records the volume that holds its local header and the header's place in it.
    std::vector<std::string> written;
    for (const std::string& name : testing_support::HostFolderNames(m.OnC("C:\\"))) {
        if (name.rfind("u.", 0) == 0) written.push_back(name);
    }
    EXPECT_EQ(written, (std::vector<std::string>{"u.z01", "u.z02", "u.zip"}));
    const std::string last = Archive();
    ASSERT_GE(last.size(), 22u);
    const auto* end = reinterpret_cast<const std::uint8_t*>(last.data() + last.size() - 22);
    const std::uint16_t startDisk = GetLE16(end + 6);
    const std::uint32_t offset = GetLE32(end + 16);
    char volume[16];
    std::snprintf(volume, sizeof volume, "z%02u", static_cast<unsigned>(startDisk + 1));
    const std::string holder = startDisk == GetLE16(end + 4) ? last : testing_support::ReadHostFile(m.OnC(std::string("C:\\u.") + volume));
    ASSERT_LE(offset + 46u, holder.size());  // read from the file: checked before it is used
    const auto* c = reinterpret_cast<const std::uint8_t*>(holder.data() + offset);
    ASSERT_EQ(GetLE32(c), zip::kCentralHeaderSignature);
    EXPECT_EQ(GetLE16(c + 34), 0);  // a.bin starts on the first volume
    EXPECT_EQ(GetLE32(c + 42), 0u);
}

TEST_F(UpdateEngine, DiskFillingUpRollsBackWithoutAPrompt) {
    SKIP_ON_WINDOWS("needs a second drive of the Linux machine folder for the temporary files");
    WriteHostFile(m.OnC("C:\\src\\a.bin"), testing_support::RandomBytes(300000, 2));
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    a.FileName = "C:\\out\\u.zip";
    a.SetSpanningMode(smSplitting);
    a.SpanningOptions().VolumeSize = vsCustom;
    a.SpanningOptions().SetCustomVolumeSize(100000);
    m.AddDrive('d');
    a.TempDir = "D:\\";
    platform::faults::SimulateDisk("C:\\", 180000);
    Add();
    EXPECT_TRUE(a.UpdateRolledBack());
    EXPECT_EQ(a.DirManager()->Dir().Count(), 0);
    a.Close();
    EXPECT_EQ(prompts, "");  // a cancelled volume request aborts without asking
}
