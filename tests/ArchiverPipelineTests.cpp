// Compression on worker threads: whatever their number, the same archive bytes, the same events in
// the same order, the same failure prompts at the same moment, and the same roll-back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStaging.h"
#include "platform/Faults.h"
#include "platform/Threads.h"
#include "tests/ArchiverTestSupport.h"
#include "tests/TestSupport.h"

using testing_support::TestMachine;

namespace {

constexpr std::int64_t kVolume = 65536 * 3;

// What one run gave: every event as a line of text, and the bytes of every file it left in C:\out
// and C:\tmp.
struct PackResult {
    std::vector<std::string> events;
    std::string volumes;
    std::vector<std::string> outFiles;
    std::vector<std::string> tempFiles;
    bool rolledBack = false;
};

// The archive's bytes without the time stamps of folder entries: a folder has no time of its own
// and gets the time of the run.
std::string WithoutFolderTimes(std::string bytes) {
    for (std::size_t p = 0; p + 46 <= bytes.size(); ++p) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data() + p);
        const std::uint32_t signature = zip::GetLE32(b);
        const bool local = signature == zip::kLocalHeaderSignature;
        if (!local && signature != zip::kCentralHeaderSignature) continue;
        const std::size_t nameAt = p + (local ? 30 : 46);
        const std::size_t nameLength = zip::GetLE16(b + (local ? 26 : 28));
        if (nameLength > 0 && nameAt + nameLength <= bytes.size() && bytes[nameAt + nameLength - 1] == '/') {
            bytes.replace(p + (local ? 10 : 12), 4, 4, '\0');
        }
    }
    return bytes;
}

// A folder with an empty file, one-block files, a file of two input blocks that does not compress
// (so its item passes the in-memory bound and goes through its temporary file), a subfolder with a
// file, and a file that cannot be opened.
void WriteMixedFolder(TestMachine& m) {
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    testing_support::WriteHostFile(m.OnC("C:\\src\\a_empty.eml"), "");
    for (int i = 0; i < 12; ++i) {
        std::string text;
        for (int line = 0; line < 40 * (i + 1); ++line) text += "Line " + std::to_string(line * i) + " of mail\r\n";
        testing_support::WriteHostFile(m.OnC("C:\\src\\m" + std::to_string(i) + ".eml"), text);
    }
    testing_support::WriteHostFile(m.OnC("C:\\src\\big.eml"), testing_support::RandomBytes(1572864 + 70000, 5));
    testing_support::WriteHostFile(m.OnC("C:\\src\\locked.eml"), "held by another program");
    testing_support::WriteHostFile(m.OnC("C:\\src\\sub\\inner.eml"), "inside the subfolder");
}

// Packs C:\src into split volumes with the given number of workers. cancelAt > 0 cancels at that
// event (counted from 1); failures are answered from answers (then Ignore), and onFailure runs
// first; configure, when given, has the last word on the archiver's settings.
PackResult Pack(TestMachine& m, int workers, std::size_t cancelAt = 0, std::vector<TZipAction> answers = {},
                const std::function<void()>& onFailure = nullptr,
                const std::function<void(TZipArchiver&)>& configure = nullptr) {
    PackResult run;
    auto a = testing_support::MakeJobArchiver(kVolume);
    a->SetWorkerThreads(workers);
    a->Options().Recurse = true;
    a->Options().StorePath = spRelativePath;
    a->TempDir = "C:\\tmp\\";
    a->FileName = "C:\\out\\Kelmail.zip";
    a->BaseDir = "C:\\src\\";
    a->FileMasks() = {"C:\\src\\*.*"};
    // Progress events are counted for the cancel; the others are recorded only.
    std::size_t progressEvents = 0;
    auto note = [&](const std::string& line, bool* cancel) {
        run.events.push_back(line);
        if (cancel && ++progressEvents == cancelAt) *cancel = true;
    };
    a->OnFileProgress = [&](TObject*, const std::string& name, double p, TZipProcessOperation op,
                            TZipProgressPhase phase, bool& cancel) {
        note("file " + name + " " + std::to_string(p) + " " + std::to_string(op) + std::to_string(phase), &cancel);
    };
    a->OnOverallProgress = [&](TObject*, double p, TZipProcessOperation op, TZipProgressPhase phase, bool& cancel) {
        note("overall " + std::to_string(p) + " " + std::to_string(op) + std::to_string(phase), &cancel);
    };
    a->OnCopyTempFileProgress = [&](TObject*, double p, TZipProgressPhase phase, bool& cancel) {
        note("copy " + std::to_string(p) + " " + std::to_string(phase), &cancel);
    };
    a->OnRequestBlankVolume = [&](TObject*, int n, std::string& name, bool&) {
        note("volume " + std::to_string(n) + " " + name, nullptr);
    };
    a->OnProcessFileFailure = [&](TObject*, const std::string& name, TZipProcessOperation, int native, int code,
                                  const std::string& message, TZipAction& action) {
        // What has reached the volumes when the failure is asked about.
        std::int64_t written = 0;
        for (const std::string& f : testing_support::HostFolderNames(m.OnC("C:\\out"))) {
            written += testing_support::HostFileSize(m.OnC("C:\\out\\" + f));
        }
        note("failure " + name + " " + std::to_string(native) + " " + std::to_string(code) + " " + message +
                 " written " + std::to_string(written),
             nullptr);
        if (onFailure) onFailure();
        action = fxaIgnore;
        if (!answers.empty()) {
            action = answers.front();
            answers.erase(answers.begin());
        }
    };
    if (configure) configure(*a);
    a->Open(0xFFFF);
    a->AddMatchingFiles();
    run.rolledBack = a->UpdateRolledBack();
    a->Close();
    run.outFiles = testing_support::HostFolderNames(m.OnC("C:\\out"));
    for (const std::string& f : run.outFiles) run.volumes += testing_support::ReadHostFile(m.OnC("C:\\out\\" + f));
    run.volumes = WithoutFolderTimes(run.volumes);
    run.tempFiles = testing_support::HostFolderNames(m.OnC("C:\\tmp"));
    return run;
}

void ClearOut(TestMachine& m) {
    for (const std::string& f : testing_support::HostFolderNames(m.OnC("C:\\out"))) {
        std::remove(m.OnC("C:\\out\\" + f).c_str());
    }
}

}  // namespace

TEST(Pipeline, SameBytesAndEventsForAnyNumberOfWorkers) {
    TestMachine m;
    WriteMixedFolder(m);
    platform::faults::FailOpens("C:\\src\\locked.eml", platform::OsError::ShareViolation);
    const PackResult one = Pack(m, 1);
    ASSERT_FALSE(one.rolledBack);
    EXPECT_GT(one.outFiles.size(), 4u);  // several volumes
    EXPECT_TRUE(one.tempFiles.empty());
    int failures = 0;
    for (const std::string& e : one.events) failures += e.rfind("failure", 0) == 0 ? 1 : 0;
    EXPECT_EQ(failures, 1);
    for (int workers : {2, 8}) {
        ClearOut(m);
        const PackResult many = Pack(m, workers);
        EXPECT_TRUE(many.volumes == one.volumes) << workers << " workers";
        EXPECT_EQ(many.outFiles, one.outFiles) << workers << " workers";
        EXPECT_EQ(many.events, one.events) << workers << " workers";
        EXPECT_TRUE(many.tempFiles.empty()) << workers << " workers";
    }
}

TEST(Pipeline, FailureIsAskedWhenEarlierItemsAreWrittenAndRetryCompressesAgain) {
    TestMachine m;
    WriteMixedFolder(m);
    const PackResult clean = Pack(m, 1);
    std::string plainFailure;
    // The item fails; the failure is asked about with exactly the items before it in the volumes
    // (the plain path's count), and Retry, once the file is free, gives the clean archive.
    for (int workers : {1, 8}) {
        ClearOut(m);
        platform::faults::FailOpens("C:\\src\\m3.eml", platform::OsError::ShareViolation);
        const PackResult retried = Pack(m, workers, 0, {fxaRetry}, [] { platform::faults::Clear(); });
        EXPECT_TRUE(retried.volumes == clean.volumes) << workers << " workers";
        std::vector<std::string> failures;
        for (const std::string& e : retried.events) {
            if (e.rfind("failure", 0) == 0) failures.push_back(e);
        }
        ASSERT_EQ(failures.size(), 1u);
        if (workers == 1) plainFailure = failures[0];
        EXPECT_EQ(failures[0], plainFailure);
        EXPECT_EQ(failures[0].find("written 0"), std::string::npos);
    }
}

TEST(Pipeline, CancelAtEveryEventRollsBackAsThePlainPathAndLeavesNoTemporaryFile) {
    TestMachine m;
    WriteMixedFolder(m);
    const PackResult full = Pack(m, 1);
    std::size_t progressEvents = 0;
    for (const std::string& e : full.events) {
        const bool progress = e.rfind("file", 0) == 0 || e.rfind("overall", 0) == 0 || e.rfind("copy", 0) == 0;
        progressEvents += progress ? 1 : 0;
    }
    for (std::size_t at = 1; at <= progressEvents; ++at) {
        ClearOut(m);
        const PackResult one = Pack(m, 1, at);
        ClearOut(m);
        const PackResult eight = Pack(m, 8, at);
        SCOPED_TRACE("cancel at progress event " + std::to_string(at));
        EXPECT_TRUE(eight.rolledBack);
        EXPECT_EQ(eight.events, one.events);
        EXPECT_EQ(eight.outFiles, one.outFiles);
        EXPECT_TRUE(eight.volumes == one.volumes);
        EXPECT_TRUE(eight.tempFiles.empty());
    }
}

TEST(Pipeline, WorkersOnlyHelpWhereTheSystemRefusesThemRoomOrThreads) {
    // Incompressible mails of two input blocks, each staged in a temporary file of 1.6 MB: with one
    // thread a temporary folder of 3 MB holds the one item in progress; workers read ahead and
    // fill it, and the worker that finds it full gives its item up after the item's first block.
    // A thread the system refuses means fewer workers, down to none. Either way the job ends as
    // with one thread: the same bytes, events and prompts.
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    for (int i = 0; i < 4; ++i) {
        testing_support::WriteHostFile(m.OnC("C:\\src\\f" + std::to_string(i) + ".eml"),
                                       testing_support::RandomBytes(1600000, static_cast<std::uint32_t>(i)));
    }
    const struct {
        const char* name;
        std::function<void()> fault;
    } cases[] = {
        {"3 MB temporary folder", [] { platform::faults::SimulateDiskWithDeletes("C:\\tmp", 3000000); }},
        {"every thread refused", [] { platform::faults::RefuseThreadsFrom(1); }},
        {"threads refused from the second", [] { platform::faults::RefuseThreadsFrom(2); }},
        {"threads refused from the third", [] { platform::faults::RefuseThreadsFrom(3); }},
    };
    for (const auto& c : cases) {
        ClearOut(m);
        c.fault();
        const PackResult one = Pack(m, 1);
        platform::faults::Clear();
        ASSERT_FALSE(one.rolledBack) << c.name;
        for (int workers : {2, 3, 8}) {
            ClearOut(m);
            c.fault();
            const PackResult many = Pack(m, workers);
            platform::faults::Clear();
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(workers) + " workers");
            EXPECT_FALSE(many.rolledBack);
            EXPECT_TRUE(many.volumes == one.volumes);
            EXPECT_EQ(many.events, one.events);
            EXPECT_TRUE(many.tempFiles.empty());
        }
    }
}

TEST(Pipeline, ReadAheadKeepsTemporaryFilesWithinTheirBound) {
    // The bound counts the temporary files of finished items and of items in progress; only the
    // caller's next item may go past it, as it would without workers. Items of one input block
    // are begun in order; items of two are begun first and their blocks deflated apart.
    for (const std::int64_t kItem : {std::int64_t{1200000}, std::int64_t{1700000}}) {
        SCOPED_TRACE("items of " + std::to_string(kItem) + " bytes");
        TestMachine m;
        testing_support::MakeHostDirs(m.OnC("C:\\out"));
        testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
        for (int i = 0; i < 8; ++i) {
            testing_support::WriteHostFile(m.OnC("C:\\src\\f" + std::to_string(i) + ".eml"),
                                           testing_support::RandomBytes(static_cast<std::size_t>(kItem),
                                                                        static_cast<std::uint32_t>(i)));
        }
        const std::int64_t kBound = 2 * kItem + kItem / 2;
        const auto tempBytes = [&] {
            std::int64_t held = 0;
            for (const std::string& f : testing_support::HostFolderNames(m.OnC("C:\\tmp"))) {
                held += testing_support::HostFileSize(m.OnC("C:\\tmp\\" + f));
            }
            return held;
        };
        std::int64_t peak = 0;
        bool waited = false;
        const auto bounded = [&](TZipArchiver& a) {
            a.SetReadAheadBounds(TZipArchiver::kReadAheadMemory, kBound);
            a.OnFileProgress = [&, recorded = a.OnFileProgress](TObject* sender, const std::string& name, double p,
                                                                TZipProcessOperation op, TZipProgressPhase phase,
                                                                bool& cancel) {
                recorded(sender, name, p, op, phase, cancel);
                // At the first event the workers are let go as far as they will: until the
                // temporary folder has stopped growing for a while.
                for (int still = 0, round = 0; !waited && still < 10 && round < 300; ++round) {
                    const std::int64_t before = tempBytes();
                    platform::Sleep(20);
                    still = tempBytes() == before ? still + 1 : 0;
                }
                waited = true;
                peak = std::max(peak, tempBytes());
            };
        };
        const PackResult one = Pack(m, 1, 0, {}, nullptr, bounded);
        ClearOut(m);
        peak = 0;
        waited = false;
        const PackResult eight = Pack(m, 8, 0, {}, nullptr, bounded);
        EXPECT_TRUE(eight.volumes == one.volumes);
        EXPECT_EQ(eight.events, one.events);
        EXPECT_GT(peak, kItem);  // the workers did read ahead
        EXPECT_LE(peak, kBound + kItem + kItem / 10);
    }
}

TEST(Pipeline, ThreadCountFromTheEnvironment) {
    const struct {
        const char* text;
        int count;
    } cases[] = {{"1", 1},   {"8", 8},    {"064", 64}, {"64", 64}, {"65", 0},   {"0", 0},     {"-1", 0},
                 {"", 0},    {"abc", 0},  {"0x10", 0}, {"8abc", 0}, {" 8", 0},  {"+8", 0},    {"99999999999", 0}};
    for (const auto& c : cases) EXPECT_EQ(TZipBaseArchiver::ParseThreadCount(c.text), c.count) << '"' << c.text << '"';
    EXPECT_EQ(TZipBaseArchiver::ParseThreadCount(nullptr), 0);
}

TEST(Pipeline, AFileHeldWhenAWorkerReadAheadAndFreedBeforeItsTurnIsPacked) {
    // Workers read ahead of the items' turns; a failure one of them met then is not the item's
    // own: the item is tried again at its turn, as without workers, and no failure is asked about.
    TestMachine m;
    WriteMixedFolder(m);
    const auto freeLate = [](TZipArchiver& a) {
        a.OnFileProgress = [](TObject*, const std::string& name, double, TZipProcessOperation, TZipProgressPhase phase,
                              bool&) {
            if (name.find("big.eml") == std::string::npos || phase != ppEnd) return;
            platform::Sleep(300);  // the workers have had their turn at locked.eml, the next item
            platform::faults::Clear();
        };
    };
    std::vector<PackResult> runs;
    for (int workers : {1, 8}) {
        ClearOut(m);
        platform::faults::FailOpens("C:\\src\\locked.eml", platform::OsError::ShareViolation);
        runs.push_back(Pack(m, workers, 0, {}, nullptr, freeLate));
        ASSERT_FALSE(runs.back().events.empty());
    }
    EXPECT_TRUE(runs[1].volumes == runs[0].volumes);
    for (const std::string& e : runs[1].events) EXPECT_NE(e.rfind("failure", 0), 0u) << e;
}

TEST(Pipeline, ASlowProgressHandlerGetsEveryBlockOfALargeItemAsWithoutWorkers) {
    // The handler lingers in each block's event while the worker is blocks ahead in the same item:
    // the size handed over with each block must not be one the worker is writing meanwhile (the
    // ThreadSanitizer run of these tests sees that).
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    testing_support::WriteHostFile(m.OnC("C:\\src\\a.eml"), std::string(4 * 1572864 + 3, 'x'));
    testing_support::WriteHostFile(m.OnC("C:\\src\\b.eml"), "second");
    const auto slow = [](TZipArchiver& a) {
        a.OnFileProgress = [recorded = a.OnFileProgress](TObject* sender, const std::string& name, double p,
                                                         TZipProcessOperation op, TZipProgressPhase phase, bool& cancel) {
            recorded(sender, name, p, op, phase, cancel);
            if (phase == ppProcess) platform::Sleep(40);
        };
    };
    const PackResult one = Pack(m, 1, 0, {}, nullptr, slow);
    ClearOut(m);
    const PackResult eight = Pack(m, 8, 0, {}, nullptr, slow);
    EXPECT_TRUE(eight.volumes == one.volumes);
    EXPECT_EQ(eight.events, one.events);
}

namespace {

constexpr std::size_t kBlock = 1572864;

// Text of mail-like lines from a seed: it compresses, with matches near and far.
std::string MailText(std::size_t size, std::uint32_t seed) {
    static const char* const words[] = {"invoice", "order", "payment", "please", "regards", "the", "attached",
                                        "meeting", "account", "of", "Line", "mail", "\r\n"};
    std::string text;
    std::uint32_t x = seed;
    while (text.size() < size) {
        x = x * 1103515245u + 12345u;
        text += words[(x >> 16) % 13];
        text += (x >> 8) % 5 == 0 ? std::to_string(x % 1000) : " ";
    }
    text.resize(size);
    return text;
}

// A folder whose large items (of several input blocks) come first, in the middle and last, among
// small mails: text whose repeats cross every block edge and whose last block is under 32 KiB,
// incompressible bytes whose last block is longer than 32 KiB, and one byte pattern repeated to an
// exact multiple of the block size.
std::map<std::string, std::string> WriteLargeItemsFolder(TestMachine& m) {
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    std::map<std::string, std::string> files;
    std::string first = MailText(2 * kBlock + 100, 1);
    // The same 3,000 bytes straddle each block edge and stand 20,000 bytes before it: the matches
    // found there reach back over the edge into the input that primes the block.
    const std::string repeated = MailText(3000, 9);
    for (std::size_t edge = kBlock; edge < first.size(); edge += kBlock) {
        first.replace(edge - 1500, repeated.size(), repeated);
        first.replace(edge - 20000, repeated.size(), repeated);
    }
    files["a_first.eml"] = first;
    for (int i = 0; i < 12; ++i) {
        files["m" + std::to_string(10 + i) + ".eml"] = MailText(500 + 7000 * static_cast<std::size_t>(i), 20 + i);
    }
    files["m15_middle.eml"] = testing_support::RandomBytes(2 * kBlock + 40000, 31);
    std::string pattern;
    while (pattern.size() < 3 * kBlock) pattern += "abcabcabd";
    pattern.resize(3 * kBlock);
    files["z_last.eml"] = pattern;
    for (const auto& [name, content] : files) testing_support::WriteHostFile(m.OnC("C:\\src\\" + name), content);
    return files;
}

// C:\\src with four items large enough to be staged in temporary files (incompressible, seeded
// from seed) and 80 small mails behind them; C:\\out and C:\\tmp made.
void WriteStagedItemsFolder(TestMachine& m, std::uint32_t seed) {
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    for (int i = 0; i < 4; ++i) {
        testing_support::WriteHostFile(m.OnC("C:\\src\\b" + std::to_string(i) + ".eml"),
                                       testing_support::RandomBytes(1300000, seed + static_cast<std::uint32_t>(i)));
    }
    for (int i = 0; i < 80; ++i) {
        testing_support::WriteHostFile(m.OnC("C:\\src\\n" + std::to_string(i) + ".eml"), MailText(2000, 100 + i));
    }
}

}  // namespace

TEST(Pipeline, LargeItemsFirstInTheMiddleAndLastGiveTheSameBytesAndEventsForAnyNumberOfWorkers) {
    // With one thread each item is one deflate stream; with workers a large item's blocks are
    // deflated apart and joined. The archive and every event must be the same.
    TestMachine m;
    const std::map<std::string, std::string> files = WriteLargeItemsFolder(m);
    const PackResult one = Pack(m, 1);
    ASSERT_FALSE(one.rolledBack);
    // The large items' block events, as the plain path raises them.
    std::vector<std::string> blockEvents;
    for (const std::string& e : one.events) {
        const bool large = e.find("a_first") != std::string::npos || e.find("m15_middle") != std::string::npos ||
                           e.find("z_last") != std::string::npos;
        if (e.rfind("file", 0) == 0 && large && e.size() > 3 && e.compare(e.size() - 3, 3, " 01") == 0) {
            blockEvents.push_back(e);
        }
    }
    EXPECT_EQ(blockEvents.size(), 3u + 3u + 3u);  // three blocks each
    for (int workers : {2, 3, 8}) {
        ClearOut(m);
        const PackResult many = Pack(m, workers);
        SCOPED_TRACE(std::to_string(workers) + " workers");
        EXPECT_FALSE(many.rolledBack);
        EXPECT_TRUE(many.volumes == one.volumes);
        EXPECT_EQ(many.outFiles, one.outFiles);
        EXPECT_EQ(many.events, one.events);
        EXPECT_TRUE(many.tempFiles.empty());
    }
}

TEST(Pipeline, LargeItemsDeflatedInBlocksAreReadBackByOtherReaders) {
    if (!testing_support::HaveTool("7z") || !testing_support::HaveTool("unzip")) GTEST_SKIP() << "7z and unzip are needed";
    TestMachine m;
    const std::map<std::string, std::string> files = WriteLargeItemsFolder(m);
    // Split into many volumes for 7-Zip, which reads them named .z01 …; in one volume for unzip,
    // which reads no split archive (and zip -s 0 does not join entries that span three volumes).
    const std::string copies = m.Host("readers");
    for (const bool oneVolume : {false, true}) {
        ClearOut(m);
        const PackResult eight = Pack(m, 8, 0, {}, nullptr, [&](TZipArchiver& a) {
            if (oneVolume) a.SpanningOptions().SetCustomVolumeSize(64 << 20);
        });
        ASSERT_FALSE(eight.rolledBack);
        ASSERT_EQ(eight.outFiles.size() == 1, oneVolume);
        testing_support::RunCommand("rm -rf " + copies);
        testing_support::MakeHostDirs(copies);
        for (const std::string& f : eight.outFiles) {
            std::string name = f;
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            testing_support::WriteHostFile(copies + "/" + name,
                                           testing_support::ReadHostFile(m.OnC("C:\\out\\" + f)));
        }
        std::string log;
        ASSERT_EQ(testing_support::RunCommand("cd " + copies + " && 7z t kelmail.zip" +
                                                  (oneVolume ? " && unzip -t kelmail.zip" : ""),
                                              &log),
                  0)
            << log;
        for (const auto& [name, content] : files) {
            const std::string reader = oneVolume ? "unzip -p kelmail.zip " : "7z x -so kelmail.zip ";
            EXPECT_EQ(testing_support::RunCommand("cd " + copies + " && " + reader + name + " > read.out"), 0) << name;
            EXPECT_TRUE(testing_support::ReadHostFile(copies + "/read.out") == content)
                << name << " as " << reader << "reads it";
        }
    }
}

// The workers begin on what the search finds while it goes on. An item the search replaces after
// they took it (a later file of the same stored name, the overwrite mode asking for the later) is
// packed with the later file's bytes, as without workers.
TEST(Pipeline, AnItemTheSearchReplacesAfterTheWorkersTookItHoldsTheLaterFile) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\out"));
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    const std::string earlier = MailText(300000, 3);
    const std::string later = MailText(200000, 4);
    // The earlier file comes first in its folder, and enough mails behind it that it is handed to
    // the workers before the search reaches the second folder.
    testing_support::WriteHostFile(m.OnC("C:\\src\\a\\a_same.eml"), earlier);
    for (int i = 0; i < 150; ++i) {
        testing_support::WriteHostFile(m.OnC("C:\\src\\a\\n" + std::to_string(i) + ".eml"), MailText(300, 100 + i));
    }
    testing_support::WriteHostFile(m.OnC("C:\\src\\b\\a_same.eml"), later);
    std::string plain;
    for (int workers : {1, 2, 8}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        ClearOut(m);
        const PackResult run = Pack(m, workers, 0, {}, nullptr, [](TZipArchiver& a) {
            a.Options().StorePath = spNoPath;
            a.Options().OverwriteMode = omAlways;
        });
        ASSERT_FALSE(run.rolledBack);
        int found = 0;
        for (const testing_support::LocalEntry& e : testing_support::LocalHeadersOf(run.volumes)) {
            if (e.name != "a_same.eml") continue;
            ++found;
            const std::size_t at = static_cast<std::size_t>(e.offset) + zip::LocalFileHeader::kSize + e.header.NameLength +
                                   e.header.ExtraLength;
            const std::string data = testing_support::InflateRaw(run.volumes.substr(at, e.header.CompressedSize));
            EXPECT_EQ(data.size(), later.size());
            EXPECT_TRUE(data == later);
        }
        EXPECT_EQ(found, 1);
        if (workers == 1) plain = run.volumes;
        EXPECT_TRUE(run.volumes == plain);
    }
}

// Settings changed while the search goes on (here by a handler of its events) are those the
// commit compresses with: the workers the search started, which compress with the settings of its
// start, give way to new ones, and the archive is the one the plain path writes.
TEST(Pipeline, SettingsChangedDuringTheSearchAreTheOnesTheItemsGet) {
    TestMachine m;
    WriteLargeItemsFolder(m);
    for (int i = 0; i < 150; ++i) {
        testing_support::WriteHostFile(m.OnC("C:\\src\\n" + std::to_string(i) + ".eml"), MailText(300, 100 + i));
    }
    const auto zip64Late = [](TZipArchiver& a) {
        a.Zip64Mode = zmDisabled;
        a.OnStoreFile = [&a](TObject*, std::string& name, std::uint32_t&, std::string&, const std::string&) {
            if (name == "z_last.eml") a.Zip64Mode = zmAlways;
        };
    };
    const PackResult one = Pack(m, 1, 0, {}, nullptr, zip64Late);
    ASSERT_FALSE(one.rolledBack);
    int zip64Headers = 0;
    for (const testing_support::LocalEntry& e : testing_support::LocalHeadersOf(one.volumes)) {
        zip64Headers += e.header.UncompressedSize == 0xFFFFFFFFu ? 1 : 0;
    }
    EXPECT_GT(zip64Headers, 100);
    for (int workers : {2, 8}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        ClearOut(m);
        const PackResult many = Pack(m, workers, 0, {}, nullptr, zip64Late);
        EXPECT_FALSE(many.rolledBack);
        EXPECT_TRUE(many.volumes == one.volumes);
        EXPECT_EQ(many.events, one.events);
    }
}

// With the temporary folder in a folder that the search goes through (below the base folder, or
// below the folder a mask names while the base folder lies elsewhere), the search must not find
// there the temporary files in which workers stage large items (the plain path makes none before
// its commit) and take them for files to pack: the archive, the events and the prompts are the
// plain path's, whatever the number of workers.
TEST(Pipeline, TheTemporaryFolderInsideTheSearchedFolderGivesThePlainArchive) {
    TestMachine m;
    // Items staged in temporary files come first, and enough mails behind them that they are
    // handed to workers before the search reaches the temporary folder, after the files.
    WriteStagedItemsFolder(m, 40);
    testing_support::MakeHostDirs(m.OnC("C:\\src\\zz"));
    testing_support::MakeHostDirs(m.OnC("C:\\elsewhere"));
    for (const char* base : {"C:\\src\\", "C:\\elsewhere\\"}) {
        PackResult plain;
        for (int workers : {1, 2, 8}) {
            SCOPED_TRACE(std::string(base) + ", " + std::to_string(workers) + " workers");
            ClearOut(m);
            const PackResult run = Pack(m, workers, 0, {}, nullptr, [&m, base](TZipArchiver& a) {
                a.BaseDir = base;
                a.TempDir = "C:\\src\\zz\\";
                a.Options().StorePath = spNoPath;
                // The search reaches the temporary folder once workers have had the time to stage the
                // large items there.
                a.OnConfirmProcessFile = [&m](TObject*, const std::string& name, TZipProcessOperation, bool&) {
                    if (name != "C:\\src\\zz\\") return;
                    for (int wait = 0; wait < 75 && testing_support::HostFolderNames(m.OnC("C:\\src\\zz")).empty(); ++wait) {
                        platform::Sleep(20);
                    }
                };
            });
            if (workers == 1) plain = run;
            EXPECT_FALSE(run.rolledBack);
            EXPECT_TRUE(run.volumes == plain.volumes);
            EXPECT_EQ(run.events, plain.events);
            EXPECT_TRUE(testing_support::HostFolderNames(m.OnC("C:\\src\\zz")).empty());
        }
        for (const std::string& e : plain.events) EXPECT_EQ(e.find("failure"), std::string::npos) << e;
    }
}

// An error of the search (here a handler of its events that fails) stops the workers it started
// before the error reaches the caller: none goes on reading mail, and no temporary file of theirs
// is left behind while the caller deals with the error.
TEST(Pipeline, AnErrorOfTheSearchStopsItsWorkersAndLeavesNoTemporaryFile) {
    TestMachine m;
    // Items staged in temporary files come first, and enough mails behind them that they are
    // handed to workers before the search reaches the last file.
    WriteStagedItemsFolder(m, 60);
    testing_support::WriteHostFile(m.OnC("C:\\src\\z_last.eml"), "the last mail");
    auto a = testing_support::MakeJobArchiver(kVolume);
    a->SetWorkerThreads(4);
    a->Options().StorePath = spNoPath;
    a->TempDir = "C:\\tmp\\";
    a->FileName = "C:\\out\\Kelmail.zip";
    a->BaseDir = "C:\\src\\";
    a->FileMasks() = {"C:\\src\\*.*"};
    const auto staged = [&m] { return testing_support::HostFolderNames(m.OnC("C:\\tmp")); };
    bool stagedBeforeTheError = false;
    a->OnConfirmProcessFile = [&](TObject*, const std::string& name, TZipProcessOperation, bool&) {
        if (name != "C:\\src\\z_last.eml") return;
        // The handler fails once the workers have staged an item.
        for (int wait = 0; wait < 500 && staged().empty(); ++wait) platform::Sleep(20);
        stagedBeforeTheError = !staged().empty();
        throw std::runtime_error("the handler failed");
    };
    a->Open(0xFFFF);
    EXPECT_ANY_THROW(a->AddMatchingFiles());
    EXPECT_TRUE(stagedBeforeTheError);
    EXPECT_EQ(staged(), std::vector<std::string>{});
    EXPECT_EQ(a->DirManager()->Dir().Count(), 0);
    a->Close();
}

// An item's staged bytes stay in memory up to the bound and go to a temporary file ("FC" in the
// temporary folder) with the first write that passes it; the bytes read back the same either way,
// a write that began before the end moves them over as they stood, and the file goes with the stream.
TEST(Staging, TheInMemoryBoundExactlyAndOneByteBeyond) {
    TestMachine m;
    testing_support::MakeHostDirs(m.OnC("C:\\tmp"));
    constexpr std::int64_t kBound = TZipStagingStream::kStagedInMemory;
    const std::string a = testing_support::RandomBytes(static_cast<std::size_t>(kBound + 1), 21);
    const std::string b = testing_support::RandomBytes(static_cast<std::size_t>(kBound), 22);
    const auto contents = [](TZipStagingStream& s) {
        std::string out(static_cast<std::size_t>(s.Size()), '\0');
        s.SetPosition(0);
        s.ReadBuffer(out.data(), s.Size());
        return out;
    };
    const struct {
        std::int64_t first;    // bytes of a written from the start
        std::int64_t seekTo;   // then the position of a second write of b, -1 for none
        std::int64_t second;   // and its length
        bool spilled;
    } cases[] = {
        {kBound - 1, -1, 0, false}, {kBound, -1, 0, false},     {kBound + 1, -1, 0, true},
        {kBound - 1, kBound - 1, 1, false},                      {kBound - 1, kBound - 1, 2, true},
        {kBound, 10, kBound - 10, false},                        {kBound, 10, kBound - 9, true},
        {1000, 10, kBound, true},
    };
    for (const auto& c : cases) {
        std::string tempName;
        {
            TZipStagingStream s("C:\\tmp\\");
            // In pieces, as the compressor writes, the last one shorter.
            for (std::int64_t done = 0; done < c.first;) {
                const std::int64_t n = std::min<std::int64_t>(65536, c.first - done);
                s.WriteBuffer(a.data() + done, n);
                done += n;
            }
            std::string want = a.substr(0, static_cast<std::size_t>(c.first));
            if (c.seekTo >= 0) {
                s.SetPosition(c.seekTo);
                s.WriteBuffer(b.data(), c.second);
                want.replace(static_cast<std::size_t>(c.seekTo), static_cast<std::size_t>(c.second),
                             b.substr(0, static_cast<std::size_t>(c.second)));
                EXPECT_EQ(s.Position(), c.seekTo + c.second);
            }
            EXPECT_EQ(s.Spilled(), c.spilled) << c.first << " then " << c.second << " at " << c.seekTo;
            EXPECT_EQ(s.Size(), static_cast<std::int64_t>(want.size()));
            EXPECT_TRUE(contents(s) == want) << c.first << " then " << c.second << " at " << c.seekTo;
            tempName = s.TempFileName();
            EXPECT_EQ(tempName.rfind("C:\\tmp\\FC", 0) == 0, c.spilled) << tempName;
            if (c.spilled) {
                s.Close();
                EXPECT_TRUE(testing_support::ReadHostFile(m.OnC(tempName)) == want);
            }
        }
        EXPECT_EQ(testing_support::HostFolderNames(m.OnC("C:\\tmp")).size(), 0u) << tempName;
    }
}
