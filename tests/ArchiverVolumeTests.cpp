// Split volumes: limits, names, requests, where each block lands, and the default prompts.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStrFunc.h"
#include "platform/Dialogs.h"
#include "platform/Faults.h"
#include "platform/FileSystem.h"
#include "platform/Format.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::MakeJobArchiver;
using testing_support::TestMachine;
using zip::GetLE16;
using zip::GetLE32;

namespace {

constexpr std::int64_t kSmallVolume = 65536;

// Writes files of the given sizes (random bytes) into C:\src and archives them stored (level 0) in
// split volumes of volumeSize; returns the volume names requested.
std::vector<std::string> WriteStoredArchive(TZipArchiver& a, const std::vector<std::size_t>& sizes, TestMachine& m,
                                            std::int64_t volumeSize = kSmallVolume) {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        testing_support::WriteHostFile(m.OnC("C:\\src\\file" + std::to_string(i) + ".bin"),
                                       testing_support::RandomBytes(sizes[i], static_cast<std::uint32_t>(i + 1)));
    }
    std::vector<std::string> requested;
    a.SpanningOptions().SetCustomVolumeSize(volumeSize);
    a.SetCompressionMode(0);
    a.OnRequestBlankVolume = [&](TObject*, int n, std::string& name, bool& cancel) {
        EXPECT_EQ(n, static_cast<int>(requested.size()) + 1);
        requested.push_back(name);
        cancel = requested.size() > 100;  // a writer asking for volumes without end fails here
    };
    a.FileName = "C:\\out\\Kelmail.zip";
    a.BaseDir = "C:\\src\\";
    a.FileMasks() = {"C:\\src\\*.*"};
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    a.Open(0xFFFF);
    a.AddMatchingFiles();
    a.Close();
    return requested;
}

std::vector<std::string> VolumePaths(TestMachine& m, std::size_t count) {
    std::vector<std::string> paths;
    for (std::size_t i = 1; i < count; ++i) {
        char ext[32];
        std::snprintf(ext, sizeof ext, "z%02zu", i);
        paths.push_back(m.OnC(std::string("C:\\out\\Kelmail.") + ext));
    }
    paths.push_back(m.OnC("C:\\out\\Kelmail.zip"));
    return paths;
}

// Checks that no local header block and no central header's fixed part, name and extra field
// straddles two volumes.
void ExpectNoHeaderStraddles(const std::vector<std::string>& volumes) {
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        const std::string bytes = testing_support::ReadHostFile(volumes[v]);
        for (std::size_t p = 0; p + 4 <= bytes.size(); ++p) {
            const std::uint32_t sig = GetLE32(reinterpret_cast<const std::uint8_t*>(bytes.data() + p));
            if (sig == zip::kLocalHeaderSignature) {
                ASSERT_LE(p + 30, bytes.size()) << "local header cut at volume " << v;
                const auto* h = reinterpret_cast<const std::uint8_t*>(bytes.data() + p);
                EXPECT_LE(p + 30 + GetLE16(h + 26) + GetLE16(h + 28), bytes.size()) << "volume " << v;
            } else if (sig == zip::kCentralHeaderSignature) {
                ASSERT_LE(p + 46, bytes.size()) << "central header cut at volume " << v;
                const auto* h = reinterpret_cast<const std::uint8_t*>(bytes.data() + p);
                EXPECT_LE(p + 46 + GetLE16(h + 28) + GetLE16(h + 30), bytes.size()) << "volume " << v;
            }
        }
    }
}

}  // namespace

TEST(VolumeNumbers, RolesAndSameVolume) {
    TZipVolumeNumberInfo a;
    EXPECT_EQ(a.Number, -1);
    EXPECT_FALSE(a.IsFirst());
    EXPECT_FALSE(a.IsLast());  // neither its number nor the last one is known
    a.SetIsFirst(true);
    EXPECT_TRUE(a.IsFirst());
    EXPECT_EQ(a.Role, vrFirst);
    TZipVolumeNumberInfo last;
    last.SetIsLast(true);
    EXPECT_TRUE(last.IsLast());
    EXPECT_FALSE(a.SameVolumeAs(last));
    last.LastNumber = 4;
    last.SetNumber(4);
    EXPECT_TRUE(last.IsLast());
    TZipVolumeNumberInfo b;
    b.SetNumber(4);
    EXPECT_TRUE(b.SameVolumeAs(b));
    TZipVolumeNumberInfo c;
    c.SetNumber(5);
    EXPECT_FALSE(b.SameVolumeAs(c));
    TZipVolumeNumberInfo unknown1, unknown2;
    EXPECT_TRUE(unknown1.SameVolumeAs(unknown2));
}

TEST(VolumeLimits, TableAndFirstVolume) {
    TZipSpanningOptions o;
    TZipVolumeNumberInfo first;
    first.SetIsFirst(true);
    TZipVolumeNumberInfo second;
    second.SetNumber(1);
    EXPECT_EQ(o.VolumeSizeFor(second), -1);
    const std::pair<TZipVolumeSize, std::int64_t> table[] = {
        {vs1_44MB, 1457664},    {vs100MB, 104857600}, {vs200MB, 209715200}, {vs250MB, 262144000},
        {vs600MB, 629145600},   {vs650MB, 681574400}, {vs700MB, 734003200}, {vs4700MB, 4928307200LL},
    };
    for (const auto& [size, limit] : table) {
        o.VolumeSize = size;
        EXPECT_EQ(o.VolumeSizeFor(second), limit);
    }
    o.VolumeSize = vsCustom;
    o.SetCustomVolumeSize(100000);
    o.FirstVolumeSize = 70000;
    EXPECT_EQ(o.VolumeSizeFor(first), 70000);
    EXPECT_EQ(o.VolumeSizeFor(second), 100000);
}

TEST(VolumeNames, SplittingSpanningAndSelfExtractors) {
    TestMachine m;
    auto a = MakeJobArchiver();
    a->FileName = "C:\\Srv\\Kelmail.zip";
    auto name = [&](int n) {
        std::string s = "C:\\Srv\\Kelmail.zip";
        a->MakeVolumeFileName(s, n, false);
        return s;
    };
    EXPECT_EQ(name(0), "C:\\Srv\\Kelmail.z01");
    EXPECT_EQ(name(8), "C:\\Srv\\Kelmail.z09");
    EXPECT_EQ(name(9), "C:\\Srv\\Kelmail.z10");
    EXPECT_EQ(name(98), "C:\\Srv\\Kelmail.z99");
    EXPECT_EQ(name(99), "C:\\Srv\\Kelmail.z100");
    EXPECT_EQ(name(100), "C:\\Srv\\Kelmail.z101");
    EXPECT_EQ(name(-1), "C:\\Srv\\Kelmail.zip");
    a->SpanningOptions().AdvancedNaming = true;
    EXPECT_EQ(name(0), "C:\\Srv\\Kelmail_001.zip");
    EXPECT_EQ(name(1), "C:\\Srv\\Kelmail_002.zip");
    a->SFXStub = "C:\\stub.exe";
    EXPECT_EQ(name(0), "C:\\Srv\\Kelmail.exe");
    EXPECT_EQ(name(-1), "C:\\Srv\\Kelmail.ZIP");
    a->SFXStub.clear();
    TZipBaseArchiver base(nullptr);
    base.SetSpanningMode(smSplitting);
    base.SpanningOptions().AdvancedNaming = false;
    std::string s = "C:\\b.zip";
    base.MakeVolumeFileName(s, 2, false);
    EXPECT_EQ(s, "C:\\b.f03");
    base.SFXStub = "x";
    s = "C:\\b.zip";
    base.MakeVolumeFileName(s, -1, false);
    EXPECT_EQ(s, "C:\\b.ZF");
    TZipArchiver span(nullptr);
    span.SetSpanningMode(smSpanning);
    s = "A:\\k.zip";
    span.MakeVolumeFileName(s, 1, false);
    EXPECT_EQ(s, "A:\\k_002.zip");
    span.SpanningOptions().AdvancedNaming = false;
    s = "A:\\k.zip";
    span.MakeVolumeFileName(s, 1, false);
    EXPECT_EQ(s, "A:\\k.zip");
    testing_support::WriteHostFile(m.OnC("C:\\k_003.zip"), "");
    s = "C:\\k.zip";
    span.MakeVolumeFileName(s, 2, true);  // the plain name is missing, the numbered one exists
    EXPECT_EQ(s, "C:\\k_003.zip");
}

TEST(VolumeRequests, OneRequestPerVolumeAndTheLastRenamed) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\out\\Kelmail.zip"), "an older archive: the last volume replaces it");
    auto a = MakeJobArchiver();
    const auto requested = WriteStoredArchive(*a, {100000, 30000, 90000}, m);
    ASSERT_EQ(requested.size(), 4u);
    EXPECT_EQ(requested[0], "C:\\out\\Kelmail.z01");
    EXPECT_EQ(requested[3], "C:\\out\\Kelmail.z04");
    EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\out")),
              (std::vector<std::string>{"Kelmail.z01", "Kelmail.z02", "Kelmail.z03", "Kelmail.zip"}));
    const auto volumes = VolumePaths(m, 4);
    for (std::size_t i = 0; i + 1 < volumes.size(); ++i) {
        EXPECT_EQ(testing_support::HostFileSize(volumes[i]), kSmallVolume) << volumes[i];
    }
    ExpectNoHeaderStraddles(volumes);
    // The first volume begins with the first local header: no split marker.
    const std::string first = testing_support::ReadHostFile(volumes[0]);
    EXPECT_EQ(GetLE32(reinterpret_cast<const std::uint8_t*>(first.data())), zip::kLocalHeaderSignature);
    const std::string last = testing_support::ReadHostFile(volumes[3]);
    ASSERT_GE(last.size(), 22u);
    const auto* end = reinterpret_cast<const std::uint8_t*>(last.data() + last.size() - 22);
    EXPECT_EQ(GetLE16(end + 4), 3);   // number of this disk
    EXPECT_EQ(GetLE16(end + 8), 3);   // entries "on this disk" hold the total
    EXPECT_EQ(GetLE16(end + 10), 3);
}

TEST(VolumeRequests, AHandlerThatRenamesTheVolumeIsFollowed) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.bin"), testing_support::RandomBytes(1000, 1));
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    auto a = MakeJobArchiver();
    a->OnRequestBlankVolume = [](TObject*, int, std::string& name, bool&) { name = "C:\\out\\custom.vol"; };
    a->FileName = "C:\\out\\Kelmail.zip";
    a->BaseDir = "C:\\src\\";
    a->FileMasks() = {"C:\\src\\*.*"};
    a->Open(0xFFFF);
    EXPECT_TRUE(testing_support::HostExists(m.OnC("C:\\out\\custom.vol")));
    a->AddMatchingFiles();
    a->Close();
    EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\out")), std::vector<std::string>{"Kelmail.zip"});
    // A volume named like the archive in other letters is the archive: it is kept, not deleted.
    std::filesystem::remove(m.OnC("C:\\out\\Kelmail.zip"));
    auto b = MakeJobArchiver();
    b->OnRequestBlankVolume = [](TObject*, int, std::string& name, bool&) { name = "C:\\out\\KELMAIL.ZIP"; };
    b->FileName = "C:\\out\\Kelmail.zip";
    b->BaseDir = "C:\\src\\";
    b->FileMasks() = {"C:\\src\\*.*"};
    b->Open(0xFFFF);
    EXPECT_NO_THROW(b->AddMatchingFiles());
    EXPECT_FALSE(b->UpdateRolledBack());
    b->Close();
    TZipArchiver reader(nullptr);
    reader.FileName = "C:\\out\\Kelmail.zip";
    reader.OpenDefault();
    EXPECT_EQ(reader.DirManager()->Dir().Count(), 1);
}

// Anyone who may write in the archive's folder can put a name there between the volume's request
// and its creation: a file of another user's, or a link to a file elsewhere. The volume is never
// written through it; the archive fails, naming the volume, and what the name led to is as it was.
TEST(VolumeRequests, ANamePlantedBeforeAVolumeIsCreatedFailsTheArchiveAndIsNotWritten) {
    enum class Plant { File, LinkToFile, LinkToNothing };
    for (const Plant plant : {Plant::File, Plant::LinkToFile, Plant::LinkToNothing}) {
        if (plant != Plant::File && testing_support::kWindows) continue;  // links of the Linux machine
        TestMachine m;
        testing_support::WriteHostFile(m.OnC("C:\\elsewhere\\victim.txt"), "not the archive's");
        auto a = MakeJobArchiver(kSmallVolume);
        a->SetCompressionMode(0);
        for (int i = 0; i < 3; ++i) {
            testing_support::WriteHostFile(m.OnC("C:\\src\\f" + std::to_string(i) + ".bin"),
                                           testing_support::RandomBytes(40000, static_cast<std::uint32_t>(i + 7)));
        }
        a->OnRequestBlankVolume = [&](TObject*, int n, std::string& name, bool&) {
            if (n != 2) return;
            if (plant == Plant::File) testing_support::WriteHostFile(m.OnC(name), "not the archive's");
            else if (plant == Plant::LinkToFile) std::filesystem::create_symlink(m.OnC("C:\\elsewhere\\victim.txt"), m.OnC(name));
            else std::filesystem::create_symlink(m.OnC("C:\\elsewhere\\new.txt"), m.OnC(name));
        };
        a->FileName = "C:\\out\\Kelmail.zip";
        a->BaseDir = "C:\\src\\";
        a->FileMasks() = {"C:\\src\\*.*"};
        testing_support::MakeHostDirs(m.OnC("C:\\out"));
        platform::ClearFileErrors();
        a->Open(0xFFFF);
        try {
            a->AddMatchingFiles();
            ADD_FAILURE() << "the archive was written over a planted name (" << static_cast<int>(plant) << ")";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Error(), platform::OsError::AlreadyExists);
            EXPECT_NE(std::string(e.what()).find("\"C:\\out\\Kelmail.z02\""), std::string::npos) << e.what();
        }
        EXPECT_EQ(platform::FileErrors(),
                  std::vector<std::string>{"create C:\\out\\Kelmail.z02: the name is taken (a file or a link is there)"});
        const std::string planted = plant == Plant::File ? m.OnC("C:\\out\\Kelmail.z02") : m.OnC("C:\\elsewhere\\victim.txt");
        EXPECT_EQ(testing_support::ReadHostFile(planted), "not the archive's") << static_cast<int>(plant);
        EXPECT_FALSE(testing_support::HostExists(m.OnC("C:\\elsewhere\\new.txt")));
    }
}

TEST(VolumeRequests, NoRoomForAVolumeEndsWithCode45) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    platform::faults::SimulateDisk("C:\\", 65536);
    auto a = MakeJobArchiver();
    a->FileName = "C:\\out\\Kelmail.zip";
    try {
        a->Open(0xFFFF);
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_EQ(e.NativeError(), 45);
        EXPECT_EQ(e.Message(),
                  "ZipArchiver: Cannot open archive file. Opening aborted or invalid file - Native error: 00045");
    }
    platform::faults::Clear();
    platform::faults::SimulateDisk("C:\\", 65537);
    int diskFull = 0;
    a->OnDiskFull = [&](TObject*, int, const std::string&, bool& cancel) {
        ++diskFull;
        cancel = true;
    };
    EXPECT_NO_THROW(a->Open(0xFFFF));  // one byte more is room enough
    EXPECT_EQ(diskFull, 0);
}

TEST(VolumeWrites, DataEndingExactlyAtTheLimitLeavesTheVolumeOpen) {
    TestMachine m;
    auto a = MakeJobArchiver();
    // One stored file whose header block (30 + 9 name bytes) and data fill the first volume exactly.
    const auto requested = WriteStoredArchive(*a, {kSmallVolume - 39}, m);
    ASSERT_EQ(requested.size(), 2u);
    const auto volumes = VolumePaths(m, 2);
    EXPECT_EQ(testing_support::HostFileSize(volumes[0]), kSmallVolume);
    // The central directory opened the second volume and starts at its offset 0.
    const std::string last = testing_support::ReadHostFile(volumes[1]);
    EXPECT_EQ(GetLE32(reinterpret_cast<const std::uint8_t*>(last.data())), zip::kCentralHeaderSignature);
    ASSERT_GE(last.size(), 22u);
    const auto* end = reinterpret_cast<const std::uint8_t*>(last.data() + last.size() - 22);
    EXPECT_EQ(GetLE16(end + 6), 1);   // the directory starts on volume 1
    EXPECT_EQ(GetLE32(end + 16), 0u);  // at its offset 0
}

TEST(VolumeWrites, AHeaderThatDoesNotFitStartsTheNextVolume) {
    TestMachine m;
    auto a = MakeJobArchiver();
    // The first file leaves 20 bytes: too few for the second header block, which moves on whole.
    WriteStoredArchive(*a, {kSmallVolume - 39 - 20, 10}, m);
    const auto volumes = VolumePaths(m, 2);
    EXPECT_EQ(testing_support::HostFileSize(volumes[0]), kSmallVolume - 20);
    const std::string last = testing_support::ReadHostFile(volumes[1]);
    EXPECT_EQ(GetLE32(reinterpret_cast<const std::uint8_t*>(last.data())), zip::kLocalHeaderSignature);
    ExpectNoHeaderStraddles(volumes);
}

TEST(VolumeWrites, ABlockAndItsReserveThatFillTheRoomExactlyStayOnTheVolume) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    // (block, reserve, the volume it lands on) with 100 bytes of room left on the first volume.
    const struct { std::int64_t block; std::int32_t reserve; std::int32_t volume; } cases[] = {
        {100, 0, 0}, {101, 0, 1}, {60, 40, 0}, {60, 41, 1}, {100, -1, 0}};
    const std::string bytes(kSmallVolume, 'x');
    for (const auto& c : cases) {
        for (const char* volume : {"C:\\out\\Kelmail.zip", "C:\\out\\Kelmail.z01", "C:\\out\\Kelmail.z02"}) std::filesystem::remove(m.OnC(volume));
        auto a = MakeJobArchiver(kSmallVolume);
        a->FileName = "C:\\out\\Kelmail.zip";
        a->Open(0xFFFF);
        a->WriteToVolumesChecked(bytes.data(), kSmallVolume - 100, a->ArchiveStreamRef(), a->CurrentVolumeRef(), -1,
                                 nullptr);
        a->WriteToVolumesChecked(bytes.data(), c.block, a->ArchiveStreamRef(), a->CurrentVolumeRef(), c.reserve,
                                 nullptr);
        EXPECT_EQ(a->CurrentVolume().Number, c.volume) << c.block << " + " << c.reserve;
    }
}

TEST(VolumeWrites, AVolumeEndsWhereTheFreeSpaceEnded) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    platform::faults::SimulateDisk("C:\\", 70000);
    auto a = MakeJobArchiver();
    a->FileName = "C:\\out\\Kelmail.zip";
    a->Open(0xFFFF);
    // The volume's own writes count off the free space the drive answered when it was opened.
    const std::string bytes(60000, 'x');
    a->WriteToVolumesChecked(bytes.data(), 60000, a->ArchiveStreamRef(), a->CurrentVolumeRef(), -1, nullptr);
    try {
        a->WriteToVolumesChecked(bytes.data(), 20000, a->ArchiveStreamRef(), a->CurrentVolumeRef(), -1, nullptr);
        FAIL() << "no room for a second volume";
    } catch (const EZipException& e) {
        EXPECT_EQ(e.NativeError(), 45);
    }
    EXPECT_EQ(testing_support::HostFileSize(m.OnC("C:\\out\\Kelmail.z01")), 70000);
}

TEST(VolumeWrites, UnsplittableBlockLargerThanAVolumeFailsWith46) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    auto a = MakeJobArchiver(kSmallVolume);
    a->FileName = "C:\\out\\Kelmail.zip";
    a->Open(0xFFFF);
    const std::string block(kSmallVolume + 1, 'x');
    try {
        a->WriteToVolumesChecked(block.data(), static_cast<std::int64_t>(block.size()), a->ArchiveStreamRef(),
                                 a->CurrentVolumeRef(), 0, nullptr);
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_EQ(e.NativeError(), 46);
    }
    // A copy whose volumes stop taking bytes ends with 46 too, instead of going on.
    platform::faults::FailWritesAfter("C:\\out\\", 10);
    TMemoryStream source;
    source.WriteBuffer(block.data(), 100);
    source.SetPosition(0);
    bool cancel = false;
    try {
        a->CopyStreamToVolumes(source, a->ArchiveStreamRef(), false, nullptr, -1, -1, cancel, a->CurrentVolumeRef());
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_EQ(e.NativeError(), 46);
    }
}

TEST(VolumeWrites, AVolumeThatTakesLessThanItsRoomFailsWith46) {
    TestMachine m;
    auto a = MakeJobArchiver();
    // The first volume stops taking bytes inside the second file's header block (39 bytes).
    platform::faults::FailWritesAfter("C:\\out\\Kelmail.z01", 1039 + 10);
    std::vector<int> failures;
    a->OnProcessFileFailure = [&](TObject*, const std::string&, TZipProcessOperation, int native, int,
                                  const std::string&, TZipAction& action) {
        failures.push_back(native);
        platform::faults::Clear();  // the disk recovers for the roll-back
        action = fxaAbort;
    };
    WriteStoredArchive(*a, {1000, 1000}, m);
    EXPECT_EQ(failures, std::vector<int>{46});
    EXPECT_TRUE(a->UpdateRolledBack());
}

TEST(VolumeWrites, AVolumeThatStopsInsideAnItemsDataFailsWith46AfterItsCopyStarted) {
    TestMachine m;
    auto a = MakeJobArchiver();
    // The second file's header block (39 bytes) goes out whole; its data stops after 10 bytes.
    platform::faults::FailWritesAfter("C:\\out\\Kelmail.z01", 1039 + 39 + 10);
    std::vector<std::string> events;
    a->OnCopyTempFileProgress = [&](TObject*, double p, TZipProgressPhase phase, bool&) {
        events.push_back(std::to_string(static_cast<int>(phase)) + "@" + std::to_string(static_cast<int>(p)));
    };
    a->OnProcessFileFailure = [&](TObject*, const std::string&, TZipProcessOperation, int native, int,
                                  const std::string&, TZipAction& action) {
        events.push_back("failure " + std::to_string(native));
        platform::faults::Clear();
        action = fxaAbort;
    };
    WriteStoredArchive(*a, {1000, 1000}, m);
    const auto p = [](TZipProgressPhase phase, int percent) {
        return std::to_string(static_cast<int>(phase)) + "@" + std::to_string(percent);
    };
    EXPECT_EQ(events, (std::vector<std::string>{p(ppStart, 0), p(ppProcess, 100), p(ppEnd, 100), p(ppStart, 0),
                                                "failure 46"}));
    EXPECT_TRUE(a->UpdateRolledBack());
}

TEST(VolumeRequests, AnUpdateLeftOpenIsCommittedByTheDestructorWithTheArchiversOwnChoices) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.bin"), testing_support::RandomBytes(150000, 1));
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    {
        auto a = MakeJobArchiver(kSmallVolume);
        a->FileName = "C:\\out\\Kelmail.zip";
        a->BaseDir = "C:\\src\\";
        a->FileMasks() = {"C:\\src\\*.*"};
        a->Open(0xFFFF);
        a->BeginUpdate();
        a->AddMatchingFiles();  // inside an outer update: nothing is committed yet
        ASSERT_EQ(a->UpdateDepth(), 1);
    }
    EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\out")),
              (std::vector<std::string>{"Kelmail.z01", "Kelmail.z02", "Kelmail.zip"}));
    TZipArchiver reader(nullptr);
    reader.FileName = "C:\\out\\Kelmail.zip";
    reader.OpenDefault();
    ASSERT_EQ(reader.DirManager()->Dir().Count(), 1);
    EXPECT_EQ(reader.DirManager()->Dir().GetEntry(0).Method, 8);
}

TEST(VolumeWrites, FirstVolumeSizeChangesOnlyTheFirstVolume) {
    TestMachine m;
    auto a = MakeJobArchiver();
    a->SpanningOptions().FirstVolumeSize = 70000;
    WriteStoredArchive(*a, {200000}, m, 100000);
    const auto volumes = VolumePaths(m, 3);
    EXPECT_EQ(testing_support::HostFileSize(volumes[0]), 70000);
    EXPECT_EQ(testing_support::HostFileSize(volumes[1]), 100000);
}

TEST(VolumeWrites, ACentralDirectoryOverSeveralVolumesIsReadBack) {
    TestMachine m;
    // 300 empty files with names of 250 characters: about 89,000 bytes of central headers.
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back(std::to_string(1000 + i) + std::string(246, 'n'));
        testing_support::WriteHostFile(m.OnC("C:\\src\\" + names.back()), "");
    }
    auto a = MakeJobArchiver();
    const auto requested = WriteStoredArchive(*a, {}, m);
    const auto volumes = VolumePaths(m, requested.size());
    ASSERT_GE(volumes.size(), 3u);
    ExpectNoHeaderStraddles(volumes);
    const std::string last = testing_support::ReadHostFile(volumes.back());
    ASSERT_GE(last.size(), 22u);
    const auto* end = reinterpret_cast<const std::uint8_t*>(last.data() + last.size() - 22);
    EXPECT_LT(GetLE16(end + 6), GetLE16(end + 4));  // it starts on a volume before the last
    TZipArchiver reader(nullptr);
    reader.FileName = "C:\\out\\Kelmail.zip";
    reader.OpenDefault();
    std::vector<std::string> loaded;
    for (std::int32_t i = 0; i < reader.DirManager()->Dir().Count(); ++i) {
        loaded.push_back(reader.DirManager()->Dir().GetEntry(i).Name);
    }
    std::sort(loaded.begin(), loaded.end());
    EXPECT_EQ(loaded, names);
    if (testing_support::HaveTool("zip") && testing_support::HaveTool("unzip")) {
        std::string log;
        EXPECT_EQ(testing_support::RunCommand("cd " + m.OnC("C:\\out") + " && printf 'q\\n' | zip -q -s 0 Kelmail.zip --out joined.zip && "
                                              "unzip -tq joined.zip",
                                              &log),
                  0)
            << log;
    }
}

TEST(VolumeWrites, Zip64EndRecordsOfADirectoryThatStartsBeforeTheLastVolume) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    constexpr std::int64_t kVolume = 1048576;
    auto a = MakeJobArchiver(kVolume);
    a->FileName = "C:\\out\\Kelmail.zip";
    a->Open(0xFFFF);
    // The first volume is left 20 bytes short of full, so the directory starts on the second one.
    const std::string filler(static_cast<std::size_t>(kVolume - 20), '\0');
    a->WriteToVolumesChecked(filler.data(), static_cast<std::int64_t>(filler.size()), a->ArchiveStreamRef(),
                             a->CurrentVolumeRef(), -1, nullptr);
    // 65,535 folder entries: their central headers alone fill several volumes, and their number
    // calls for the Zip64 end records.
    TZipDirArray& dir = a->DirManager()->Dir();
    dir.SetCount(65535);
    for (std::int32_t i = 0; i < 65535; ++i) {
        TDirItem& item = dir.EntryRef(i);
        item = TDirItem{};
        item.VersionMadeBy = item.VersionNeeded = 20;
        item.Flags = 2;
        item.ExternalAttributes = 0x10;
        dir.RegisterName(i, "d" + std::to_string(i) + "/");
    }
    a->DirManager()->SaveDirectory();
    a->Close();
    const auto files = testing_support::HostFolderNames(m.OnC("C:\\out"));
    ASSERT_GE(files.size(), 4u);
    const std::uint32_t lastDisk = static_cast<std::uint32_t>(files.size() - 1);
    const std::string last = testing_support::ReadHostFile(m.OnC("C:\\out\\Kelmail.zip"));
    ASSERT_GE(last.size(), 22u + 20 + 56);
    const auto* end = reinterpret_cast<const std::uint8_t*>(last.data() + last.size() - 22);
    EXPECT_EQ(GetLE16(end + 4), lastDisk);
    EXPECT_EQ(GetLE16(end + 6), 1);
    EXPECT_EQ(GetLE16(end + 8), 0xFFFF);
    EXPECT_EQ(GetLE32(end + 16), 0u);
    const auto* locator = end - 20;
    ASSERT_EQ(GetLE32(locator), zip::kZip64LocatorSignature);
    EXPECT_EQ(GetLE32(locator + 4), lastDisk);
    const std::uint64_t recordAt = zip::GetLE64(locator + 8);
    ASSERT_EQ(recordAt, last.size() - 22 - 20 - 56);  // a position inside the last volume
    EXPECT_EQ(GetLE32(locator + 16), lastDisk + 1);
    const auto* record = reinterpret_cast<const std::uint8_t*>(last.data() + recordAt);
    ASSERT_EQ(GetLE32(record), zip::kZip64EndRecordSignature);
    EXPECT_EQ(GetLE32(record + 16), lastDisk);
    EXPECT_EQ(GetLE32(record + 20), 1u);
    EXPECT_EQ(zip::GetLE64(record + 24), 65535u);
    EXPECT_EQ(zip::GetLE64(record + 32), 65535u);
    EXPECT_EQ(zip::GetLE64(record + 48), 0u);  // the offset inside the volume where the directory starts
    TZipArchiver reader(nullptr);
    reader.FileName = "C:\\out\\Kelmail.zip";
    reader.OpenDefault();
    EXPECT_TRUE(reader.DirManager()->IsZip64);
    ASSERT_EQ(reader.DirManager()->Dir().Count(), 65535);
    EXPECT_EQ(reader.DirManager()->Dir().GetEntry(65534).Name, "d65534/");
}

TEST(ExistingArchives, InfoZipSplitArchivesLoad) {
    if (!testing_support::HaveTool("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
    TestMachine m;
    const std::string folder = m.OnC("C:\\iz");
    const std::string content = testing_support::RandomBytes(150000, 4);
    testing_support::WriteHostFile(folder + "/big.bin", content);
    testing_support::WriteHostFile(folder + "/small.txt", "small");
    std::string log;
    ASSERT_EQ(testing_support::RunCommand("cd " + folder + " && zip -q -s 64k ../iz.zip big.bin small.txt", &log), 0)
        << log;
    ASSERT_TRUE(testing_support::HostExists(m.OnC("C:\\iz.z02")));
    TZipArchiver reader(nullptr);
    reader.FileName = "C:\\iz.zip";
    reader.OpenDefault();
    EXPECT_EQ(reader.SpanningMode(), smSplitting);
    TZipDirArray& dir = reader.DirManager()->Dir();
    ASSERT_EQ(dir.Count(), 2);
    std::int32_t i = -1;
    ASSERT_TRUE(dir.FindEntry("big.bin", i));
    EXPECT_EQ(dir.GetEntry(i).UncompressedSize, 150000u);
    EXPECT_EQ(dir.GetEntry(i).Crc32, ~zip::Crc32Update(0xFFFFFFFF, content.data(), 150000));
    EXPECT_EQ(dir.GetEntry(i).DiskNumberStart, 0);
    ASSERT_TRUE(dir.FindEntry("small.txt", i));
    EXPECT_GT(dir.GetEntry(i).DiskNumberStart, 0);  // it lies behind big.bin, on a later volume
}

TEST(VolumeWrites, OtherReadersAcceptTheSplitArchive) {
    if (!testing_support::HaveTool("7z") || !testing_support::HaveTool("zip") || !testing_support::HaveTool("unzip")) {
        GTEST_SKIP() << "7z, zip and unzip are needed";
    }
    TestMachine m;
    auto a = MakeJobArchiver();
    ASSERT_GE(WriteStoredArchive(*a, {100000, 3000, 90000}, m).size(), 3u);
    const std::string out = m.OnC("C:\\out");
    // The volumes as written: 7-Zip and Info-ZIP on a case-sensitive file system look for the
    // numbered volumes under lower-case names. Info-ZIP asks for a volume it misses until it is
    // told to quit ("q"), so a missing one fails the test instead of hanging it.
    std::string log;
    ASSERT_EQ(testing_support::RunCommand("cd " + out + " && 7z t Kelmail.zip < /dev/null", &log), 0) << log;
    EXPECT_NE(log.find("Everything is Ok"), std::string::npos) << log;
    ASSERT_EQ(testing_support::RunCommand("cd " + out + " && printf 'q\\n' | zip -q -s 0 Kelmail.zip --out joined.zip && unzip -t joined.zip",
                                          &log),
              0)
        << log;
    EXPECT_NE(log.find("No errors detected"), std::string::npos) << log;
}

class DefaultPrompts : public ::testing::Test {
protected:
    void SetUp() override {
        Application.Initialize();
        platform::SetHeadlessOutput(&output);
    }
    void TearDown() override {
        platform::SetHeadlessOutput(nullptr);
        platform::SetHeadlessAnswers({});
    }
    std::string output;
    TestMachine m;
};

TEST_F(DefaultPrompts, FailureOverwriteAndPasswordPrompts) {
    TZipArchiver a(nullptr);
    TZipAction action = fxaRetry;
    platform::SetHeadlessAnswers({"Retry", "Ignore", "Yes to All", "No to All", "pw"});
    a.DoProcessFileFailure("f", poAdd, 33, 12, "Cannot open file", action);
    EXPECT_EQ(action, fxaRetry);
    a.DoProcessFileFailure("f", poAdd, 61, 36, "File name is too long", action);
    EXPECT_EQ(action, fxaIgnore);
    a.DoProcessFileFailure("f", poAdd, 45, 24, "whatever", action);
    EXPECT_EQ(action, fxaAbort);
    EXPECT_NE(output.find("== Confirm ==\nCannot open file. File processing error, possibly disk is full\n-> Retry\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("File name is too long\n-> Ignore\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("whatever"), std::string::npos);  // code 45 aborts without asking
    std::string dest = "a.txt";
    bool confirm = false;
    a.DoConfirmOverwrite("C:\\src\\a.txt", dest, confirm);
    EXPECT_TRUE(confirm);
    EXPECT_EQ(a.Options().OverwriteMode, omAlways);
    a.DoConfirmOverwrite("C:\\src\\a.txt", dest, confirm);
    EXPECT_FALSE(confirm);
    EXPECT_EQ(a.Options().OverwriteMode, omNever);
    EXPECT_NE(output.find("Overwrite file \"a.txt\" with \"C:\\src\\a.txt\""), std::string::npos) << output;
    std::string password;
    bool skip = false;
    a.DoPassword("x.txt", password, skip);
    EXPECT_EQ(password, "pw");
    EXPECT_FALSE(skip);
    EXPECT_NE(output.find("== Password for \"x.txt\" ==\nEnter password: \n"), std::string::npos) << output;
    platform::SetHeadlessAnswers({"Cancel"});
    a.DoPassword("x.txt", password, skip);
    EXPECT_TRUE(skip);  // a cancelled box skips the file
}

TEST_F(DefaultPrompts, SpanningVolumePrompts) {
    TZipArchiver a(nullptr);
    a.SetSpanningMode(smSpanning);
    a.SpanningOptions().VolumeSize = vsCustom;
    a.SpanningOptions().SetCustomVolumeSize(100000);
    a.FileName = "C:\\k.zip";
    platform::SetHeadlessAnswers({"OK", "Cancel", "OK"});
    a.SpanningOptions().FirstVolumeSize = 70000;
    std::string name = a.FileName;
    bool cancel = true;
    a.DoRequestBlankVolume(-1, name, cancel);  // a volume not numbered yet is the first
    EXPECT_FALSE(cancel);
    EXPECT_NE(output.find("Please insert a blank disk #1\n-> OK"), std::string::npos) << output;
    a.DoDiskFull(1, "C:\\k.zip", cancel);
    EXPECT_TRUE(cancel);
    EXPECT_NE(output.find("Disk is full. Required free space: 100000 bytes, but available only: "), std::string::npos)
        << output;
    a.DoDiskFull(0, "C:\\k.zip", cancel);
    EXPECT_NE(output.find("Required free space: 70000 bytes"), std::string::npos) << output;
    name = "C:\\k.zip";
    a.DoRequestMiddleVolume(2, name, cancel);
    EXPECT_FALSE(cancel);
    EXPECT_NE(output.find("Please insert disk #3\n-> OK"), std::string::npos) << output;
    // Split volumes are never asked for: a missing one is a cancel.
    TZipArchiver split(nullptr);
    split.SetSpanningMode(smSplitting);
    split.SpanningOptions().AdvancedNaming = false;
    name = "C:\\k.zip";
    split.DoRequestMiddleVolume(1, name, cancel);
    EXPECT_TRUE(cancel);
    EXPECT_EQ(name, "C:\\k.z02");
    bool diskFull = false;
    split.DoDiskFull(0, "C:\\k.z01", diskFull);
    EXPECT_TRUE(diskFull);
}

TEST_F(DefaultPrompts, FileProgressShowsBackslashes) {
    TZipArchiver a(nullptr);
    std::string seen;
    a.OnFileProgress = [&](TObject*, const std::string& f, double, TZipProcessOperation, TZipProgressPhase, bool&) {
        seen = f;
    };
    bool cancel = false;
    a.DoFileProgress("sub/a.txt", poAdd, cancel, ppStart, 0);
    EXPECT_EQ(seen, "sub\\a.txt");
    std::string stored = "sub/x.txt";
    std::uint32_t attr = 0x20;
    std::string comment;
    a.OnStoreFile = [&](TObject*, std::string& f, std::uint32_t&, std::string& c, const std::string&) {
        EXPECT_EQ(f, "sub\\x.txt");
        f = "other\\y.txt";
        c = "hello";
    };
    a.DoStoreFile(stored, attr, comment, "C:\\sub\\x.txt");
    EXPECT_EQ(stored, "other/y.txt");
    EXPECT_EQ(comment, "hello");
}

TEST(ExistingArchives, ASplitArchiveOpensWithItsModeInferred) {
    // The reader starts with the numbered naming (Kelmail_001.zip) and takes the naming it finds;
    // volumes of an earlier build, named with an upper-case .Z01, are found as well.
    for (const auto& [advanced, upperCase] : {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
        TestMachine m;
        {
            auto a = MakeJobArchiver();
            a->SpanningOptions().AdvancedNaming = advanced;
            const std::size_t volumes = WriteStoredArchive(*a, {100000, 30000, 90000}, m).size();
            ASSERT_GE(volumes, 3u);
            for (std::size_t n = 1; upperCase && n < volumes; ++n) {
                const std::string volume = m.OnC(Format("C:\\out\\Kelmail.z%02d", static_cast<int>(n)));
                ASSERT_TRUE(testing_support::HostExists(volume)) << volume;
                std::filesystem::rename(volume, m.OnC(Format("C:\\out\\Kelmail.Z%02d", static_cast<int>(n))));
            }
        }
        TZipArchiver reader(nullptr);
        reader.FileName = "C:\\out\\Kelmail.zip";
        reader.OpenDefault();
        EXPECT_EQ(reader.SpanningMode(), smSplitting) << advanced;
        EXPECT_EQ(reader.SpanningOptions().AdvancedNaming, advanced);
        ASSERT_EQ(reader.DirManager()->Dir().Count(), 3);
        const TDirItem last = reader.DirManager()->Dir().GetEntry(2);
        EXPECT_EQ(last.Name, "file2.bin");
        EXPECT_EQ(last.UncompressedSize, 90000u);
        EXPECT_GE(last.DiskNumberStart, 1);
        reader.Close();
    }
    TestMachine m;
    // A single file is opened as one.
    auto single = MakeJobArchiver();
    single->SetSpanningMode(smNone);
    single->FileName = "C:\\one.zip";
    single->Open(0xFFFF);
    single->Close();
    TZipArchiver again(nullptr);
    again.SetSpanningMode(smSplitting);
    again.FileName = "C:\\one.zip";
    again.OpenDefault();
    EXPECT_EQ(again.SpanningMode(), smNone);
    EXPECT_EQ(again.OpenMode(), 0x0022);
}

TEST(ExistingArchives, WithoutTheVolumeBeforeTheLastItIsTakenForDisks) {
    TestMachine m;
    {
        auto a = MakeJobArchiver();
        WriteStoredArchive(*a, {100000, 30000, 90000}, m);
    }
    std::filesystem::remove(m.OnC("C:\\out\\Kelmail.z03"));
    Application.Initialize();
    std::string shown;
    platform::SetHeadlessOutput(&shown);
    TZipArchiver reader(nullptr);
    reader.FileName = "C:\\out\\Kelmail.zip";
    // Neither naming finds the volume before the last: the archive counts as spanned over disks.
    // Its directory lies on the last volume, so no disk is asked for.
    EXPECT_NO_THROW(reader.OpenDefault());
    platform::SetHeadlessOutput(nullptr);
    EXPECT_EQ(reader.SpanningMode(), smSpanning);
    EXPECT_EQ(reader.DirManager()->Dir().Count(), 3);
    EXPECT_EQ(shown, "");
}

TEST(InMemoryArchives, MovingBetweenMemoryAndFile) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.txt"), "memory");
    TZipArchiver a(nullptr);
    a.FileName = "C:\\mem.zip";
    a.BaseDir = "C:\\src\\";
    a.FileMasks() = {"C:\\src\\*.*"};
    a.SetInMemory(true);
    a.Open(0xFFFF);
    a.AddMatchingFiles();
    EXPECT_FALSE(testing_support::HostExists(m.OnC("C:\\mem.zip")));
    a.SetInMemory(false);  // the memory archive goes to the file, which is then opened
    EXPECT_FALSE(a.InMemory());
    EXPECT_TRUE(a.IsOpen());
    ASSERT_EQ(a.DirManager()->Dir().Count(), 1);
    EXPECT_EQ(a.DirManager()->Dir().GetEntry(0).Name, "a.txt");
    a.SetInMemory(true);  // back to memory: a new, empty archive
    EXPECT_EQ(a.DirManager()->Dir().Count(), 0);
    a.Close();
    a.FileName.clear();
    a.Open(0xFFFF);
    try {
        a.SetInMemory(false);
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_EQ(e.NativeError(), 29);
    }
}

TEST(SpannedArchives, FloppyVolumesGatherInMemoryAndAskForEachDisk) {
    SKIP_ON_WINDOWS("needs the floppy drive A: of the Linux machine folder");
    TestMachine m;
    const std::string a = m.AddDrive('a');
    for (int i = 0; i < 3; ++i) {
        testing_support::WriteHostFile(m.OnC("C:\\src\\f" + std::to_string(i) + ".bin"),
                                       testing_support::RandomBytes(50000, static_cast<std::uint32_t>(i)));
    }
    Application.Initialize();
    std::string shown;
    platform::SetHeadlessOutput(&shown);
    platform::SetHeadlessAnswers({});
    TZipArchiver z(nullptr);
    z.SetSpanningMode(smSpanning);
    z.SpanningOptions().VolumeSize = vsCustom;
    z.SpanningOptions().SetCustomVolumeSize(65536);
    z.SetCompressionMode(0);
    z.FileName = "A:\\k.zip";
    z.BaseDir = "C:\\src\\";
    z.FileMasks() = {"C:\\src\\*.*"};
    z.Open(0xFFFF);
    z.AddMatchingFiles();
    z.Close();
    platform::SetHeadlessOutput(nullptr);
    EXPECT_FALSE(z.UpdateRolledBack());
    EXPECT_NE(shown.find("== Confirm ==\nPlease insert a blank disk #1\n-> OK\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Please insert a blank disk #3\n-> OK\n"), std::string::npos) << shown;
    EXPECT_EQ(testing_support::HostFolderNames(a), (std::vector<std::string>{"k.zip", "k_001.zip", "k_002.zip"}));
    EXPECT_EQ(testing_support::HostFileSize(a + "/k_001.zip"), 65536);
    EXPECT_EQ(testing_support::HostFileSize(a + "/k_002.zip"), 65536);
    ExpectNoHeaderStraddles({a + "/k_001.zip", a + "/k_002.zip", a + "/k.zip"});
}

TEST_F(DefaultPrompts, AMissingDiskAskedForAgainAndAgainEndsWithoutAnAnswer) {
    // Nobody there to insert it: the prompts take their default once, then Cancel ends the open.
    TZipArchiver a(nullptr);
    a.FileName = "A:\\missing.zip";
    EXPECT_THROW(a.Open(platform::fmOpenRead | platform::fmShareDenyWrite), EZipException);
    std::size_t boxes = 0;
    for (std::size_t at = output.find("== "); at != std::string::npos; at = output.find("\n== ", at + 1)) ++boxes;
    EXPECT_LE(boxes, 4u) << output;
    EXPECT_NE(output.find("-> Cancel"), std::string::npos) << output;
}

// The read-back check knows the Zip64 form of a split archive's entries: with zmAlways every local
// header carries its Zip64 sizes and every central header its Zip64 block, and the sound archive
// passes; a bit flipped in a local Zip64 size fails the update with the check's line. Folders and
// empty files, which have no data, pass too.
TEST(VolumeReadBack, Zip64EntriesFoldersAndEmptyFilesAreCheckedAndAFlippedZip64SizeFails) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.bin"), testing_support::RandomBytes(100000, 3));
    testing_support::WriteHostFile(m.OnC("C:\\src\\empty.txt"), "");
    testing_support::WriteHostFile(m.OnC("C:\\src\\sub\\b.txt"), std::string(5000, 'b'));
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    for (const bool flip : {false, true}) {
        for (const int threads : {1, 2}) {
            platform::ClearFileErrors();
            // The first entry's local Zip64 block follows its 30 bytes and the name a.bin; its
            // uncompressed size is the block's first value, behind the ID and the size.
            if (flip) platform::faults::FlipStoredBits("C:\\out\\Kelmail.z01", 30 + 5 + 4, 0x02);
            auto a = MakeJobArchiver(65536);
            a->Zip64Mode = zmAlways;
            a->Options().Recurse = true;
            a->Options().StorePath = spRelativePath;
            a->SetWorkerThreads(threads);
            a->FileName = "C:\\out\\Kelmail.zip";
            a->BaseDir = "C:\\src\\";
            a->FileMasks() = {"C:\\src\\*.*"};
            a->Open(0xFFFF);
            const std::string where = (flip ? "flipped, " : "sound, ") + std::to_string(threads) + " threads";
            if (!flip) {
                EXPECT_NO_THROW(a->AddMatchingFiles()) << where;
                EXPECT_FALSE(a->UpdateRolledBack()) << where;
                EXPECT_EQ(a->DirManager()->Dir().Count(), 4) << where;
                EXPECT_TRUE(platform::FileErrors().empty()) << where;
            } else {
                try {
                    a->AddMatchingFiles();
                    ADD_FAILURE() << where << ": the flipped size went unseen";
                } catch (const EZipException& e) {
                    EXPECT_EQ(e.NativeError(), 8) << where;
                }
                EXPECT_EQ(platform::FileErrors(),
                          std::vector<std::string>{"verify C:\\out\\Kelmail.z01: a.bin: local Zip64 sizes 100002 and "
                                                   "100035, expected 100000 and 100035"})
                    << where;
            }
            a.reset();
            platform::faults::Clear();
            for (const std::string& name : testing_support::HostFolderNames(m.OnC("C:\\out"))) {
                std::filesystem::remove(m.OnC("C:\\out\\" + name));
            }
        }
    }
}

// Entries whose data no reader would notice as changed are checked by their bytes as written: the
// data of an encrypted entry (which inflate only once deciphered; the check must not take them for
// broken deflate data) and the padding bits of a deflate stream's last byte, which every inflater
// skips. A sound archive with a password passes; one bit flipped in either fails the update with
// a line naming the volume and the entry.
TEST(VolumeReadBack, EncryptedDataAndPaddingBitsAreCheckedByTheirBytes) {
    TestMachine m;
    // Mails of different words, so that their deflate streams end at different bit positions; a
    // random file behind them takes the archive past the first volume.
    const char* const words[] = {"invoice", "meeting", "order", "reply", "payment", "report", "ticket", "quote"};
    for (int k = 0; k < 8; ++k) {
        std::string text;
        for (int line = 0; line < 40 + 7 * k; ++line) text += std::string(words[(line * (k + 3)) % 8]) + " " + std::to_string(line * k) + "\n";
        testing_support::WriteHostFile(m.OnC(Format("C:\\src\\m%d.eml", k)), text);
    }
    testing_support::WriteHostFile(m.OnC("C:\\src\\z.bin"), testing_support::RandomBytes(100000, 5));
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    const auto clear = [&] {
        for (const std::string& name : testing_support::HostFolderNames(m.OnC("C:\\out"))) {
            std::filesystem::remove(m.OnC("C:\\out\\" + name));
        }
    };
    // Runs the update; returns the check's lines (empty when it passed).
    const auto run = [&](const std::string& password, int threads, const std::string& where) {
        platform::ClearFileErrors();
        auto a = MakeJobArchiver(kSmallVolume);
        a->Password = password;
        a->SetWorkerThreads(threads);
        a->FileName = "C:\\out\\Kelmail.zip";
        a->FileMasks() = {"C:\\src\\*.*"};
        a->Open(0xFFFF);
        try {
            a->AddMatchingFiles();
            EXPECT_FALSE(a->UpdateRolledBack()) << where;
            EXPECT_EQ(a->DirManager()->Dir().Count(), 9) << where;
        } catch (const EZipException& e) {
            EXPECT_EQ(e.NativeError(), 8) << where;
        }
        return platform::FileErrors();
    };
    for (const std::string password : {"", "pa55"}) {
        // The sound archive, and where its entries lie in the first volume.
        ASSERT_EQ(run(password, 1, "sound"), std::vector<std::string>{}) << password;
        const std::string first = testing_support::ReadHostFile(m.OnC("C:\\out\\Kelmail.z01"));
        clear();
        struct Target {
            std::string name;
            std::int64_t offset;
            std::uint8_t mask;
        };
        std::vector<Target> targets;
        for (const auto& entry : testing_support::LocalHeadersOf(first)) {
            const std::int64_t data = entry.offset + 30 + entry.header.NameLength + entry.header.ExtraLength;
            const std::int64_t size = entry.header.CompressedSize;
            if (entry.name == "z.bin" || data + size > static_cast<std::int64_t>(first.size())) continue;
            if (!password.empty()) {
                ASSERT_EQ(entry.header.Flags & 1, 1) << entry.name;
                targets.push_back({entry.name, data + size / 2, 0x08});  // a bit of the ciphered data
                break;
            }
            // A bit of the last byte that inflating does not look at: the data inflate to the same
            // bytes with it flipped.
            const auto inflated = [&](std::string bytes) {
                z_stream z{};
                std::string out(static_cast<std::size_t>(entry.header.UncompressedSize) + 1, '\0');
                if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return std::string("no inflate");
                z.next_in = reinterpret_cast<Bytef*>(bytes.data());
                z.avail_in = static_cast<uInt>(bytes.size());
                z.next_out = reinterpret_cast<Bytef*>(out.data());
                z.avail_out = static_cast<uInt>(out.size());
                const int r = inflate(&z, Z_FINISH);
                out.resize(out.size() - z.avail_out);
                inflateEnd(&z);
                return r == Z_STREAM_END ? out : std::string("broken");
            };
            std::string bytes = first.substr(static_cast<std::size_t>(data), static_cast<std::size_t>(size));
            const std::string sound = inflated(bytes);
            ASSERT_EQ(sound.size(), entry.header.UncompressedSize) << entry.name;
            bytes.back() = static_cast<char>(bytes.back() ^ 0x80);
            if (inflated(bytes) == sound) {
                targets.push_back({entry.name, data + size - 1, 0x80});
                break;
            }
        }
        ASSERT_EQ(targets.size(), 1u) << "no entry to flip a bit of, password \"" << password << "\"";
        const Target& t = targets[0];
        for (const int threads : {1, 2}) {
            const std::string where = "password \"" + password + "\", " + std::to_string(threads) + " threads";
            EXPECT_EQ(run(password, threads, where), std::vector<std::string>{}) << where;
            clear();
            platform::faults::FlipStoredBits("C:\\out\\Kelmail.z01", t.offset, t.mask);
            const std::vector<std::string> lines = run(password, threads, where);
            platform::faults::Clear();
            clear();
            const std::string pattern = R"(verify C:\\out\\Kelmail\.z01: )" + t.name +
                                        R"(: data bytes differ from those written \(their CRC [0-9a-f]{8}, expected [0-9a-f]{8}\))";
            EXPECT_TRUE(lines.size() == 1 && std::regex_match(lines[0], std::regex(pattern)))
                << where << ": " << (lines.empty() ? "no line" : lines[0]);
        }
    }
}

// A bit flipped in the middle of an entry whose data run over many volumes is seen only when all
// of them are read: the line names the volume where the check ended, and says over which volumes
// the data lie, as the bit may be on any of them.
TEST(VolumeReadBack, AnEntryOverManyVolumesThatReadsBackWrongSaysWhichVolumesItsDataLieOn) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.txt"), "hello");
    testing_support::WriteHostFile(m.OnC("C:\\src\\big.bin"), testing_support::RandomBytes(600000, 4));
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    for (const int threads : {1, 2}) {
        platform::ClearFileErrors();
        platform::faults::FlipStoredBits("C:\\out\\Kelmail.z05", 1234, 0x01);
        auto a = MakeJobArchiver(kSmallVolume);
        a->SetCompressionMode(0);
        a->SetWorkerThreads(threads);
        a->FileName = "C:\\out\\Kelmail.zip";
        a->FileMasks() = {"C:\\src\\*.*"};
        a->Open(0xFFFF);
        EXPECT_THROW(a->AddMatchingFiles(), EZipException) << threads;
        a.reset();
        platform::faults::Clear();
        EXPECT_EQ(platform::FileErrors(),
                  std::vector<std::string>{R"(verify C:\out\Kelmail.zip: big.bin: CRC 02ffecdd, expected c97958ad)"
                                           " (its data lie on volumes 1 to 10)"})
            << threads;
        for (const std::string& name : testing_support::HostFolderNames(m.OnC("C:\\out"))) {
            std::filesystem::remove(m.OnC("C:\\out\\" + name));
        }
    }
}
