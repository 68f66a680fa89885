#pragma once
// The in-memory directory of an open archive: its entries with a case-insensitive name index, and
// the manager that loads it from the archive and saves it as the central directory.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archiver/ZipRecords.h"
#include "archiver/ZipVolume.h"
#include "platform/Streams.h"

class TZipBaseArchiver;
enum TZipProcessOperation : std::uint8_t;

struct TZipExtraField {
    std::uint16_t HeaderID = 0;
    std::uint16_t DataSize = 0;
    std::vector<std::uint8_t> Data;
};

// A text that almost every entry leaves empty (its comment, its password): as wide as a pointer
// while empty, where a string takes 32 bytes whatever it holds, and the directory holds one entry
// per file. It reads as the string it holds.
class TZipRareText {
public:
    TZipRareText() = default;
    TZipRareText(const std::string& text) { *this = text; }
    TZipRareText(const TZipRareText& other) { *this = other; }
    TZipRareText(TZipRareText&&) noexcept = default;
    TZipRareText& operator=(const TZipRareText& other) {
        if (this != &other) *this = other.Text();
        return *this;
    }
    TZipRareText& operator=(TZipRareText&&) noexcept = default;
    TZipRareText& operator=(const std::string& text) {
        text_ = text.empty() ? nullptr : std::make_unique<std::string>(text);
        return *this;
    }
    operator const std::string&() const { return Text(); }
    const std::string& Text() const;
    bool empty() const { return !text_; }
    std::size_t size() const { return text_ ? text_->size() : 0; }
    const char* data() const { return Text().data(); }
    // count copies of c, to be written through data().
    void assign(std::size_t count, char c) { *this = std::string(count, c); }
    char* data() { return text_ ? text_->data() : nullptr; }
    friend bool operator==(const TZipRareText& a, const std::string& b) { return a.Text() == b; }
    friend bool operator==(const TZipRareText& a, const char* b) { return a.Text() == b; }

private:
    std::unique_ptr<std::string> text_;  // none while empty
};

// A list that almost every entry leaves empty (the extra fields kept from an archive read): as
// wide as a pointer while empty, where a vector takes 24 bytes.
template <typename T>
class TZipRareList {
public:
    TZipRareList() = default;
    TZipRareList(const TZipRareList& other) { *this = other; }
    TZipRareList(TZipRareList&&) noexcept = default;
    TZipRareList& operator=(const TZipRareList& other) {
        if (this != &other) items_ = other.items_ ? std::make_unique<std::vector<T>>(*other.items_) : nullptr;
        return *this;
    }
    TZipRareList& operator=(TZipRareList&&) noexcept = default;
    void push_back(T item) {
        if (!items_) items_ = std::make_unique<std::vector<T>>();
        items_->push_back(std::move(item));
    }
    void clear() { items_.reset(); }
    bool empty() const { return !items_; }
    std::size_t size() const { return items_ ? items_->size() : 0; }
    T& operator[](std::size_t i) { return (*items_)[i]; }
    const T& operator[](std::size_t i) const { return (*items_)[i]; }
    T* begin() { return items_ ? items_->data() : nullptr; }
    T* end() { return items_ ? items_->data() + items_->size() : nullptr; }
    const T* begin() const { return items_ ? items_->data() : nullptr; }
    const T* end() const { return items_ ? items_->data() + items_->size() : nullptr; }

private:
    std::unique_ptr<std::vector<T>> items_;  // none while empty
};

// One entry. Its head is the 46-byte central directory header as stored; behind it the entry's
// texts, kept extra fields, Zip64 values and the working state of an update. The directory holds
// one per file, so the flags and bytes stand together at the end, where they leave no padding
// between the wider members.
struct TDirItem : zip::CentralFileHeader {
    std::string Name;     // stored name, ANSI, "/" between folders
    TZipRareText Comment;
    TZipRareList<TZipExtraField> ExtraFields;
    std::int64_t Zip64UncompressedSize = 0;
    std::int64_t Zip64CompressedSize = 0;
    std::int64_t Zip64LocalHeaderOffset = 0;
    std::uint32_t Zip64DiskNumberStart = 0;
    std::int32_t SourceStreamPosition = 0;
    TZipRareText Password;
    std::shared_ptr<TStream> SourceStream;
    std::string SourceFileName;
    bool HasZip64 = false;
    bool Selected = false;
    bool OwnsSourceStream = false;
    std::uint8_t CompressionMode = 0;
    std::uint8_t Operation = 0;  // a TZipProcessOperation
    // The source's size as the folder listing gave it (-1: not listed), so that the compression
    // workers can start large items early; the size compressed is the one found on opening.
    std::int64_t ListedSize = -1;
    // The CRC-32 of the entry's data bytes as the commit wrote them (compressed, and encrypted
    // where a password asks), complemented as stored CRCs are; 0 for none. Not stored in the
    // archive: the read-back check compares the bytes it reads with it, which also sees a bit
    // that no reader would notice (the padding of a deflate stream's last byte).
    std::uint32_t DataCrc32 = 0;

    // The 64-bit values, each the Zip64 one when the 32-bit field holds its sentinel.
    std::int64_t RealCompressedSize() const;
    std::int64_t RealUncompressedSize() const;
    std::int64_t RealLocalHeaderOffset() const;
    bool IsFolder() const { return (ExternalAttributes & 0x10) != 0; }
    // Records where the local header stands: in the 32-bit field, or as its sentinel with the
    // value in the Zip64 field when it does not fit there or when zip64 asks for the Zip64 form.
    void SetLocalHeaderOffset(std::int64_t offset, bool zip64 = false);
};

// A string of a list kept by the thousand (the name index holds one per entry) in 16 bytes: up to
// 15 bytes in place, as most file names are, a longer one on the heap; a std::string takes 32.
class TZipPackedText {
public:
    TZipPackedText() { bytes_[kTag] = 0; }
    explicit TZipPackedText(const std::string& text);
    TZipPackedText(const TZipPackedText& other) : TZipPackedText(other.Text()) {}
    TZipPackedText(TZipPackedText&& other) noexcept;
    TZipPackedText& operator=(TZipPackedText other) noexcept;
    ~TZipPackedText();
    std::string Text() const;

private:
    static constexpr std::size_t kTag = 15;          // the length in place, or kOnHeap
    static constexpr unsigned char kOnHeap = 0xFF;   // the first bytes then hold a std::string*
    std::string* Heap() const;
    alignas(8) unsigned char bytes_[16];
};

// A chained hash table from string keys to list indexes; new items go to the head of their chain.
class TZipStringHash {
public:
    // The key of the item for a list index, when the table indexes a list that holds the keys.
    using TKeyOf = std::function<std::string(std::int32_t index)>;

    explicit TZipStringHash(std::uint32_t chainCount);
    // A table over a list whose string at an index gives the key (keyOf): its items keep the index
    // and the key's hash only, not a copy of the key, which for a directory of 100,000 names would
    // cost more than the rest of the item. Insert and Drop then need the list to hold the key at
    // the index meanwhile.
    TZipStringHash(std::uint32_t chainCount, TKeyOf keyOf);
    virtual ~TZipStringHash();
    TZipStringHash(const TZipStringHash&) = delete;
    TZipStringHash& operator=(const TZipStringHash&) = delete;

    // h := (h rotated left by 2) xor byte, over the key's bytes.
    virtual std::uint32_t HashKey(const std::string& key) const;
    void Insert(const std::string& key, std::int32_t index);
    void Drop(const std::string& key);
    // The index of the first item with exactly this key; -1 when there is none.
    std::int32_t Lookup(const std::string& key) const;
    void ClearChains();
    std::uint32_t ChainCount() const { return static_cast<std::uint32_t>(chains_.size()); }

private:
    // Items live in one pool and link by position rather than each in an allocation of its own:
    // a directory of 100,000 names holds as many items, and a heap block per item would cost more
    // than the item. A dropped item's place is reused by the next insert.
    struct THashItem {
        std::uint32_t Hash = 0;  // HashKey of the key
        // A second hash of the key, which tells most keys of one HashKey apart: the rotating hash
        // gives numbered names (m000001.eml, m000002.eml, ...) a few hundred values for twenty
        // thousand names, and each key of an equal hash would be made afresh and compared.
        std::uint32_t Check = 0;
        std::int32_t Index = 0;
        std::int32_t Link = kNone;  // next item of the chain
    };
    static constexpr std::int32_t kNone = -1;
    static std::uint32_t CheckKey(const std::string& key);
    // Whether the item at holds key, whose hashes are hash and check.
    bool Holds(std::int32_t at, std::uint32_t hash, std::uint32_t check, const std::string& key) const;
    std::int32_t* LocateSlot(const std::string& key);
    std::vector<std::int32_t> chains_;  // first item of each chain
    std::deque<THashItem> items_;       // grows without moving the items it holds
    std::int32_t freeItems_ = kNone;    // dropped items, linked through Link
    TKeyOf keyOf_;                      // none: the keys are kept in keys_
    std::deque<std::string> keys_;      // the key of each item, without keyOf_
};

// An ordered list of strings with hashed lookups; the hash goes stale on deletion and when it grows
// past five strings per chain, and is rebuilt at the next lookup.
class TZipHashedStringList {
public:
    explicit TZipHashedStringList(bool caseSensitive = false) : caseSensitive_(caseSensitive) {}
    // Its name table reads the keys from the list itself, by its address.
    TZipHashedStringList(const TZipHashedStringList&) = delete;
    TZipHashedStringList& operator=(const TZipHashedStringList&) = delete;
    std::int32_t AddText(const std::string& s);
    void ReplaceText(std::int32_t index, const std::string& s);
    void DeleteAt(std::int32_t index);
    void ClearAll();
    std::int32_t FindText(const std::string& s);
    // Finds a "name=value" string by its name part.
    std::int32_t FindPairKey(const std::string& name);
    std::int32_t Count() const { return static_cast<std::int32_t>(strings_.size()); }
    std::string At(std::int32_t index) const { return strings_[static_cast<std::size_t>(index)].Text(); }
    // The number of chains of the text index; 0 while it is absent.
    std::uint32_t TextIndexChains() const { return textIndex_ ? textIndex_->ChainCount() : 0; }
    bool TextIndexValid() const { return textIndexValid_; }

private:
    std::string KeyOf(const std::string& s) const;
    // A deque grows without copying the strings it holds, so a long list never has two copies of
    // its array alive at once.
    std::deque<TZipPackedText> strings_;
    std::unique_ptr<TZipStringHash> textIndex_;
    std::unique_ptr<TZipStringHash> pairKeyIndex_;
    bool textIndexValid_ = true;
    bool pairKeyIndexValid_ = false;
    bool caseSensitive_;
};

// The entries of a directory with their name index (string i is the lower-cased name of entry i).
class TZipDirArray {
public:
    TZipDirArray() = default;
    TZipDirArray(const TZipDirArray&) = delete;
    TZipDirArray& operator=(const TZipDirArray&) = delete;

    void ClearEntries();
    void SetEntry(std::int32_t index, const TDirItem& item);   // codes 1, 58
    TDirItem GetEntry(std::int32_t index) const;               // code 2
    TDirItem& EntryRef(std::int32_t index);                    // code 3
    void SetCount(std::int32_t count);
    std::int32_t Count() const { return count_; }
    std::int32_t Capacity() const { return capacity_; }
    void AssignFrom(const TZipDirArray& source);
    void DeleteEntry(std::int32_t index);                      // code 4
    // Case-insensitive lookup; returns whether the name was found and its index.
    bool FindEntry(const std::string& name, std::int32_t& index);
    void RenameEntry(std::int32_t index, const std::string& name);  // code 59
    // Gives entry index its name and registers it at the same place of the name index, whatever
    // name the slot held before (a new slot at the end, or a replaced entry).
    void RegisterName(std::int32_t index, const std::string& name);  // codes 3, 58
    TZipHashedStringList& NameIndex() { return nameIndex_; }

private:
    // The entries are kept in blocks that never move once made: growing adds blocks, so a
    // reference from EntryRef (and an item the compression workers read while the caller's thread
    // works on others) stays valid, and growth never holds an old and a new copy of every entry at
    // once. Blocks are made as the count reaches them, not for the whole capacity, and freed
    // together when the count drops to 0.
    static constexpr std::int32_t kBlockShift = 8;
    static constexpr std::int32_t kBlockSize = 1 << kBlockShift;
    TDirItem& Slot(std::int32_t index) {
        return blocks_[static_cast<std::size_t>(index >> kBlockShift)][static_cast<std::size_t>(index & (kBlockSize - 1))];
    }
    const TDirItem& Slot(std::int32_t index) const {
        return blocks_[static_cast<std::size_t>(index >> kBlockShift)][static_cast<std::size_t>(index & (kBlockSize - 1))];
    }
    std::vector<std::unique_ptr<TDirItem[]>> blocks_;
    TZipHashedStringList nameIndex_;
    std::int32_t growStep_ = 500;
    std::int32_t maxGrowStep_ = 10000;
    std::int32_t capacity_ = 0;
    std::int32_t count_ = 0;
};

// Loads and saves the directory of one open archive.
class TZipDirManager {
public:
    // stream: the archive stream (or the current volume's); archiver: the owner, which may be absent
    // for a stream handled on its own; newArchive: start an empty directory (copying a stub in front
    // when the archiver names one).
    TZipDirManager(TStream* stream, TZipBaseArchiver* archiver, bool newArchive);
    ~TZipDirManager();
    TZipDirManager(const TZipDirManager&) = delete;
    TZipDirManager& operator=(const TZipDirManager&) = delete;

    // Searches the end record; true when found, and always true while the archiver's
    // damaged-directory switch is on.
    bool HasEndRecord();
    // Reads the directory of an existing archive, rebuilding it from the local headers when the
    // central directory is missing or unreadable.
    void LoadDirectory();
    // Writes the central directory and the end records at the end of the stream (stream, when given,
    // becomes the manager's stream).
    void SaveDirectory(TStream* stream = nullptr);
    void SwitchToVolume(TZipVolumeNumberInfo& volume);
    // The archiver replaced its volume stream: the manager follows when it wrote to the old one.
    void StreamReplaced(const TStream* old, TStream* now) {
        if (stream_ == old) stream_ = now;
    }

    TZipDirArray& Dir() { return *dir_; }
    TZipDirArray& SavedDir() { return *savedDir_; }
    TStream* Stream() const { return stream_; }
    std::string ZipComment;
    zip::EndRecord EndRecord;
    zip::Zip64EndRecord Zip64EndRecord;
    zip::Zip64Locator Zip64Locator;
    std::int64_t PrefixSize = 0;
    bool IsZip64 = false;
    std::int64_t DirStart = 0;
    // Where the old central directory began, 64 bits, from the end records.
    std::int64_t CentralDirectoryOffset() const;

private:
    void ResetEndRecord();
    // Part of the end-record search: finds it and reads the comment; returns its position or -1.
    std::int64_t FindEndRecord();
    void RebuildFromLocalHeaders();
    void DetectPrefix();
    std::int64_t SearchSignature(std::uint32_t signature, std::int64_t from, std::int64_t window, std::int64_t overlap);
    bool Split() const;
    bool OemNames() const;
    void Write(const void* data, std::int64_t count, std::int32_t reserve, TMemoryStream* buffer);

    TStream* stream_;
    bool isCustomStream_ = true;
    TZipBaseArchiver* archiver_;
    std::unique_ptr<TZipDirArray> savedDir_;
    std::unique_ptr<TZipDirArray> dir_;
    TZipVolumeNumberInfo ownVolume_;
    std::int64_t endRecordPos_ = 0;
};
