#pragma once
// The read-back check of a split archive as it is written. Each volume is read back from the disk
// as soon as it is closed (forced there first and, where the system allows, not from its cache)
// and its entries are checked as a reader of split archives reads them: every local header stands
// where the directory says and matches its item, and the data inflate in full to the size and the
// CRC-32 that the commit computed from the source bytes. When the last volume is done, the end
// records and the central directory are found as a reader finds them and checked against the
// volumes and the items written, in order. Memory stays bounded: volumes are streamed, and only
// the items written and not yet checked are kept.
//
// With a worker the volumes are checked on a thread of the check's own while the next ones are
// written; without one, on the caller's thread when each volume is closed.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/Threads.h"

class TZipDirManager;
struct TDirItem;

class TZipVerifier {
public:
    // worker: check on a thread of its own (none started means the caller's thread); oemNames: the
    // stored names are written in the OEM code page.
    TZipVerifier(bool worker, bool oemNames);
    // Stops the worker and closes every volume it read.
    ~TZipVerifier();
    TZipVerifier(const TZipVerifier&) = delete;
    TZipVerifier& operator=(const TZipVerifier&) = delete;

    // An item was written whole into the volumes (its header where its disk number and offset
    // say, its data behind it), after the items announced before it.
    void ItemWritten(const TDirItem& item);
    // The volume of the next number (counting from 0) is complete and closed under name.
    void VolumeClosed(const std::string& name);
    // Whether a check has failed already; the writer may stop at once.
    bool Failed();
    // The last volume is complete and on the disk under name, and manager holds the directory and
    // the end records written. Waits for the checks of every volume and entry, then checks the end
    // records and the central directory. True when the archive is sound; otherwise FailedVolume
    // and Failure say where and what.
    bool Finish(const std::string& name, TZipDirManager& manager);
    // The volume in which the check failed, and "<entry or record>: <what did not match>".
    std::string FailedVolume();
    std::string Failure();

    struct Expected;
    class Reader;

private:
    enum class Step : std::uint8_t { Progress, Blocked, Failed };
    Step Next();
    // Checks the local header of the current item; false when its volume is not there yet.
    bool CheckLocalHeader();
    void Work();
    void Pump();
    void Fail(const std::string& volume, const std::string& what);
    // The name of volume disk when it is complete; empty when it is not (yet).
    std::string VolumeName(std::int64_t disk, bool& noMore);
    bool CheckDirectory(TZipDirManager& manager);

    const bool oemNames_;
    platform::CriticalSection lock_;
    platform::Event changed_{false};   // set when an item, a volume or the end arrives, or on stop
    platform::Event progress_{false};  // set when the check takes an item, waits or fails
    std::deque<Expected> queue_;
    std::vector<std::string> volumes_;
    bool allVolumes_ = false;
    bool stopping_ = false;
    bool failed_ = false;
    bool waiting_ = false;      // the worker waits for input
    std::uint64_t inputs_ = 0;  // counts every arrival
    std::uint64_t waitingAt_ = 0;  // the arrivals the waiting worker has seen
    std::string failedVolume_;
    std::string failure_;

    // The check's own state, touched by one thread at a time.
    std::unique_ptr<Expected> current_;
    bool headerChecked_ = false;
    std::int64_t remaining_ = 0;
    std::uint32_t crc_ = 0;
    std::int64_t produced_ = 0;
    bool streamEnded_ = false;
    std::int64_t checked_ = 0;
    std::int64_t endDisk_ = 0;   // where the data of the last item checked end
    std::int64_t endOffset_ = 0;
    std::unique_ptr<Reader> reader_;
    struct Inflater;
    std::unique_ptr<Inflater> inflater_;
    std::vector<std::uint8_t> input_;
    std::vector<std::uint8_t> output_;
    std::unique_ptr<platform::Thread> thread_;
};
