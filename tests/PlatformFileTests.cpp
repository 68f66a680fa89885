// The Linux backend's files, folders and drives, seen through the Windows-shaped interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/CodePage.h"
#include "platform/Faults.h"
#include "platform/FileSystem.h"
#include "platform/Streams.h"
#include "tests/TestSupport.h"

using namespace platform;
using testing_support::TestMachine;
using testing_support::WriteHostFile;

TEST(PathMapping, ExpandsWindowsPathsAndResolvesDotSteps) {
    TestMachine m;
    EXPECT_EQ(ExpandFileName("C:\\a\\.\\b\\..\\c.txt"), "C:\\a\\c.txt");
    EXPECT_EQ(ExpandFileName("c:/a/b/"), "c:\\a\\b\\");  // the drive letter keeps its case
    EXPECT_EQ(ExpandFileName("C:\\a\\\\b"), "C:\\a\\b");
    EXPECT_EQ(ExpandFileName("C:\\.."), "C:\\");
    EXPECT_EQ(ExpandFileName("C:\\a\\b.txt. "), "C:\\a\\b.txt");  // trailing dots and spaces of the last name go
    EXPECT_EQ(ExpandFileName("\\\\server\\share\\x\\..\\y"), "\\\\server\\share\\y");
    EXPECT_EQ(ExpandFileName(""), "");
}

TEST(PathMapping, ResolvesEachComponentWithoutRegardToCase) {
    SKIP_ON_WINDOWS("the drives of the Linux machine folder");
    TestMachine m;
    WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\Report.eml"), "x");
    EXPECT_TRUE(FileExists("C:\\VANDREL\\log_eml\\REPORT.EML"));
    EXPECT_TRUE(DirectoryExists("c:\\vandrel\\Log_Eml\\"));
    EXPECT_FALSE(FileExists("C:\\Vandrel\\LOG_EML"));
    EXPECT_FALSE(FileExists("C:\\Vandrel\\missing.eml"));
    // Accented letters are one letter in both cases, as the ANSI code page has them.
    WriteHostFile(m.OnC("C:\\caf\xC3\xA9.txt"), "x");
    EXPECT_TRUE(FileExists("C:\\CAF\xC9.TXT"));
}

TEST(PathMapping, DrivesComeFromTheMachineFolder) {
    SKIP_ON_WINDOWS("the drives of the Linux machine folder");
    TestMachine m;
    const std::string d = m.AddDrive('d');
    WriteHostFile(d + "/x.txt", "1");
    EXPECT_TRUE(FileExists("D:\\x.txt"));
    EXPECT_EQ(GetDriveType("D:\\"), DriveType::Fixed);
    EXPECT_EQ(GetDriveType("Q:\\"), DriveType::NoRootDir);
    m.AddDrive('e', true);
    EXPECT_EQ(GetDriveType("E:\\"), DriveType::Removable);
    EXPECT_EQ(GetDriveType("A:\\"), DriveType::NoRootDir);
    // Z: is the host's root unless the machine says otherwise.
    EXPECT_TRUE(DirectoryExists("Z:\\tmp"));
}

TEST(PathMapping, CurrentFolderIsNamedThroughTheLongestDrive) {
    SKIP_ON_WINDOWS("the drives of the Linux machine folder");
    TestMachine m;
    const std::string d = m.AddDrive('d');
    testing_support::MakeHostDirs(d + "/work/sub");
    const std::string before = std::filesystem::current_path().string();
    std::filesystem::current_path(d + "/work/sub");
    EXPECT_EQ(GetCurrentDir(), "D:\\work\\sub");
    EXPECT_EQ(ExpandFileName("a.txt"), "D:\\work\\sub\\a.txt");
    EXPECT_EQ(ExpandFileName("\\x"), "D:\\x");
    std::filesystem::current_path(before);
}

TEST(FileAttributes, FolderFileReadOnlyAndHiddenBits) {
    SKIP_ON_WINDOWS("names beginning with a dot are hidden only on the Linux machine");
    TestMachine m;
    WriteHostFile(m.OnC("C:\\f\\plain.txt"), "abc");
    WriteHostFile(m.OnC("C:\\f\\.secret"), "abc");
    WriteHostFile(m.OnC("C:\\f\\locked.txt"), "abc");
    std::filesystem::permissions(m.OnC("C:\\f\\locked.txt"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    EXPECT_EQ(GetFileAttributes("C:\\f"), faDirectory);
    EXPECT_EQ(GetFileAttributes("C:\\f\\plain.txt"), faArchive);
    EXPECT_EQ(GetFileAttributes("C:\\f\\.secret"), faArchive | faHidden);
    EXPECT_EQ(GetFileAttributes("C:\\f\\locked.txt"), faArchive | faReadOnly);
    EXPECT_EQ(GetFileAttributes("C:\\f\\none"), faInvalid);
    EXPECT_GT(FileAge("C:\\f\\plain.txt"), 0);
    // 2024-03-15 12:00 UTC is the 15th of March wherever the clock is within 12 hours of UTC.
    std::filesystem::last_write_time(
        m.OnC("C:\\f\\plain.txt"), std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(1710504000)));
    EXPECT_EQ(static_cast<std::uint32_t>(FileAge("C:\\f\\plain.txt")) >> 16, (44u << 9) | (3u << 5) | 15u);
    EXPECT_EQ(FileAge("C:\\f"), -1);
}

TEST(FileAttributes, PackedDateTimeLayout) {
    // 2024-03-15 13:45:58: seconds/2 in bits 0-4, minutes 5-10, hours 11-15, day, month, year-1980.
    const std::int32_t packed = PackDateTime(2024, 3, 15, 13, 45, 58);
    EXPECT_EQ(packed & 0x1F, 29);
    EXPECT_EQ((packed >> 5) & 0x3F, 45);
    EXPECT_EQ((packed >> 11) & 0x1F, 13);
    EXPECT_EQ((packed >> 16) & 0x1F, 15);
    EXPECT_EQ((packed >> 21) & 0x0F, 3);
    EXPECT_EQ((packed >> 25) & 0x7F, 44);
    EXPECT_EQ(PackDateTime(1979, 12, 31, 0, 0, 0), -1);
    EXPECT_EQ(PackDateTime(2108, 1, 1, 0, 0, 0), -1);
}

TEST(FolderEnumeration, FiltersSpecialEntriesAndSortsByName) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\e\\b.txt"), "1");
    WriteHostFile(m.OnC("C:\\e\\A.txt"), "1");
    WriteHostFile(m.OnC("C:\\e\\.hid"), "1");
    WriteHostFile(m.OnC("C:\\e\\noext"), "1");
    testing_support::MakeHostDirs(m.OnC("C:\\e\\sub"));
    auto list = [](const std::string& pattern, std::uint32_t filter) {
        std::vector<std::string> names;
        FindHandle find;
        FindEntry e;
        for (bool more = find.First(pattern, filter, e); more; more = find.Next(e)) names.push_back(e.Name);
        return names;
    };
    EXPECT_EQ(list("C:\\e\\*.*", faArchive), (std::vector<std::string>{"A.txt", "b.txt", "noext"}));
    EXPECT_EQ(list("C:\\e\\*.*", faArchive | faHidden),
              (std::vector<std::string>{".hid", "A.txt", "b.txt", "noext"}));
    EXPECT_EQ(list("C:\\e\\*", faDirectory | faHidden | faSysFile),
              (std::vector<std::string>{".", "..", ".hid", "A.txt", "b.txt", "noext", "sub"}));
    EXPECT_EQ(list("C:\\e\\*.TXT", faArchive), (std::vector<std::string>{"A.txt", "b.txt"}));
    EXPECT_EQ(list("C:\\e\\?.txt", faArchive), (std::vector<std::string>{"A.txt", "b.txt"}));
    EXPECT_EQ(list("C:\\e\\b.txt*", faArchive), std::vector<std::string>{"b.txt"});  // a star for nothing
    EXPECT_TRUE(list("C:\\nothere\\*.*", faArchive).empty());
    std::vector<std::string> folders;
    FindHandle find;
    FindEntry e;
    for (bool more = find.FirstFolder("C:\\e\\*", faDirectory | faHidden | faSysFile, e); more; more = find.Next(e)) {
        folders.push_back(e.Name);
    }
    EXPECT_EQ(folders, (std::vector<std::string>{".", "..", "sub"}));
}

#if !defined(_WIN32)
namespace {

std::vector<std::string> Listed(const std::string& pattern) {
    std::vector<std::string> names;
    FindHandle find;
    FindEntry e;
    for (bool more = find.First(pattern, faArchive | faHidden | faSysFile, e); more; more = find.Next(e)) {
        names.push_back(e.Name);
    }
    return names;
}

std::string Content(const std::string& path) {
    TFileStream f(path, fmOpenRead | fmShareDenyWrite);
    std::string s(static_cast<std::size_t>(f.Size()), '\0');
    f.ReadBuffer(s.data(), static_cast<std::int64_t>(s.size()));
    return s;
}

OsError OpenError(const std::string& path) {
    try {
        TFileStream f(path, fmOpenRead | fmShareDenyWrite);
    } catch (const EFOpenError& e) {
        return e.Error();
    }
    return OsError::None;
}

}  // namespace

TEST(HostFiles, OnlyFilesAndFoldersAreListedOrOpened) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\e\\a.eml"), "a");
    ASSERT_EQ(::mkfifo(m.OnC("C:\\e\\pipe.eml").c_str(), 0600), 0);
    std::filesystem::create_symlink(m.OnC("C:\\gone"), m.OnC("C:\\e\\dangling.eml"));
    EXPECT_EQ(Listed("C:\\e\\*.*"), std::vector<std::string>{"a.eml"});
    EXPECT_EQ(GetFileAttributes("C:\\e\\pipe.eml"), faInvalid);
    // An open by name fails at once; it must not wait for a writer to come.
    EXPECT_EQ(OpenError("C:\\e\\pipe.eml"), OsError::AccessDenied);
    EXPECT_EQ(OpenError("C:\\E\\PIPE.EML"), OsError::AccessDenied);
    EXPECT_THROW(TFileStream("C:\\e\\pipe.eml", fmCreate), EFCreateError);
    EXPECT_FALSE(DeleteFile("C:\\e\\pipe.eml"));
    EXPECT_EQ(OpenError("Z:\\dev\\null"), OsError::AccessDenied);
    EXPECT_EQ(OpenError("C:\\e"), OsError::AccessDenied);
}

// A listing reads the folder's names at once and looks each up when its turn comes. A file that
// was there when the folder was read and is gone, or no file any more, by its turn (deleted, moved
// away, replaced by a pipe or a link to nothing, by anyone who may write in the folder) is still
// listed as a file, which cannot be opened: a run asks about it, as it does about a file that went
// just after the listing, and never leaves a mail out unseen. What was no file when the folder
// was read stays unlisted.
TEST(HostFiles, AFileGoneOrNoFileAnyMoreByItsTurnIsStillListed) {
    TestMachine m;
    for (const char* name : {"a.eml", "b.eml", "c.eml", "d.eml", "e.eml", ".f.eml", "Twin.eml", "twin.eml"}) {
        WriteHostFile(m.OnC("C:\\e\\") + name, name);
    }
    ASSERT_EQ(::mkfifo(m.OnC("C:\\e\\pipe.eml").c_str(), 0600), 0);
    std::filesystem::create_directories(m.OnC("C:\\e\\sub"));
    FindHandle find;
    FindEntry e;
    ASSERT_TRUE(find.First("C:\\e\\*.*", faArchive | faHidden | faSysFile, e));
    EXPECT_EQ(e.Name, ".f.eml");
    std::filesystem::remove(m.OnC("C:\\e\\a.eml"));
    std::filesystem::rename(m.OnC("C:\\e\\b.eml"), m.OnC("C:\\e\\moved.eml"));
    std::filesystem::remove(m.OnC("C:\\e\\c.eml"));
    ASSERT_EQ(::mkfifo(m.OnC("C:\\e\\c.eml").c_str(), 0600), 0);
    std::filesystem::remove(m.OnC("C:\\e\\d.eml"));
    std::filesystem::create_symlink(m.OnC("C:\\gone"), m.OnC("C:\\e\\d.eml"));
    std::filesystem::remove(m.OnC("C:\\e\\pipe.eml"));
    std::filesystem::remove(m.OnC("C:\\e\\sub"));
    // A file gone that differs only in case from the one before it is marked as it would have been.
    std::filesystem::remove(m.OnC("C:\\e\\twin.eml"));
    std::vector<std::pair<std::string, std::uint32_t>> rest;
    while (find.Next(e)) rest.emplace_back(e.Name, e.Attr);
    EXPECT_EQ(rest, (std::vector<std::pair<std::string, std::uint32_t>>{
                        {"a.eml", faArchive}, {"b.eml", faArchive}, {"c.eml", faArchive}, {"d.eml", faArchive},
                        {"e.eml", faArchive}, {"Twin.eml", faArchive}, {"?win.eml", faArchive}}));
    for (const char* name : {"a.eml", "b.eml", "c.eml", "d.eml"}) {
        EXPECT_NE(OpenError(std::string("C:\\e\\") + name), OsError::None) << name;
    }
    // A name that makes a file hidden still does, for a filter without the hidden bit.
    for (const char* name : {"!a.eml", ".h.eml", "x.eml"}) WriteHostFile(m.OnC("C:\\h\\") + name, name);
    ASSERT_TRUE(find.First("C:\\h\\*.*", faArchive, e));
    EXPECT_EQ(e.Name, "!a.eml");
    std::filesystem::remove(m.OnC("C:\\h\\.h.eml"));
    std::filesystem::remove(m.OnC("C:\\h\\x.eml"));
    ASSERT_TRUE(find.Next(e));
    EXPECT_EQ(e.Name, "x.eml");
    EXPECT_FALSE(find.Next(e));
}

// A file is only ever created new, and a rename never lands on a name that is taken: whatever
// another user put in the folder (a file, a link to a file elsewhere, a link to nothing yet) fails
// the creation or the rename, and nothing is written where the name leads.
TEST(HostFiles, CreationAndRenameNeverReplaceOrWriteThroughATakenName) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\other\\victim.txt"), "victim");
    WriteHostFile(m.OnC("C:\\srv\\taken.bin"), "taken");
    WriteHostFile(m.OnC("C:\\srv\\volume.bin"), "volume");
    std::filesystem::create_symlink(m.OnC("C:\\other\\victim.txt"), m.OnC("C:\\srv\\link.bin"));
    std::filesystem::create_symlink(m.OnC("C:\\other\\new.txt"), m.OnC("C:\\srv\\dangling.bin"));
    for (const char* name : {"C:\\srv\\taken.bin", "C:\\SRV\\TAKEN.BIN", "C:\\srv\\link.bin", "C:\\srv\\dangling.bin"}) {
        try {
            TFileStream f(name, fmCreate);
            f.WriteBuffer("archive", 7);
            ADD_FAILURE() << "created " << name << " over a taken name";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Error(), OsError::AlreadyExists) << name;
        }
        EXPECT_FALSE(RenameFile("C:\\srv\\volume.bin", name)) << name;
    }
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\other\\victim.txt")), "victim");
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\srv\\taken.bin")), "taken");
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\srv\\volume.bin")), "volume");
    EXPECT_FALSE(testing_support::HostExists(m.OnC("C:\\other\\new.txt")));
    EXPECT_TRUE(std::filesystem::is_symlink(m.OnC("C:\\srv\\link.bin")));
    // A free name takes the new file and the rename; a change of letter case is no other name.
    EXPECT_NO_THROW(TFileStream("C:\\srv\\fresh.bin", fmCreate));
    EXPECT_TRUE(RenameFile("C:\\srv\\volume.bin", "C:\\srv\\last.bin"));
    EXPECT_TRUE(RenameFile("C:\\srv\\last.bin", "C:\\srv\\LAST.BIN"));
    EXPECT_EQ(Content("C:\\srv\\last.bin"), "volume");
}

// A file is deleted (or renamed) only after a look at who holds it open, which opens it. Whoever
// may write in the folder can swap the file for a link between the look-up and that open, again
// and again: the open must never follow the link (to a device whose opening does something, a
// watchdog, a tape), so the file the link leads to is never opened. The swaps race the deletes:
// a run that follows links meets one within a few hundred deletes.
TEST(HostFiles, ADeleteOrRenameNeverOpensAFileThroughALinkSwappedIn) {
    TestMachine m;
    const std::string target = m.OnC("C:\\other\\device");
    WriteHostFile(target, "device");
    const std::string name = m.OnC("C:\\srv\\Kelmail.z03");
    WriteHostFile(m.OnC("C:\\srv\\keep.txt"), "keep");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, target.c_str(), IN_OPEN), 0);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const std::string file = name + ".file";
        const std::string link = name + ".link";
        while (!stop) {
            WriteHostFile(file, "old volume");
            ::rename(file.c_str(), name.c_str());
            ::symlink(target.c_str(), link.c_str());
            ::rename(link.c_str(), name.c_str());
        }
    });
    int opened = 0;
    for (int i = 0; i < 4000 && opened == 0; ++i) {
        DeleteFile("C:\\srv\\Kelmail.z03");
        RenameFile("C:\\srv\\Kelmail.z03", "C:\\srv\\Kelmail.z04");
        ::unlink(m.OnC("C:\\srv\\Kelmail.z04").c_str());
        inotify_event events[16];
        if (::read(watch, events, sizeof events) > 0) ++opened;
    }
    stop = true;
    swapper.join();
    ::close(watch);
    EXPECT_EQ(opened, 0) << "the file behind a link swapped in was opened";
    EXPECT_EQ(testing_support::ReadHostFile(target), "device");
}

// A FIFO in a mail folder belongs to another program. Refusing to open it must leave that program
// as it was: a writer waiting for a reader must go on waiting, not get a reader that vanishes
// with what it wrote.
TEST(HostFiles, RefusingAFifoLeavesItsWaitingWriterWaiting) {
    TestMachine m;
    const std::string fifo = m.OnC("C:\\e\\pipe.eml");
    testing_support::MakeHostDirs(m.OnC("C:\\e"));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int fd = ::open(fifo.c_str(), O_WRONLY);  // waits for a reader
        ::_exit(fd >= 0 && ::write(fd, "mail", 4) == 4 ? 0 : 1);
    }
    ::usleep(200000);  // the writer is waiting in its open by now
    EXPECT_EQ(OpenError("C:\\e\\pipe.eml"), OsError::AccessDenied);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 20 && ended == 0; ++i) {
        ::usleep(25000);
        ended = ::waitpid(writer, &status, WNOHANG);
    }
    EXPECT_EQ(ended, 0) << "the writer's open completed and it went on (status " << status << ")";
    if (ended == 0) {
        ::kill(writer, SIGKILL);
        ::waitpid(writer, &status, 0);
    }
}

// A symbolic link is never followed: whoever may write in a mail folder could make one lead to any
// file the program's user may read (mailed out under a mail's name), to a folder above (a walk that
// goes round for ever) or to a folder elsewhere. A link to a file or a folder is listed as a file,
// never as a folder to search, and it cannot be opened: it is asked about like any unreadable file.
TEST(HostFiles, LinksAreListedAsFilesThatCannotBeOpened) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\e\\sub\\a.eml"), "a");
    WriteHostFile(m.OnC("C:\\other\\b.eml"), "b");
    WriteHostFile(m.OnC("C:\\secret.txt"), "secret");
    std::filesystem::create_directory_symlink(".", m.OnC("C:\\e\\sub\\x"));
    std::filesystem::create_directory_symlink("..", m.OnC("C:\\e\\sub\\up"));
    std::filesystem::create_directory_symlink(m.OnC("C:\\other"), m.OnC("C:\\e\\sub\\elsewhere"));
    std::filesystem::create_symlink(m.OnC("C:\\secret.txt"), m.OnC("C:\\e\\sub\\shadow.eml"));
    std::filesystem::create_symlink("a.eml", m.OnC("C:\\e\\sub\\alias.eml"));
    std::vector<std::pair<std::string, std::uint32_t>> listed;
    FindHandle find;
    FindEntry e;
    for (bool more = find.First("C:\\e\\sub\\*.*", faDirectory | faArchive | faHidden | faSysFile, e); more; more = find.Next(e)) {
        listed.emplace_back(e.Name, e.Attr & (faDirectory | faArchive));
    }
    const std::vector<std::pair<std::string, std::uint32_t>> expected{
        {".", faDirectory}, {"..", faDirectory}, {"a.eml", faArchive}, {"alias.eml", faArchive},
        {"elsewhere", faArchive}, {"shadow.eml", faArchive}, {"up", faArchive}, {"x", faArchive}};
    EXPECT_EQ(listed, expected);
    for (const char* link : {"shadow.eml", "alias.eml", "elsewhere", "up", "x"}) {
        EXPECT_EQ(OpenError(std::string("C:\\e\\sub\\") + link), OsError::AccessDenied) << link;
    }
    EXPECT_EQ(OpenError("C:\\E\\SUB\\SHADOW.EML"), OsError::AccessDenied);
    EXPECT_EQ(Content("C:\\e\\sub\\a.eml"), "a");
}

// A folder the user may not list or enter would be searched as empty, and the mail in it left out
// of a run reported as a success: it is listed as a file that cannot be opened, so that it is asked
// about. Root may list any folder; the child that lists gives up that right, so the test means the
// same whoever runs it.
TEST(HostFiles, AFolderThatCannotBeListedIsListedAsAFileThatCannotBeOpened) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\e\\a.eml"), "a");
    WriteHostFile(m.OnC("C:\\e\\open\\b.eml"), "b");
    WriteHostFile(m.OnC("C:\\e\\shut\\c.eml"), "c");
    WriteHostFile(m.OnC("C:\\e\\blind\\d.eml"), "d");
    std::filesystem::permissions(m.OnC("C:\\e\\shut"), std::filesystem::perms::none);
    std::filesystem::permissions(m.OnC("C:\\e\\blind"), std::filesystem::perms::owner_read);  // listed, not entered
    const std::string report = m.OnC("C:\\report.txt");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const testing_support::WithoutRootsReadRight user;  // the child ends with _exit, never restoring it
        std::string text;
        FindHandle find;
        FindEntry e;
        for (bool more = find.First("C:\\e\\*.*", faArchive | faHidden | faSysFile, e); more; more = find.Next(e)) {
            text += e.Name + " " + std::to_string(e.Attr & (faDirectory | faArchive)) + ";";
        }
        text += "|";
        for (bool more = find.FirstFolder("C:\\e\\*", faDirectory | faHidden | faSysFile, e); more; more = find.Next(e)) {
            text += e.Name + ";";
        }
        text += "|" + std::to_string(static_cast<int>(OpenError("C:\\e\\shut")));
        testing_support::WriteHostFile(report, text);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::filesystem::permissions(m.OnC("C:\\e\\shut"), std::filesystem::perms::owner_all);
    std::filesystem::permissions(m.OnC("C:\\e\\blind"), std::filesystem::perms::owner_all);
    const std::string archive = std::to_string(faArchive);
    EXPECT_EQ(testing_support::ReadHostFile(report), "a.eml " + archive + ";blind " + archive + ";shut " + archive + ";|.;..;open;|" +
                                        std::to_string(static_cast<int>(OsError::AccessDenied)));
}

// The listing of folders alone passes files over without querying them, by the type the folder
// records; what it gives must still be exactly the folders of the full listing.
TEST(HostFiles, AListingOfFoldersGivesTheFoldersOfTheFullListing) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\e\\a.eml"), "a");
    WriteHostFile(m.OnC("C:\\e\\sub\\b.eml"), "b");
    WriteHostFile(m.OnC("C:\\other\\c.eml"), "c");
    testing_support::MakeHostDirs(m.OnC("C:\\e\\.hidden"));
    ASSERT_EQ(::mkfifo(m.OnC("C:\\e\\pipe").c_str(), 0600), 0);
    std::filesystem::create_directory_symlink(m.OnC("C:\\other"), m.OnC("C:\\e\\linked"));
    std::filesystem::create_directory_symlink("..", m.OnC("C:\\e\\up"));
    std::filesystem::create_symlink("a.eml", m.OnC("C:\\e\\alias"));
    std::filesystem::create_symlink(m.OnC("C:\\gone"), m.OnC("C:\\e\\dangling"));
    auto list = [](bool foldersOnly, std::uint32_t filter) {
        std::vector<std::pair<std::string, std::uint32_t>> found;
        FindHandle find;
        FindEntry e;
        for (bool more = foldersOnly ? find.FirstFolder("C:\\e\\*", filter, e) : find.First("C:\\e\\*", filter, e); more;
             more = find.Next(e)) {
            if (!foldersOnly && (e.Attr & faDirectory) == 0) continue;
            found.emplace_back(e.Name, e.Attr);
        }
        return found;
    };
    const std::uint32_t all = faDirectory | faHidden | faSysFile;
    const auto folders = list(true, all);
    EXPECT_EQ(folders, list(false, all));
    std::vector<std::string> names;
    for (const auto& f : folders) names.push_back(f.first);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".hidden", "sub"}));
    // The filter holds as in the full listing: no hidden folder without the hidden bit.
    EXPECT_EQ(list(true, faDirectory).size(), 3u);
    EXPECT_TRUE(list(true, faHidden | faArchive).empty());
}

// Folders whose names differ only in case sort as equals; their order must not hang on what else
// the folder holds, or an archive of the same tree comes out different with folders listed alone.
TEST(HostFiles, FoldersDifferingOnlyInCaseComeInOneOrderWithOrWithoutTheFiles) {
    TestMachine m;
    for (int i = 0; i < 40; ++i) WriteHostFile(m.OnC("C:\\e\\f" + std::to_string(100 + i) + ".eml"), "x");
    for (const char* name : {"box", "BOX", "Box", "bOx"}) std::filesystem::create_directories(m.OnC("C:\\e") + "/" + name);
    auto folders = [](bool foldersOnly) {
        std::vector<std::string> found;
        FindHandle find;
        FindEntry e;
        const std::uint32_t all = faDirectory | faHidden | faSysFile;
        for (bool more = foldersOnly ? find.FirstFolder("C:\\e\\*", all, e) : find.First("C:\\e\\*", all, e); more;
             more = find.Next(e)) {
            if ((e.Attr & faDirectory) != 0) found.push_back(e.Name);
        }
        return found;
    };
    EXPECT_EQ(folders(true), folders(false));
}

// Names sort by their capitals, accented letters too (\xC9 and \xE9 alike, after every plain
// letter), a name that is the start of another before it, and of two files whose names differ only in the case of an accented letter the later
// one in byte order is marked.
TEST(HostFiles, AccentedNamesSortByTheirCapitalsAndCaseTwinsAreMarked) {
    TestMachine m;
    // UTF-8 on the host: \xC3\xA9 is \xE9, \xC3\x89 is \xC9 in the ANSI code page.
    for (const char* name : {"\xC3\xA9t\xC3\xA9.eml", "f.eml", "\xC3\x89t\xC3\xA9.eml", "\xC3\xA9" "a.eml", "e.eml", "E.eml.old"}) {
        WriteHostFile(m.OnC("C:\\e\\") + name, name);
    }
    EXPECT_EQ(Listed("C:\\e\\*.*"),
              (std::vector<std::string>{"e.eml", "E.eml.old", "f.eml", "\xE9" "a.eml", "\xC9t\xE9.eml", "?t\xE9.eml"}));
}

TEST(HostFiles, ForeignNamesAreListedButNeverOpenedAndTheExactNameWins) {
    TestMachine m;
    // Cyrillic names: Windows-1252 has none of their letters.
    WriteHostFile(m.OnC("C:\\e\\\xD0\xA1\xD1\x87\xD0\xB5\xD1\x82.eml"), "invoice");
    WriteHostFile(m.OnC("C:\\e\\\xD0\x90\xD0\xBA\xD1\x82\xD1\x8B.eml"), "deeds");
    EXPECT_EQ(Listed("C:\\e\\*.*"), (std::vector<std::string>{"????.eml", "????.eml"}));
    EXPECT_EQ(OpenError("C:\\e\\????.eml"), OsError::InvalidName);
    EXPECT_FALSE(FileExists("C:\\e\\????.eml"));
    // Names that differ only in case: the exact one wins, else the first in byte order.
    WriteHostFile(m.OnC("C:\\e\\Report.eml"), "mixed");
    WriteHostFile(m.OnC("C:\\e\\REPORT.eml"), "upper");
    EXPECT_EQ(Content("C:\\e\\Report.eml"), "mixed");
    EXPECT_EQ(Content("C:\\E\\REPORT.eml"), "upper");
    EXPECT_EQ(Content("C:\\E\\report.EML"), "upper");
    // A name created in another case after a look-up is found.
    EXPECT_FALSE(FileExists("C:\\e\\late.eml"));
    WriteHostFile(m.OnC("C:\\e\\LATE.eml"), "late");
    EXPECT_EQ(Content("C:\\e\\late.eml"), "late");
}

TEST(HostFiles, NamesWindowsCannotHoldAreListedWithQuestionMarksAndNeverOpenAnotherFile) {
    TestMachine m;
    const std::string e = m.OnC("C:\\e");
    for (const char* name : {"report.eml", "notes.eml", "secret.txt", "Case.eml", "sub/other.eml"}) {
        WriteHostFile(e + "/" + name, std::string("real ") + name);
    }
    WriteHostFile(m.OnC("C:\\secret.txt"), "outside");
    // The host name and the name the program sees.
    const struct {
        const char* host;
        const char* listed;
    } names[] = {
        {"..\xC0\xAF..\xC0\xAFsecret.txt", "..??..??secret.txt"},  // overlong "/"
        {"x\xC1\x9C" "a.eml", "x??a.eml"},                        // overlong "\"
        {"y\xE0\x80\xAF" "b.eml", "y???b.eml"},                    // overlong "/" in three bytes
        {"s\xED\xA0\x80.eml", "s???.eml"},                         // a surrogate
        {"h\xF4\x90\x80\x80.eml", "h????.eml"},                    // past U+10FFFF
        {"cut\xC3.eml", "cut?.eml"},                               // a sequence cut short
        {"sub\\other.eml", "sub?other.eml"},
        {"report.eml.", "report.eml?"},
        {"notes.eml ", "notes.eml?"},
        {"d:e.eml", "d?e.eml"},
        {"case.eml", "?ase.eml"},  // differs only in case from Case.eml, which comes first
    };
    for (const auto& n : names) WriteHostFile(e + "/" + n.host, std::string("odd ") + n.host);
    WriteHostFile(e + "/caf\xC3\xA9.eml", "accented");  // a valid two-byte form stays a letter
    // A folder Windows could not name is a file that cannot be opened; folders differing only in
    // case are searched as they are.
    // So is one whose name holds a character Windows refuses in names (a control character, "|").
    for (const char* inside : {"f\\g/in.eml", "t\x1bu/in.eml", "p|q/in.eml", "Box/one.eml", "box/two.eml", "Caf\xC3\xA9/in.eml"}) {
        WriteHostFile(e + "/" + inside, inside);
    }
    std::vector<std::string> folders;
    FindHandle find;
    FindEntry entry;
    for (bool more = find.FirstFolder("C:\\e\\*", faDirectory | faHidden | faSysFile, entry); more; more = find.Next(entry)) {
        if (entry.Name != "." && entry.Name != "..") folders.push_back(entry.Name);
    }
    EXPECT_EQ(folders, (std::vector<std::string>{"Box", "box", "Caf\xE9", "sub"}));
    EXPECT_EQ(Content("C:\\e\\box\\two.eml"), "box/two.eml");
    std::vector<std::string> listed = Listed("C:\\e\\*.*");
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> want = {"report.eml", "notes.eml", "secret.txt", "Case.eml", "caf\xE9.eml", "f?g", "t\x1bu", "p|q"};
    for (const auto& n : names) want.push_back(n.listed);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(listed, want);
    for (const char* folder : {"C:\\e\\f?g", "C:\\e\\t\x1bu", "C:\\e\\p|q"}) {
        EXPECT_EQ(OpenError(folder), OsError::InvalidName) << folder;
    }
    for (const auto& n : names) {
        EXPECT_EQ(OpenError(std::string("C:\\e\\") + n.listed), OsError::InvalidName) << n.listed;
        EXPECT_FALSE(FileExists(std::string("C:\\e\\") + n.listed)) << n.listed;
    }
    EXPECT_EQ(Content("C:\\e\\caf\xE9.eml"), "accented");
    EXPECT_EQ(Content("C:\\e\\CASE.eml"), "real Case.eml");
}

TEST(FileStreams, ErrorsOfTheSystemAreNotedWithTheFileAndTheReason) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\e\\a.eml"), std::string(1000, 'a'));
    ClearFileErrors();
    TFileStream f("C:\\e\\a.eml", fmOpenRead | fmShareDenyWrite);
    char buffer[1000];
    EXPECT_EQ(f.Read(buffer, 500), 500);
    EXPECT_TRUE(FileErrors().empty());
    ASSERT_EQ(::truncate(m.OnC("C:\\e\\a.eml").c_str(), 600), 0);
    EXPECT_EQ(f.Read(buffer, 500), 100);
    EXPECT_EQ(f.Read(buffer, 500), 0);  // noted once
    EXPECT_EQ(FileErrors(), std::vector<std::string>{"read C:\\e\\a.eml: file shrank while it was read"});
    ClearFileErrors();
    EXPECT_TRUE(FileErrors().empty());
}

TEST(FileStreams, ShareModesHoldBetweenProcesses) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\Srv\\Kelmail.Z01"), "first run");
    int ready[2], finish[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(finish), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The first run: it keeps its volume open, as the archiver does, until told to end.
        int status = 1;
        try {
            TFileStream volume("C:\\Srv\\Kelmail.Z01", fmOpenReadWrite | fmShareExclusive);
            char c = 'r';
            if (::write(ready[1], &c, 1) == 1 && ::read(finish[0], &c, 1) == 1) status = 0;
        } catch (...) {
        }
        ::_exit(status);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    // The second run cannot touch the first run's file: not by creating it anew (a file is only
    // ever created new), nor by opening, deleting or renaming it.
    try {
        TFileStream("C:\\Srv\\KELMAIL.z01", fmCreate);
        ADD_FAILURE() << "created a file another process holds";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Error(), OsError::AlreadyExists);
    }
    EXPECT_EQ(OpenError("C:\\Srv\\Kelmail.Z01"), OsError::ShareViolation);
    EXPECT_FALSE(DeleteFile("C:\\Srv\\Kelmail.Z01"));
    EXPECT_FALSE(RenameFile("C:\\Srv\\Kelmail.Z01", "C:\\Srv\\Kelmail.zip"));
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Srv\\Kelmail.Z01")), "first run");
    EXPECT_EQ(::write(finish[1], &c, 1), 1);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], finish[0], finish[1]}) ::close(fd);
    // Its end frees the file.
    EXPECT_EQ(Content("C:\\Srv\\Kelmail.Z01"), "first run");
    EXPECT_TRUE(DeleteFile("C:\\Srv\\Kelmail.Z01"));
}
#endif

TEST(TemporaryNames, PrefixHexDigitsAndCreatedEmpty) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    const std::string a = GetTempFileName("C:\\tmp", "FCX-long");
    const std::string b = GetTempFileName("C:\\tmp\\", "FC");
    EXPECT_TRUE(std::regex_match(a, std::regex(R"(C:\\tmp\\FCX[0-9A-Fa-f]{1,4}\.tmp)"))) << a;
    EXPECT_TRUE(std::regex_match(b, std::regex(R"(C:\\tmp\\FC[0-9A-Fa-f]{1,4}\.tmp)"))) << b;
    EXPECT_NE(a, b);
    EXPECT_TRUE(FileExists(a));
    EXPECT_EQ(testing_support::HostFileSize(m.OnC(a)), 0);
    EXPECT_THROW(GetTempFileName("C:\\missing", "FC"), EFCreateError);
    EXPECT_EQ(GetTempPath().back(), '\\');
}

TEST(FileStreams, ShareModesHoldBetweenOpens) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\s.txt"), "content");
    {
        TFileStream exclusive("C:\\s.txt", fmOpenReadWrite | fmShareExclusive);
        try {
            TFileStream second("C:\\s.txt", fmOpenRead | fmShareDenyNone);
            FAIL() << "an exclusive open must refuse others";
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.Error(), OsError::ShareViolation);
            EXPECT_EQ(e.Message(),
                      "Cannot open file \"C:\\s.txt\". The process cannot access the file because it is being used by "
                      "another process");
        }
        EXPECT_FALSE(DeleteFile("C:\\s.txt"));
        EXPECT_FALSE(RenameFile("C:\\s.txt", "C:\\t.txt"));
        EXPECT_THROW(TFileStream("C:\\s.txt", fmCreate), EFCreateError);
    }
    {
        TFileStream denyWrite("C:\\s.txt", fmOpenRead | fmShareDenyWrite);
        EXPECT_NO_THROW(TFileStream("C:\\s.txt", fmOpenRead | fmShareDenyNone));
        EXPECT_THROW(TFileStream("C:\\s.txt", fmOpenReadWrite | fmShareDenyNone), EFOpenError);
    }
    // A reading and a write-only open, each way round: the modes hold whichever comes first.
    const struct { std::uint16_t first, second; bool allowed; } pairs[] = {
        {fmOpenRead | fmShareDenyWrite, fmOpenWrite | fmShareDenyNone, false},
        {fmOpenWrite | fmShareDenyNone, fmOpenRead | fmShareDenyWrite, false},
        {fmOpenWrite | fmShareDenyRead, fmOpenRead | fmShareDenyNone, false},
        {fmOpenRead | fmShareDenyNone, fmOpenWrite | fmShareDenyRead, false},
        {fmOpenWrite | fmShareDenyNone, fmOpenRead | fmShareDenyNone, true},
        {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyWrite, true},
    };
    for (const auto& p : pairs) {
        TFileStream first("C:\\s.txt", p.first);
        bool allowed = true;
        try {
            TFileStream second("C:\\s.txt", p.second);
        } catch (const EFOpenError& e) {
            allowed = false;
            EXPECT_EQ(e.Error(), OsError::ShareViolation);
        }
        EXPECT_EQ(allowed, p.allowed) << std::hex << p.first << " then " << p.second;
    }
    {
        TFileStream writer("C:\\s.txt", fmOpenWrite | fmShareDenyNone);  // open for writing only
        EXPECT_FALSE(RenameFile("C:\\s.txt", "C:\\t.txt"));
        EXPECT_FALSE(DeleteFile("C:\\s.txt"));
    }
    EXPECT_TRUE(RenameFile("C:\\s.txt", "C:\\t.txt"));
    EXPECT_TRUE(DeleteFile("C:\\t.txt"));
}

TEST(FileStreams, ReadWriteSeekTruncateAndErrors) {
    TestMachine m;
    {
        TFileStream f("C:\\new.bin", fmCreate);
        f.WriteBuffer("abcdef", 6);
        EXPECT_EQ(f.Size(), 6);
        f.SetSize(3);
        EXPECT_EQ(f.Position(), 3);
        f.SetPosition(1);
        char c[2];
        f.ReadBuffer(c, 2);
        EXPECT_EQ(std::string(c, 2), "bc");
        EXPECT_THROW(f.ReadBuffer(c, 1), EReadError);
        EXPECT_TRUE(f.Flush());
    }
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\new.bin")), "abc");
    try {
        TFileStream missing("C:\\nope\\x.bin", fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Error(), OsError::PathNotFound);
        EXPECT_STREQ(e.ClassName(), "EFOpenError");
    }
    try {
        TFileStream missing("C:\\nope\\x.bin", fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"C:\\nope\\x.bin\". The system cannot find the path specified");
    }
    EXPECT_THROW(TFileStream("C:\\x.bin", fmOpenRead), EFOpenError);
}

// A file read back gives the bytes stored, in pieces of any size and from any position: on Windows
// it is read without the system's buffering, in whole sectors, which its reads must not show. A bit
// flip planned by the fault seam is stored by the first write that covers it, once, while every
// write reports all its bytes taken.
TEST(FileStreams, ReadBackGivesTheBytesStoredWithAPlannedFlip) {
    TestMachine m;
    const std::string data = testing_support::RandomBytes(3 * 1048576 + 1234, 5);
    const std::size_t flipped = 1048576 + 7;
    faults::FlipStoredBits("C:\\back.bin", static_cast<std::int64_t>(flipped), 0x80);
    {
        TFileStream f("C:\\back.bin", fmCreate);
        EXPECT_EQ(f.Write(data.data(), 1000000), 1000000);
        EXPECT_EQ(f.Write(data.data() + 1000000, 100000), 100000);  // covers the flipped byte
        const auto rest = static_cast<std::int64_t>(data.size() - 1100000);
        EXPECT_EQ(f.Write(data.data() + 1100000, rest), rest);
        f.Close();
    }
    // Another file is stored as given; the flip is stored once, and a second write of the byte
    // stores it as given.
    faults::FlipStoredBits("C:\\back.bin", static_cast<std::int64_t>(flipped), 0x80);
    faults::FlipStoredBits("C:\\twice.bin", static_cast<std::int64_t>(flipped), 0x80);
    {
        TFileStream again("C:\\again.bin", fmCreate);
        again.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
        TFileStream twice("C:\\twice.bin", fmCreate);
        twice.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
        twice.SetPosition(0);
        twice.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
    }
    faults::Clear();
    EXPECT_TRUE(testing_support::ReadHostFile(m.OnC("C:\\twice.bin")) == data);
    std::string expected = data;
    expected[flipped] = static_cast<char>(expected[flipped] ^ 0x80);
    EXPECT_TRUE(testing_support::ReadHostFile(m.OnC("C:\\again.bin")) == data);
    FileHandle h = FileHandle::OpenReadBack("C:\\back.bin");
    EXPECT_EQ(h.Size(), static_cast<std::int64_t>(data.size()));
    std::string got;
    std::vector<char> buffer(70001);
    for (std::int64_t n; (n = h.Read(buffer.data(), 70001)) > 0;) got.append(buffer.data(), static_cast<std::size_t>(n));
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == expected) << "the bytes read back differ from those stored";
    // Positions that are no whole sector, reads across the edge of a sector and of a megabyte.
    for (const std::int64_t at : {std::int64_t{1048576 - 3}, std::int64_t{4095}, std::int64_t{0}, std::int64_t{3 * 1048576 + 1000}}) {
        ASSERT_EQ(h.Seek(at, SeekOrigin::Begin), at);
        const std::int64_t want = std::min<std::int64_t>(20, static_cast<std::int64_t>(data.size()) - at);
        EXPECT_EQ(h.Read(buffer.data(), 20), want) << at;
        EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(want)), expected.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(want))) << at;
    }
    EXPECT_EQ(h.Seek(0, SeekOrigin::End), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(h.Read(buffer.data(), 10), 0);
    EXPECT_THROW(FileHandle::OpenReadBack("C:\\missing.bin"), EFOpenError);
}

// On Linux a file read back has no page left in the page cache when it is opened: its reads come
// from the disk. (A file system in memory keeps its pages: there the memory is the disk.)
TEST(FileStreams, ReadBackDropsTheFilesCachedPages) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows reads it without buffering instead";
#else
    TestMachine m;
    const std::string host = m.OnC("C:\\cached.bin");
    {
        TFileStream f("C:\\cached.bin", fmCreate);
        f.WriteBuffer(testing_support::RandomBytes(1 << 20, 9).data(), 1 << 20);
    }
    struct statfs fs{};
    ASSERT_EQ(::statfs(host.c_str(), &fs), 0);
    if (fs.f_type == 0x01021994 /* tmpfs */ || fs.f_type == 0x858458f6 /* ramfs */) GTEST_SKIP() << "a file system in memory";
    const auto residentPages = [&] {
        const int fd = ::open(host.c_str(), O_RDONLY);
        void* map = ::mmap(nullptr, 1 << 20, PROT_READ, MAP_SHARED, fd, 0);
        std::vector<unsigned char> pages((1 << 20) / static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
        const bool known = map != MAP_FAILED && ::mincore(map, 1 << 20, pages.data()) == 0;
        if (map != MAP_FAILED) ::munmap(map, 1 << 20);
        ::close(fd);
        return known ? std::count_if(pages.begin(), pages.end(), [](unsigned char p) { return (p & 1) != 0; }) : -1;
    };
    EXPECT_GT(residentPages(), 0);  // just written: in the cache
    FileHandle h = FileHandle::OpenReadBack("C:\\cached.bin");
    EXPECT_EQ(residentPages(), 0);
#endif
}

TEST(FaultSeam, SimulatedDiskLimitsFreeSpaceAndWrites) {
    TestMachine m;
    faults::SimulateDisk("C:\\", 100);
    EXPECT_EQ(DiskFree("C:\\"), 100);
    TFileStream f("C:\\full.bin", fmCreate);
    const std::string data(150, 'x');
    EXPECT_EQ(f.Write(data.data(), 60), 60);
    EXPECT_EQ(DiskFree("C:\\anything"), 40);
    EXPECT_EQ(f.Write(data.data(), 60), 40);
    EXPECT_EQ(f.Write(data.data(), 1), 0);
    EXPECT_GE(DiskFree("Z:\\"), 0);  // other drives keep their real space
}

TEST(FaultSeam, FailedOpensWritesAndShortReads) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\in\\a.txt"), std::string(100, 'a'));
    faults::FailOpens("C:\\IN\\", OsError::ShareViolation);
    EXPECT_THROW(TFileStream("C:\\in\\a.txt", fmOpenRead), EFOpenError);
    faults::Clear();
    faults::ShortReadsAfter("C:\\in\\a.txt", 30);
    TFileStream in("C:\\in\\a.txt", fmOpenRead);
    char buffer[100];
    EXPECT_EQ(in.Read(buffer, 20), 20);
    EXPECT_EQ(in.Read(buffer, 20), 10);
    EXPECT_EQ(in.Read(buffer, 20), 0);
    faults::FailWritesAfter("C:\\out", 5);
    TFileStream out("C:\\out.bin", fmCreate);
    EXPECT_EQ(out.Write("0123456789", 10), 5);
}

TEST(CodePages, AnsiToOemAndBackAsWindowsConverts) {
    TestMachine m;
    testing_support::UnsetEnv("MAILBALE_OEM_CP");
    EXPECT_EQ(AnsiToOem("Caf\xE9"), "Caf\x82");            // é is 0x82 in 437
    EXPECT_EQ(AnsiToOem("\xC9\xFC\xF1\xC4"), "\x90\x81\xA4\x8E");  // É ü ñ Ä
    EXPECT_EQ(AnsiToOem("\xC0"), "A");                      // À has no 437 form: best fit
    EXPECT_EQ(AnsiToOem("\x80"), "?");                      // the euro sign has none at all
    EXPECT_EQ(OemToAnsi("\x82\x90"), "\xE9\xC9");
    EXPECT_EQ(OemToAnsi("\xC4\xB3\xDA"), "-\xA6+");          // box drawings: lines, broken bar, corners
    EXPECT_EQ(AnsiToOem("\xA7\xB6\x95"), "\x15\x14\x07");     // § ¶ • land on 437's picture glyphs
    EXPECT_EQ(AnsiToOem("plain ASCII 123"), "plain ASCII 123");
    if (testing_support::kWindows) return;  // Windows has one OEM code page; the Linux machine may choose
    testing_support::SetEnv("MAILBALE_OEM_CP", "850");
    EXPECT_EQ(AnsiToOem("\xC0\xD8"), "\xB7\x9D");            // À and Ø exist in 850
    EXPECT_EQ(OemToAnsi("\xB7"), "\xC0");
    testing_support::UnsetEnv("MAILBALE_OEM_CP");
}

TEST(CodePages, AnsiCaseRules) {
    EXPECT_EQ(AnsiUpperCase("abc\xE9\xFF\x9A"), "ABC\xC9\x9F\x8A");  // é→É, ÿ→Ÿ, š→Š
    EXPECT_EQ(AnsiLowerCase("ABC\xC9"), "abc\xE9");
    EXPECT_EQ(AnsiUpperCase("\xDF\xB5"), "\xDF\xB5");  // ß and µ have no single upper-case form here
    EXPECT_TRUE(AnsiSameText("Caf\xE9", "CAF\xC9"));
    EXPECT_FALSE(AnsiSameText("a", "ab"));
    EXPECT_FALSE(IsDBCSLeadByte(0x81));
}

namespace {

std::vector<std::pair<std::string, std::uint32_t>> ListedWithKind(const std::string& pattern) {
    std::vector<std::pair<std::string, std::uint32_t>> found;
    FindHandle find;
    FindEntry e;
    for (bool more = find.First(pattern, faDirectory | faArchive | faHidden | faSysFile, e); more; more = find.Next(e)) {
        if (e.Name != "." && e.Name != "..") found.emplace_back(e.Name, e.Attr & faDirectory);
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool Opens(const std::string& path) {
    try {
        TFileStream f(path, fmOpenRead | fmShareDenyWrite);
        return true;
    } catch (const EFOpenError&) {
        return false;
    }
}

}  // namespace

// Both systems: a symbolic link (to a file or a folder) is listed as a file, never as a folder to
// search, and opening it fails; the files it leads to are never read through it.
TEST(Links, AreListedAsFilesAndNeverOpenedThrough) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\lk\\other\\b.eml"), "b");
    WriteHostFile(m.OnC("C:\\lk\\secret.txt"), "secret");
    WriteHostFile(m.OnC("C:\\lk\\e\\a.eml"), "a");
    try {
        std::filesystem::create_symlink(m.OnC("C:\\lk\\secret.txt"), m.OnC("C:\\lk\\e\\shadow.eml"));
        std::filesystem::create_directory_symlink(m.OnC("C:\\lk\\other"), m.OnC("C:\\lk\\e\\elsewhere"));
    } catch (const std::filesystem::filesystem_error& e) {
        GTEST_SKIP() << "no symbolic links can be made here: " << e.what();
    }
    const std::vector<std::pair<std::string, std::uint32_t>> expected{{"a.eml", 0}, {"elsewhere", 0}, {"shadow.eml", 0}};
    EXPECT_EQ(ListedWithKind("C:\\lk\\e\\*"), expected);
    EXPECT_TRUE(Opens("C:\\lk\\e\\a.eml"));
    EXPECT_FALSE(Opens("C:\\lk\\e\\shadow.eml"));
    EXPECT_FALSE(Opens("C:\\lk\\e\\elsewhere"));
}

// A folder held for a search is the folder read from until the hold ends, or a file below it
// cannot be read at all: never is another folder's file read in its place. Linux reads it through
// its descriptor; Windows refuses to rename it while held (Wine allows that, and then the file of
// the folder now of that name, lying elsewhere, is refused).
TEST(Links, AHeldFolderIsTheOneReadFrom) {
    TestMachine m;
    WriteHostFile(m.OnC("C:\\held\\a.eml"), "held");
    WriteHostFile(m.OnC("C:\\swap\\a.eml"), "another folder's");
    {
        const FolderHold hold("C:\\held");
        if (RenameFile("C:\\held", "C:\\held.away")) {
            ASSERT_TRUE(RenameFile("C:\\swap", "C:\\held"));
        }
        std::string read = "<cannot be read>";
        try {
            TFileStream f("C:\\held\\a.eml", fmOpenRead | fmShareDenyWrite);
            read.assign(static_cast<std::size_t>(f.Size()), '\0');
            f.ReadBuffer(read.data(), static_cast<std::int64_t>(read.size()));
        } catch (const EFOpenError&) {
        }
        EXPECT_NE(read, "another folder's");
        if (!testing_support::kWindows) {
            EXPECT_EQ(read, "held");
        }
    }
}
