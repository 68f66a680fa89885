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
// With checkers, the entries are checked on threads of the check's own, each taking the next entry
// whose local header stands on a closed volume, while the next volumes are written; an entry
// whose data run on into a volume not yet closed is followed as the volumes close. Without
// checkers, on the caller's thread when a volume is closed, each entry once the volumes its data
// lie on are all closed.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Threads.h"

class TZipDirManager;
struct TDirItem;

class TZipVerifier {
public:
    // checkers: threads of the check's own (0, or none the system would start, means the caller's
    // thread); oemNames: the stored names are written in the OEM code page.
    TZipVerifier(int checkers, bool oemNames);
    // Stops the checkers and closes every volume they read.
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
    // Where an entry checked stands: its local header, and the end of its data.
    struct Span {
        std::int64_t disk = 0;
        std::int64_t offset = 0;
        std::int64_t endDisk = 0;
        std::int64_t endOffset = 0;
        std::string name;
    };
    class Reader;
    struct Inflater;
    struct Checker;

private:
    // Under the lock: whether the entry at the front of the queue may be taken: its header's
    // volume is closed (or no more will come). Without checkers, also the volumes its data lie on.
    bool FrontReady() const;
    // Checks one entry in full; false when it failed (Fail was called) or the check stops.
    bool CheckEntry(Checker& c, const Expected& e, Span& span);
    // Brings c's reader to volume disk, waiting for it to be closed when a checker may; false when
    // it failed or the check stops.
    bool ToVolume(Checker& c, std::int64_t disk, const std::string& entry);
    // Under the lock: an entry was checked; the entries checked in order so far must follow one
    // another without overlapping.
    void Checked(std::int64_t index, const Span& span);
    // Under the lock: c waits until the shared state changes.
    void Wait(Checker& c);
    // Under the lock: wakes the waiting checkers.
    void Notify();
    void Work(Checker& c);
    // Without checkers: checks the entries that are ready.
    void Pump();
    void Fail(const std::string& volume, const std::string& what);
    bool CheckDirectory(TZipDirManager& manager);

    const bool oemNames_;
    platform::CriticalSection lock_;
    platform::Event progress_{false};  // set when a checker takes or ends an entry, or fails
    std::deque<Expected> queue_;
    std::vector<std::string> volumes_;
    // Per volume: 0 not read back yet, 1 being forced to the disk by a checker, 2 read back.
    std::vector<std::uint8_t> readBack_;
    std::vector<Checker*> waiting_;  // checkers waiting for a change
    bool allVolumes_ = false;
    bool stopping_ = false;
    bool failed_ = false;
    int busy_ = 0;                 // checkers holding an entry
    std::int64_t announced_ = 0;   // entries announced
    std::map<std::int64_t, Span> ahead_;  // entries checked before one announced ahead of them
    std::int64_t checked_ = 0;     // entries checked in order
    std::int64_t endDisk_ = 0;     // where the data of the last of them end
    std::int64_t endOffset_ = 0;
    std::string failedVolume_;
    std::string failure_;
    std::vector<std::unique_ptr<Checker>> checkers_;
    bool threaded_ = false;
};
