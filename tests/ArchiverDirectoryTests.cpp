// ZIP records byte by byte, the in-memory directory with its name index, and loading and saving it.
#include <gtest/gtest.h>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStrFunc.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::TestMachine;
using zip::GetLE16;
using zip::GetLE32;

namespace {

const std::uint8_t* At(const std::string& s, std::size_t offset) {
    return reinterpret_cast<const std::uint8_t*>(s.data() + offset);
}

std::string StreamBytes(TMemoryStream& s) { return std::string(s.Data().begin(), s.Data().end()); }

// A stored entry whose data the test writes itself: local header, name, data; the directory item
// filled to match.
void AddStoredEntry(TStream& stream, TZipDirManager& manager, const std::string& name, const std::string& data,
                    bool oem = true) {
    TZipDirArray& dir = manager.Dir();
    const std::int32_t i = dir.Count();
    dir.SetCount(i + 1);
    TDirItem& item = dir.EntryRef(i);
    item = TDirItem{};
    item.VersionMadeBy = item.VersionNeeded = 20;
    item.Method = 0;
    item.ModTime = 0x6000;
    item.ModDate = 0x5A21;
    item.Crc32 = ~zip::Crc32Update(0xFFFFFFFF, data.data(), static_cast<std::int64_t>(data.size()));
    item.CompressedSize = item.UncompressedSize = static_cast<std::uint32_t>(data.size());
    item.ExternalAttributes = 0x20;
    item.LocalHeaderOffset = static_cast<std::uint32_t>(stream.Position());
    const std::string stored = oem ? platform::AnsiToOem(name) : name;
    item.NameLength = static_cast<std::uint16_t>(stored.size());
    dir.RegisterName(i, name);
    zip::LocalFileHeader local;
    local.VersionNeeded = 20;
    local.ModTime = item.ModTime;
    local.ModDate = item.ModDate;
    local.Crc32 = item.Crc32;
    local.CompressedSize = local.UncompressedSize = item.CompressedSize;
    local.NameLength = item.NameLength;
    std::uint8_t raw[30];
    local.Encode(raw);
    stream.WriteBuffer(raw, 30);
    stream.WriteBuffer(stored.data(), static_cast<std::int64_t>(stored.size()));
    stream.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
}

}  // namespace

TEST(ZipRecords, EncodeAndDecodeEveryRecord) {
    zip::EndRecord end;
    end.ThisDisk = 3;
    end.StartDisk = 2;
    end.EntriesOnDisk = end.TotalEntries = 7;
    end.DirectorySize = 0x01020304;
    end.DirectoryOffset = 0x0A0B0C0D;
    end.CommentLength = 5;
    std::uint8_t raw[56] = {};
    end.Encode(raw);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 8), std::string("PK\x05\x06\x03\x00\x02\x00", 8));
    EXPECT_EQ(GetLE32(raw + 12), 0x01020304u);
    const zip::EndRecord back = zip::EndRecord::Decode(raw);
    EXPECT_EQ(back.DirectoryOffset, 0x0A0B0C0Du);
    EXPECT_EQ(back.CommentLength, 5);

    zip::Zip64EndRecord z64;
    z64.TotalEntries = 70000;
    z64.DirectoryOffset = 0x123456789ULL;
    z64.Encode(raw);
    EXPECT_EQ(GetLE32(raw), 0x06064B50u);
    EXPECT_EQ(zip::GetLE64(raw + 4), 44u);
    EXPECT_EQ(GetLE16(raw + 12), 45);
    EXPECT_EQ(zip::Zip64EndRecord::Decode(raw).DirectoryOffset, 0x123456789ULL);

    zip::CentralFileHeader head;
    head.UncompressedSize = zip::kSentinel32;
    head.LocalHeaderOffset = zip::kSentinel32;
    head.DiskNumberStart = zip::kSentinel16;
    const auto block = zip::EncodeCentralZip64(head, zip::Zip64Values{5000000000LL, 1, 6000000000LL, 70000});
    ASSERT_EQ(block.size(), 4u + 8 + 8 + 4);
    EXPECT_EQ(GetLE16(block.data()), 1);
    EXPECT_EQ(GetLE16(block.data() + 2), 20);
    zip::Zip64Values values;
    zip::DecodeCentralZip64(head, block.data() + 4, block.size() - 4, values);
    EXPECT_EQ(values.UncompressedSize, 5000000000LL);
    EXPECT_EQ(values.LocalHeaderOffset, 6000000000LL);
    EXPECT_EQ(values.DiskNumberStart, 70000u & 0xFFFF);  // two of its four bytes are read
    EXPECT_TRUE(zip::EncodeCentralZip64(zip::CentralFileHeader{}, values).empty());
    EXPECT_EQ(zip::Fit32(0xFFFFFFFFLL), zip::kSentinel32);
    EXPECT_EQ(zip::Fit16(0xFFFE), 0xFFFE);
}

TEST(ZipRecords, NewEmptyArchiveIsTheEndRecordAlone) {
    TMemoryStream stream;
    TZipDirManager manager(&stream, nullptr, true);
    manager.SaveDirectory();
    EXPECT_EQ(StreamBytes(stream), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    TZipDirManager loaded(&stream, nullptr, false);
    loaded.LoadDirectory();
    EXPECT_EQ(loaded.Dir().Count(), 0);
    EXPECT_EQ(loaded.PrefixSize, 0);
}

TEST(ZipRecords, ThousandByteFileFieldByField) {
    TestMachine m;
    const std::string content = testing_support::RandomBytes(1000, 3);
    testing_support::WriteHostFile(m.OnC("C:\\src\\data.bin"), content);
    auto a = testing_support::MakeJobArchiver();
    a->FileName = "C:\\out.zip";
    a->BaseDir = "C:\\src\\";
    a->FileMasks().push_back("C:\\src\\*.*");
    a->Open(0xFFFF);
    a->AddMatchingFiles();
    a->Close();
    const std::string z = testing_support::ReadHostFile(m.OnC("C:\\out.zip"));
    const std::int32_t packed = platform::FileAge("C:\\src\\data.bin");
    ASSERT_GT(z.size(), 30u);
    const std::uint8_t* l = At(z, 0);
    EXPECT_EQ(GetLE32(l), 0x04034B50u);
    EXPECT_EQ(GetLE16(l + 4), 20);  // version needed
    EXPECT_EQ(GetLE16(l + 6), 0);   // flags: no data descriptor
    EXPECT_EQ(GetLE16(l + 8), 8);   // deflate
    EXPECT_EQ(GetLE16(l + 10), packed & 0xFFFF);
    EXPECT_EQ(GetLE16(l + 12), static_cast<std::uint32_t>(packed) >> 16);
    const std::uint32_t crc = ~zip::Crc32Update(0xFFFFFFFF, content.data(), 1000);
    EXPECT_EQ(GetLE32(l + 14), crc);
    const std::uint32_t compressed = GetLE32(l + 18);
    ASSERT_LE(38u + compressed + 46, z.size());  // read from the file: checked before it is used
    EXPECT_EQ(GetLE32(l + 22), 1000u);
    EXPECT_EQ(GetLE16(l + 26), 8);  // "data.bin"
    EXPECT_EQ(GetLE16(l + 28), 0);
    EXPECT_EQ(z.substr(30, 8), "data.bin");
    EXPECT_EQ(testing_support::InflateRaw(z.substr(38, compressed)), content);
    const std::uint8_t* c = At(z, 38 + compressed);
    EXPECT_EQ(GetLE32(c), 0x02014B50u);
    EXPECT_EQ(GetLE16(c + 4), 20);
    EXPECT_EQ(GetLE16(c + 6), 20);
    EXPECT_EQ(GetLE16(c + 8), 0);
    EXPECT_EQ(GetLE16(c + 10), 8);
    EXPECT_EQ(GetLE32(c + 16), crc);
    EXPECT_EQ(GetLE32(c + 20), compressed);
    EXPECT_EQ(GetLE32(c + 24), 1000u);
    EXPECT_EQ(GetLE16(c + 30), 0);  // extra
    EXPECT_EQ(GetLE16(c + 32), 0);  // comment
    EXPECT_EQ(GetLE16(c + 34), 0);  // disk
    EXPECT_EQ(GetLE16(c + 36), 0);  // internal attributes
    EXPECT_EQ(GetLE32(c + 38), 0x20u);
    EXPECT_EQ(GetLE32(c + 42), 0u);
    const std::uint8_t* e = At(z, z.size() - 22);
    EXPECT_EQ(GetLE32(e), 0x06054B50u);
    EXPECT_EQ(GetLE16(e + 10), 1);
    EXPECT_EQ(GetLE32(e + 16), 38 + compressed);
}

TEST(ZipRecords, SixtyFiveThousandEntriesGetZip64EndRecords) {
    TMemoryStream stream;
    TZipDirManager manager(&stream, nullptr, true);
    for (int i = 0; i < 65535; ++i) AddStoredEntry(stream, manager, "f" + std::to_string(i), "");
    manager.SaveDirectory();
    const std::string z = StreamBytes(stream);
    ASSERT_GE(z.size(), 42u + 56);
    const std::uint8_t* end = At(z, z.size() - 22);
    EXPECT_EQ(GetLE16(end + 8), 0xFFFF);
    EXPECT_EQ(GetLE16(end + 10), 0xFFFF);
    const std::uint8_t* locator = At(z, z.size() - 42);
    ASSERT_EQ(GetLE32(locator), 0x07064B50u);
    const std::uint64_t recordAt = zip::GetLE64(locator + 8);
    ASSERT_EQ(recordAt, z.size() - 42 - 56);  // read from the file: checked before it is used
    EXPECT_EQ(zip::GetLE64(At(z, recordAt) + 32), 65535u);
    TZipDirManager loaded(&stream, nullptr, false);
    loaded.LoadDirectory();
    EXPECT_TRUE(loaded.IsZip64);
    ASSERT_EQ(loaded.Dir().Count(), 65535);
    std::int32_t index = -1;
    EXPECT_TRUE(loaded.Dir().FindEntry("F65534", index));
    EXPECT_EQ(index, 65534);
}

TEST(ZipDirectoryLoad, RoundTripOfNamesExtraFieldsAndZip64Values) {
    TMemoryStream stream;
    {
        TZipDirManager manager(&stream, nullptr, true);
        AddStoredEntry(stream, manager, "Caf\xE9 r\xE9sum\xE9.txt", "abc");
        AddStoredEntry(stream, manager, "big.bin", "xyz");
        TDirItem& kept = manager.Dir().EntryRef(0);
        kept.ExtraFields.push_back(TZipExtraField{0x5455, 5, {1, 2, 3, 4, 5}});
        // A field without data last, as a Java archiver marks its archives: its four bytes end the extra.
        kept.ExtraFields.push_back(TZipExtraField{0xCAFE, 0, {}});
        kept.Comment = "note";
        TDirItem& big = manager.Dir().EntryRef(1);
        big.UncompressedSize = zip::kSentinel32;
        big.Zip64UncompressedSize = 5000000000LL;
        big.HasZip64 = true;
        big.SetLocalHeaderOffset(0xFFFFFFFFLL);  // the sentinel itself does not fit in 32 bits
        manager.ZipComment = "archive comment" + std::string(65520, '.');  // the longest there is
        manager.SaveDirectory();
    }
    const std::string z = StreamBytes(stream);
    EXPECT_NE(z.find("Caf\x82 r\x82sum\x82.txt"), std::string::npos);  // stored in OEM
    TZipDirManager loaded(&stream, nullptr, false);
    loaded.LoadDirectory();
    ASSERT_EQ(loaded.Dir().Count(), 2);
    const TDirItem first = loaded.Dir().GetEntry(0);
    EXPECT_EQ(first.Name, "Caf\xE9 r\xE9sum\xE9.txt");
    ASSERT_EQ(first.ExtraFields.size(), 2u);
    EXPECT_EQ(first.ExtraFields[0].HeaderID, 0x5455);
    EXPECT_EQ(first.ExtraFields[0].Data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(first.ExtraFields[1].HeaderID, 0xCAFE);
    EXPECT_TRUE(first.ExtraFields[1].Data.empty());
    EXPECT_EQ(first.ExtraLength, 13);
    EXPECT_EQ(first.Comment, "note");
    const TDirItem second = loaded.Dir().GetEntry(1);
    EXPECT_TRUE(second.HasZip64);
    EXPECT_EQ(second.RealUncompressedSize(), 5000000000LL);
    EXPECT_EQ(second.RealLocalHeaderOffset(), 0xFFFFFFFFLL);
    EXPECT_EQ(second.ExtraLength, 20);
    EXPECT_EQ(loaded.ZipComment, "archive comment" + std::string(65520, '.'));
    // Saved again, the kept field is written back and the Zip64 block worked out afresh.
    TMemoryStream again;
    loaded.SaveDirectory(&again);
    const std::string y = StreamBytes(again);
    EXPECT_NE(y.find(std::string("\x55\x54\x05\x00\x01\x02\x03\x04\x05\xFE\xCA\x00\x00", 13)), std::string::npos);
    TZipDirManager reloaded(&again, nullptr, false);
    reloaded.LoadDirectory();
    ASSERT_EQ(reloaded.Dir().Count(), 2);
    EXPECT_EQ(reloaded.Dir().GetEntry(1).ExtraLength, 20);  // the Zip64 block once, not again as a kept field
}

TEST(ZipDirectorySave, CentralNamesLongerThan999BytesAreRefused) {
    TMemoryStream stream;
    TZipDirManager manager(&stream, nullptr, true);
    AddStoredEntry(stream, manager, std::string(999, 'n'), "fits");
    TMemoryStream fits;
    EXPECT_NO_THROW(manager.SaveDirectory(&fits));
    AddStoredEntry(stream, manager, std::string(1000, 'm'), "too long");
    TMemoryStream refused;
    try {
        manager.SaveDirectory(&refused);
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_EQ(e.NativeError(), 61);
        EXPECT_EQ(e.Message().rfind("File name is too long: \r\n\"mmm", 0), 0u);
    }
}

TEST(ZipDirectoryLoad, MissingEndRecordIsRebuiltFromLocalHeaders) {
    TMemoryStream stream;
    {
        TZipDirManager manager(&stream, nullptr, true);
        // The second header's signature straddles the end of the search's first read (4 KB).
        AddStoredEntry(stream, manager, "one.txt", std::string(4061, 'f'));
        AddStoredEntry(stream, manager, "two.txt", "second");
        manager.SaveDirectory();
    }
    stream.SetSize(stream.Size() - 22);
    TZipDirManager loaded(&stream, nullptr, false);
    loaded.LoadDirectory();
    ASSERT_EQ(loaded.Dir().Count(), 2);
    EXPECT_EQ(loaded.Dir().GetEntry(1).Name, "two.txt");
    EXPECT_EQ(loaded.Dir().GetEntry(1).CompressedSize, 6u);
    EXPECT_EQ(loaded.Dir().GetEntry(1).LocalHeaderOffset, 30u + 7 + 4061);
    EXPECT_EQ(loaded.Dir().GetEntry(1).ExternalAttributes, 0x20u);
    // Bytes behind the end record that its comment does not cover hide it too.
    TMemoryStream trailing;
    {
        TZipDirManager manager(&trailing, nullptr, true);
        AddStoredEntry(trailing, manager, "a.txt", "a");
        manager.SaveDirectory();
    }
    trailing.Seek(0, platform::SeekOrigin::End);
    trailing.WriteBuffer("junk", 4);
    TZipDirManager rebuilt(&trailing, nullptr, false);
    rebuilt.LoadDirectory();
    EXPECT_EQ(rebuilt.Dir().Count(), 1);
    TMemoryStream nothing;
    nothing.WriteBuffer("no zip here at all, not even close", 34);
    TZipDirManager none(&nothing, nullptr, false);
    try {
        none.LoadDirectory();
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_EQ(e.NativeError(), 35);
        EXPECT_EQ(e.Message(), "Invalid archive file. - Native error: 00035");
    }
}

TEST(ZipDirectoryLoad, RebuildFindsAHeaderAtEachEdgeOfTheSearchsReads) {
    // The search after the first header starts at offset 4 and reads 4,096 bytes, then 16,384, then
    // 65,535, each read overlapping the last by three bytes: a second header on either side of an
    // edge, or cut by it, is found all the same.
    for (const std::size_t at : {4094u, 4095u, 4096u, 4097u, 4098u, 20476u, 20477u, 20478u, 20479u, 85000u}) {
        TMemoryStream stream;
        {
            TZipDirManager manager(&stream, nullptr, true);
            AddStoredEntry(stream, manager, "one.txt", std::string(at - 37, 'f'));
            AddStoredEntry(stream, manager, "two.txt", "second");
            manager.SaveDirectory();
        }
        stream.SetSize(stream.Size() - 22);
        TZipDirManager loaded(&stream, nullptr, false);
        loaded.LoadDirectory();
        ASSERT_EQ(loaded.Dir().Count(), 2) << at;
        EXPECT_EQ(loaded.Dir().GetEntry(1).Name, "two.txt") << at;
        EXPECT_EQ(loaded.Dir().GetEntry(1).LocalHeaderOffset, at);
    }
}

TEST(ZipDirectoryLoad, RebuildTakesRecordsThatEndExactlyAtTheEndOfTheStream) {
    // A local header with the given name and extra length and no data, without its central entry.
    auto header = [](const std::string& name, std::uint16_t extra, std::uint16_t flags) {
        zip::LocalFileHeader local;
        local.VersionNeeded = 20;
        local.Flags = flags;
        local.NameLength = static_cast<std::uint16_t>(name.size());
        local.ExtraLength = extra;
        std::uint8_t raw[30];
        local.Encode(raw);
        return std::string(reinterpret_cast<const char*>(raw), 30) + name + std::string(extra, 'e');
    };
    auto rebuilt = [](const std::string& bytes) {
        auto stream = std::make_unique<TMemoryStream>();
        stream->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        auto manager = std::make_unique<TZipDirManager>(stream.get(), nullptr, false);
        manager->LoadDirectory();
        std::vector<TDirItem> items;
        for (std::int32_t i = 0; i < manager->Dir().Count(); ++i) items.push_back(manager->Dir().GetEntry(i));
        return items;
    };
    // A name that ends the stream is read; a header with nothing behind it is still a header.
    auto items = rebuilt(header("a.txt", 0, 0) + header("dir/", 0, 0));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].Name, "dir/");
    items = rebuilt(header("a.txt", 0, 0) + header("", 0, 0));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].Name, "");
    // Extra fields up to 260 bytes are taken; a longer one marks a false header.
    EXPECT_EQ(rebuilt(header("x", 260, 0)).size(), 1u);
    EXPECT_EQ(rebuilt(header("x", 261, 0)).size(), 0u);
    // A data descriptor whose 16 bytes end the stream gives the entry its CRC and sizes.
    std::uint8_t descriptor[16];
    zip::PutLE32(descriptor, 0x08074B50);
    zip::PutLE32(descriptor + 4, 0x352441C2);
    zip::PutLE32(descriptor + 8, 3);
    zip::PutLE32(descriptor + 12, 3);
    items = rebuilt(header("d.txt", 0, 8) + "abc" + std::string(reinterpret_cast<const char*>(descriptor), 16));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Crc32, 0x352441C2u);
    EXPECT_EQ(items[0].CompressedSize, 3u);
    EXPECT_EQ(items[0].UncompressedSize, 3u);
}

TEST(ZipDirectoryLoad, StubInFrontGivesThePrefixSize) {
    TMemoryStream inner;
    {
        TZipDirManager manager(&inner, nullptr, true);
        AddStoredEntry(inner, manager, "a.txt", "alpha");
        AddStoredEntry(inner, manager, "b/", "");
        manager.Dir().EntryRef(1).ExternalAttributes = 0x10;  // a folder's offset is left as it is
        manager.SaveDirectory();
    }
    TMemoryStream stream;
    const std::string stub(20000, 'S');
    stream.WriteBuffer(stub.data(), 20000);
    stream.WriteBuffer(inner.Data().data(), inner.Size());
    TZipDirManager loaded(&stream, nullptr, false);
    loaded.LoadDirectory();
    EXPECT_EQ(loaded.PrefixSize, 20000);
    ASSERT_EQ(loaded.Dir().Count(), 2);
    EXPECT_EQ(loaded.Dir().GetEntry(0).LocalHeaderOffset, 20000u);
    EXPECT_EQ(loaded.Dir().GetEntry(1).LocalHeaderOffset, 35u + 5);
}

// An archive comment is free text: one that holds an end record's signature, with a comment length
// that does not reach the end of the stream, is taken as a comment, also at the longest length, and
// the real end record in front of it is found.
TEST(ZipDirectoryLoad, CommentsThatHoldAnEndRecordOfTheirOwn) {
    std::string fake(22, '\0');
    fake[0] = 'P', fake[1] = 'K', fake[2] = 5, fake[3] = 6;
    const std::string comments[] = {
        "before " + fake + "after",                                      // its length field 0
        "x" + fake.substr(0, 20) + std::string("\x01\x00", 2) + "yz",  // a length one short
        "x" + fake.substr(0, 20) + std::string("\x03\x00", 2) + "yz",  // and one too long
        fake + std::string(65535 - 22, '.'),  // the longest comment there is
    };
    for (const std::string& comment : comments) {
        TMemoryStream stream;
        {
            TZipDirManager manager(&stream, nullptr, true);
            AddStoredEntry(stream, manager, "a.txt", "alpha");
            manager.ZipComment = comment;
            manager.SaveDirectory();
        }
        TZipDirManager loaded(&stream, nullptr, false);
        loaded.LoadDirectory();
        EXPECT_TRUE(loaded.ZipComment == comment) << comment.size();
        ASSERT_EQ(loaded.Dir().Count(), 1) << comment.size();
        EXPECT_EQ(loaded.Dir().GetEntry(0).Name, "a.txt");
        EXPECT_EQ(loaded.EndRecord.TotalEntries, 1);
    }
}

TEST(ZipDirectoryLoad, Zip64LocatorWithoutRecordFails) {
    // With bytes before the locator, and with the locator at the very start of the stream.
    for (const std::int64_t before : {10, 0}) {
        TMemoryStream stream;
        std::uint8_t locator[20];
        zip::Zip64Locator l;
        l.EndRecordOffset = before == 0 ? 0 : 5;
        l.Encode(locator);
        std::uint8_t end[22];
        zip::EndRecord().Encode(end);
        stream.WriteBuffer("0123456789", before);
        stream.WriteBuffer(locator, 20);
        stream.WriteBuffer(end, 22);
        TZipDirManager loaded(&stream, nullptr, false);
        try {
            loaded.LoadDirectory();
            FAIL() << before;
        } catch (const EZipException& e) {
            EXPECT_EQ(e.NativeError(), 40);
        }
    }
}

TEST(ZipDirectoryLoad, EmptyNameFollowedByAnotherEntryBreaksTheIndex) {
    TMemoryStream stream;
    {
        TZipDirManager manager(&stream, nullptr, true);
        AddStoredEntry(stream, manager, "", "x");
        AddStoredEntry(stream, manager, "b.txt", "y");
        manager.SaveDirectory();
    }
    TZipDirManager loaded(&stream, nullptr, false);
    try {
        loaded.LoadDirectory();
        FAIL();
    } catch (const EZipException& e) {
        EXPECT_EQ(e.Message(), "Hashed list of file names is invalid - Native error: 00059");
    }
}

TEST(ZipDirectoryLoad, ArchivesOfOtherProgramsLoadWithTheirNamesSizesAndCrcs) {
    if (!testing_support::HaveTool("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
    TestMachine m;
    const std::string folder = m.OnC("C:\\iz");
    testing_support::WriteHostFile(folder + "/alpha.txt", std::string(5000, 'a'));
    testing_support::WriteHostFile(folder + "/sub/beta.bin", testing_support::RandomBytes(3000, 9));
    ASSERT_EQ(testing_support::RunCommand("cd " + folder + " && zip -q -r ../iz.zip alpha.txt sub"), 0);
    TFileStream file("C:\\iz.zip", platform::fmOpenRead);
    TZipDirManager loaded(&file, nullptr, false);
    loaded.LoadDirectory();
    ASSERT_EQ(loaded.Dir().Count(), 3);
    std::int32_t i = -1;
    ASSERT_TRUE(loaded.Dir().FindEntry("ALPHA.TXT", i));
    const std::string a(5000, 'a');
    EXPECT_EQ(loaded.Dir().GetEntry(i).UncompressedSize, 5000u);
    EXPECT_EQ(loaded.Dir().GetEntry(i).Crc32, ~zip::Crc32Update(0xFFFFFFFF, a.data(), 5000));
    ASSERT_TRUE(loaded.Dir().FindEntry("sub/beta.bin", i));
    EXPECT_EQ(loaded.Dir().GetEntry(i).UncompressedSize, 3000u);
    EXPECT_TRUE(loaded.Dir().FindEntry("sub/", i));
    EXPECT_FALSE(loaded.Dir().GetEntry(0).ExtraFields.empty());  // Info-ZIP's own fields are kept
}

TEST(ZipDirectorySave, StoredEntriesAreAcceptedByOtherReaders) {
    const bool haveUnzip = testing_support::HaveTool("unzip");
    const bool havePython = testing_support::HaveTool("python3");
    if (!haveUnzip && !havePython) GTEST_SKIP() << "neither unzip nor python3 is installed";
    TestMachine m;
    {
        TFileStream file("C:\\stored.zip", platform::fmCreate);
        TZipDirManager manager(&file, nullptr, true);
        AddStoredEntry(file, manager, "hello.txt", "Hello, world\n");
        AddStoredEntry(file, manager, "Caf\xE9.txt", "caf\xE9\n");
        manager.SaveDirectory();
    }
    const std::string path = m.OnC("C:\\stored.zip");
    std::string out;
    if (haveUnzip) {
        EXPECT_EQ(testing_support::RunCommand("unzip -t " + path, &out), 0) << out;
    }
    if (havePython) {
        EXPECT_EQ(testing_support::RunCommand("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                                              "assert z.testzip() is None; assert z.read('hello.txt')==b'Hello, world\\n'\" " +
                                                  path,
                                              &out),
                  0)
            << out;
    }
}

TEST(ZipDirArray, IndexBoundsAndCaseInsensitiveNames) {
    TZipDirArray dir;
    dir.SetCount(3);
    const char* names[] = {"Report.TXT", "b", "R\xC9SUM\xC9"};
    for (int i = 0; i < 3; ++i) dir.RegisterName(i, names[i]);
    std::int32_t index = -1;
    EXPECT_TRUE(dir.FindEntry("report.txt", index));
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(dir.FindEntry("r\xE9sum\xE9", index));  // the letters of the ANSI code page too
    EXPECT_EQ(index, 2);
    dir.DeleteEntry(0);
    EXPECT_TRUE(dir.FindEntry("B", index));
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(dir.FindEntry("R\xE9sum\xC9", index));
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(dir.FindEntry("report.txt", index));
    auto native = [](auto&& f) {
        try {
            f();
        } catch (const EZipException& e) {
            return e.NativeError();
        }
        return -1;
    };
    EXPECT_EQ(native([&] { dir.SetEntry(5, TDirItem{}); }), 1);
    EXPECT_EQ(native([&] { dir.GetEntry(2); }), 2);
    EXPECT_EQ(native([&] { dir.EntryRef(-1); }), 3);
    EXPECT_EQ(native([&] { dir.DeleteEntry(2); }), 4);
    dir.SetCount(4);  // a slot beyond the names
    dir.SetCount(5);
    EXPECT_EQ(native([&] { dir.SetEntry(4, TDirItem{}); }), 58);
    dir.EntryRef(1).Name = "b";  // the entry's name now stands at index 0 of the name index
    EXPECT_EQ(native([&] { dir.RenameEntry(1, "z"); }), 59);
}

TEST(ZipDirArray, GrowthStepsAndRelease) {
    TZipDirArray dir;
    dir.SetCount(1000);
    EXPECT_EQ(dir.Capacity(), 1000);
    dir.SetCount(1001);
    EXPECT_EQ(dir.Capacity(), 3000);
    dir.SetCount(0);
    EXPECT_EQ(dir.Capacity(), 0);
    dir.SetCount(1);
    EXPECT_EQ(dir.Capacity(), 4000);
    dir.SetCount(4001);
    EXPECT_EQ(dir.Capacity(), 12000);
    dir.SetCount(12001);
    EXPECT_EQ(dir.Capacity(), 22000);  // the step is capped at 10,000
    dir.SetCount(50000);
    EXPECT_EQ(dir.Capacity(), 50000);  // a count beyond the step is the capacity
}

TEST(ZipDirArray, EntriesStayInPlaceAsTheDirectoryGrows) {
    // The compression workers and EntryRef's callers hold entries while the directory grows.
    TZipDirArray dir;
    dir.SetCount(1);
    dir.RegisterName(0, "first.txt");
    const TDirItem* first = &dir.EntryRef(0);
    dir.SetCount(600);
    dir.EntryRef(599).Comment = "kept";
    dir.SetCount(2);  // slots beyond the count keep their contents until reused
    dir.SetCount(40000);
    ASSERT_EQ(&dir.EntryRef(0), first);
    EXPECT_EQ(first->Name, "first.txt");
    EXPECT_EQ(dir.EntryRef(599).Comment, "kept");
    EXPECT_EQ(dir.EntryRef(39999).Comment, "");

    // Dropped items of one chain make room for later ones without losing their neighbours.
    TZipStringHash hash(1);
    hash.Insert("a", 0);
    hash.Insert("b", 1);
    hash.Insert("c", 2);
    hash.Drop("b");
    hash.Insert("d", 3);
    hash.Drop("a");
    hash.Insert("e", 4);
    EXPECT_EQ(hash.Lookup("a"), -1);
    EXPECT_EQ(hash.Lookup("b"), -1);
    EXPECT_EQ(hash.Lookup("c"), 2);
    EXPECT_EQ(hash.Lookup("d"), 3);
    EXPECT_EQ(hash.Lookup("e"), 4);
}

// An archive from elsewhere may hold one name twice. Deleting the first of the two must take out
// its own string of the name index, or every name between the two is found one place off.
TEST(ZipDirArray, DeletingTheFirstOfTwoEqualNamesKeepsTheIndexInStep) {
    TZipDirArray dir;
    dir.SetCount(3);
    const char* names[] = {"Mail.eml", "other.eml", "mail.EML"};
    for (int i = 0; i < 3; ++i) dir.RegisterName(i, names[i]);
    dir.DeleteEntry(0);
    std::int32_t index = -1;
    ASSERT_TRUE(dir.FindEntry("other.eml", index));
    ASSERT_GE(index, 0);
    ASSERT_LT(index, dir.Count());
    EXPECT_EQ(dir.EntryRef(index).Name, "other.eml");
}

TEST(ZipNameIndex, ChainsGrowPastFiveNamesEach) {
    TZipHashedStringList list;
    for (int i = 0; i < 5000; ++i) list.AddText("name" + std::to_string(i));
    EXPECT_EQ(list.FindText("NAME42"), 42);
    EXPECT_EQ(list.TextIndexChains(), 5000u);
    TZipHashedStringList small;
    small.AddText("x");
    EXPECT_EQ(small.FindText("x"), 0);
    EXPECT_EQ(small.TextIndexChains(), 1000u);
    for (int i = 1; i < 5000; ++i) small.AddText("n" + std::to_string(i));
    EXPECT_EQ(small.TextIndexChains(), 1000u);
    small.AddText("the 5001st");
    EXPECT_EQ(small.TextIndexChains(), 0u);  // dropped
    EXPECT_EQ(small.FindText("THE 5001ST"), 5000);
    EXPECT_EQ(small.TextIndexChains(), 5001u);
    small.DeleteAt(0);
    EXPECT_FALSE(small.TextIndexValid());
    small.ReplaceText(4998, "renamed");  // while the table is stale
    EXPECT_EQ(small.FindText("the 5001st"), 4999);
    EXPECT_EQ(small.FindText("RENAMED"), 4998);
    EXPECT_EQ(small.FindText("n4999"), -1);
    small.AddText("key=value");
    EXPECT_EQ(small.FindPairKey("KEY"), 5000);
    // Names too long to be kept in place: added, replaced, moved up by a deletion.
    TZipHashedStringList longNames;
    longNames.AddText("a first name of some length.eml");
    longNames.AddText("the second name of some length=x");
    EXPECT_EQ(longNames.FindText("A FIRST NAME OF SOME LENGTH.EML"), 0);
    longNames.ReplaceText(0, "renamed to another long name.eml");
    EXPECT_EQ(longNames.FindText("a first name of some length.eml"), -1);
    longNames.DeleteAt(0);
    EXPECT_EQ(longNames.At(0), "the second name of some length=x");
    EXPECT_EQ(longNames.FindText("The Second Name Of Some Length=X"), 0);
    EXPECT_EQ(longNames.FindPairKey("the second name of some length"), 0);
    TZipStringHash hash(7);
    EXPECT_EQ(hash.HashKey("ab"), ((0u ^ 'a') << 2) ^ 'b');
    hash.Insert("dup", 1);
    hash.Insert("dup", 2);
    EXPECT_EQ(hash.Lookup("dup"), 2);  // the head of the chain is the latest
    hash.Drop("dup");
    EXPECT_EQ(hash.Lookup("dup"), 1);
}
