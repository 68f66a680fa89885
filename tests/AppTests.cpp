// The main window and the zip job, in process and as the program run headless on a machine folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "app/FormMain.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Faults.h"
#include "platform/Format.h"
#include "platform/HeadlessFrontEnd.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::HostExists;
using testing_support::HostFileSize;
using testing_support::TestMachine;
using testing_support::WriteHostFile;

namespace {

const char* kRegistryHead =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Data Access Corporation\\Visual DataFlex\\7\\Workspaces\\Vandrel]\r\n";

std::string Report(const std::vector<std::string>& files) {
    std::string text = "== Information ==\nVandrel SPAM has been zipped into: \n\n";
    for (const std::string& f : files) text += "        " + f + "\n";
    return text + "\nPlease send as attachments to separate emails.\n-> OK\n";
}

class Job : public ::testing::Test {
protected:
    void SetUp() override {
        Application.Initialize();
        Application.ClearTerminate();
        shown.clear();
        platform::SetHeadlessOutput(&shown);
        platform::SetHeadlessAnswers({});
        m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
        testing_support::MakeHostDirs(m.OnC("C:\\Vandrel\\LOG_EML"));
        // The application's main form, as in the program: the close command goes to it.
        form = Application.CreateForm<TFormMain>();
    }
    void TearDown() override {
        Application.DestroyForms();
        form = nullptr;
        platform::SetHeadlessOutput(nullptr);
        platform::SetHeadlessAnswers({});
        Application.ClearTerminate();
    }
    void Mail(const std::string& name, const std::string& content) {
        WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\" + name), content);
    }

    TestMachine m;
    std::string shown;
    TFormMain* form = nullptr;
};

}  // namespace

// The job's record of the names it stored: every key kept through the table's growth, 0 among
// them, and keys alike in all but their high bits or all but their low bits told apart; a key
// looked for and not there is answered however many keys the table holds, a key added again
// changes nothing.
TEST(KeySet, KeepsEveryKeyThroughItsGrowth) {
    TKeySet set;
    std::vector<std::uint64_t> keys = {0, 1, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull};
    for (std::uint64_t i = 1; i <= 30000; ++i) {
        keys.push_back(i << 40);
        keys.push_back(TKeySet::Hash("m" + std::to_string(i) + ".eml"));
    }
    for (const std::uint64_t key : keys) {
        EXPECT_FALSE(set.Contains(key)) << key;
        set.Insert(key);
    }
    for (const std::uint64_t key : keys) {
        set.Insert(key);
        EXPECT_TRUE(set.Contains(key)) << key;
    }
    for (std::uint64_t i = 30001; i <= 30100; ++i) EXPECT_FALSE(set.Contains(i << 40)) << i;
    EXPECT_NE(TKeySet::Hash("m1.eml"), TKeySet::Hash("M1.eml"));
    set.Clear();
    for (const std::uint64_t key : keys) EXPECT_FALSE(set.Contains(key)) << key;
}

TEST_F(Job, LayoutOfTheWindow) {
    EXPECT_EQ(form->Caption, "Vandrel Mailbale");
    EXPECT_EQ(form->Width(), 300);
    EXPECT_EQ(form->Height(), 112);
    form->SetBounds(0, 0, 500, 400);  // the constraints keep the size
    EXPECT_EQ(form->Width(), 300);
    EXPECT_EQ(form->Height(), 112);
    EXPECT_EQ(form->BorderIcons, biSystemMenu);
    EXPECT_EQ(form->Position, poDesktopCenter);
    EXPECT_EQ(form->LabelWait->Width(), 292);
    EXPECT_EQ(form->LabelWait->Height(), 24);
    EXPECT_EQ(form->LabelWait->Caption, "Please wait while files are zipped...");
    EXPECT_TRUE(form->LabelWait->Font.Bold);
    EXPECT_EQ(form->PanelWaiting->BevelOuter, bvLowered);
    EXPECT_EQ(form->WaitingGradient->Left(), 2);
    EXPECT_EQ(form->WaitingGradient->Width(), 280);
    EXPECT_EQ(form->WaitingGradient->Height(), 28);
    EXPECT_FALSE(form->WaitingGradient->Visible());
    EXPECT_FALSE(form->WaitingGradient->ThreadStarted());
    EXPECT_EQ(form->WaitingGradient->GradientWidth(), 32);
    EXPECT_EQ(form->Timer->Interval(), 100u);
    EXPECT_TRUE(form->Timer->Enabled());  // FormCreate enabled it
    EXPECT_EQ(form->ArchiveName, "C:\\Kelmail.zip");
    TZipArchiver& z = *form->ZipArchiver;
    EXPECT_EQ(z.Name, "ZipArchiver");
    EXPECT_EQ(z.CompressionLevel(), clMax);
    EXPECT_EQ(z.CompressionMode(), 9);
    EXPECT_EQ(z.SpanningMode(), smSplitting);
    EXPECT_FALSE(z.SpanningOptions().AdvancedNaming);
    EXPECT_EQ(z.SpanningOptions().CustomVolumeSize(), 2097152);
    EXPECT_FALSE(z.Options().Recurse);
    EXPECT_EQ(z.Options().StorePath, spNoPath);
    EXPECT_EQ(z.Zip64Mode, zmDisabled);
    EXPECT_EQ(form->BrowseDialog->Name, "BrowseDialog");
}

TEST_F(Job, LocateFoldersAddsOneTrailingBackslash) {
    std::string folder;
    form->LocateFolders(folder);
    EXPECT_EQ(folder, "C:\\Vandrel\\LOG_EML\\");
    EXPECT_EQ(form->ArchiveName, "C:\\Vandrel\\Kelmail.zip");
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"D:\\\\Srv\\\\\"\r\n");
    form->LocateFolders(folder);
    EXPECT_EQ(folder, "D:\\Srv\\LOG_EML\\");
    EXPECT_EQ(form->ArchiveName, "D:\\Srv\\Kelmail.zip");
    EXPECT_EQ(shown, "");
}

TEST_F(Job, LocateFoldersShowsARegistryError) {
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=dword:00000001\r\n");
    std::string folder;
    form->LocateFolders(folder);
    EXPECT_EQ(shown,
              "== Error ==\nException \"ERegistryException: Invalid data type for 'Srvr_Path'\" on Registry access!\n"
              "-> OK\n");
    EXPECT_EQ(folder, "LOG_EML\\");
    EXPECT_EQ(form->ArchiveName, "Kelmail.zip");
}

TEST_F(Job, VolumeSuffixAndReport) {
    EXPECT_EQ(TFormMain::VolumeSuffix(1), ".z01");
    EXPECT_EQ(TFormMain::VolumeSuffix(19), ".z19");
    EXPECT_EQ(TFormMain::VolumeSuffix(100), ".z100");
    form->ArchiveName = "D:\\Srv\\Kelmail.zip";
    form->VolumeCount = 1;
    form->ShowReport();
    EXPECT_EQ(shown, Report({"D:\\Srv\\Kelmail.zip"}));
    shown.clear();
    form->VolumeCount = 3;
    form->ShowReport();
    EXPECT_EQ(shown, Report({"D:\\Srv\\Kelmail.zip", "D:\\Srv\\Kelmail.z01", "D:\\Srv\\Kelmail.z02"}));
}

TEST_F(Job, OldVolumesOfEveryNumberAreDeleted) {
    // Volumes of earlier, larger runs in any letter case (two names of one volume among them);
    // files that are no volume of this archive stay.
    for (const char* old : {"Kelmail.zip", "KELMAIL.Z01", "kelmail.z05", "Kelmail.Z19", "Kelmail.z20", "Kelmail.Z20",
                            "Kelmail.Z99", "Kelmail.Z116", "Kelmail.z1", "Kelmail.z2a", "Kelmail.zip.z20", "Other.z20"}) {
        WriteHostFile(m.OnC(std::string("C:\\Vandrel\\") + old), "old");
    }
    form->ArchiveName = "C:\\Vandrel\\Kelmail.zip";
    form->SourceFolder = "C:\\Vandrel\\LOG_EML\\";
    // As the tick does before it: a timer still running would start a second job inside this one
    // from its progress handler.
    form->Timer->SetEnabled(false);
    form->ZipFolder();
    EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\Vandrel")),
              (std::vector<std::string>{"Kelmail.z1", "Kelmail.z2a", "Kelmail.zip", "Kelmail.zip.z20", "LOG_EML", "Other.z20"}));
    EXPECT_EQ(HostFileSize(m.OnC("C:\\Vandrel\\Kelmail.zip")), 22);
    EXPECT_FALSE(form->ZipFailed);
}

// An old file of the archive that cannot be deleted would stay beside the new set and be sent
// with it: the job fails before it writes anything, and says which file stayed and why.
TEST_F(Job, AnOldFileThatCannotBeDeletedFailsTheJobBeforeItWrites) {
    struct Case {
        const char* stuck;   // the old file that cannot be deleted
        bool held;           // held open by another program (else the system refuses the deletion)
        const char* reason;  // what the box says about it
    };
    for (const Case& c : {Case{"Kelmail.Z02", true, "being used by another process"},
                          Case{"Kelmail.zip", true, "being used by another process"},
                          Case{"Kelmail.Z02", false, "denied"}}) {
        TearDown();
        SetUp();
        Mail("a.eml", "mail");
        for (const char* old : {"Kelmail.zip", "Kelmail.z01", "Kelmail.Z02"}) {
            WriteHostFile(m.OnC(std::string("C:\\Vandrel\\") + old), std::string("old ") + old);
        }
        const std::string stuck = std::string("C:\\Vandrel\\") + c.stuck;
        std::unique_ptr<TFileStream> holder;
        if (c.held) holder = std::make_unique<TFileStream>(stuck, platform::fmOpenRead | platform::fmShareDenyNone);
        else platform::faults::FailDeletes(stuck);
        form->TimerTick(nullptr);
        holder.reset();
        platform::faults::Clear();
        EXPECT_EQ(form->Outcome(), TJobOutcome::Failed) << c.stuck;
        EXPECT_EQ(form->VolumeCount, 0) << c.stuck;
        EXPECT_NE(shown.find("Cannot delete the old file \"" + stuck + "\""), std::string::npos) << shown;
        EXPECT_NE(shown.find(c.reason), std::string::npos) << shown;
        EXPECT_NE(shown.find("Zip of Vandrel SPAM failed!"), std::string::npos) << shown;
        const std::vector<std::string> lines = platform::FileErrors();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.starts_with("delete " + stuck + ": "); }))
            << c.stuck;
        // The file that stayed is as it was, and nothing new stands beside it.
        EXPECT_EQ(testing_support::ReadHostFile(m.OnC(stuck)), std::string("old ") + c.stuck);
        for (const std::string& name : testing_support::HostFolderNames(m.OnC("C:\\Vandrel"))) {
            if (name != "LOG_EML") {
                EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\" + name)), "old " + name);
            }
        }
        // Held by another program, it is found before anything is deleted: the old set stays whole.
        if (c.held) {
            EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\Vandrel")),
                      (std::vector<std::string>{"Kelmail.Z02", "Kelmail.z01", "Kelmail.zip", "LOG_EML"}));
        }
    }
}

// No two entries of the job's archive share a name, compared as a reader extracting them on
// Windows does: without regard to case, after the OEM conversion. The first file keeps its plain
// name; a later one that would take it is stored under its path below LOG_EML, and where that is
// taken too, with a number before the extension. Each such file is said, with its name in the
// archive; none is lost.
TEST_F(Job, EveryMailKeepsAnEntryOfItsOwnName) {
    SKIP_ON_WINDOWS("UTF-8 host names, and folders that differ only in case, of the Linux machine");
    struct Case {
        std::vector<std::string> files;     // host paths below LOG_EML (UTF-8)
        std::vector<std::string> expected;  // stored names in ANSI, in archive order
    };
    const std::vector<Case> cases = {
        {{"A/m.eml", "B/m.eml"}, {"A/", "m.eml", "B/", "B/m.eml"}},
        {{"Sub/x.eml", "sub/X.eml"}, {"Sub/", "x.eml", "sub (2)/", "sub/X.eml"}},
        // Ÿ, Š and the en dash have no place in code page 437: they become Y, S and -.
        {{"Y.eml", "\xC5\xB8.eml", "S.eml", "\xC5\xA0.eml", "x-.eml", "x\xE2\x80\x93.eml"},
         {"S.eml", "x-.eml", "x\x96 (2).eml", "Y.eml", "\x8A (2).eml", "\x9F (2).eml"}},
        // A later file whose plain name is an earlier one's new name.
        {{"Y.eml", "\xC5\xB8.eml", "z/Y (2).eml"}, {"Y.eml", "\x9F (2).eml", "z/", "z/Y (2).eml"}},
        // A path whose folder is an earlier file's name: no reader could make that folder.
        {{"m.eml", "A/B", "B/m.eml"}, {"m.eml", "A/", "B", "B (2)/", "m (2).eml"}},
        // \xFF (y with diaeresis) and \x9F (its capital) are one name to the archiver, though the
        // capital is written as Y and the small letter as itself.
        {{"A/\xC5\xB8.eml", "B/\xC3\xBF.eml"}, {"A/", "\x9F.eml", "B/", "B/\xFF.eml"}},
    };
    for (const Case& c : cases) {
        TearDown();
        std::filesystem::remove_all(m.OnC("C:\\Vandrel\\LOG_EML"));
        SetUp();
        std::string all;
        for (const std::string& file : c.files) {
            WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML") + "/" + file, "mail " + file);
            all += file + " ";
        }
        form->TimerTick(nullptr);
        ASSERT_EQ(form->Outcome(), TJobOutcome::Reported) << all << shown;
        std::vector<std::string> names;
        std::vector<std::string> contents;
        const std::string zip = testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"));
        for (const auto& entry : testing_support::LocalHeadersOf(zip)) {
            names.push_back(entry.name);
            if (entry.name.back() == '/') continue;
            const std::int64_t at = entry.offset + 30 + entry.header.NameLength + entry.header.ExtraLength;
            contents.push_back(testing_support::InflateRaw(zip.substr(static_cast<std::size_t>(at), entry.header.CompressedSize)));
        }
        std::vector<std::string> expected;
        for (const std::string& name : c.expected) expected.push_back(platform::AnsiToOem(name));
        EXPECT_EQ(names, expected) << all;
        // Every mail is there, once.
        std::vector<std::string> mails;
        for (const std::string& file : c.files) mails.push_back("mail " + file);
        std::sort(mails.begin(), mails.end());
        std::sort(contents.begin(), contents.end());
        EXPECT_EQ(contents, mails) << all;
        // The report says which files have a name of their own.
        for (std::size_t i = 0; i < names.size(); ++i) {
            const bool renamed = c.expected[i] != std::filesystem::path(c.expected[i]).filename().string() &&
                                 c.expected[i].back() != '/';
            if (renamed || c.expected[i].find(" (") != std::string::npos) {
                // As a reader shows it: "Ÿ (2).eml" is "Y (2).eml" in the archive.
                const std::string asRead = platform::OemToAnsi(platform::AnsiToOem(c.expected[i]));
                EXPECT_NE(shown.find("        " + platform::ConsoleText(asRead) + "\n"), std::string::npos) << shown;
            }
        }
    }
}

TEST_F(Job, CloseQueryBeforeDuringAndAfter) {
    bool canClose = true;
    platform::SetHeadlessAnswers({"No", "Yes"});
    form->FormCloseQuery(nullptr, canClose);
    EXPECT_FALSE(canClose);
    canClose = true;
    form->FormCloseQuery(nullptr, canClose);
    EXPECT_TRUE(canClose);
    EXPECT_EQ(shown, "== Confirm ==\nAbandon collection of files?\n-> No\n== Confirm ==\nAbandon collection of files?\n-> Yes\n");
    shown.clear();
    form->JobDone = true;
    form->FormCloseQuery(nullptr, canClose);
    EXPECT_TRUE(canClose);
    EXPECT_EQ(shown, "");
}

TEST_F(Job, WholeJobInProcess) {
    Mail("a.eml", std::string(3000000, 'a'));
    Mail("b.eml", testing_support::RandomBytes(2500000, 4));
    form->TimerTick(nullptr);
    EXPECT_FALSE(form->Timer->Enabled());
    EXPECT_TRUE(form->WaitingGradient->Visible());
    EXPECT_TRUE(form->WaitingGradient->Active());
    EXPECT_TRUE(form->JobDone);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Reported);
    EXPECT_EQ(form->VolumeCount, 2);
    EXPECT_EQ(shown, Report({"C:\\Vandrel\\Kelmail.zip", "C:\\Vandrel\\Kelmail.z01"}));
}

// Whoever may write in LOG_EML must not get files from outside it mailed out: a link to a file or
// a folder elsewhere is asked about as a file that cannot be opened (an unattended run fails, and
// its archive goes), and Ignore leaves it out; its target's bytes never reach an archive.
TEST_F(Job, LinksInTheLogFolderToFilesAndFoldersOutsideAreNeverPacked) {
    SKIP_ON_WINDOWS("symbolic links of the Linux machine");
    Mail("a.eml", "mail");
    WriteHostFile(m.OnC("C:\\secret\\shadow"), "root:secret-hash");
    WriteHostFile(m.OnC("C:\\secret\\certs\\key.pem"), "private key");
    std::filesystem::create_symlink(m.OnC("C:\\secret\\shadow"), m.OnC("C:\\Vandrel\\LOG_EML\\shadow.eml"));
    std::filesystem::create_directory_symlink(m.OnC("C:\\secret"), m.OnC("C:\\Vandrel\\LOG_EML\\etc"));
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Failed) << shown;
    EXPECT_NE(shown.find("Cannot open file \"C:\\Vandrel\\LOG_EML\\etc\""), std::string::npos) << shown;
    EXPECT_FALSE(testing_support::HostExists(m.OnC("C:\\Vandrel\\Kelmail.zip")));
    TearDown();
    SetUp();
    platform::SetHeadlessAnswers({"Ignore", "Ignore"});
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Reported) << shown;
    EXPECT_NE(shown.find("Cannot open file \"C:\\Vandrel\\LOG_EML\\shadow.eml\""), std::string::npos) << shown;
    const std::string archive = testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"));
    std::vector<std::string> names;
    for (const auto& entry : testing_support::LocalHeadersOf(archive)) names.push_back(entry.name);
    EXPECT_EQ(names, std::vector<std::string>{"a.eml"});
}

// Folders linked to each other twice each way once made the search grow as 2^depth, for ever:
// no link is entered, so the search sees each folder once and asks about the first link.
TEST_F(Job, FoldersLinkedToEachOtherTwiceEachWayEndTheSearch) {
    SKIP_ON_WINDOWS("symbolic links of the Linux machine");
    Mail("d1\\a.eml", "a");
    Mail("d2\\b.eml", "b");
    for (const char* link : {"d1\\u1", "d1\\u2"}) std::filesystem::create_directory_symlink("../d2", m.OnC(std::string("C:\\Vandrel\\LOG_EML\\") + link));
    for (const char* link : {"d2\\v1", "d2\\v2"}) std::filesystem::create_directory_symlink("../d1", m.OnC(std::string("C:\\Vandrel\\LOG_EML\\") + link));
    platform::SetHeadlessAnswers({"Ignore", "Ignore", "Ignore", "Ignore"});
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Reported) << shown;
    std::vector<std::string> names;
    for (const auto& entry : testing_support::LocalHeadersOf(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")))) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"d1/", "a.eml", "d2/", "b.eml"}));
}

// LOG_EML is fixed when the search begins. Swapped between the search and the reading of its files
// (renamed away, a link to another folder in its place), the files read are still its own; a
// folder inside it swapped for a link makes its files fail as files that cannot be read. The other
// folder's bytes (here under the same names) never reach an archive.
TEST_F(Job, FoldersSwappedAfterTheSearchNeverGiveAnotherFoldersBytes) {
    SKIP_ON_WINDOWS("renames and links of the Linux machine");
    const auto setUp = [&] {
        Mail("a.eml", "original a");
        Mail("sub\\b.eml", "original b");
        WriteHostFile(m.OnC("C:\\other\\a.eml"), std::string(100, 'o'));
        WriteHostFile(m.OnC("C:\\other\\sub\\b.eml"), std::string(100, 'o'));
    };
    const auto swapAtStart = [&](const std::string& folder, const std::string& other) {
        form->ZipArchiver->OnOverallProgress = [&, folder, other](TObject*, double, TZipProcessOperation, TZipProgressPhase phase, bool&) {
            if (phase != ppStart) return;
            std::filesystem::rename(m.OnC(folder), m.OnC(folder + ".away"));
            std::filesystem::create_directory_symlink(m.OnC(other), m.OnC(folder));
        };
    };
    setUp();
    swapAtStart("C:\\Vandrel\\LOG_EML", "C:\\other");
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Reported) << shown;
    std::vector<std::pair<std::string, std::uint32_t>> entries;
    for (const auto& e : testing_support::LocalHeadersOf(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")))) {
        entries.emplace_back(e.name, e.header.UncompressedSize);
    }
    EXPECT_EQ(entries, (std::vector<std::pair<std::string, std::uint32_t>>{{"a.eml", 10}, {"sub/", 0}, {"b.eml", 10}}));
    TearDown();
    std::filesystem::remove_all(m.OnC("C:\\Vandrel"));
    std::filesystem::remove_all(m.OnC("C:\\other"));
    SetUp();
    setUp();
    swapAtStart("C:\\Vandrel\\LOG_EML\\sub", "C:\\other\\sub");
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Failed) << shown;
    EXPECT_NE(shown.find("Cannot open file \"C:\\Vandrel\\LOG_EML\\sub\\b.eml\""), std::string::npos) << shown;
    EXPECT_FALSE(testing_support::HostExists(m.OnC("C:\\Vandrel\\Kelmail.zip")));
}

TEST_F(Job, LogFolderLinkedToTheServerFolderNeverPacksTheArchivesOwnVolume) {
    SKIP_ON_WINDOWS("a symbolic link of the Linux machine");
    std::filesystem::remove(m.OnC("C:\\Vandrel\\LOG_EML"));
    std::filesystem::create_directory_symlink(m.OnC("C:\\Vandrel"), m.OnC("C:\\Vandrel\\LOG_EML"));
    WriteHostFile(m.OnC("C:\\Vandrel\\a.eml"), "mail");
    // The server folder, seen through the link, holds the link LOG_EML itself: a link is never
    // followed, and is asked about as a file that cannot be opened.
    platform::SetHeadlessAnswers({"Ignore"});
    form->TimerTick(nullptr);
    EXPECT_NE(shown.find("Cannot open file \"C:\\Vandrel\\LOG_EML\\LOG_EML\""), std::string::npos) << shown;
    EXPECT_EQ(form->Outcome(), TJobOutcome::Reported) << shown;
    std::vector<std::string> names;
    for (const auto& entry : testing_support::LocalHeadersOf(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")))) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, std::vector<std::string>{"a.eml"});
}

TEST_F(Job, CloseCommandDuringTheJobAsksAndQuitClosesTheLastBoxAtOnce) {
    Mail("a.eml", std::string(100000, 'a'));
    platform::SetHeadlessAnswers({"No"});
    platform::SimulateCloseCommand();
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Reported);
    EXPECT_TRUE(Application.Terminated());  // the job closed the main window at its end
    EXPECT_EQ(shown, "== Confirm ==\nAbandon collection of files?\n-> No\n" + Report({"C:\\Vandrel\\Kelmail.zip"}));
    // Yes asks the application to quit; the job goes on and its report closes without waiting.
    TearDown();
    SetUp();
    Mail("a.eml", std::string(100000, 'a'));
    platform::SetHeadlessAnswers({"Yes"});
    platform::SimulateCloseCommand();
    form->TimerTick(nullptr);
    EXPECT_TRUE(Application.Terminated());
    EXPECT_TRUE(form->JobDone);
    EXPECT_EQ(HostFileSize(m.OnC("C:\\Vandrel\\Kelmail.zip")) > 22, true);
    const std::string report = Report({"C:\\Vandrel\\Kelmail.zip"});
    EXPECT_EQ(shown, "== Confirm ==\nAbandon collection of files?\n-> Yes\n" + report.substr(0, report.size() - 3) + "Cancel\n");
}

TEST_F(Job, FolderThatCannotBeLocated) {
    m.WriteRegistry("REGEDIT4\n");
    form->TimerTick(nullptr);
    EXPECT_EQ(shown, "== Error ==\nUnable to locate Vandrel SPAM folder!\n-> OK\n");
    EXPECT_EQ(form->Outcome(), TJobOutcome::NotLocated);
    EXPECT_TRUE(form->JobDone);
    EXPECT_FALSE(form->WaitingGradient->Visible());
    EXPECT_FALSE(HostExists(m.OnC("C:\\Vandrel\\Kelmail.zip")));
    TearDown();
    SetUp();
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Elsewhere\"\r\n");
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::NotLocated);
}

// A server folder without LOG_EML (deleted, or a Srvr_Path naming another existing folder) has
// no mail to send: it is no success, and the previous archive stays. An empty LOG_EML is a
// folder of no mail, and gives the empty archive.
TEST_F(Job, ServerFolderWithoutLogFolderIsNotLocatedAndTouchesNothing) {
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"), "previous");
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01"), "previous volume");
    std::filesystem::remove_all(m.OnC("C:\\Vandrel\\LOG_EML"));
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::NotLocated);
    EXPECT_EQ(shown, "== Error ==\nUnable to locate Vandrel SPAM folder!\n-> OK\n");
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")), "previous");
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01")), "previous volume");
    // LOG_EML a file, not a folder.
    TearDown();
    SetUp();
    std::filesystem::remove_all(m.OnC("C:\\Vandrel\\LOG_EML"));
    WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML"), "not a folder");
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::NotLocated);
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")), "previous");
    TearDown();
    std::filesystem::remove(m.OnC("C:\\Vandrel\\LOG_EML"));
    SetUp();
    form->TimerTick(nullptr);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Reported);
    EXPECT_EQ(HostFileSize(m.OnC("C:\\Vandrel\\Kelmail.zip")), 22);
    EXPECT_EQ(shown, Report({"C:\\Vandrel\\Kelmail.zip"}));
}

#if !defined(_WIN32)
using testing_support::WithoutRootsReadRight;

// A LOG_EML that the user may not list would be searched as empty: the archive of nothing would be
// reported as a success while the mail stays behind. The job fails instead, and leaves nothing.
TEST_F(Job, LogFolderThatCannotBeListedFailsTheJob) {
    Mail("a.eml", "mail");
    const std::string folder = m.OnC("C:\\Vandrel\\LOG_EML");
    std::filesystem::permissions(folder, std::filesystem::perms::none);
    {
        WithoutRootsReadRight user;
        form->TimerTick(nullptr);
    }
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    EXPECT_EQ(form->Outcome(), TJobOutcome::Failed) << shown;
    EXPECT_NE(shown.find("Cannot open file \"C:\\Vandrel\\LOG_EML\\\". Access is denied"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Zip of Vandrel SPAM failed!"), std::string::npos) << shown;
    EXPECT_FALSE(HostExists(m.OnC("C:\\Vandrel\\Kelmail.zip")));
}
#endif

TEST_F(Job, ArchiverErrorShowsTwoBoxes) {
    Mail("a.eml", "a");
    platform::faults::FailOpens("C:\\Vandrel\\Kelmail.z01", platform::OsError::AccessDenied);
    form->TimerTick(nullptr);
    EXPECT_EQ(shown,
              "== Error ==\nException \"EFCreateError: Cannot create file \"C:\\Vandrel\\Kelmail.z01\". Access is "
              "denied\" during zipping!\n-> OK\n== Error ==\nZip of Vandrel SPAM failed!\n-> OK\n");
    EXPECT_EQ(form->Outcome(), TJobOutcome::Failed);
}

TEST_F(Job, AbortedFileAndFullDiskAreReportedAsFailures) {
    Mail("a.eml", "locked");
    {
        TFileStream lock("C:\\Vandrel\\LOG_EML\\a.eml", platform::fmOpenRead | platform::fmShareExclusive);
        platform::SetHeadlessAnswers({"Abort"});
        form->TimerTick(nullptr);
    }
    EXPECT_NE(shown.find("Cannot open file \"C:\\Vandrel\\LOG_EML\\a.eml\""), std::string::npos) << shown;
    EXPECT_NE(shown.find("Zip of Vandrel SPAM failed!"), std::string::npos) << shown;
    EXPECT_EQ(form->Outcome(), TJobOutcome::Failed);
    // The simulated disk needs the temporary files on another drive, as /tmp is on the Linux machine.
    if (testing_support::kWindows) return;
    TearDown();
    SetUp();
    Mail("big.eml", testing_support::RandomBytes(3000000, 8));
    platform::faults::SimulateDisk("C:\\", 2500000);
    form->TimerTick(nullptr);
    EXPECT_EQ(shown, "== Error ==\nZip of Vandrel SPAM failed!\n-> OK\n");
    EXPECT_EQ(form->Outcome(), TJobOutcome::Failed);
    // The box says nothing more; the error line says which volume found the disk full.
    const std::vector<std::string> lines = platform::FileErrors();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("create C:\\Vandrel\\Kelmail.z03: disk full")) << lines[0];
}

// One bit stored wrong in a volume, while the write reports success, is found when the volume is
// read back: the job fails with one line naming the volume, the entry (or record) and what
// differs, and leaves no file. The check runs on a thread of its own with workers, and on the
// program's thread with one.
TEST_F(Job, ABitFlippedOnItsWayToTheDiskFailsTheJobWithALineNamingIt) {
    const auto mails = [this] {
        Mail("a.eml", "Subject: first\r\n\r\nshort");
        Mail("b.eml", testing_support::RandomBytes(100000, 11));
        for (int i = 0; i < 30; ++i) Mail(Format("c%03d.eml", i), testing_support::RandomBytes(3000, 20 + i));
    };
    const auto run = [this](int threads) {
        form->ZipArchiver->SpanningOptions().SetCustomVolumeSize(65536);
        form->ZipArchiver->SetWorkerThreads(threads);
        form->TimerTick(nullptr);
    };
    // The layout of the sound archive, as its own reader finds it: where each entry and the
    // directory stand.
    mails();
    run(1);
    ASSERT_EQ(form->Outcome(), TJobOutcome::Reported) << shown;
    const int volumes = form->VolumeCount;
    ASSERT_GE(volumes, 3);
    struct Entry {
        std::string name;
        std::int64_t disk, offset, end;
        std::uint32_t crc;
    };
    std::vector<Entry> entries;
    std::int64_t dirDisk = 0;
    std::int64_t dirOffset = 0;
    std::int64_t lastSize = 0;
    std::uint32_t firstCrc = 0;
    {
        TZipArchiver reader(nullptr);
        reader.FileName = "C:\\Vandrel\\Kelmail.zip";
        reader.Open(platform::fmOpenRead | platform::fmShareDenyNone);
        TZipDirArray& dir = reader.DirManager()->Dir();
        for (std::int32_t i = 0; i < dir.Count(); ++i) {
            const TDirItem& item = dir.EntryRef(i);
            const std::int64_t offset = item.RealLocalHeaderOffset();
            entries.push_back({item.Name, item.DiskNumberStart, offset, offset + 30 + item.NameLength + item.RealCompressedSize(),
                               item.Crc32});
        }
        ASSERT_EQ(entries.size(), 32u);
        ASSERT_EQ(entries[0].name, "a.eml");
        firstCrc = entries[0].crc;
        dirDisk = reader.DirManager()->EndRecord.StartDisk;
        dirOffset = reader.DirManager()->EndRecord.DirectoryOffset;
        ASSERT_EQ(dirDisk, volumes - 1) << "the directory should stand on the last volume";
        lastSize = HostFileSize(m.OnC("C:\\Vandrel\\Kelmail.zip"));
    }
    // An entry whose header and data lie wholly in the second volume.
    const auto inMiddle = std::find_if(entries.begin(), entries.end(), [](const Entry& e) {
        return e.disk == 1 && e.end <= 65536 && e.name.starts_with("c");
    });
    ASSERT_NE(inMiddle, entries.end());
    const std::string last = Format("C:\\Vandrel\\Kelmail.z%02d", volumes);  // the last volume's name while it is written
    struct Case {
        const char* what;
        std::string volume;  // as it is written
        std::int64_t offset;
        std::uint8_t mask;
        std::string line;  // a pattern of the line, the volume's letter z in either case
    };
    const std::string crc = Format("%08x", firstCrc);
    const std::vector<Case> cases = {
        {"data of a middle volume", "C:\\Vandrel\\Kelmail.z02", (inMiddle->offset + inMiddle->end) / 2, 0x10,
         R"(verify C:\\Vandrel\\Kelmail\.[zZ]02: )" + inMiddle->name + R"(: CRC [0-9a-f]{8}, expected )" +
             Format("%08x", inMiddle->crc)},
        {"the first local header's name", "C:\\Vandrel\\Kelmail.z01", 30, 0x01,
         R"(verify C:\\Vandrel\\Kelmail\.[zZ]01: a\.eml: local header name "`\.eml", expected "a\.eml")"},
        {"the central directory", last, dirOffset + 16, 0x01,
         R"(verify C:\\Vandrel\\Kelmail\.zip: a\.eml: central header CRC )" + Format("%08x", firstCrc ^ 1) +
             ", expected " + crc},
        {"the end record", last, lastSize - 22 + 10, 0x04,
         R"(verify C:\\Vandrel\\Kelmail\.zip: end record: total entries 36, expected 32)"},
    };
    for (const int threads : {1, 3}) {
        for (const Case& c : cases) {
            TearDown();
            SetUp();
            mails();
            platform::faults::FlipStoredBits(c.volume, c.offset, c.mask);
            run(threads);
            platform::faults::Clear();
            const std::string where = std::string(c.what) + " with " + std::to_string(threads) + " threads";
            EXPECT_EQ(form->Outcome(), TJobOutcome::Failed) << where << "\n" << shown;
            EXPECT_NE(shown.find("Invalid size or check sum of file"), std::string::npos) << where << "\n" << shown;
            EXPECT_NE(shown.find("Zip of Vandrel SPAM failed!"), std::string::npos) << where << "\n" << shown;
            const std::vector<std::string> lines = platform::FileErrors();
            EXPECT_EQ(lines.size(), 1u) << where << "\n" << shown;
            EXPECT_TRUE(!lines.empty() && std::regex_match(lines[0], std::regex(c.line)))
                << where << ": " << (lines.empty() ? "no line" : lines[0]);
            EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\Vandrel")), std::vector<std::string>{"LOG_EML"}) << where;
        }
    }
}

// ---- The program itself, run headless ----

namespace {

struct ProgramRun {
    int status;
    std::string output;
};

ProgramRun RunProgram(const TestMachine& m, const std::string& answers = "") {
    ProgramRun r;
    r.status = testing_support::RunCommand("cd " + m.Root() + " && MAILBALE_MACHINE=" + m.Root() +
                                               " MAILBALE_UI=headless MAILBALE_ANSWERS=" + answers + " " MAILBALE_EXE,
                                           &r.output);
    return r;
}

}  // namespace

TEST(Program, EmptyFolderGivesTheEndRecordAlone) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\\\\\"\r\n");
    testing_support::MakeHostDirs(m.OnC("C:\\Vandrel\\LOG_EML"));
    const ProgramRun r = RunProgram(m);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, Report({"C:\\Vandrel\\Kelmail.zip"}));
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

TEST(Program, ExitStatusWhenTheFolderIsMissing) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    const ProgramRun r = RunProgram(m);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, "== Error ==\nUnable to locate Vandrel SPAM folder!\n-> OK\n");
}

TEST(Program, FiveMegabytesOfIncompressibleMailMakeThreeVolumes) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    for (int i = 0; i < 5; ++i) {
        WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\m" + std::to_string(i) + ".eml"),
                      testing_support::RandomBytes(1000000, static_cast<std::uint32_t>(i)));
    }
    const ProgramRun r = RunProgram(m);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, Report({"C:\\Vandrel\\Kelmail.zip", "C:\\Vandrel\\Kelmail.z01", "C:\\Vandrel\\Kelmail.z02"}));
    EXPECT_EQ(HostFileSize(m.OnC("C:\\Vandrel\\Kelmail.z01")), 2097152);
    EXPECT_EQ(HostFileSize(m.OnC("C:\\Vandrel\\Kelmail.z02")), 2097152);
}

TEST(Program, MixedFolderIsReadBackByOtherProgramsByteForByte) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    if (!testing_support::HaveTool("7z") || !testing_support::HaveTool("zip") || !testing_support::HaveTool("unzip") ||
        !testing_support::HaveTool("python3")) {
        GTEST_SKIP() << "7z, zip, unzip and python3 are needed";
    }
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    const std::string logs = m.OnC("C:\\Vandrel\\LOG_EML");
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "Subject: order " + std::to_string(i) + "\r\n";
    WriteHostFile(logs + "/text.eml", text);
    WriteHostFile(logs + "/two-blocks.eml", testing_support::RandomBytes(3200000, 1));
    WriteHostFile(logs + "/zero.eml", "");
    WriteHostFile(logs + "/.hidden.eml", "hidden");
    WriteHostFile(logs + "/sub/inside.eml", "inside");
    WriteHostFile(logs + "/Caf\xC3\xA9 M\xC3\xBCller.eml", "accented");
    const ProgramRun r = RunProgram(m);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, Report({"C:\\Vandrel\\Kelmail.zip", "C:\\Vandrel\\Kelmail.z01"}));
    const std::string srv = m.OnC("C:\\Vandrel");
    // Volumes: full but for the last, headers whole, no marker in front, no data descriptors.
    const std::vector<std::string> volumes = {srv + "/Kelmail.z01", srv + "/Kelmail.zip"};
    EXPECT_EQ(HostFileSize(volumes[0]), 2097152);
    const std::string first = testing_support::ReadHostFile(volumes[0]);
    EXPECT_EQ(first.substr(0, 4), std::string("PK\x03\x04", 4));
    for (const auto& entry : testing_support::LocalHeadersOf(testing_support::JoinHostFiles(volumes))) {
        EXPECT_EQ(entry.header.Flags & 8, 0) << entry.name;
    }
    for (const std::string& v : volumes) {
        for (const auto& entry : testing_support::LocalHeadersOf(testing_support::ReadHostFile(v))) {
            EXPECT_LE(entry.offset + 30 + entry.header.NameLength,
                      static_cast<std::int64_t>(testing_support::ReadHostFile(v).size()));
        }
    }
    std::string log;
    // The volumes as the job left them, with no renaming: every file the report names exists.
    ASSERT_EQ(testing_support::RunCommand("cd " + srv + " && 7z t Kelmail.zip < /dev/null && printf 'q\\n' | zip -q -s 0 Kelmail.zip --out joined.zip && "
                                          "unzip -t joined.zip",
                                          &log),
              0)
        << log;
    // Python's zipfile decodes names without the UTF-8 flag from code page 437.
    const std::string check =
        "import zipfile,os,sys\n"
        "z=zipfile.ZipFile(sys.argv[1]); src=sys.argv[2]\n"
        "names=set()\n"
        "for i in z.infolist():\n"
        "  names.add(i.filename)\n"
        "  if i.is_dir(): continue\n"
        "  p=os.path.join(src,i.filename) if i.filename!='inside.eml' else os.path.join(src,'sub','inside.eml')\n"
        "  assert z.read(i)==open(p,'rb').read(), i.filename\n"
        "want={'text.eml','two-blocks.eml','zero.eml','.hidden.eml','sub/','inside.eml','Caf\\u00e9 M\\u00fcller.eml'}\n"
        "assert names==want, names\n";
    WriteHostFile(srv + "/check.py", check);
    EXPECT_EQ(testing_support::RunCommand("python3 " + srv + "/check.py " + srv + "/joined.zip " + logs, &log), 0) << log;
}

// Mails of one name in two folders, and names a reader takes for one: each file comes out of the
// archive as a file of its own, and standard error says which are stored under a name of their own.
TEST(Program, EveryMailIsExtractedAsAFileOfItsOwn) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    if (!testing_support::HaveTool("unzip") || !testing_support::HaveTool("7z")) GTEST_SKIP() << "unzip and 7z are needed";
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    const std::string logs = m.OnC("C:\\Vandrel\\LOG_EML");
    const std::vector<std::string> files = {"A/m.eml", "B/m.eml", "Y.eml", "\xC5\xB8.eml", "z.eml", "\xC5\xBE.eml",
                                            "x-.eml", "x\xE2\x80\x93.eml", "A/C", "C/m.eml"};
    for (const std::string& file : files) WriteHostFile(logs + "/" + file, "mail " + file);
    const ProgramRun r = RunProgram(m);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("stored as B/m.eml: C:\\Vandrel\\LOG_EML\\B\\m.eml (another file has its name)\n"),
              std::string::npos)
        << r.output;
    const std::string srv = m.OnC("C:\\Vandrel");
    for (const char* extract : {"unzip -o -q Kelmail.zip -d u", "7z x -y -o7 Kelmail.zip"}) {
        std::string log;
        ASSERT_EQ(testing_support::RunCommand("cd " + srv + " && " + std::string(extract) + " < /dev/null", &log), 0) << log;
    }
    for (const char* folder : {"u", "7"}) {
        std::string count;
        testing_support::RunCommand("find " + srv + "/" + folder + " -type f | wc -l", &count);
        EXPECT_EQ(count, std::to_string(files.size()) + "\n") << folder << "\n" << r.output;
    }
}

TEST(Program, UnattendedRunWithAFileThatCannotBeOpenedEndsAsAFailure) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    const std::string logs = m.OnC("C:\\Vandrel\\LOG_EML");
    WriteHostFile(logs + "/a.eml", "plain");
    // Two Cyrillic names, both "????.eml" in the ANSI code page, and a FIFO that no one writes to.
    WriteHostFile(logs + "/\xD0\xA1\xD1\x87\xD0\xB5\xD1\x82.eml", "invoice");
    WriteHostFile(logs + "/\xD0\x90\xD0\xBA\xD1\x82\xD1\x8B.eml", "deeds");
    ASSERT_EQ(testing_support::RunCommand("mkfifo " + logs + "/pipe.eml"), 0);
    auto run = [&](const std::string& answers) {
        ProgramRun r;
        r.status = testing_support::RunCommand("cd " + m.Root() + " && MAILBALE_MACHINE=" + m.Root() +
                                                   " MAILBALE_UI=headless MAILBALE_ANSWERS=" + answers +
                                                   " timeout 120 " MAILBALE_EXE,
                                               &r.output);
        return r;
    };
    // Nobody answers: the prompt is retried a few times, then the run aborts and says so.
    ProgramRun r = run("");
    EXPECT_EQ(r.status, 1) << r.output;
    std::size_t boxes = 0;
    for (std::size_t at = r.output.find("== "); at != std::string::npos; at = r.output.find("\n== ", at + 1)) ++boxes;
    EXPECT_EQ(boxes, 5u) << r.output;  // three Retries, the Abort, the failure message
    EXPECT_NE(r.output.find("Native error: 00033"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("-> Ignore"), std::string::npos) << r.output;
    // Between the boxes, on standard error: the line that says which open failed, and why.
    EXPECT_NE(r.output.find("-> Abort\nopen C:\\Vandrel\\LOG_EML\\????.eml: the filename, directory name, or volume "
                            "label syntax is incorrect\n== Error ==\nZip of Vandrel SPAM failed!\n-> OK\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("pipe.eml"), std::string::npos) << r.output;
    // Told to leave it out, the run packs the file it can name, once.
    std::filesystem::remove(logs + "/\xD0\x90\xD0\xBA\xD1\x82\xD1\x8B.eml");
    r = run("Ignore");
    ASSERT_EQ(r.status, 0) << r.output;
    std::vector<std::string> names;
    for (const auto& entry : testing_support::LocalHeadersOf(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")))) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, std::vector<std::string>{"a.eml"});
}

// Names that all read "??.eml" in the ANSI code page are files of their own: each is asked about
// once, by a prompt that tells it from the others, and Ignore leaves out only the one asked about.
TEST(Program, FilesListedUnderOneQuestionMarkFormAreAskedAboutOneByOne) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    const std::string logs = m.OnC("C:\\Vandrel\\LOG_EML");
    WriteHostFile(logs + "/a.eml", "plain");
    for (const char* name : {"\xE6\x97\xA5\xE6\x9C\xAC.eml", "\xE4\xB8\xAD\xE6\x96\x87.eml", "\xED\x95\x9C\xEA\xB5\xAD.eml"}) {
        WriteHostFile(logs + "/" + name, name);
    }
    ProgramRun r = RunProgram(m, "Ignore,Ignore,Ignore");
    ASSERT_EQ(r.status, 0) << r.output;
    std::vector<std::string> prompts;
    for (std::size_t at = r.output.find("== Confirm ==\n"); at != std::string::npos; at = r.output.find("== Confirm ==\n", at + 1)) {
        prompts.push_back(r.output.substr(at, r.output.find("\n-> ", at) - at));
    }
    ASSERT_EQ(prompts.size(), 3u) << r.output;
    for (std::size_t i = 0; i < prompts.size(); ++i) {
        EXPECT_NE(prompts[i].find("Cannot open file \"C:\\Vandrel\\LOG_EML\\??.eml\""), std::string::npos) << prompts[i];
        EXPECT_NE(prompts[i].find("file " + std::to_string(i + 1) + " of 3 listed as \"??.eml\""), std::string::npos)
            << prompts[i];
    }
    // Left out, they are in no list of names stored: neither the report nor standard error names
    // an entry the archive does not hold.
    EXPECT_EQ(r.output.find("stored as ?? ("), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("        ?? ("), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Stored under a name of their own"), std::string::npos) << r.output;
    // Left out by the first answer, the second file is asked about as itself: nobody answers it.
    r = RunProgram(m, "Ignore");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("-> Ignore"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("file 2 of 3 listed as"), std::string::npos) << r.output;
}

TEST(Program, NamesWindowsCannotHoldAreAskedAboutAndNeverPackAnotherFile) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    const std::string logs = m.OnC("C:\\Vandrel\\LOG_EML");
    WriteHostFile(m.OnC("C:\\secret.txt"), "outside");
    for (const char* name : {"report.eml", "notes.eml", "Case.eml", "sub/other.eml", "Box/one.eml", "box/two.eml"}) {
        WriteHostFile(logs + "/" + name, std::filesystem::path(name).filename().string());  // its stored name
    }
    // An overlong "/", a backslash, trailing dot and space, a name differing only in case.
    const std::vector<std::string> odd = {"..\xC0\xAF..\xC0\xAFsecret.txt", "sub\\other.eml", "report.eml.", "notes.eml ",
                                          "case.eml", "d\\e"};
    for (const std::string& name : odd) WriteHostFile(logs + "/" + name, "odd");
    // A folder with a name Windows could not hold, whose mail cannot be reached: asked about too.
    std::filesystem::remove(logs + "/d\\e");
    WriteHostFile(logs + "/d\\e/inside.eml", "inside.eml");
    // Nobody answers: the files that cannot be opened end the run as a failure.
    ProgramRun r = RunProgram(m);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Zip of Vandrel SPAM failed!"), std::string::npos) << r.output;
    // Each is asked about, and left out when told; every other file is packed as itself.
    std::string answers;
    for (std::size_t i = 0; i < odd.size(); ++i) answers += i ? ",Ignore" : "Ignore";
    r = RunProgram(m, answers);
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* shown : {"..??..??secret.txt", "sub?other.eml", "report.eml?", "notes.eml?", "?ase.eml", "d?e"}) {
        EXPECT_NE(r.output.find(std::string("LOG_EML\\") + shown), std::string::npos) << shown << "\n" << r.output;
    }
    const std::string zip = testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"));
    std::vector<std::string> names;
    for (const auto& entry : testing_support::LocalHeadersOf(zip)) {
        names.push_back(entry.name);
        if (entry.name.back() == '/') continue;
        const std::int64_t at = entry.offset + 30 + entry.header.NameLength + entry.header.ExtraLength;
        const std::string data = zip.substr(static_cast<std::size_t>(at), entry.header.CompressedSize);
        EXPECT_EQ(testing_support::InflateRaw(data), entry.name) << entry.name;
    }
    std::sort(names.begin(), names.end());
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n.back() == '/'; }), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Case.eml", "notes.eml", "one.eml", "other.eml", "report.eml", "two.eml"}));
}

TEST(Program, EachFileCostsAFewLookUpCallsWhateverItsFolderHolds) {
    SKIP_ON_WINDOWS("counts the Linux program's system calls");
    if (!testing_support::HaveTool("strace")) GTEST_SKIP() << "strace is needed";
    // Calls that look names up (not those on open files), per file archived: the lookup once
    // stat-ed every component of every path, many times per file (about 130 calls per file).
    auto lookUpCalls = [](int files) {
        TestMachine m;
        m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
        for (int i = 0; i < files; ++i) {
            WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\m" + std::to_string(i) + ".eml"), std::string(1000, 'x'));
        }
        const std::string trace = m.Host("trace.txt");
        testing_support::RunCommand("cd " + m.Root() + " && MAILBALE_MACHINE=" + m.Root() +
                                    " MAILBALE_UI=headless ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o " + trace +
                                    " -e trace=stat,lstat,newfstatat,statx,readlink,getdents64,openat " MAILBALE_EXE);
        std::istringstream lines(testing_support::ReadHostFile(trace));
        long count = 0;
        for (std::string line; std::getline(lines, line);) count += line.find("AT_EMPTY_PATH") == std::string::npos;
        return count;
    };
    const long hundred = lookUpCalls(100);
    if (hundred == 0) GTEST_SKIP() << "strace may not trace here";
    const long perFile = (lookUpCalls(200) - hundred) / 100;
    EXPECT_LE(perFile, 60);
}

// A server folder that cannot be listed hides the old volumes it holds, which would stay beside the
// new set: the job fails before it writes, saying why, and the old files stay as they were. The
// program runs as a user who may write in the folder but not read it.
TEST(Program, AServerFolderThatCannotBeListedFailsTheJobBeforeItWrites) {
    SKIP_ON_WINDOWS("runs the Linux program as another user");
    if (!testing_support::HaveTool("setpriv") || testing_support::RunCommand("test \"$(id -u)\" = 0") != 0) {
        GTEST_SKIP() << "needs root and setpriv, to run the program as another user";
    }
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\a.eml"), "mail");
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"), "old archive");
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01"), "old volume");
    const std::string srv = m.OnC("C:\\Vandrel");
    ASSERT_EQ(testing_support::RunCommand("chmod -R a+rX " + m.Root() + " && chmod a+x $(dirname " + m.Root() +
                                          ") && chmod 0333 " + srv),
              0);
    ProgramRun r;
    r.status = testing_support::RunCommand("cd " + m.Root() + " && setpriv --reuid=65534 --regid=65534 --clear-groups env "
                                               "HOME=/ MAILBALE_MACHINE=" + m.Root() + " MAILBALE_UI=headless " MAILBALE_EXE,
                                           &r.output);
    testing_support::RunCommand("chmod 0755 " + srv);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Cannot list the folder \"C:\\Vandrel\\\" to delete the old archive files. Permission denied"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("list C:\\Vandrel\\: permission denied\n"), std::string::npos) << r.output;
    EXPECT_EQ(testing_support::HostFolderNames(srv), (std::vector<std::string>{"Kelmail.z01", "Kelmail.zip", "LOG_EML"}));
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")), "old archive");
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01")), "old volume");
}

TEST(Program, ASecondRunMeetsTheSharingErrorAndLeavesTheFirstRunsVolume) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\a.eml"), "mail");
    // This process is the first run, writing its first volume.
    TFileStream volume("C:\\Vandrel\\Kelmail.z01", platform::fmCreate);
    volume.WriteBuffer("first run", 9);
    const ProgramRun r = RunProgram(m);
    EXPECT_EQ(r.status, 1) << r.output;
    // Its volume is held: the old files are checked before any is deleted, so the second run stops
    // there and never reaches the first run's names.
    EXPECT_NE(r.output.find("being used by another process"), std::string::npos) << r.output;
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01")), "first run");
}

TEST(Program, AThreadCountThatMeansNothingStopsItBeforeItTouchesAnything) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\a.eml"), "mail");
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"), "previous");
    // A control character of the value is shown escaped: it must not erase the line on a terminal.
    for (const auto& [value, shown] : {std::pair{"", ""}, std::pair{"0", "0"}, std::pair{"-2", "-2"}, std::pair{"abc", "abc"},
                                       std::pair{"8abc", "8abc"}, std::pair{"0x10", "0x10"}, std::pair{"65", "65"},
                                       std::pair{"1\x1b[2K\r", "1\\x1b[2K\\x0d"}}) {
        ProgramRun r;
        r.status = testing_support::RunCommand("cd " + m.Root() + " && MAILBALE_THREADS='" + value +
                                                   "' MAILBALE_MACHINE=" + m.Root() + " MAILBALE_UI=headless " MAILBALE_EXE,
                                               &r.output);
        EXPECT_EQ(r.status, 1) << value;
        EXPECT_EQ(r.output, std::string("MAILBALE_THREADS must be a whole number from 1 to 64, not \"") + shown + "\"\n");
        EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")), "previous") << value;
    }
}

// A first run still busy holds the server folder: a second one fails before it deletes or writes
// anything, where it once deleted the volumes the first had closed and both reported success.
TEST(Program, ASecondRunOnABusyFolderFailsAndTouchesNothing) {
    SKIP_ON_WINDOWS("runs the Linux program; the Windows program has its own tests under Wine");
    if (!testing_support::HaveTool("flock")) GTEST_SKIP() << "flock is needed";
    TestMachine m;
    m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
    WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\a.eml"), "mail");
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01"), "first run");
    ProgramRun r;
    r.status = testing_support::RunCommand("cd " + m.Root() + " && flock " + m.OnC("C:\\Vandrel") + " env MAILBALE_MACHINE=" +
                                               m.Root() + " MAILBALE_UI=headless " MAILBALE_EXE,
                                           &r.output);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Folder \"C:\\Vandrel\\\" is in use by another run of this program"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Zip of Vandrel SPAM failed!"), std::string::npos) << r.output;
    EXPECT_EQ(testing_support::ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01")), "first run");
    EXPECT_FALSE(HostExists(m.OnC("C:\\Vandrel\\Kelmail.zip")));
}

TEST(Program, SmallMailCostsFewSystemCallsBesidesItsReadsAndWrites) {
    SKIP_ON_WINDOWS("counts the Linux backend's system calls");
    if (!testing_support::HaveTool("strace")) GTEST_SKIP() << "strace is needed";
    // Every call of a run over mails of 1 KB but reads and writes, and but the waiting bar's timer
    // thread, whose sleeps and hand-overs follow the clock and not the files. The difference of two
    // runs is the cost per file, the program's fixed costs cancel out. A small mail costs about 7:
    // its entry in the listing of its folder (whose attributes and time serve the selection), the
    // query of its name as written and the open with its two share-lock calls and its query of the
    // open file (which also answers the size query of compressing), the close. It once cost about
    // 150, with a look-up of every path component, a free-space query per write and a temporary
    // file per item.
    auto countCalls = [](int files) {
        TestMachine m;
        m.WriteRegistry(std::string(kRegistryHead) + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n");
        for (int i = 0; i < files; ++i) {
            WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\mail" + std::to_string(i) + ".eml"),
                          std::string(1024, static_cast<char>('a' + i % 26)));
        }
        const std::string summary = m.Root() + "/strace.txt";
        std::string output;
        const int status = testing_support::RunCommand("cd " + m.Root() + " && MAILBALE_MACHINE=" + m.Root() +
                                                           " MAILBALE_UI=headless MAILBALE_THREADS=1 "
                                                           "ASAN_OPTIONS=detect_leaks=0 strace -f -c -o " +
                                                           summary + " " MAILBALE_EXE,
                                                       &output);
        EXPECT_EQ(status, 0) << output;
        std::istringstream lines(testing_support::ReadHostFile(summary));
        std::int64_t calls = 0;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            const std::vector<std::string> f{std::istream_iterator<std::string>(fields),
                                             std::istream_iterator<std::string>()};
            if (f.size() < 5 || f[0] == "%" || f.back() == "total" || f[0].front() == '-') continue;
            const std::string& name = f.back();
            if (name == "read" || name == "write" || name == "futex" || name == "clock_nanosleep") continue;
            calls += std::stoll(f[3]);
        }
        return calls;
    };
    const std::int64_t fewer = countCalls(100);
    if (fewer == 0) GTEST_SKIP() << "strace may not trace here";
    const std::int64_t more = countCalls(300);
    EXPECT_LE(static_cast<double>(more - fewer) / 200.0, 8.0) << fewer << " calls for 100 files, " << more << " for 300";
}
