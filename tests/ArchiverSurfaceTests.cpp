// The archiver's surface: its errors, properties, guards and the update transaction.
#include <gtest/gtest.h>

#include <clocale>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "platform/Dialogs.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::MakeJobArchiver;
using testing_support::TestMachine;

namespace {

template <class F>
EZipException CatchZip(F&& f) {
    try {
        f();
    } catch (const EZipException& e) {
        return e;
    }
    ADD_FAILURE() << "no EZipException";
    return EZipException(0, nullptr);
}

}  // namespace

TEST(ZipErrors, MessagesCodesAndNativeNumbers) {
    TZipArchiver named(nullptr);
    named.Name = "ZipArchiver";
    const EZipException blank(10, &named);
    EXPECT_EQ(blank.Message(), "ZipArchiver: File name is blank. Specify appropriate file name - Native error: 00010");
    EXPECT_EQ(blank.ErrorCode(), 5);
    EXPECT_EQ(blank.NativeError(), 10);
    EXPECT_STREQ(blank.ClassName(), "EZipException");
    EXPECT_EQ(EZipException(62, nullptr).Message(),
              "Multiple transactions are not supported for multi-volume archives - Native error: 00062");
    for (int unknown : {0, 63, -1, 1000}) {
        const EZipException e(unknown, nullptr);
        EXPECT_EQ(e.ErrorCode(), 0) << unknown;
        EXPECT_EQ(e.Message().rfind("Unknown error - Native error: ", 0), 0u) << e.Message();
    }
    EXPECT_EQ(EZipException(16, nullptr).ErrorCode(), 1);
    EXPECT_EQ(EZipException(31, nullptr).ErrorCode(), 6);
    EXPECT_EQ(EZipException(5, nullptr).Message(),
              "Invalid compression mode. Mode must be in [0-9] range - Native error: 00005");
    TZipArchiver unnamed(nullptr);
    EXPECT_EQ(EZipException(13, &unnamed).Message(), "Archive is not open - Native error: 00013");
}

TEST(ZipErrors, FormattedMessages) {
    EXPECT_EQ(EZipException::CreateWithArgs(33, nullptr, {"C:\\a.txt"}).Message(),
              "Cannot open file \"C:\\a.txt\" - Native error: 00033");
    EXPECT_EQ(EZipException::CreateWithArgs(34, nullptr, {std::int64_t{5000000000}, std::int64_t{7}}).Message(),
              "Invalid compressed size, rfs.size = 5000000000, count = 7 - Native error: 00034");
    EXPECT_EQ(EZipException::CreateWithArgs(61, nullptr, {"x"}).Message(),
              "File name is too long: \r\n\"x\" - Native error: 00061");
    EXPECT_EQ(EZipException::CreateWithArgs(43, nullptr, {"big.bin"}).ErrorCode(), 23);
    EXPECT_STREQ(ECompressionError().ClassName(), "ECompressionError");
    EXPECT_EQ(ECompressionError().Message(), "error");
}

TEST(ArchiverProperties, ValuesAfterConstruction) {
    TZipArchiver a(nullptr);
    EXPECT_EQ(a.CompressionLevel(), clFastest);
    EXPECT_EQ(a.CompressionMode(), 1);
    EXPECT_EQ(a.ItemMethod(), 8);  // chosen as a TZipArchiver, not as the base class
    EXPECT_EQ(a.Zip64Mode, zmDisabled);
    EXPECT_TRUE(a.UseZipSignatures());
    EXPECT_EQ(a.SpanningMode(), smNone);
    EXPECT_TRUE(a.SpanningOptions().AdvancedNaming);
    EXPECT_EQ(a.SpanningOptions().VolumeSize, vsAutoDetect);
    EXPECT_EQ(a.SpanningOptions().CustomVolumeSize(), 0);
    EXPECT_TRUE(a.Options().Recurse);
    EXPECT_EQ(a.Options().StorePath, spRelativePath);
    EXPECT_EQ(a.Options().ShareMode, smShareDenyNone);
    EXPECT_EQ(a.Options().OverwriteMode, omAlways);
    EXPECT_EQ(a.Options().SearchAttr, 10431);
    EXPECT_TRUE(a.Options().OEMFileNames);
    EXPECT_FALSE(a.IsOpen());
    EXPECT_EQ(a.UpdateDepth(), 0);
    TZipBaseArchiver base(nullptr);
    EXPECT_EQ(base.ItemMethod(), 0xFFFF);
    EXPECT_EQ(base.Zip64Mode, zmAuto);
    EXPECT_FALSE(base.UseZipSignatures());
}

TEST(ArchiverProperties, CompressionLevelAndModeStayInStep) {
    TZipArchiver a(nullptr);
    a.SetCompressionLevel(clMax);
    EXPECT_EQ(a.CompressionMode(), 9);
    a.SetCompressionMode(5);
    EXPECT_EQ(a.CompressionLevel(), clNormal);
    const EZipException e = CatchZip([&] { a.SetCompressionMode(10); });
    EXPECT_EQ(e.NativeError(), 5);
    EXPECT_EQ(a.CompressionMode(), 5);
    EXPECT_EQ(a.CompressionLevel(), clNormal);
    a.SetCompressionMode(0);
    EXPECT_EQ(a.ItemMethod(), 0);
    EXPECT_EQ(a.CompressionLevel(), clNone);
    a.SetCompressionMode(3);
    EXPECT_EQ(a.ItemMethod(), 8);
    EXPECT_EQ(a.CompressionLevel(), clFastest);
    a.SetCompressionLevel(clNone);
    EXPECT_EQ(a.CompressionMode(), 0);
    EXPECT_EQ(a.ItemMethod(), 0);
    const TZipCompressionLevel levels[] = {clNone,   clFastest, clFastest, clFastest, clNormal,
                                           clNormal, clNormal,  clMax,     clMax,     clMax};
    for (std::uint8_t mode = 0; mode <= 9; ++mode) {
        a.SetCompressionMode(mode);
        EXPECT_EQ(a.CompressionLevel(), levels[mode]) << +mode;
    }
    a.SetCompressionLevel(clNormal);
    EXPECT_EQ(a.CompressionMode(), 6);
    // Sources are read in blocks of 512 KiB at levels 1-3, 1.5 MiB at 7-9, and 1 MiB otherwise.
    const std::int32_t blocks[] = {0x100000, 0x80000,  0x80000,  0x80000,  0x100000, 0x100000,
                                   0x100000, 0x180000, 0x180000, 0x180000, 0x100000};
    for (std::uint8_t level = 0; level <= 10; ++level) EXPECT_EQ(zip::BlockSizeForLevel(level), blocks[level]) << +level;
}

TEST(ArchiverProperties, VersionCustomSizeAndSpanningGuard) {
    TestMachine m;
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // a comma locale, where the system has one
    TZipArchiver a(nullptr);
    EXPECT_EQ(a.CurrentVersion(), "2.72 ");
    a.SetCurrentVersion("x");
    EXPECT_EQ(a.CurrentVersion(), "2.72 ");
    std::setlocale(LC_NUMERIC, "C");
    a.SpanningOptions().SetCustomVolumeSize(1000);
    EXPECT_EQ(a.SpanningOptions().CustomVolumeSize(), 65536);
    a.SpanningOptions().SetCustomVolumeSize(-5);
    EXPECT_EQ(a.SpanningOptions().CustomVolumeSize(), 65536);
    a.SpanningOptions().SetCustomVolumeSize(2097152);
    EXPECT_EQ(a.SpanningOptions().CustomVolumeSize(), 2097152);
    a.FileName = "C:\\guard.zip";
    a.Open(0xFFFF);
    try {
        a.SetSpanningMode(smSplitting);
        FAIL();
    } catch (const EZipException&) {
        FAIL() << "the guard raises a plain error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot set spanning mode on open archive");
        EXPECT_STREQ(e.ClassName(), "Exception");
    }
    a.Close();
    EXPECT_NO_THROW(a.SetSpanningMode(smSplitting));
    EXPECT_EQ(a.SpanningMode(), smSplitting);
}

TEST(ArchiverOpen, GuardsAndTheirErrorNumbers) {
    TestMachine m;
    TZipArchiver a(nullptr);
    a.Name = "ZipArchiver";
    EXPECT_EQ(CatchZip([&] { a.Open(0xFFFF); }).NativeError(), 10);
    EXPECT_EQ(CatchZip([&] { a.OpenDefault(); }).NativeError(), 9);
    EXPECT_EQ(CatchZip([&] { a.AddMatchingFiles(); }).NativeError(), 13);
    a.FileName = "C:\\missing.zip";
    const EZipException notFound = CatchZip([&] { a.Open(0x0022); });
    EXPECT_EQ(notFound.NativeError(), 12);
    EXPECT_EQ(notFound.Message(), "ZipArchiver: File \"C:\\missing.zip\" not found - Native error: 00012");
    a.SetInMemory(true);
    testing_support::WriteHostFile(m.OnC("C:\\missing.zip"), "");
    EXPECT_EQ(CatchZip([&] { a.Open(0x0022); }).NativeError(), 28);
}

TEST(ArchiverOpen, OpenThenCloseLeavesAValidEmptyArchive) {
    TestMachine m;
    TZipArchiver a(nullptr);
    a.FileName = "C:\\empty.zip";
    a.Open(0xFFFF);
    EXPECT_TRUE(a.IsOpen());
    a.Close();
    EXPECT_FALSE(a.IsOpen());
    const std::string bytes = testing_support::ReadHostFile(m.OnC("C:\\empty.zip"));
    EXPECT_EQ(bytes, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

TEST(ArchiverOpen, ReadOnlyArchiveRefusesAnUpdate) {
    TestMachine m;
    {
        TZipArchiver a(nullptr);
        a.FileName = "C:\\ro.zip";
        a.Open(0xFFFF);
        a.Close();
    }
    TZipArchiver a(nullptr);
    a.FileName = "C:\\ro.zip";
    a.Open(0x0040);
    EXPECT_EQ(CatchZip([&] { a.BeginUpdate(); }).NativeError(), 32);
    EXPECT_EQ(a.UpdateDepth(), 0);
}

TEST(ArchiverUpdate, NestingAndDiscard) {
    TestMachine m;
    TZipArchiver a(nullptr);
    a.FileName = "C:\\nest.zip";
    a.BeginUpdate();  // opens by itself
    EXPECT_TRUE(a.IsOpen());
    a.BeginUpdate();
    EXPECT_EQ(a.UpdateDepth(), 2);
    a.EndUpdate();
    EXPECT_EQ(a.UpdateDepth(), 1);
    a.DiscardUpdate();
    EXPECT_EQ(a.UpdateDepth(), 0);
    a.EndUpdate();
    EXPECT_EQ(a.UpdateDepth(), 0);
    EXPECT_FALSE(a.UpdateCommitted());
}

TEST(ArchiverUpdate, SplitArchiveWithoutFilesIsOneRenamedVolume) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    auto a = MakeJobArchiver();
    int requests = 0;
    a->OnRequestBlankVolume = [&](TObject*, int n, std::string& name, bool&) {
        ++requests;
        EXPECT_EQ(n, 1);
        EXPECT_EQ(name, "C:\\out\\Kelmail.z01");
    };
    a->FileName = "C:\\out\\Kelmail.zip";
    a->BaseDir = "C:\\out\\nothere\\";
    a->FileMasks().push_back("C:\\out\\nothere\\*.*");
    a->Open(0xFFFF);
    EXPECT_TRUE(testing_support::HostExists(m.OnC("C:\\out\\Kelmail.z01")));
    a->AddMatchingFiles();
    EXPECT_FALSE(a->UpdateRolledBack());
    a->Close();
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\out")), std::vector<std::string>{"Kelmail.zip"});
    EXPECT_EQ(testing_support::HostFileSize(m.OnC("C:\\out\\Kelmail.zip")), 22);
}

TEST(ArchiverUpdate, SecondUpdateOfASplitArchiveIsRefused) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.txt"), "hello");
    auto a = MakeJobArchiver();
    a->FileName = "C:\\Kelmail.zip";
    a->BaseDir = "C:\\src\\";
    a->FileMasks().push_back("C:\\src\\*.*");
    a->Open(0xFFFF);
    a->AddMatchingFiles();
    EXPECT_EQ(a->OpenMode(), 0x0022);
    EXPECT_EQ(CatchZip([&] { a->AddMatchingFiles(); }).NativeError(), 52);
    const EZipException second = CatchZip([&] { a->BeginUpdate(); });
    EXPECT_EQ(second.NativeError(), 62);
    EXPECT_EQ(second.Message().rfind("Multiple transactions", 0), 0u);
}

TEST(ArchiverUpdate, AnErrorInsideTheSearchLeavesNoUpdateAndNoEntries) {
    TestMachine m;
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.txt"), "hello");
    testing_support::MakeHostDirs(m.OnC("C:\\src\\sub"));
    TZipArchiver a(nullptr);
    a.FileName = "C:\\bad.zip";
    a.Open(0xFFFF);
    // An exclusion mask of 31 star groups is invalid; the search raises its error when it first
    // tests a file against it.
    std::string mask;
    for (int i = 0; i < 31; ++i) mask += "*x";
    a.FileMasks() = {"C:\\src\\*.*"};
    a.ExclusionMasks() = {mask};
    EXPECT_THROW(a.AddMatchingFiles(), Exception);
    EXPECT_EQ(a.UpdateDepth(), 0);
    EXPECT_TRUE(a.IsOpen());
    EXPECT_EQ(a.DirManager()->Dir().Count(), 0);
    a.Close();
    EXPECT_EQ(testing_support::HostFileSize(m.OnC("C:\\bad.zip")), 22);
}
