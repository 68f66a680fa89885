// Wildcard masks, the path primitives, and which files a search selects under which names.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipMasks.h"
#include "archiver/ZipStrFunc.h"
#include "platform/FileSystem.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::TestMachine;
using testing_support::WriteHostFile;

namespace {

// The stored names of the directory, in order.
std::vector<std::string> Names(TZipBaseArchiver& a) {
    std::vector<std::string> names;
    TZipDirArray& dir = a.DirManager()->Dir();
    for (std::int32_t i = 0; i < dir.Count(); ++i) names.push_back(dir.EntryRef(i).Name);
    return names;
}

// An archiver in an open update over C:\sel.zip, ready for a search.
std::unique_ptr<TZipArchiver> Searching(TZipStorePathMode storePath, bool recurse) {
    static int serial = 0;
    auto a = std::make_unique<TZipArchiver>(nullptr);
    a->FileName = "C:\\sel" + std::to_string(++serial) + ".zip";
    a->Options().StorePath = storePath;
    a->Options().Recurse = recurse;
    a->Open(0xFFFF);
    return a;
}

// Runs the selection of AddMatchingFiles and cancels the commit before it writes anything; returns
// the names selected.
std::vector<std::string> Select(TZipArchiver& a, const TStringList& masks) {
    a.FileMasks() = masks;
    a.BeginUpdate();
    a.OnOverallProgress = [](TObject*, double, TZipProcessOperation, TZipProgressPhase phase, bool& cancel) {
        cancel = phase == ppStart;  // stop before anything is written
    };
    a.AddMatchingFiles();
    return Names(a);
}

}  // namespace

TEST(Masks, SyntaxAndExamples) {
    EXPECT_TRUE(Matches("readme.txt", "*.*"));
    EXPECT_FALSE(Matches("README", "*.*"));
    EXPECT_TRUE(Matches("", "*"));
    EXPECT_TRUE(Matches("anything", "*"));
    EXPECT_TRUE(Matches("ABC", "a?c"));
    EXPECT_TRUE(Matches("a-c", "a?c"));
    EXPECT_FALSE(Matches("ac", "a?c"));
    EXPECT_TRUE(Matches("", "*?"));
    EXPECT_TRUE(Matches("", ""));
    EXPECT_FALSE(Matches("x", ""));
    EXPECT_TRUE(Matches("ABCZ", "abcz"));  // the first and the last letter
    EXPECT_FALSE(Matches("\xC9", "\xE9"));  // only ASCII letters ignore case
    EXPECT_TRUE(Matches("abcdef", "ab*"));
    EXPECT_FALSE(Matches("abcdef", "ab"));
    EXPECT_FALSE(Matches("ab", "ab?"));
    EXPECT_FALSE(Matches("a*b", "a[*]b"));  // brackets are literals
    EXPECT_TRUE(Matches("a[x]b", "a[?]b"));
    EXPECT_TRUE(Matches("\x81\x40", "??"));  // bytes, not characters
    EXPECT_TRUE(Matches("C:\\dir\\file.txt", "C:\\DIR\\*.TXT"));
    EXPECT_TRUE(Matches("aXbXc", "*b*c"));
    EXPECT_FALSE(Matches("aXbXd", "*b*c"));
}

TEST(Masks, QuestionMarksAtTheEndsAndStarsThatMustGiveBack) {
    const struct {
        const char* text;
        const char* mask;
        bool matches;
    } cases[] = {
        // "?" takes one character, also the last one, but never the end of the text.
        {"a", "?", true},           {"", "?", false},          {"ab", "??", true},
        {"a", "??", false},         {"abc", "ab?", true},      {"abcd", "ab?", false},
        {"abcd", "*c?", true},      {"abc", "*c?", false},     {"abcdc", "*c?", false},
        {"abcdcx", "*c?", true},    {"a", "a*?", true},        {"b", "*?b", true},
        {"xb", "?*b", true},        {"b", "?*b", false},       {"x.", "*.?", false},
        // A star gives back what it took when the rest fails further on.
        {"aab", "*ab", true},       {"aaab", "*aab", true},    {"abcabd", "*abd", true},
        {"abab", "*ab", true},      {"abac", "*ab", false},    {"axb", "*ab", false},
        {"xaby", "*ab*", true},     {"xaby", "*ab", false},    {"ab", "a*b*", true},
        {"a.b.c", "*.c", true},     {"a.b.c", "*.b", false},   {"aXbXc", "*X*X*", true},
        // Only the letters a to z have a case; the bytes just outside them do not.
        {"z", "Z", true},           {"A", "a", true},          {"`", "@", false},
        {"{", "[", false},          {"@", "`", false},         {"[", "{", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Matches(c.text, c.mask), c.matches) << "'" << c.text << "' against '" << c.mask << "'";
    }
    // A star before a literal does not carry on to the items after it.
    EXPECT_EQ(TMask("*ab").Items()[1].AfterStar, false);
    // A zero byte ends the text as it ends a C string.
    EXPECT_FALSE(Matches(std::string("ab\0d", 4), "ab?d"));
    EXPECT_TRUE(Matches(std::string("ab\0d", 4), "ab"));
}

TEST(Masks, CompiledItemsAndTheThirtyStarLimit) {
    const TMask mask("*?a**b?");
    ASSERT_EQ(mask.ItemCount(), 4);
    EXPECT_TRUE(mask.Items()[0].AfterStar);
    EXPECT_EQ(mask.Items()[0].Ch, 'A');
    EXPECT_TRUE(mask.Items()[1].AfterStar);
    EXPECT_EQ(mask.Items()[2].Kind, mkAnyChar);
    EXPECT_FALSE(mask.Items()[2].AfterStar);
    EXPECT_EQ(mask.Items()[3].Ch, 0);  // the end marker
    std::string thirty;
    std::string text;
    for (int i = 0; i < 30; ++i) {
        thirty += "*x";
        text += "yx";
    }
    EXPECT_TRUE(Matches(text, thirty));
    EXPECT_FALSE(Matches(text + "y", thirty));
    const std::string thirtyOne = thirty + "*x";
    try {
        Matches(text, thirtyOne);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "Exception");
        EXPECT_EQ(e.Message(), "'" + thirtyOne + "' is an invalid mask at (62)");
    }
}

TEST(PathPrimitives, PartsAndRelativePaths) {
    TestMachine m;
    EXPECT_EQ(zip::FolderPart("C:\\a\\b.txt"), "C:\\a\\");
    EXPECT_EQ(zip::NamePart("C:\\a\\b.txt"), "b.txt");
    EXPECT_EQ(zip::FolderPart("C:b.txt"), "C:");
    EXPECT_EQ(zip::NamePart("a/b.txt"), "a/b.txt");  // a slash does not count
    EXPECT_EQ(zip::RelativePath("C:\\data\\", "C:\\data\\sub\\b.log"), "sub\\b.log");
    EXPECT_EQ(zip::RelativePath("C:\\data\\x\\", "C:\\DATA\\y.txt"), "..\\y.txt");
    EXPECT_EQ(zip::RelativePath("C:\\data\\", "D:\\x\\c.txt"), "D:\\x\\c.txt");
    EXPECT_EQ(zip::DirWithSlash("", "C:\\b"), "C:\\b\\");
    EXPECT_EQ(zip::DirWithSlash("C:\\a\\", "C:\\b"), "C:\\a\\");
    EXPECT_EQ(zip::LastPathPart("C:\\a\\sub\\"), "sub");
    // An extension is the last dot's part of the name alone, never of a folder before it.
    EXPECT_EQ(zip::FileExtension("C:\\Vandrel.7\\Kelmail.zip"), ".zip");
    EXPECT_EQ(zip::FileExtension("C:\\Vandrel.7\\Kelmail"), "");
    EXPECT_EQ(zip::FileExtension("C:.cfg\\Kelmail"), "");
    EXPECT_EQ(zip::FileExtension("a.b.Z01"), ".Z01");
    EXPECT_EQ(zip::ChangeFileExt("C:\\Vandrel.7\\Kelmail", ".zip"), "C:\\Vandrel.7\\Kelmail.zip");
    EXPECT_EQ(zip::DrivePart("\\\\server\\share\\dir\\f.txt"), "\\\\server\\share");
    EXPECT_EQ(zip::DrivePart("//server/share"), "//server/share");
    EXPECT_TRUE(zip::IsFloppyPath("a:\\x"));
    EXPECT_TRUE(zip::IsFloppyPath("B:\\x"));
    EXPECT_FALSE(zip::IsFloppyPath("C:\\x"));
    if (!testing_support::kWindows) {
        m.AddDrive('r', true);
        EXPECT_TRUE(zip::IsRemovablePath("R:\\x.zip"));
    }
    EXPECT_FALSE(zip::IsRemovablePath("C:\\x.zip"));
}

TEST(StoredNames, EveryStorePathMode) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\data\\a.txt"), "a");
    WriteHostFile(m.OnC("C:\\data\\sub\\b.log"), "b");
    TZipArchiver a(nullptr);
    const std::string base = "C:\\data\\";
    EXPECT_EQ(a.MakeStoredName("C:\\data\\a.txt", base, spNoPath, base), "a.txt");
    EXPECT_EQ(a.MakeStoredName("C:\\data\\a.txt", base, spRelativePath, base), "a.txt");
    EXPECT_EQ(a.MakeStoredName("C:\\data\\a.txt", base, spFullPath, base), "data/a.txt");
    EXPECT_EQ(a.MakeStoredName("C:\\data\\a.txt", base, spFullPathWithDrive, base), "C:/data/a.txt");
    EXPECT_EQ(a.MakeStoredName("C:\\data\\sub\\b.log", base, spRelativePath, base), "sub/b.log");
    EXPECT_EQ(a.MakeStoredName("D:\\x\\c.txt", base, spRelativePath, base), "x/c.txt");
    EXPECT_EQ(a.MakeStoredName("C:\\data\\sub\\", base, spNoPath, base), "sub");
    EXPECT_EQ(a.MakeStoredName("C:\\other\\c.txt", base, spRelativePath, base), "other/c.txt");
    EXPECT_EQ(a.MakeStoredName("\\\\server\\share\\dir\\f.txt", base, spFullPath, base), "share/dir/f.txt");
    EXPECT_EQ(a.MakeStoredName("C:\\", base, spFullPath, base), "");
}

TEST(StoredNames, ResolveMaskAndPath) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\base"));
    TZipArchiver a(nullptr);
    a.SetSearchBaseDir("C:\\base\\");
    std::string pattern;
    bool relative = false;
    a.ResolveMask("*.txt", "C:\\base", pattern, relative);
    EXPECT_EQ(pattern, "C:\\base\\*.txt");
    EXPECT_TRUE(relative);
    a.ResolveMask("D:\\x\\*.*", "C:\\base", pattern, relative);
    EXPECT_EQ(pattern, "D:\\x\\*.*");
    EXPECT_FALSE(relative);
    a.ResolveMask("\\\\srv\\share\\*", "C:\\base", pattern, relative);
    EXPECT_EQ(pattern, "\\\\srv\\share\\*");
    a.ResolveMask(".\\sub\\*.log", "C:\\base", pattern, relative);
    EXPECT_EQ(pattern, "C:\\base\\sub\\*.log");
    EXPECT_FALSE(relative);
    a.ResolveMask("..\\up\\*.*", "C:\\base", pattern, relative);
    EXPECT_EQ(pattern, "..\\up\\*.*");
    a.ResolveMask("\\x.txt", "C:\\base", pattern, relative);
    EXPECT_EQ(pattern, "C:\\base\\x.txt");
    a.ResolveMask("", "C:\\base", pattern, relative);
    EXPECT_EQ(pattern, "");
    EXPECT_EQ(a.ResolvePath("C:\\base", "f.txt", ""), "C:\\base\\f.txt");
    EXPECT_EQ(a.ResolvePath("C:\\base", "..\\g.txt", ""), "C:\\g.txt");
    EXPECT_EQ(a.ResolvePath("C:\\base", "E:\\h.txt", ""), "E:\\h.txt");
    EXPECT_EQ(a.ResolvePath("C:\\base", "", ""), "C:\\base");
    // A relative folder that does not exist stays as it is (whatever the current folder holds).
    const std::string absent = "absent-" + std::to_string(std::random_device{}());
    ASSERT_FALSE(platform::DirectoryExists(absent));
    EXPECT_EQ(a.ResolvePath(absent, "", ""), absent);
    EXPECT_EQ(a.ResolvePath("", "", ""), platform::GetCurrentDir() + (platform::GetCurrentDir().back() == '\\' ? "" : "\\"));
}

TEST(Selection, TheJobsMaskTakesEveryFileAndEverySubfolder) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\V\\LOG_EML\\b.eml"), "b");
    WriteHostFile(m.OnC("C:\\V\\LOG_EML\\A.eml"), "a");
    WriteHostFile(m.OnC("C:\\V\\LOG_EML\\.hidden"), "h");
    WriteHostFile(m.OnC("C:\\V\\LOG_EML\\noext"), "n");
    WriteHostFile(m.OnC("C:\\V\\LOG_EML\\sub\\inner.txt"), "i");
    WriteHostFile(m.OnC("C:\\V\\LOG_EML\\sub\\deeper\\deep.txt"), "d");
    auto a = testing_support::MakeJobArchiver();
    a->SetSpanningMode(smNone);
    a->FileName = "C:\\V\\Kelmail.zip";
    a->BaseDir = "C:\\V\\LOG_EML\\";
    a->Open(0xFFFF);
    Select(*a, {"C:\\V\\LOG_EML\\*.*"});
    EXPECT_EQ(Names(*a), (std::vector<std::string>{".hidden", "A.eml", "b.eml", "noext", "sub/", "inner.txt", "deeper/",
                                                   "deep.txt"}));
    const TDirItem folder = a->DirManager()->Dir().GetEntry(4);
    EXPECT_EQ(folder.ExternalAttributes, 0x10u);
    EXPECT_EQ(folder.ModDate >> 9, platform::NowPacked() >> 25);  // a folder has no time: the current one
    EXPECT_EQ(folder.Method, 0);
    EXPECT_EQ(folder.Flags, 2);
    EXPECT_EQ(folder.Crc32, 0u);
    const TDirItem file = a->DirManager()->Dir().GetEntry(1);
    EXPECT_EQ(file.Crc32, 0xFFFFFFFFu);
    EXPECT_EQ(file.Method, 8);
    EXPECT_EQ(file.VersionNeeded, 20);
    EXPECT_EQ(file.Operation, poAdd);
    EXPECT_TRUE(file.Selected);
    EXPECT_EQ(file.SourceFileName, "C:\\V\\LOG_EML\\A.eml");
    EXPECT_EQ(a->DirManager()->Dir().GetEntry(0).ExternalAttributes, 0x22u);  // hidden
}

TEST(Selection, SameStoredNameReplacesTheEarlierItem) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\s\\one\\same.txt"), "1");
    WriteHostFile(m.OnC("C:\\s\\two\\Same.TXT"), "2");  // the same name in other letters
    WriteHostFile(m.OnC("C:\\s\\two\\other.txt"), "3");
    auto a = Searching(spNoPath, true);
    a->BaseDir = "C:\\s\\";
    Select(*a, {"C:\\s\\one\\same.txt", "C:\\s\\two\\*.txt"});
    EXPECT_EQ(Names(*a), (std::vector<std::string>{"Same.TXT", "other.txt"}));
    const TDirItem replaced = a->DirManager()->Dir().GetEntry(0);
    EXPECT_EQ(replaced.Operation, poAdd);  // it replaced an item of this update, not one of the archive
    EXPECT_EQ(replaced.SourceFileName, "C:\\s\\two\\Same.TXT");
}

TEST(Selection, NewerAndOlderKeepItemsOfTheSameTime) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\s\\one\\same.txt"), "1");
    WriteHostFile(m.OnC("C:\\s\\two\\same.txt"), "2");
    const auto stamp = std::filesystem::last_write_time(m.OnC("C:\\s\\one\\same.txt"));
    std::filesystem::last_write_time(m.OnC("C:\\s\\two\\same.txt"), stamp);
    for (TZipOverwriteMode mode : {omIfNewer, omIfOlder, omNever}) {
        auto a = Searching(spNoPath, true);
        a->Options().OverwriteMode = mode;
        Select(*a, {"C:\\s\\one\\same.txt", "C:\\s\\two\\same.txt"});
        ASSERT_EQ(Names(*a).size(), 1u);
        EXPECT_EQ(a->DirManager()->Dir().GetEntry(0).SourceFileName, "C:\\s\\one\\same.txt") << int(mode);
        EXPECT_EQ(a->DirManager()->Dir().GetEntry(0).Operation, poAdd);
    }
    std::filesystem::last_write_time(m.OnC("C:\\s\\two\\same.txt"), stamp + std::chrono::hours(24));
    auto a = Searching(spNoPath, true);
    a->Options().OverwriteMode = omIfNewer;
    Select(*a, {"C:\\s\\one\\same.txt", "C:\\s\\two\\same.txt"});
    EXPECT_EQ(a->DirManager()->Dir().GetEntry(0).SourceFileName, "C:\\s\\two\\same.txt");
}

TEST(Selection, TheArchiveItselfIsNeverSelected) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\self\\a.txt"), "a");
    auto a = std::make_unique<TZipArchiver>(nullptr);
    a->FileName = "C:\\self\\Self.zip";
    a->BaseDir = "C:\\self\\";
    a->Open(0xFFFF);
    Select(*a, {"*.*"});
    EXPECT_EQ(Names(*a), std::vector<std::string>{"a.txt"});
    // Nor are the volumes of a split archive: the one being written, and older ones of its name.
    // Their numbers at the edges of a digit's range and of the count of digits; names with numbers
    // that are no volume of it stay in.
    WriteHostFile(m.OnC("C:\\split\\a.txt"), "a");
    for (const char* older : {"u.z02", "U.Z03", "u.z09", "u.z10", "u.z19", "u.z90", "u.z99", "u.z100", "u.z123456789"}) {
        WriteHostFile(m.OnC(std::string("C:\\split\\") + older), "an older volume");
    }
    for (const char* other : {"u.z00", "u.z0", "u2.z01", "v.z01"}) WriteHostFile(m.OnC(std::string("C:\\split\\") + other), "x");
    auto s = testing_support::MakeJobArchiver();
    s->FileName = "C:\\split\\u.zip";
    s->BaseDir = "C:\\split\\";
    s->Open(0xFFFF);
    std::vector<std::string> selected = Select(*s, {"*.*"});
    std::sort(selected.begin(), selected.end());
    EXPECT_EQ(selected, (std::vector<std::string>{"a.txt", "u.z0", "u.z00", "u2.z01", "v.z01"}));
    // Volumes numbered after the archive's name (w_002.zip), and those of an archive named
    // without an extension.
    const struct {
        const char* archive;
        bool advancedNaming;
        std::vector<const char*> volumes;
        std::vector<std::string> others;
    } namings[] = {
        {"w.zip", true, {"W_002.ZIP", "w_010.zip", "w_099.zip"}, {"w.z02", "w_002.txt", "wx_002.zip"}},
        {"k", false, {"k.z02", "K.Z12"}, {"k.zip", "kk", "k_002"}},
    };
    for (const auto& naming : namings) {
        const std::string folder = std::string("C:\\naming\\") + naming.archive + "\\";
        WriteHostFile(m.OnC(folder + "a.txt"), "a");
        for (const char* volume : naming.volumes) WriteHostFile(m.OnC(folder + volume), "an older volume");
        for (const std::string& other : naming.others) WriteHostFile(m.OnC(folder + other), "x");
        auto n = testing_support::MakeJobArchiver();
        n->SpanningOptions().AdvancedNaming = naming.advancedNaming;
        n->FileName = folder + naming.archive;
        n->BaseDir = folder;
        n->Open(0xFFFF);
        std::vector<std::string> found = Select(*n, {"*.*"});
        std::sort(found.begin(), found.end());
        std::vector<std::string> want = naming.others;
        want.push_back("a.txt");
        std::sort(want.begin(), want.end());
        EXPECT_EQ(found, want) << naming.archive;
    }
}

TEST(Selection, AttributesOutsideTheFilterAndExclusions) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\f\\plain.txt"), "p");
    WriteHostFile(m.OnC("C:\\f\\locked.txt"), "l");
    WriteHostFile(m.OnC("C:\\f\\skip.log"), "s");
    WriteHostFile(m.OnC("C:\\f\\old.log\\in.txt"), "i");  // a folder: a file mask does not exclude it
    WriteHostFile(m.OnC("C:\\f\\tmpdir\\x.txt"), "x");    // a folder that "tmp*" excludes
    std::filesystem::permissions(m.OnC("C:\\f\\locked.txt"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    auto a = Searching(spNoPath, false);
    a->Options().SearchAttr = 0x01;  // read-only files only
    Select(*a, {"C:\\f\\*.*"});
    EXPECT_EQ(Names(*a), std::vector<std::string>{"locked.txt"});
    auto b = Searching(spNoPath, false);
    b->BaseDir = "C:\\f\\";
    b->ExclusionMasks() = {"*.log", "tmp*"};
    b->NoCompressionMasks() = {"plain.txt"};
    Select(*b, {"C:\\f\\*.*"});
    EXPECT_EQ(Names(*b), (std::vector<std::string>{"locked.txt", "plain.txt", "old.log/", "in.txt"}));
    EXPECT_EQ(b->DirManager()->Dir().GetEntry(1).Method, 0);
    EXPECT_EQ(b->DirManager()->Dir().GetEntry(1).CompressionMode, 0);
    EXPECT_EQ(b->DirManager()->Dir().GetEntry(0).Method, 8);
}

TEST(Selection, SingleFilesAndMasksWithFolderParts) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\r\\a.txt"), "a");
    WriteHostFile(m.OnC("C:\\r\\sub\\a.txt"), "b");
    WriteHostFile(m.OnC("C:\\r\\sub\\deep\\a.txt"), "c");
    auto a = Searching(spRelativePath, true);
    a->BaseDir = "C:\\r\\";
    a->Options().SearchAttr = 10431 & ~0x10;
    Select(*a, {"C:\\r\\a.txt"});
    EXPECT_EQ(Names(*a), std::vector<std::string>{"a.txt"});
    auto b = Searching(spRelativePath, true);
    b->BaseDir = "C:\\r\\";
    b->Options().SearchAttr = 10431 & ~0x10;
    Select(*b, {"sub\\a.txt"});
    EXPECT_EQ(Names(*b), std::vector<std::string>{"sub/a.txt"});
    auto c = Searching(spRelativePath, true);
    c->BaseDir = "C:\\r\\";
    c->Options().SearchAttr = 10431 & ~0x10;
    Select(*c, {"a.txt"});  // no folder part: carried into every subfolder
    EXPECT_EQ(Names(*c), (std::vector<std::string>{"a.txt", "sub/a.txt", "sub/deep/a.txt"}));
    auto d = Searching(spRelativePath, true);
    d->BaseDir = "C:\\r\\";
    d->Options().SearchAttr = 10431 & ~0x10;
    d->ExclusionMasks() = {"C:\\r\\sub\\*.*"};  // the folder's files and everything below it
    Select(*d, {"a.txt"});
    EXPECT_EQ(Names(*d), std::vector<std::string>{"a.txt"});
}

TEST(Selection, ConfirmationAndStoreFileHandlers) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\h\\keep.txt"), "k");
    WriteHostFile(m.OnC("C:\\h\\drop.txt"), "d");
    auto a = Searching(spNoPath, false);
    a->OnConfirmProcessFile = [](TObject*, const std::string& f, TZipProcessOperation op, bool& confirm) {
        EXPECT_EQ(op, poAdd);
        confirm = f.find("drop") == std::string::npos;
    };
    a->OnStoreFile = [](TObject*, std::string& f, std::uint32_t& attr, std::string& comment, const std::string& original) {
        EXPECT_EQ(original, "C:\\h\\keep.txt");
        f = "renamed\\" + f;
        attr = 0x21;
        comment = "kept";
    };
    Select(*a, {"C:\\h\\*.*"});
    ASSERT_EQ(Names(*a), std::vector<std::string>{"renamed/keep.txt"});
    const TDirItem item = a->DirManager()->Dir().GetEntry(0);
    EXPECT_EQ(item.ExternalAttributes, 0x21u);
    EXPECT_EQ(item.Comment, "kept");
    EXPECT_EQ(item.CommentLength, 4);
    std::int32_t index = -1;
    EXPECT_TRUE(a->DirManager()->Dir().FindEntry("RENAMED/KEEP.TXT", index));
}

// A search walks down a tree holding nothing open for the folders it has still to walk on each
// level: a tree deeper than the file descriptors the process has left (a low limit, or a tree
// made deep on purpose by whoever may write in the folder) is searched to its bottom, and the
// mail there selected, never left out unseen because a folder on the way could not be opened.
TEST(Selection, ATreeDeeperThanTheFileDescriptorsLeftIsSearchedToItsBottom) {
    SKIP_ON_WINDOWS("the Linux process's limit on open files");
#if !defined(_WIN32)
    TestMachine m;
    std::string folder = "C:\\deep";
    for (int i = 0; i < 50; ++i) folder += "\\d" + std::to_string(i);
    WriteHostFile(m.OnC(folder + "\\bottom.eml"), "mail");
    auto a = Searching(spNoPath, false);
    int open = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) open += fd.is_symlink() ? 1 : 0;
    struct Limit {
        rlimit saved{};
        ~Limit() { ::setrlimit(RLIMIT_NOFILE, &saved); }
    } limit;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit.saved), 0);
    rlimit tight = limit.saved;
    tight.rlim_cur = static_cast<rlim_t>(open + 30);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::vector<std::string> names = Select(*a, {"C:\\deep\\*.*"});
    ::setrlimit(RLIMIT_NOFILE, &limit.saved);
    ASSERT_EQ(names.size(), 51u);
    EXPECT_EQ(names[49], "d49/");
    EXPECT_EQ(names.back(), "bottom.eml");
#endif
}

// A mail that another user takes away while the search goes through its folder (here when the
// search is at the mail before it) was there when the folder was read: it is selected, and its
// reading fails and is asked about, as for a mail taken away a moment later; the search must not
// pass over it unseen and let the run end as if the folder never held it.
TEST(Selection, AFileTakenAwayWhileTheSearchGoesThroughItsFolderIsAskedAbout) {
    SKIP_ON_WINDOWS("the Linux backend's listing, whose look-ups follow the reading of the folder");
    TestMachine m;
    for (const char* name : {"a.eml", "b.eml", "c.eml"}) WriteHostFile(m.OnC("C:\\h\\") + name, name);
    auto a = Searching(spNoPath, false);
    a->FileMasks() = {"C:\\h\\*.*"};
    a->OnConfirmProcessFile = [&m](TObject*, const std::string& f, TZipProcessOperation, bool&) {
        if (f == "C:\\h\\a.eml") std::filesystem::remove(m.OnC("C:\\h\\b.eml"));
    };
    std::vector<std::string> failed;
    a->OnProcessFileFailure = [&failed](TObject*, const std::string& name, TZipProcessOperation, int, int,
                                        const std::string&, TZipAction& action) {
        failed.push_back(name);
        action = fxaIgnore;
    };
    a->AddMatchingFiles();
    EXPECT_EQ(failed, std::vector<std::string>{"C:\\h\\b.eml"});
    EXPECT_EQ(Names(*a), (std::vector<std::string>{"a.eml", "c.eml"}));
}
