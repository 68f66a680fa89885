#include "archiver/ZipDirectory.h"

#include <algorithm>
#include <cstring>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipExcept.h"
#include "platform/CodePage.h"

using zip::kSentinel16;
using zip::kSentinel32;

// ---- TDirItem ----

std::int64_t TDirItem::RealCompressedSize() const {
    return CompressedSize == kSentinel32 ? Zip64CompressedSize : CompressedSize;
}

std::int64_t TDirItem::RealUncompressedSize() const {
    return UncompressedSize == kSentinel32 ? Zip64UncompressedSize : UncompressedSize;
}

std::int64_t TDirItem::RealLocalHeaderOffset() const {
    return LocalHeaderOffset == kSentinel32 ? Zip64LocalHeaderOffset : LocalHeaderOffset;
}

void TDirItem::SetLocalHeaderOffset(std::int64_t offset, bool zip64) {
    if (zip64 || offset >= kSentinel32) {
        HasZip64 = true;
        LocalHeaderOffset = kSentinel32;
        Zip64LocalHeaderOffset = offset;
    } else {
        LocalHeaderOffset = static_cast<std::uint32_t>(offset);
    }
}

// ---- TZipStringHash ----

TZipStringHash::TZipStringHash(std::uint32_t chainCount) : chains_(std::max<std::uint32_t>(chainCount, 1), kNone) {}

TZipStringHash::TZipStringHash(std::uint32_t chainCount, TKeyOf keyOf)
    : chains_(std::max<std::uint32_t>(chainCount, 1), kNone), keyOf_(std::move(keyOf)) {}

TZipStringHash::~TZipStringHash() { ClearChains(); }

std::uint32_t TZipStringHash::HashKey(const std::string& key) const {
    std::uint32_t h = 0;
    for (unsigned char b : key) h = ((h << 2) | (h >> 30)) ^ b;
    return h;
}

std::uint32_t TZipStringHash::CheckKey(const std::string& key) {
    // FNV-1a: every byte changes every bit that follows.
    std::uint32_t h = 2166136261u;
    for (unsigned char b : key) h = (h ^ b) * 16777619u;
    return h;
}

bool TZipStringHash::Holds(std::int32_t at, std::uint32_t hash, std::uint32_t check, const std::string& key) const {
    const THashItem& item = items_[static_cast<std::size_t>(at)];
    if (item.Hash != hash || item.Check != check) return false;
    return keyOf_ ? keyOf_(item.Index) == key : keys_[static_cast<std::size_t>(at)] == key;
}

std::int32_t* TZipStringHash::LocateSlot(const std::string& key) {
    const std::uint32_t hash = HashKey(key);
    const std::uint32_t check = CheckKey(key);
    std::int32_t* slot = &chains_[hash % ChainCount()];
    while (*slot != kNone && !Holds(*slot, hash, check, key)) slot = &items_[static_cast<std::size_t>(*slot)].Link;
    return slot;
}

void TZipStringHash::Insert(const std::string& key, std::int32_t index) {
    std::int32_t at = freeItems_;
    if (at != kNone) {
        freeItems_ = items_[static_cast<std::size_t>(at)].Link;
    } else {
        at = static_cast<std::int32_t>(items_.size());
        items_.emplace_back();
        if (!keyOf_) keys_.emplace_back();
    }
    THashItem& item = items_[static_cast<std::size_t>(at)];
    if (!keyOf_) keys_[static_cast<std::size_t>(at)] = key;
    item.Hash = HashKey(key);
    item.Check = CheckKey(key);
    item.Index = index;
    std::int32_t& head = chains_[item.Hash % ChainCount()];
    item.Link = head;
    head = at;
}

void TZipStringHash::Drop(const std::string& key) {
    std::int32_t* slot = LocateSlot(key);
    if (*slot == kNone) return;
    const std::int32_t at = *slot;
    THashItem& item = items_[static_cast<std::size_t>(at)];
    *slot = item.Link;
    if (!keyOf_) std::string().swap(keys_[static_cast<std::size_t>(at)]);
    item.Link = freeItems_;
    freeItems_ = at;
}

std::int32_t TZipStringHash::Lookup(const std::string& key) const {
    const std::uint32_t hash = HashKey(key);
    const std::uint32_t check = CheckKey(key);
    std::int32_t at = chains_[hash % ChainCount()];
    while (at != kNone && !Holds(at, hash, check, key)) at = items_[static_cast<std::size_t>(at)].Link;
    return at != kNone ? items_[static_cast<std::size_t>(at)].Index : -1;
}

void TZipStringHash::ClearChains() {
    std::fill(chains_.begin(), chains_.end(), kNone);
    items_.clear();
    keys_.clear();
    freeItems_ = kNone;
}

// ---- TZipPackedText ----

TZipPackedText::TZipPackedText(const std::string& text) {
    if (text.size() < kTag + 1) {
        std::memcpy(bytes_, text.data(), text.size());
        bytes_[kTag] = static_cast<unsigned char>(text.size());
        return;
    }
    auto* heap = new std::string(text);
    std::memcpy(bytes_, &heap, sizeof heap);
    bytes_[kTag] = kOnHeap;
}

TZipPackedText::TZipPackedText(TZipPackedText&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.bytes_[kTag] = 0;  // the heap string, if any, is this one's now
}

TZipPackedText& TZipPackedText::operator=(TZipPackedText other) noexcept {
    unsigned char held[sizeof bytes_];
    std::memcpy(held, bytes_, sizeof bytes_);
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memcpy(other.bytes_, held, sizeof bytes_);  // other frees what this held
    return *this;
}

TZipPackedText::~TZipPackedText() { delete Heap(); }

std::string* TZipPackedText::Heap() const {
    if (bytes_[kTag] != kOnHeap) return nullptr;
    std::string* heap = nullptr;
    std::memcpy(&heap, bytes_, sizeof heap);
    return heap;
}

std::string TZipPackedText::Text() const {
    if (const std::string* heap = Heap()) return *heap;
    return std::string(reinterpret_cast<const char*>(bytes_), bytes_[kTag]);
}

// ---- TZipHashedStringList ----

std::string TZipHashedStringList::KeyOf(const std::string& s) const {
    return caseSensitive_ ? s : platform::AnsiUpperCase(s);
}

std::int32_t TZipHashedStringList::AddText(const std::string& s) {
    strings_.emplace_back(s);
    const auto index = static_cast<std::int32_t>(strings_.size() - 1);
    if (textIndex_ && textIndexValid_) {
        textIndex_->Insert(KeyOf(s), index);
        if (strings_.size() > 5u * textIndex_->ChainCount()) {
            // Too many strings per chain: drop the table; the next lookup builds a larger one.
            textIndex_.reset();
            textIndexValid_ = false;
        }
    }
    return index;
}

void TZipHashedStringList::ReplaceText(std::int32_t index, const std::string& s) {
    // A stale table is built afresh at the next look-up: it is left alone, its items naming
    // places of the list that may hold other strings now.
    const bool current = textIndex_ && textIndexValid_;
    if (current) textIndex_->Drop(KeyOf(strings_[static_cast<std::size_t>(index)].Text()));
    strings_[static_cast<std::size_t>(index)] = TZipPackedText(s);
    if (current) textIndex_->Insert(KeyOf(s), index);
}

void TZipHashedStringList::DeleteAt(std::int32_t index) {
    strings_.erase(strings_.begin() + index);
    textIndexValid_ = false;
    pairKeyIndexValid_ = false;
}

void TZipHashedStringList::ClearAll() {
    strings_.clear();
    if (textIndex_) textIndex_->ClearChains();
}

std::int32_t TZipHashedStringList::FindText(const std::string& s) {
    if (!textIndex_) {
        // A table made now holds nothing yet: it is filled below like a stale one.
        textIndex_ = std::make_unique<TZipStringHash>(
            std::max<std::uint32_t>(static_cast<std::uint32_t>(strings_.size()), 1000),
            [this](std::int32_t index) { return KeyOf(strings_[static_cast<std::size_t>(index)].Text()); });
        textIndexValid_ = false;
    }
    if (!textIndexValid_) {
        textIndex_->ClearChains();
        for (std::size_t i = 0; i < strings_.size(); ++i) {
            textIndex_->Insert(KeyOf(strings_[i].Text()), static_cast<std::int32_t>(i));
        }
        textIndexValid_ = true;
    }
    return textIndex_->Lookup(KeyOf(s));
}

std::int32_t TZipHashedStringList::FindPairKey(const std::string& name) {
    if (!pairKeyIndexValid_) {
        if (!pairKeyIndex_) pairKeyIndex_ = std::make_unique<TZipStringHash>(256);
        pairKeyIndex_->ClearChains();
        for (std::size_t i = 0; i < strings_.size(); ++i) {
            const std::string text = strings_[i].Text();
            const std::size_t eq = text.find('=');
            if (eq != std::string::npos) pairKeyIndex_->Insert(KeyOf(text.substr(0, eq)), static_cast<std::int32_t>(i));
        }
        pairKeyIndexValid_ = true;
    }
    return pairKeyIndex_->Lookup(KeyOf(name));
}

// ---- TZipDirArray ----

void TZipDirArray::ClearEntries() {
    for (std::int32_t i = 0; i < count_; ++i) Slot(i).ExtraFields.clear();
    count_ = 0;
    nameIndex_.ClearAll();
}

void TZipDirArray::SetCount(std::int32_t count) {
    if (count > capacity_) {
        growStep_ = std::min(2 * growStep_, maxGrowStep_);
        capacity_ = std::max(capacity_ + growStep_, count);
    } else if (count == 0) {
        blocks_.clear();
        blocks_.shrink_to_fit();
        capacity_ = 0;
    }
    // Slots up to the count exist; those made earlier beyond it keep their contents until reused.
    while (static_cast<std::int64_t>(blocks_.size()) * kBlockSize < count) {
        blocks_.push_back(std::make_unique<TDirItem[]>(static_cast<std::size_t>(kBlockSize)));
    }
    count_ = count;
}

void TZipDirArray::SetEntry(std::int32_t index, const TDirItem& item) {
    if (index < 0 || index >= count_) throw EZipException(1, nullptr);
    const std::string key = platform::AnsiLowerCase(item.Name);
    if (index < nameIndex_.Count()) nameIndex_.ReplaceText(index, key);
    else if (index == nameIndex_.Count()) nameIndex_.AddText(key);
    else throw EZipException(58, nullptr);
    Slot(index) = item;
}

TDirItem TZipDirArray::GetEntry(std::int32_t index) const {
    if (index < 0 || index >= count_) throw EZipException(2, nullptr);
    return Slot(index);
}

TDirItem& TZipDirArray::EntryRef(std::int32_t index) {
    if (index < 0 || index >= count_) throw EZipException(3, nullptr);
    return Slot(index);
}

void TZipDirArray::AssignFrom(const TZipDirArray& source) {
    ClearEntries();
    SetCount(source.count_);
    for (std::int32_t i = 0; i < source.count_; ++i) SetEntry(i, source.Slot(i));
}

void TZipDirArray::DeleteEntry(std::int32_t index) {
    if (index < 0 || index >= count_) throw EZipException(4, nullptr);
    TDirItem& item = Slot(index);
    item.SourceStream.reset();
    item.ExtraFields.clear();
    // String i of the name index is entry i's name: that one goes. A look-up by name finds the
    // last of equal names, which an archive from elsewhere may hold, and taking that one out would
    // put every name between the two one place off.
    const std::string key = platform::AnsiLowerCase(item.Name);
    const std::int32_t k = index < nameIndex_.Count() && nameIndex_.At(index) == key ? index : nameIndex_.FindText(key);
    if (k >= 0) nameIndex_.DeleteAt(k);
    for (std::int32_t i = index; i + 1 < count_; ++i) Slot(i) = std::move(Slot(i + 1));
    SetCount(count_ - 1);
}

bool TZipDirArray::FindEntry(const std::string& name, std::int32_t& index) {
    index = nameIndex_.FindText(platform::AnsiLowerCase(name));
    return index >= 0;
}

void TZipDirArray::RenameEntry(std::int32_t index, const std::string& name) {
    TDirItem& item = EntryRef(index);
    const std::int32_t k = nameIndex_.FindText(platform::AnsiLowerCase(item.Name));
    if (k < 0) nameIndex_.AddText(platform::AnsiLowerCase(name));
    else if (k != index) throw EZipException(59, nullptr);
    else nameIndex_.ReplaceText(index, platform::AnsiLowerCase(name));
    item.Name = name;
}

void TZipDirArray::RegisterName(std::int32_t index, const std::string& name) {
    TDirItem& item = EntryRef(index);
    const std::string key = platform::AnsiLowerCase(name);
    if (index < nameIndex_.Count()) nameIndex_.ReplaceText(index, key);
    else if (index == nameIndex_.Count()) nameIndex_.AddText(key);
    else throw EZipException(58, nullptr);
    item.Name = name;
}

// ---- TZipDirManager ----

namespace {

constexpr std::int64_t kEndSearchWindow = 65600;
constexpr std::int64_t kLocalSearchWindow = 65535;
constexpr std::int64_t kPrefixSearchWindow = 10000;
// Names the directory writer takes; a longer one is refused rather than cut.
constexpr std::size_t kMaxCentralName = 999;
// The most of a split archive's central directory held in memory before it goes to its volume.
constexpr std::int64_t kGatheredDirectory = 256 << 10;

}  // namespace

TZipDirManager::TZipDirManager(TStream* stream, TZipBaseArchiver* archiver, bool newArchive)
    : stream_(stream),
      archiver_(archiver),
      savedDir_(std::make_unique<TZipDirArray>()),
      dir_(std::make_unique<TZipDirArray>()) {
    isCustomStream_ = !archiver_ || stream_ != archiver_->ArchiveStream();
    ResetEndRecord();
    if (!newArchive || !archiver_) return;
    archiver_->CurrentVolumeRef().SetIsFirst(true);
    if (archiver_->SFXStub.empty()) return;
    TFileStream stub(archiver_->SFXStub, platform::fmOpenRead | platform::fmShareDenyWrite);
    const std::int64_t size = stub.Size();
    if (archiver_->SpanningMode() != smNone) {
        const std::int64_t limit = archiver_->SpanningOptions().VolumeSizeFor(archiver_->CurrentVolume());
        if (limit != -1 && limit < size) throw EZipException(47, archiver_);
    }
    stream_->SetSize(0);
    stream_->SetPosition(0);
    if (size > 0) stream_->CopyFrom(stub, 0);
    PrefixSize = size;
}

TZipDirManager::~TZipDirManager() = default;

bool TZipDirManager::Split() const { return archiver_ && archiver_->SpanningMode() != smNone; }

bool TZipDirManager::OemNames() const { return !archiver_ || archiver_->Options().OEMFileNames; }

void TZipDirManager::ResetEndRecord() {
    dir_->SetCount(0);
    EndRecord = zip::EndRecord{};
}

std::int64_t TZipDirManager::CentralDirectoryOffset() const { return DirStart; }

std::int64_t TZipDirManager::FindEndRecord() {
    ZipComment.clear();
    const std::int64_t size = stream_->Size();
    const std::int64_t window = std::min(size, kEndSearchWindow);
    if (window < static_cast<std::int64_t>(zip::EndRecord::kSize)) return -1;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(window));
    stream_->SetPosition(size - window);
    if (stream_->Read(buffer.data(), window) != window) return -1;
    for (std::int64_t i = window - static_cast<std::int64_t>(zip::EndRecord::kSize); i >= 0; --i) {
        const std::uint8_t* p = buffer.data() + i;
        if (zip::GetLE32(p) != zip::kEndRecordSignature) continue;
        const std::int64_t follows = window - i - static_cast<std::int64_t>(zip::EndRecord::kSize);
        if (zip::GetLE16(p + 20) != follows) continue;
        EndRecord = zip::EndRecord::Decode(p);
        ZipComment.assign(reinterpret_cast<const char*>(p + zip::EndRecord::kSize), static_cast<std::size_t>(follows));
        return size - window + i;
    }
    return -1;
}

bool TZipDirManager::HasEndRecord() {
    EndRecord = zip::EndRecord{};
    EndRecord.Signature = 0;
    const bool found = FindEndRecord() >= 0;
    return found || !archiver_ || archiver_->DamagedDirectorySwitch();
}

std::int64_t TZipDirManager::SearchSignature(std::uint32_t signature, std::int64_t from, std::int64_t window,
                                             std::int64_t minFollow) {
    const std::int64_t saved = stream_->Position();
    const std::int64_t size = stream_->Size();
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(window));
    std::int64_t found = -1;
    // The first reads are short and grow to the full window: a signature close ahead (the next
    // header, as a rule) is found without reading a whole window for it each time.
    std::int64_t step = std::min<std::int64_t>(window, 4096);
    for (std::int64_t pos = std::max<std::int64_t>(from, 0); pos < size && found < 0;) {
        const std::int64_t n = std::min(step, size - pos);
        step = std::min(window, step * 4);
        stream_->SetPosition(pos);
        if (stream_->Read(buffer.data(), n) != n) break;
        for (std::int64_t i = 0; i + 4 <= n; ++i) {
            if (zip::GetLE32(buffer.data() + i) == signature) {
                if (size - (pos + i) >= minFollow) found = pos + i;
                break;
            }
        }
        if (found >= 0 || pos + n >= size) break;
        // The next window overlaps the last one by a signature's length less one byte, so a
        // signature cut by the window's end is still seen whole.
        pos += n - 3;
    }
    stream_->SetPosition(saved);
    return found;
}

void TZipDirManager::LoadDirectory() {
    ResetEndRecord();
    PrefixSize = 0;
    IsZip64 = false;
    const std::int64_t endPos = FindEndRecord();
    if (endPos < 0) {
        RebuildFromLocalHeaders();
        return;
    }
    const std::int64_t size = stream_->Size();
    std::int64_t zip64Pos = -1;
    if (endPos >= static_cast<std::int64_t>(zip::Zip64Locator::kSize)) {
        std::uint8_t raw[zip::Zip64Locator::kSize];
        stream_->SetPosition(endPos - static_cast<std::int64_t>(sizeof raw));
        stream_->ReadBuffer(raw, sizeof raw);
        if (zip::GetLE32(raw) == zip::kZip64LocatorSignature) {
            IsZip64 = true;
            Zip64Locator = zip::Zip64Locator::Decode(raw);
            std::uint8_t record[zip::Zip64EndRecord::kSize];
            const std::uint64_t at = Zip64Locator.EndRecordOffset;
            const bool readable = at <= static_cast<std::uint64_t>(size) - sizeof record &&
                                  size >= static_cast<std::int64_t>(sizeof record);
            if (readable) {
                stream_->SetPosition(static_cast<std::int64_t>(at));
                stream_->ReadBuffer(record, sizeof record);
            }
            if (!readable || zip::GetLE32(record) != zip::kZip64EndRecordSignature) throw EZipException(40, nullptr);
            Zip64EndRecord = zip::Zip64EndRecord::Decode(record);
            // The record is taken to end where the locator begins.
            zip64Pos = endPos - static_cast<std::int64_t>(zip::Zip64Locator::kSize + zip::Zip64EndRecord::kSize);
        }
    }
    if (!IsZip64 && EndRecord.TotalEntries == kSentinel16) {
        RebuildFromLocalHeaders();
        return;
    }
    const std::uint32_t startDisk =
        EndRecord.StartDisk == kSentinel16 ? (IsZip64 ? Zip64EndRecord.StartDisk : 0) : EndRecord.StartDisk;
    const std::uint32_t lastVolume =
        EndRecord.ThisDisk == kSentinel16 ? (IsZip64 ? Zip64Locator.TotalDisks - 1 : 0) : EndRecord.ThisDisk;
    ownVolume_.Reset();
    ownVolume_.LastNumber = static_cast<std::int32_t>(lastVolume);
    ownVolume_.SetNumber(static_cast<std::int32_t>(startDisk));
    if (Split()) SwitchToVolume(ownVolume_);

    const std::uint64_t dirSize = IsZip64 ? Zip64EndRecord.DirectorySize : EndRecord.DirectorySize;
    const std::uint64_t count = IsZip64 ? Zip64EndRecord.TotalEntries : EndRecord.TotalEntries;
    try {
        std::int64_t start = 0;
        if (Split()) {
            start = static_cast<std::int64_t>(IsZip64 && EndRecord.DirectoryOffset == kSentinel32
                                                  ? Zip64EndRecord.DirectoryOffset
                                                  : EndRecord.DirectoryOffset);
        } else {
            start = (zip64Pos >= 0 ? zip64Pos : endPos) - static_cast<std::int64_t>(std::min<std::uint64_t>(dirSize, size));
        }
        // Every header takes 46 bytes at least: a count the stream cannot hold is a damaged directory.
        constexpr std::uint64_t kMaxSplitEntries = 1u << 24;
        if (start < 0 || count > dirSize / zip::CentralFileHeader::kSize ||
            count > (Split() ? kMaxSplitEntries : static_cast<std::uint64_t>(size) / zip::CentralFileHeader::kSize)) {
            throw EZipException(35, nullptr);
        }
        stream_->SetPosition(start);
        dir_->SetCount(static_cast<std::int32_t>(count));
        for (std::int32_t i = 0; i < static_cast<std::int32_t>(count); ++i) {
            if (Split() && stream_->Size() - stream_->Position() < static_cast<std::int64_t>(zip::CentralFileHeader::kSize)) {
                ownVolume_.SetNumber(ownVolume_.Number + 1);
                SwitchToVolume(ownVolume_);
                stream_->SetPosition(0);
            }
            if (i == 0) DirStart = stream_->Position();
            std::uint8_t head[zip::CentralFileHeader::kSize];
            stream_->ReadBuffer(head, sizeof head);
            TDirItem& item = dir_->EntryRef(i);
            item.DecodeHead(head);
            if (item.Signature != zip::kCentralHeaderSignature) throw EZipException(35, nullptr);
            std::string name(item.NameLength, '\0');
            stream_->ReadBuffer(name.data(), item.NameLength);
            if (OemNames()) name = platform::OemToAnsi(name);
            dir_->RenameEntry(i, name);
            if (item.ExtraLength != 0) {
                std::vector<std::uint8_t> extra(item.ExtraLength);
                stream_->ReadBuffer(extra.data(), item.ExtraLength);
                item.HasZip64 = false;
                std::size_t pos = 0;
                while (pos + 4 <= extra.size()) {
                    TZipExtraField field;
                    field.HeaderID = zip::GetLE16(extra.data() + pos);
                    field.DataSize = static_cast<std::uint16_t>(
                        std::min<std::size_t>(zip::GetLE16(extra.data() + pos + 2), extra.size() - pos - 4));
                    field.Data.assign(extra.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                                      extra.begin() + static_cast<std::ptrdiff_t>(pos + 4 + field.DataSize));
                    if (field.HeaderID == zip::kZip64ExtraId) {
                        zip::Zip64Values values{item.Zip64UncompressedSize, item.Zip64CompressedSize,
                                                item.Zip64LocalHeaderOffset, item.Zip64DiskNumberStart};
                        zip::DecodeCentralZip64(item, field.Data.data(), field.Data.size(), values);
                        item.Zip64UncompressedSize = values.UncompressedSize;
                        item.Zip64CompressedSize = values.CompressedSize;
                        item.Zip64LocalHeaderOffset = values.LocalHeaderOffset;
                        item.Zip64DiskNumberStart = values.DiskNumberStart;
                        item.HasZip64 = true;
                    }
                    pos += 4 + field.DataSize;
                    item.ExtraFields.push_back(std::move(field));
                }
            }
            item.Comment.assign(item.CommentLength, '\0');
            if (item.CommentLength > 0) stream_->ReadBuffer(item.Comment.data(), item.CommentLength);
        }
    } catch (const Exception&) {
        RebuildFromLocalHeaders();
        return;
    }
    if (count == 0) DirStart = stream_->Position();
    if (lastVolume == 0) {
        endRecordPos_ = endPos;
        DetectPrefix();
    }
    for (std::int32_t i = 0; i < dir_->Count(); ++i) {
        if (dir_->EntryRef(i).RealCompressedSize() == 0) continue;
        if (dir_->EntryRef(i).RealLocalHeaderOffset() < PrefixSize) {
            // The offsets count from the first local header: move every file entry behind the stub.
            for (std::int32_t k = 0; k < dir_->Count(); ++k) {
                TDirItem& item = dir_->EntryRef(k);
                if (item.IsFolder()) continue;
                item.SetLocalHeaderOffset(item.RealLocalHeaderOffset() + PrefixSize);
            }
        }
        break;
    }
}

void TZipDirManager::RebuildFromLocalHeaders() {
    dir_->ClearEntries();
    if (Split()) throw EZipException(44, nullptr);
    std::int64_t p = SearchSignature(zip::kLocalHeaderSignature, 0, kLocalSearchWindow, zip::LocalFileHeader::kSize);
    if (p < 0) throw EZipException(35, nullptr);
    const std::int64_t size = stream_->Size();
    // The data descriptor found last, and where its search began: the search from a later header
    // finds the same one while it lies ahead, which keeps the rebuild linear in the stream's size.
    std::int64_t descriptorFrom = -1;
    std::int64_t descriptorAt = -1;
    while (p >= 0) {
        std::uint8_t raw[zip::LocalFileHeader::kSize];
        stream_->SetPosition(p);
        stream_->ReadBuffer(raw, sizeof raw);
        const zip::LocalFileHeader local = zip::LocalFileHeader::Decode(raw);
        if (local.CompressedSize < size && local.ExtraLength <= 260) {
            const std::int32_t i = dir_->Count();
            dir_->SetCount(i + 1);
            TDirItem& item = dir_->EntryRef(i);
            item = TDirItem{};
            item.Signature = zip::kCentralHeaderSignature;
            item.VersionMadeBy = local.VersionNeeded;
            item.VersionNeeded = local.VersionNeeded;
            item.Flags = local.Flags;
            item.Method = local.Method;
            item.ModTime = local.ModTime;
            item.ModDate = local.ModDate;
            item.Crc32 = local.Crc32;
            item.CompressedSize = local.CompressedSize;
            item.UncompressedSize = local.UncompressedSize;
            item.NameLength = local.NameLength;
            item.ExtraLength = local.ExtraLength;
            item.ExternalAttributes = (local.UncompressedSize != 0 || (local.Flags & 8) != 0) ? 0x20 : 0x10;
            item.SetLocalHeaderOffset(p);
            std::string name;
            if (local.NameLength != 0 && p + 30 + local.NameLength <= size) {
                name.assign(local.NameLength, '\0');
                stream_->ReadBuffer(name.data(), local.NameLength);
                if (OemNames()) name = platform::OemToAnsi(name);
            } else {
                item.NameLength = 0;
            }
            dir_->RenameEntry(i, name);
            if ((local.Flags & 8) != 0) {
                if (!(descriptorFrom >= 0 && p >= descriptorFrom && (descriptorAt < 0 || descriptorAt >= p))) {
                    descriptorFrom = p;
                    descriptorAt = SearchSignature(zip::kDataDescriptorSignature, p, kLocalSearchWindow, 4);
                }
                if (descriptorAt >= 0 && descriptorAt + 16 <= size) {
                    std::uint8_t d[16];
                    stream_->SetPosition(descriptorAt);
                    stream_->ReadBuffer(d, sizeof d);
                    TDirItem& same = dir_->EntryRef(i);
                    same.Crc32 = zip::GetLE32(d + 4);
                    same.CompressedSize = zip::GetLE32(d + 8);
                    same.UncompressedSize = zip::GetLE32(d + 12);
                }
            }
        }
        p = SearchSignature(zip::kLocalHeaderSignature, p + 4, kLocalSearchWindow, zip::LocalFileHeader::kSize);
    }
    DirStart = size;
}

void TZipDirManager::DetectPrefix() {
    if (EndRecord.TotalEntries == 0) {
        PrefixSize = endRecordPos_;
        return;
    }
    if (dir_->Count() == 0) return;
    const TDirItem first = dir_->GetEntry(0);
    const std::int64_t size = stream_->Size();
    std::int64_t from = first.RealLocalHeaderOffset();
    while (from >= 0 && from < size) {
        const std::int64_t p = SearchSignature(zip::kLocalHeaderSignature, from, kPrefixSearchWindow, zip::LocalFileHeader::kSize);
        if (p < 0) return;
        std::uint8_t raw[zip::LocalFileHeader::kSize];
        stream_->SetPosition(p);
        stream_->ReadBuffer(raw, sizeof raw);
        const zip::LocalFileHeader h = zip::LocalFileHeader::Decode(raw);
        const bool same = h.VersionNeeded == first.VersionNeeded && h.Method == first.Method &&
                          h.ModTime == first.ModTime && h.ModDate == first.ModDate && h.Crc32 == first.Crc32 &&
                          h.CompressedSize == first.CompressedSize && h.UncompressedSize == first.UncompressedSize;
        if (p == 0 || same) {
            PrefixSize = p;
            return;
        }
        from = p + 1;
    }
}

void TZipDirManager::Write(const void* data, std::int64_t count, std::int32_t reserve, TMemoryStream* buffer) {
    if (count <= 0) return;
    if (archiver_ && Split()) {
        archiver_->WriteToVolumesChecked(data, count, stream_, archiver_->CurrentVolumeRef(), reserve, buffer);
        return;
    }
    if (stream_->Write(data, count) != count) throw EZipException(46, archiver_);
}

void TZipDirManager::SaveDirectory(TStream* stream) {
    if (stream) stream_ = stream;
    stream_->Seek(0, platform::SeekOrigin::End);
    stream_->SetSize(stream_->Position());

    const bool split = archiver_ && Split();
    TMemoryStream gathered;
    TMemoryStream* buffer = split ? &gathered : nullptr;
    std::int64_t start = stream_->Position();
    std::int64_t startDisk = split ? archiver_->CurrentVolume().Number : 0;
    std::uint64_t dirSize = 0;
    for (std::int32_t i = 0; i < dir_->Count(); ++i) {
        TDirItem& item = dir_->EntryRef(i);
        const std::string name = OemNames() ? platform::AnsiToOem(item.Name) : item.Name;
        if (name.size() > kMaxCentralName) {
            throw EZipException::CreateWithArgs(61, archiver_, {item.Name});
        }
        item.NameLength = static_cast<std::uint16_t>(name.size());
        item.CommentLength = static_cast<std::uint16_t>(std::min<std::size_t>(item.Comment.size(), 0xFFFF));
        const std::vector<std::uint8_t> zip64 = zip::EncodeCentralZip64(
            item, zip::Zip64Values{item.Zip64UncompressedSize, item.Zip64CompressedSize, item.Zip64LocalHeaderOffset,
                                   item.Zip64DiskNumberStart});
        std::size_t extraLength = zip64.size();
        for (const TZipExtraField& f : item.ExtraFields) {
            if (f.HeaderID != zip::kZip64ExtraId) extraLength += 4 + f.Data.size();
        }
        item.ExtraLength = static_cast<std::uint16_t>(std::min<std::size_t>(extraLength, 0xFFFF));
        std::uint8_t head[zip::CentralFileHeader::kSize];
        item.EncodeHead(head);
        Write(head, sizeof head, item.NameLength + item.ExtraLength, buffer);
        if (i == 0) {
            // The directory starts where its first header actually landed.
            start = split ? stream_->Size() + gathered.Size() - static_cast<std::int64_t>(sizeof head)
                          : stream_->Position() - static_cast<std::int64_t>(sizeof head);
            startDisk = split ? archiver_->CurrentVolume().Number : 0;
        }
        Write(name.data(), static_cast<std::int64_t>(name.size()), -1, buffer);
        Write(zip64.data(), static_cast<std::int64_t>(zip64.size()), -1, buffer);
        for (const TZipExtraField& f : item.ExtraFields) {
            if (f.HeaderID == zip::kZip64ExtraId) continue;
            std::uint8_t fieldHead[4];
            zip::PutLE16(fieldHead, f.HeaderID);
            zip::PutLE16(fieldHead + 2, static_cast<std::uint16_t>(f.Data.size()));
            Write(fieldHead, 4, -1, buffer);
            Write(f.Data.data(), static_cast<std::int64_t>(f.Data.size()), -1, buffer);
        }
        Write(item.Comment.data(), item.CommentLength, -1, buffer);
        dirSize += sizeof head + name.size() + extraLength + item.CommentLength;
        // What is gathered all belongs to the current volume: it goes out in pieces of a bounded
        // size rather than all at once at the next volume, so that the directory of 100,000 files
        // never stands whole in memory. The bytes and where they land are the same.
        if (split && gathered.Size() >= kGatheredDirectory) {
            if (stream_->Write(gathered.Data().data(), gathered.Size()) != gathered.Size()) {
                throw EZipException(46, archiver_);
            }
            gathered.SetSize(0);
        }
    }
    if (split && gathered.Size() > 0) {
        if (stream_->Write(gathered.Data().data(), gathered.Size()) != gathered.Size()) throw EZipException(46, archiver_);
    }
    if (dir_->Count() == 0 && split) {
        start = stream_->Position();
        startDisk = archiver_->CurrentVolume().Number;
    }
    const std::int64_t thisDisk = split ? std::max(archiver_->CurrentVolume().Number, 0) : 0;
    startDisk = std::max<std::int64_t>(startDisk, 0);
    const std::int64_t count = dir_->Count();
    const std::int64_t after = stream_->Position();

    auto put = [&](const std::uint8_t* bytes, std::size_t n) {
        if (stream_->Write(bytes, static_cast<std::int64_t>(n)) != static_cast<std::int64_t>(n)) {
            throw EZipException(46, archiver_);
        }
    };
    const bool zip64Due = after >= kSentinel32 || count >= kSentinel16 || thisDisk >= kSentinel16;
    if (zip64Due) {
        Zip64EndRecord = zip::Zip64EndRecord{};
        Zip64EndRecord.ThisDisk = static_cast<std::uint32_t>(thisDisk);
        Zip64EndRecord.StartDisk = static_cast<std::uint32_t>(startDisk);
        Zip64EndRecord.EntriesOnDisk = static_cast<std::uint64_t>(count);
        Zip64EndRecord.TotalEntries = static_cast<std::uint64_t>(count);
        Zip64EndRecord.DirectorySize = dirSize;
        Zip64EndRecord.DirectoryOffset = static_cast<std::uint64_t>(start);
        std::uint8_t record[zip::Zip64EndRecord::kSize];
        Zip64EndRecord.Encode(record);
        put(record, sizeof record);
        Zip64Locator = zip::Zip64Locator{};
        Zip64Locator.EndRecordDisk = static_cast<std::uint32_t>(thisDisk);
        Zip64Locator.EndRecordOffset = static_cast<std::uint64_t>(after);
        Zip64Locator.TotalDisks = static_cast<std::uint32_t>(thisDisk + 1);
        std::uint8_t locator[zip::Zip64Locator::kSize];
        Zip64Locator.Encode(locator);
        put(locator, sizeof locator);
    }
    IsZip64 = zip64Due;
    EndRecord = zip::EndRecord{};
    EndRecord.ThisDisk = zip::Fit16(thisDisk);
    EndRecord.StartDisk = zip::Fit16(startDisk);
    EndRecord.EntriesOnDisk = zip::Fit16(count);
    EndRecord.TotalEntries = zip::Fit16(count);
    EndRecord.DirectorySize = zip::Fit32(static_cast<std::int64_t>(dirSize));
    EndRecord.DirectoryOffset = zip::Fit32(start);
    EndRecord.CommentLength = static_cast<std::uint16_t>(std::min<std::size_t>(ZipComment.size(), 0xFFFF));
    std::uint8_t end[zip::EndRecord::kSize];
    EndRecord.Encode(end);
    put(end, sizeof end);
    put(reinterpret_cast<const std::uint8_t*>(ZipComment.data()), EndRecord.CommentLength);
    DirStart = start;
    if (split) {
        archiver_->FinishVolumes();
        stream_ = archiver_->ArchiveStream();
    }
}

void TZipDirManager::SwitchToVolume(TZipVolumeNumberInfo& volume) {
    if (isCustomStream_ || !archiver_) return;
    archiver_->OpenVolume(volume);
    stream_ = archiver_->ArchiveStream();
}

const std::string& TZipRareText::Text() const {
    static const std::string empty;
    return text_ ? *text_ : empty;
}
