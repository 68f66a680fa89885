// The job when things fail: every file operation failed in turn, errors on closing and flushing,
// errors of any class, and a stop signal. A failed run leaves no archive and no temporary file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>

#include "app/FormMain.h"
#include "archiver/ZipDirectory.h"
#include "platform/Dialogs.h"
#include "platform/Faults.h"
#include "platform/FileSystem.h"
#include "platform/Format.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using platform::faults::FileOp;
using testing_support::HostFolderNames;
using testing_support::ReadHostFile;
using testing_support::TestMachine;
using testing_support::WriteHostFile;

namespace {

const char* kRegistry =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Data Access Corporation\\Visual DataFlex\\7\\Workspaces\\Vandrel]\n"
    "\"Srvr_Path\"=\"C:\\\\Vandrel\"\n";
constexpr std::int64_t kVolumeSize = 65536;

const char* OpName(FileOp op) {
    static const char* const kNames[] = {"open", "read",   "write",  "seek",       "size",          "close",
                                         "flush", "rename", "delete", "free space", "temporary name"};
    return kNames[static_cast<int>(op)];
}

struct JobRun {
    int status = -1;
    bool reported = false;
    std::int32_t volumes = 0;
    std::string shown;
    std::int64_t operations = 0;
    bool injected = false;
    FileOp failed = FileOp::Open;
};

// The job on a server folder C:\Vandrel, in process, with the temporary folder C:\Temp. Volumes are
// the smallest the archiver allows, so that a small folder spans several; a failed file is
// aborted, as a user watching would do.
class JobFailures : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_ON_WINDOWS("the fault sweep and signals run on the Linux backend");
        m.WriteRegistry(kRegistry);
        testing_support::MakeHostDirs(m.OnC("C:\\Vandrel\\LOG_EML"));
        testing_support::MakeHostDirs(m.OnC("C:\\Temp"));
        testing_support::SetEnv("TMPDIR", m.OnC("C:\\Temp"));
        // Items compressed on worker threads would make the order of the file operations, and so
        // which one is the k-th, differ from run to run.
        testing_support::SetEnv("MAILBALE_THREADS", "1");
    }
    void TearDown() override {
        testing_support::UnsetEnv("TMPDIR");
        testing_support::UnsetEnv("MAILBALE_THREADS");
    }

    void Mail(const std::string& name, const std::string& content) {
        WriteHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\" + name), content);
        sources[name] = content;
    }

    // Runs the job; a positive failAt fails that file operation (counting from 1), 0 counts them.
    JobRun Run(std::int64_t failAt, const std::function<void(TFormMain&)>& adjust = nullptr) {
        Application.Initialize();
        Application.ClearTerminate();
        platform::ClearStopRequest();
        JobRun run;
        platform::SetHeadlessOutput(&run.shown);
        platform::SetHeadlessAnswers({});
        TFormMain* form = Application.CreateForm<TFormMain>();
        form->ZipArchiver->SpanningOptions().SetCustomVolumeSize(kVolumeSize);
        form->ZipArchiver->OnProcessFileFailure = [](TObject*, const std::string&, TZipProcessOperation, int, int,
                                                     const std::string&, TZipAction& action) { action = fxaAbort; };
        if (adjust) adjust(*form);
        platform::faults::FailOperation(failAt);
        form->TimerTick(nullptr);
        run.operations = platform::faults::OperationCount();
        run.injected = platform::faults::FailedOperation(run.failed);
        platform::faults::Clear();
        run.status = form->ExitStatus();
        run.volumes = form->VolumeCount;
        run.reported = run.shown.find("Vandrel SPAM has been zipped into: ") != std::string::npos;
        Application.DestroyForms();
        platform::SetHeadlessOutput(nullptr);
        Application.ClearTerminate();
        platform::ClearStopRequest();
        return run;
    }

    // What is wrong after a run; empty when nothing is. Removes what the run left, so that the
    // next run starts clean.
    std::string Check(const JobRun& run) {
        std::string wrong;
        const std::string server = m.OnC("C:\\Vandrel");
        if (run.reported != (run.status == 0)) {
            wrong += " status " + std::to_string(run.status) + (run.reported ? " after" : " without") + " the report;";
        }
        if (run.reported) {
            wrong += CheckArchive(run.volumes);
        } else if (HostFolderNames(server) != std::vector<std::string>{"LOG_EML"}) {
            wrong += " archive files left after a failure;";
        }
        if (!HostFolderNames(m.OnC("C:\\Temp")).empty()) wrong += " temporary file left;";
        for (const auto& [name, content] : sources) {
            if (ReadHostFile(m.OnC("C:\\Vandrel\\LOG_EML\\" + name)) != content) wrong += " source " + name + " changed;";
        }
        for (const std::string& folder : {server, m.OnC("C:\\Temp")}) {
            for (const std::string& name : HostFolderNames(folder)) {
                if (name != "LOG_EML") std::filesystem::remove(folder + "/" + name);
            }
        }
        return wrong;
    }

    // The volumes are Kelmail.z01 ... and Kelmail.zip, none above the limit but the last; the
    // archiver's own loader finds every source in them, and each entry inflates to its source.
    std::string CheckArchive(std::int32_t volumeCount) {
        std::vector<std::string> expected;
        std::vector<std::string> volumes;
        for (std::int32_t n = 1; n < volumeCount; ++n) {
            const std::string name = Format("Kelmail.z%02d", n);
            expected.push_back(name);
            volumes.push_back(ReadHostFile(m.OnC("C:\\Vandrel\\" + name)));
            if (static_cast<std::int64_t>(volumes.back().size()) > kVolumeSize) return " volume over its limit;";
        }
        expected.push_back("Kelmail.zip");
        expected.push_back("LOG_EML");
        if (HostFolderNames(m.OnC("C:\\Vandrel")) != expected) return " volumes are not those reported;";
        volumes.push_back(ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")));
        TZipArchiver reader(nullptr);
        reader.FileName = "C:\\Vandrel\\Kelmail.zip";
        try {
            reader.Open(platform::fmOpenRead | platform::fmShareDenyNone);
        } catch (const std::exception& e) {
            return std::string(" the archive does not open: ") + e.what() + ";";
        }
        TZipDirArray& dir = reader.DirManager()->Dir();
        std::set<std::string> found;
        for (std::int32_t i = 0; i < dir.Count(); ++i) {
            const TDirItem& item = dir.EntryRef(i);
            if (item.DiskNumberStart >= volumes.size()) return " entry on a volume that is missing;";
            const std::string& volume = volumes[item.DiskNumberStart];
            const std::size_t at = static_cast<std::size_t>(item.RealLocalHeaderOffset());
            if (at + 30 > volume.size()) return " local header outside its volume;";
            const auto local = zip::LocalFileHeader::Decode(reinterpret_cast<const std::uint8_t*>(volume.data() + at));
            std::string data;
            for (std::size_t v = item.DiskNumberStart; v < volumes.size(); ++v) data += volumes[v];
            data = data.substr(at + 30 + local.NameLength + local.ExtraLength,
                               static_cast<std::size_t>(item.RealCompressedSize()));
            const std::string content = item.Method == 8 ? testing_support::InflateRaw(data) : data;
            const auto source = sources.find(item.Name);
            if (source == sources.end() || content != source->second ||
                crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())) !=
                    item.Crc32) {
                return " entry " + item.Name + " differs from its source;";
            }
            found.insert(item.Name);
        }
        return found.size() == sources.size() ? "" : " entries missing;";
    }

    TestMachine m;
    std::map<std::string, std::string> sources;
};

}  // namespace

// Every file operation of a clean run is failed once in turn. Whatever fails, the run ends; it
// ends with the report exactly when the archive is whole, and otherwise leaves no archive file.
TEST_F(JobFailures, FailingAnyFileOperationNeverLeavesABrokenOrPartialArchive) {
    // a.eml does not compress and passes the bound of an item staged in memory: it goes through its
    // temporary file, whose creation and deletion are file operations too.
    Mail("a.eml", testing_support::RandomBytes(1050000, 1));
    Mail("b.eml", testing_support::RandomBytes(60000, 2));
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "Subject: order " + std::to_string(i) + "\r\n";
    Mail("c.eml", text);
    Mail("empty.eml", "");
    const JobRun clean = Run(0);
    ASSERT_EQ(clean.status, 0) << clean.shown;
    ASSERT_GE(clean.volumes, 3);
    ASSERT_EQ(Check(clean), "");
    std::set<std::string> kinds;
    int reports = 0;
    std::string faults;
    std::string firstShown;
    for (std::int64_t k = 1; k <= clean.operations; ++k) {
        const JobRun run = Run(k);
        ASSERT_TRUE(run.injected) << "operation " << k << " of " << clean.operations << " never came";
        kinds.insert(OpName(run.failed));
        reports += run.reported ? 1 : 0;
        std::string wrong = Check(run);
        // The simulated error loses no byte, but on a real share it may have: it is a failure.
        const bool writeError = run.failed == FileOp::Close || run.failed == FileOp::Flush;
        if (writeError && run.reported) wrong += " an error on closing or flushing was reported as success;";
        if (!wrong.empty()) {
            faults += "operation " + std::to_string(k) + " (" + OpName(run.failed) + "):" + wrong + "\n";
            if (firstShown.empty()) firstShown = run.shown;
        }
    }
    EXPECT_EQ(kinds.size(), 11u) << "not every kind of file operation was failed";
    EXPECT_GT(reports, 0);
    EXPECT_LT(reports, clean.operations);
    EXPECT_EQ(faults, "") << "what the first of them showed:\n" << firstShown;
}

TEST_F(JobFailures, ErrorsOnClosingOrFlushingTheVolumesFailTheJob) {
    Mail("a.eml", testing_support::RandomBytes(100000, 3));
    // Every file in the folder, or only the first volume, closed long before the end.
    for (const auto& [closes, prefix] : {std::pair{true, "C:\\Vandrel\\"}, std::pair{false, "C:\\Vandrel\\"},
                                         std::pair{false, "C:\\Vandrel\\Kelmail.z01"}}) {
        const JobRun run = Run(0, [&](TFormMain&) {
            if (closes) platform::faults::FailCloses(prefix);
            else platform::faults::FailFlushes(prefix);
        });
        EXPECT_EQ(run.status, 1) << run.shown;
        EXPECT_NE(run.shown.find("Zip of Vandrel SPAM failed!"), std::string::npos) << run.shown;
        EXPECT_EQ(Check(run), "") << run.shown;
    }
}

// An error of any class is shown in the job's box; none ends the program without a word.
TEST_F(JobFailures, ErrorsOfAnyClassAreShown) {
    Mail("a.eml", "a");
    const JobRun run = Run(0, [](TFormMain& form) {
        form.ZipArchiver->OnFileProgress = [](TObject*, const std::string&, double, TZipProcessOperation,
                                              TZipProgressPhase, bool&) { throw std::runtime_error("boom"); };
    });
    EXPECT_EQ(run.shown,
              "== Error ==\nException \"std::runtime_error: boom\" during zipping!\n-> OK\n"
              "== Error ==\nZip of Vandrel SPAM failed!\n-> OK\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Check(run), "");
    // A registry value of an absurd type width once ended the program with std::out_of_range.
    m.WriteRegistry(std::string(kRegistry) + "\"Srvr_Path\"=hex(ffffffffffffffffffff):43,00\n");
    const JobRun lookup = Run(0);
    EXPECT_NE(lookup.shown.find("on Registry access!"), std::string::npos) << lookup.shown;
}

// SIGTERM cancels the commit at its next event: the update rolls back, the temporary files and the
// volumes written so far go, and the program exits with 128 + 15.
TEST_F(JobFailures, SigtermDuringALongJobLeavesNothingAndExits143) {
    for (int i = 0; i < 12; ++i) Mail("m" + std::to_string(i) + ".eml", testing_support::RandomBytes(1000000, 10 + i));
    const std::string root = m.Root();
    const std::string script =
        "cd " + root + " && (MAILBALE_MACHINE=" + root + " MAILBALE_UI=headless TMPDIR=" + m.OnC("C:\\Temp") +
        " " MAILBALE_EXE " > out.txt 2>&1 & pid=$!; i=0; "
        "while [ ! -e " + m.OnC("C:\\Vandrel\\Kelmail.z02") + " ] && [ $i -lt 1500 ]; do sleep 0.02; i=$((i+1)); done; "
        "kill -TERM $pid; wait $pid; echo $? > status.txt)";
    std::string log;
    ASSERT_EQ(testing_support::RunCommand(script, &log), 0) << log;
    const std::string shown = ReadHostFile(root + "/out.txt");
    EXPECT_EQ(ReadHostFile(root + "/status.txt"), "143\n") << shown;
    EXPECT_NE(shown.find("Zip of Vandrel SPAM failed!"), std::string::npos) << shown;
    EXPECT_EQ(HostFolderNames(m.OnC("C:\\Vandrel")), std::vector<std::string>{"LOG_EML"});
    EXPECT_TRUE(HostFolderNames(m.OnC("C:\\Temp")).empty());
}

// A write beyond the file size limit, and printing to a pipe nobody reads any more, are write
// errors like any other: neither signal may kill the run halfway and leave its files behind.
TEST_F(JobFailures, FileSizeLimitAndAClosedOutputAreErrorsNotDeaths) {
    for (int i = 0; i < 4; ++i) Mail("m" + std::to_string(i) + ".eml", testing_support::RandomBytes(1500000, 30 + i));
    const std::string root = m.Root();
    const std::string run = "MAILBALE_MACHINE=" + root + " MAILBALE_UI=headless TMPDIR=" + m.OnC("C:\\Temp") + " " MAILBALE_EXE;
    std::string log;
    ASSERT_EQ(testing_support::RunCommand("cd " + root + " && (ulimit -f 1000; " + run + " > out.txt 2>&1; echo $? > status.txt)", &log), 0)
        << log;
    const std::string shown = ReadHostFile(root + "/out.txt");
    EXPECT_EQ(ReadHostFile(root + "/status.txt"), "1\n") << shown;
    EXPECT_NE(shown.find("Zip of Vandrel SPAM failed!"), std::string::npos) << shown;
    // Standard error says which file failed, and why.
    EXPECT_TRUE(std::regex_search(shown, std::regex(R"((^|\n)write C:\\Temp\\FC[0-9A-F]+\.tmp: file too large\n)"))) << shown;
    EXPECT_EQ(HostFolderNames(m.OnC("C:\\Vandrel")), std::vector<std::string>{"LOG_EML"});
    EXPECT_TRUE(HostFolderNames(m.OnC("C:\\Temp")).empty());
    // The reader of standard output is gone before the report is printed: the archive still stands.
    ASSERT_EQ(testing_support::RunCommand("cd " + root + " && { sleep 0.3; " + run + " 2>/dev/null; echo $? > status.txt; } | true", &log), 0)
        << log;
    EXPECT_NE(ReadHostFile(root + "/status.txt"), "141\n");
    EXPECT_TRUE(testing_support::HostExists(m.OnC("C:\\Vandrel\\Kelmail.zip")));
}

// A killed run cannot clean up: its temporary files, which hold mail, are its owner's alone while
// they live, and the next run removes them, but never a file another process holds.
TEST_F(JobFailures, TemporaryFilesOfAKilledRunArePrivateAndRemovedByTheNextRun) {
    for (int i = 0; i < 6; ++i) Mail("m" + std::to_string(i) + ".eml", testing_support::RandomBytes(3000000, 40 + i));
    const std::string root = m.Root();
    const std::string temp = m.OnC("C:\\Temp");
    const std::string run = "MAILBALE_MACHINE=" + root + " MAILBALE_UI=headless TMPDIR=" + temp + " " MAILBALE_EXE;
    std::string log;
    ASSERT_EQ(testing_support::RunCommand("cd " + root + " && (" + run + " > out.txt 2>&1 & pid=$!; i=0; "
                                          "while ! ls " + temp + "/FC*.tmp > /dev/null 2>&1 && [ $i -lt 1500 ]; do sleep 0.01; i=$((i+1)); done; "
                                          "stat -c %a " + temp + "/FC*.tmp > modes.txt; kill -KILL $pid; wait $pid; echo $? > status.txt)",
                                          &log),
              0)
        << log;
    ASSERT_EQ(ReadHostFile(root + "/status.txt"), "137\n");
    const std::vector<std::string> left = HostFolderNames(temp);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(ReadHostFile(root + "/modes.txt").find_first_not_of("600\n"), std::string::npos) << ReadHostFile(root + "/modes.txt");
    // Held by this process, and old enough to be taken for a dead run's; a file of another name.
    std::string heldName;
    platform::FileHandle held = platform::FileHandle::CreateTemp("C:\\Temp", "FC", heldName);
    const std::string heldHost = m.OnC(heldName);
    std::filesystem::last_write_time(heldHost, std::filesystem::last_write_time(heldHost) - std::chrono::minutes(5));
    WriteHostFile(temp + "/notes.tmp", "not ours");
    std::filesystem::last_write_time(temp + "/notes.tmp", std::filesystem::last_write_time(heldHost));
    // The next run packs only small mails, staged in memory: it makes no temporary file of its own.
    for (int i = 0; i < 6; ++i) std::filesystem::remove(m.OnC("C:\\Vandrel\\LOG_EML\\m" + std::to_string(i) + ".eml"));
    Mail("small.eml", "small");
    // Of the pattern, but held open by a program that takes no share locks.
    WriteHostFile(temp + "/FCFFFF.tmp", "another program's");
    std::filesystem::last_write_time(temp + "/FCFFFF.tmp", std::filesystem::last_write_time(heldHost));
    std::ifstream other(temp + "/FCFFFF.tmp");
    ASSERT_EQ(testing_support::RunCommand("sleep 2; cd " + root + " && " + run + " > out.txt 2>&1", &log), 0) << ReadHostFile(root + "/out.txt");
    std::vector<std::string> kept{"FCFFFF.tmp", heldName.substr(heldName.rfind('\\') + 1), "notes.tmp"};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(HostFolderNames(temp), kept);
}

// Started with standard input, output and error closed, the program must not print its prompts
// and report into the files it opens in their place.
TEST_F(JobFailures, ClosedStandardDescriptorsGetNoFileOfTheJob) {
    Mail("a.eml", testing_support::RandomBytes(100000, 7));
    Mail("odd.eml.", "cannot be opened: a prompt is shown");
    const std::string root = m.Root();
    std::string log;
    ASSERT_EQ(testing_support::RunCommand("cd " + root + " && (MAILBALE_MACHINE=" + root + " MAILBALE_UI=headless TMPDIR=" +
                                              m.OnC("C:\\Temp") + " MAILBALE_ANSWERS=Ignore " MAILBALE_EXE
                                              " 0<&- 1>&- 2>&-; echo $? > status.txt)",
                                          &log),
              0)
        << log;
    EXPECT_EQ(ReadHostFile(root + "/status.txt"), "0\n");
    const std::string zip = ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"));
    EXPECT_EQ(zip.find("== "), std::string::npos);
    std::vector<std::string> names;
    for (const auto& entry : testing_support::LocalHeadersOf(zip)) names.push_back(entry.name);
    EXPECT_EQ(names, std::vector<std::string>{"a.eml"});
}

// A stop asked for while the files are searched ends the search at once, whatever the tree still
// holds: the job fails with 128 + the signal's number and leaves nothing behind.
TEST_F(JobFailures, StopDuringTheSearchEndsItAtOnceAndLeavesNothing) {
    for (int i = 0; i < 30; ++i) Mail("f" + std::to_string(100 + i) + ".eml", "mail");
    for (int i = 0; i < 5; ++i) Mail("box" + std::to_string(i) + "\\m.eml", "mail");
    int confirmed = 0;
    const JobRun run = Run(0, [&](TFormMain& form) {
        form.ZipArchiver->OnConfirmProcessFile = [&](TObject*, const std::string&, TZipProcessOperation, bool&) {
            if (++confirmed == 3) platform::RequestStop(15);
        };
    });
    EXPECT_EQ(confirmed, 3);
    EXPECT_EQ(run.status, 143);
    EXPECT_EQ(run.shown, "== Error ==\nZip of Vandrel SPAM failed!\n-> OK\n");
    EXPECT_EQ(Check(run), "");
}

// A stop asked for before the job begins ends the program at once: the previous archive, which
// starting the job would delete, stays.
TEST_F(JobFailures, StopBeforeTheJobBeginsKeepsThePreviousArchive) {
    Mail("a.eml", "a");
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip"), "good");
    WriteHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01"), "volume");
    const JobRun run = Run(0, [](TFormMain&) { platform::RequestStop(15); });
    EXPECT_EQ(run.status, 143);
    EXPECT_EQ(run.shown, "");
    EXPECT_EQ(ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.zip")), "good");
    EXPECT_EQ(ReadHostFile(m.OnC("C:\\Vandrel\\Kelmail.z01")), "volume");
}
