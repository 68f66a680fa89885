// File selection: which files the masks select, and the stored names and directory items they get.
#include <algorithm>
#include <set>
#include <utility>

#include "archiver/ZipArchiver.h"
#include "archiver/ZipDirectory.h"
#include "archiver/ZipMasks.h"
#include "archiver/ZipPipeline.h"
#include "archiver/ZipRecords.h"
#include "archiver/ZipStrFunc.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"

using zip::DirWithSlash;
using zip::FolderPart;
using zip::NamePart;

namespace {

constexpr std::uint32_t kDirectoryBit = platform::faDirectory;

// The folders a search has entered, by identity (device and inode, volume serial number and file
// index): a folder reached a second time under another path (a bind mount, a junction) is not
// searched again, so no arrangement of folders makes a search grow beyond the folders that exist.
// Guarded by the search lock, which a search holds throughout.
std::set<std::pair<std::uint64_t, std::uint64_t>>& EnteredFolders() {
    static std::set<std::pair<std::uint64_t, std::uint64_t>> entered;
    return entered;
}

// True the first time a folder is entered in this search (or when it cannot be identified).
bool EnterFolder(const std::string& folder) {
    const platform::FileIdentity id = platform::GetFileIdentity(folder);
    return !id.Valid || EnteredFolders().emplace(id.Volume, id.Index).second;
}

// A request to stop the program (a signal, a console event) ends a search at once: a large tree
// would otherwise hold the program long after it was asked to stop, and the selection so far must
// not be committed as if it were all.
void StopIfAsked() {
    if (platform::StopSignal() != 0) throw EAbort();
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }
bool HasSeparator(const std::string& s) { return s.find_first_of("\\/") != std::string::npos; }
bool HasParentStep(const std::string& s) {
    return s.find("..\\") != std::string::npos || s.find("../") != std::string::npos;
}
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Whether fullName is a volume file of the split archive that a writes: the volume open now, or a
// name that the archive's own volume naming gives (Kelmail.z07, Kelmail_007.zip, Kelmail.exe), in
// any letter case. Such a file is being written, or is about to be replaced, by this very archive.
// The same name in another folder may be the same file, through a linked folder: then the files'
// identities decide, not the text of their paths.
bool IsVolumeOf(TZipBaseArchiver& a, const std::string& fullName) {
    if (a.SpanningMode() == smNone) return false;
    const std::string name = NamePart(fullName);
    const auto sameFile = [&](const std::string& volume) {
        if (!platform::AnsiSameText(NamePart(volume), name)) return false;
        if (platform::AnsiSameText(FolderPart(volume), FolderPart(fullName))) return true;
        const platform::FileIdentity id = platform::GetFileIdentity(fullName);
        return id.Valid && id == platform::GetFileIdentity(volume);
    };
    const std::string& current = a.CurrentVolumeFileName();
    if (!current.empty() && sameFile(zip::FullPath(current))) return true;
    const std::string archive = a.ResolvePath("", a.FileName, a.SearchBaseDir());
    // Every volume's name begins with the archive's name without its extension: most files of a
    // folder are told apart by that alone, without making a name for every number they carry.
    const std::string archiveName = NamePart(archive);
    const std::string stem = archiveName.substr(0, archiveName.size() - zip::FileExtension(archiveName).size());
    if (name.size() < stem.size() || !platform::AnsiSameText(std::string_view(name).substr(0, stem.size()), stem)) {
        return false;
    }
    const auto sameAsVolume = [&](std::int32_t number) {
        std::string volume = archive;
        a.MakeVolumeFileName(volume, number, false);
        return sameFile(volume);
    };
    if (sameAsVolume(0) || sameAsVolume(-1)) return true;
    // A numbered volume carries its number, counted from 1, as a run of digits in its name.
    for (std::size_t i = 0; i < name.size();) {
        if (name[i] < '0' || name[i] > '9') {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        if (end - i <= 9) {
            const auto number = static_cast<std::int32_t>(std::stol(name.substr(i, end - i)));
            if (number >= 1 && sameAsVolume(number - 1)) return true;
        }
        i = end;
    }
    return false;
}

}  // namespace

std::string TZipBaseArchiver::ResolvePath(const std::string& base, const std::string& path, const std::string& fallback) {
    const std::string dir = DirWithSlash(base, fallback);
    if (path.find(':') != std::string::npos || path.rfind("\\\\", 0) == 0) return path;
    if (!path.empty()) return path.front() == '\\' ? zip::FullPath(path) : zip::FullPath(dir + path);
    if (base.find(':') != std::string::npos) return base;
    if (!base.empty() && !platform::DirectoryExists(dir)) return base;
    if (dir == "\\") return DirWithSlash(platform::GetCurrentDir(), "");
    return zip::FullPath(dir);
}

void TZipBaseArchiver::ResolveMask(const std::string& mask, const std::string& folder, std::string& pattern,
                                   bool& isRelative) {
    const std::string base = ResolvePath(folder, "", searchBaseDir_);
    const std::string baseSlash = DirWithSlash(base, "");
    isRelative = false;
    if (mask.empty()) {
        pattern.clear();
    } else if (IsSeparator(mask[0])) {
        if (mask.size() == 1) pattern = base;
        else if (IsSeparator(mask[1])) pattern = mask;
        else pattern = baseSlash + mask.substr(1);
    } else if (mask.size() >= 2 && mask[0] == '.' && mask[1] == '\\') {
        pattern = baseSlash + mask.substr(2);
    } else if (mask.find(':') != std::string::npos || HasParentStep(mask)) {
        pattern = mask;
    } else {
        isRelative = true;
        pattern = baseSlash + mask;
    }
}

std::string TZipBaseArchiver::MakeStoredName(const std::string& fullName, const std::string& base,
                                             TZipStorePathMode storePath, const std::string& fallback) {
    const std::string b = ResolvePath(base, "", fallback);
    std::string f = ResolvePath(b, fullName, fallback);
    if (!f.empty() && IsSeparator(f.back())) f.pop_back();
    if (!f.empty() && f.back() == '.') f.pop_back();
    switch (storePath) {
        case spNoPath: f = NamePart(f); break;
        case spRelativePath: {
            const std::string r = zip::RelativePath(DirWithSlash(b, fallback), f);
            if (!HasParentStep(r)) f = r;
            break;
        }
        case spFullPath: break;
        case spFullPathWithDrive: f = zip::FullPath(f); break;
    }
    std::size_t i = 0;
    if (storePath != spFullPathWithDrive) {
        const std::size_t colon = f.find(':');
        if (colon != std::string::npos) {
            i = colon + 1;
            if (i >= f.size()) return std::string();
        } else {
            for (std::size_t k = 0; k + 1 < f.size(); ++k) {
                if (IsSeparator(f[k]) && IsSeparator(f[k + 1])) {
                    i = k + 2;
                    // A UNC name loses its server and keeps its share.
                    const std::size_t next = f.find_first_of("\\/", i);
                    if (next != std::string::npos) i = next + 1;
                    break;
                }
            }
        }
        if (i < f.size() && IsSeparator(f[i])) ++i;
    }
    return zip::ReplaceChar(f.substr(std::min(i, f.size())), '\\', '/');
}

bool TZipBaseArchiver::PathMatchesMask(const std::string& path, const std::string& mask, bool isFolder) {
    if (mask == "*.*") return true;
    std::string p = path;
    std::string m = mask;
    if (isFolder) {
        p = DirWithSlash(path, searchBaseDir_);
        if (!m.empty() && m.back() != '*') m = DirWithSlash(m, searchBaseDir_);
    }
    std::string pattern;
    bool isRelative = false;
    if (m.find(':') != std::string::npos) pattern = m;
    else ResolveMask(m, searchBaseDir_, pattern, isRelative);
    if (isRelative) {
        p = zip::RelativePath(DirWithSlash(searchBaseDir_, searchBaseDir_), p);
        if (!HasSeparator(m)) p = NamePart(p);
        const std::string m1 = NamePart(pattern);
        if (p.empty()) p = zip::LastPathPart(path);
        return Matches(p, m1) || Matches(p, zip::RelativePath(DirWithSlash(BaseDir, searchBaseDir_), m1));
    }
    const std::string folderOfPath = zip::AsciiLower(FolderPart(p));
    const std::string folderOfPattern = zip::AsciiLower(FolderPart(pattern));
    if (folderOfPath == folderOfPattern) return Matches(p, pattern);
    if (NamePart(pattern) != "*.*") return false;
    const std::size_t n = pattern.size() >= 3 ? pattern.size() - 3 : 0;
    return folderOfPath.compare(0, n, zip::AsciiLower(pattern.substr(0, n))) == 0;
}

void TZipBaseArchiver::SearchAndMark(const TStringList& masks, std::int32_t searchAttr, bool recurse,
                                     const TStringList& exclusions) {
    platform::CriticalSectionLock lock(zip::SearchLock());
    const std::string saved = searchBaseDir_;
    searchBaseDir_ = ResolvePath(BaseDir, "", searchBaseDir_);
    try {
        StopIfAsked();
        for (const std::string& mask : masks) {
            // Each mask walks the tree afresh, from its base folder.
            EnteredFolders().clear();
            EnterFolder(searchBaseDir_);
            SearchMask(searchBaseDir_, searchBaseDir_, mask, recurse, exclusions, searchAttr);
        }
    } catch (...) {
        EnteredFolders().clear();
        searchBaseDir_ = saved;
        throw;
    }
    EnteredFolders().clear();
    searchBaseDir_ = saved;
}

void TZipBaseArchiver::SearchMask(const std::string& folder, const std::string& rootFolder, const std::string& mask,
                                  bool recurse, const TStringList& exclusions, std::int32_t searchAttr) {
    std::string pattern;
    bool isRelative = false;
    ResolveMask(mask, folder, pattern, isRelative);
    if (pattern == mask && !HasWildcard(mask) && platform::FileExists(pattern)) {
        platform::FindEntry entry;
        entry.Name = NamePart(pattern);
        entry.Attr = platform::GetFileAttributes(pattern);
        AddFoundEntry(entry, FolderPart(pattern), rootFolder, exclusions, false);
        return;
    }
    const std::uint32_t attr = static_cast<std::uint32_t>(searchAttr);
    const std::uint32_t filter = attr & ~kDirectoryBit;
    constexpr std::uint32_t kPlainBits = platform::faArchive | platform::faReadOnly | platform::faHidden | platform::faSysFile;
    {
        platform::FindHandle find;
        platform::FindEntry entry;
        for (bool more = !pattern.empty() && find.First(pattern, filter, entry); more; more = find.Next(entry)) {
            StopIfAsked();
            const bool taken = (entry.Attr & filter) != 0 || (entry.Attr == 0 && (filter & kPlainBits) == kPlainBits);
            if (taken) AddFoundEntry(entry, FolderPart(pattern), rootFolder, exclusions, true);
        }
    }
    if ((attr & kDirectoryBit) == 0 && !recurse) return;
    std::string dir = FolderPart(pattern);
    if (isRelative && ResolvePath(dir, "", searchBaseDir_).find(folder) == std::string::npos) {
        dir = DirWithSlash(folder, "");
    }
    platform::FindHandle find;
    platform::FindEntry entry;
    // Only the subfolders matter here: a listing of them alone need not look at every file again.
    for (bool more = find.FirstFolder(dir + "*", platform::faHidden | platform::faSysFile | kDirectoryBit, entry); more;
         more = find.Next(entry)) {
        StopIfAsked();
        if ((entry.Attr & kDirectoryBit) == 0 || entry.Name == "." || entry.Name == "..") continue;
        const std::string sub = dir + entry.Name;
        const bool excluded = std::any_of(exclusions.begin(), exclusions.end(),
                                          [&](const std::string& e) { return PathMatchesMask(sub, e, true); });
        if (excluded) continue;
        if ((attr & kDirectoryBit) != 0 && (Matches(sub, pattern) || Matches(sub + ".", pattern))) {
            if (!EnterFolder(sub)) continue;
            if (AddFoundEntry(entry, dir, rootFolder, exclusions, true)) {
                SearchMask(sub, rootFolder, "*.*", true, exclusions, searchAttr);
            }
            continue;
        }
        if (!recurse || !EnterFolder(sub)) continue;
        if (HasSeparator(mask)) {
            if (HasWildcard(mask)) SearchMask(sub, rootFolder, NamePart(pattern), true, exclusions, searchAttr);
        } else {
            SearchMask(sub, rootFolder, mask, true, exclusions, searchAttr);
        }
    }
}

bool TZipBaseArchiver::AddFoundEntry(const platform::FindEntry& entry, const std::string& entryFolder,
                                     const std::string& rootFolder, const TStringList& exclusions, bool listed) {
    const std::string d = DirWithSlash(ResolvePath(entryFolder, "", searchBaseDir_), searchBaseDir_);
    const bool isFolder = (entry.Attr & kDirectoryBit) != 0;
    const std::string fullName = d + (isFolder ? DirWithSlash(entry.Name, searchBaseDir_) : entry.Name);
    for (const std::string& e : exclusions) {
        if (PathMatchesMask(fullName, e, isFolder)) return false;
    }
    if (!isFolder && IsVolumeOf(*this, fullName)) return false;
    MarkFoundFile(fullName, rootFolder, entry, listed);
    return true;
}

void TZipBaseArchiver::MarkFoundFile(const std::string& fullName, const std::string& rootFolder,
                                     const platform::FindEntry& entry, bool listed) {
    bool confirm = true;
    DoConfirmProcessFile(fullName, poAdd, confirm);
    if (!confirm) return;
    const bool isFolder = (entry.Attr & kDirectoryBit) != 0;
    // The listing has just read what a look-up would: the attributes, and a file's time.
    const platform::PathInfo seen{entry.Attr, isFolder ? -1 : entry.Time};
    const int index = AddOrReplaceItem(fullName, rootFolder, listed ? &seen : nullptr);
    if (index < 0) return;
    dirManager_->Dir().EntryRef(index).ListedSize = isFolder ? -1 : entry.Size;
    for (const std::string& n : *noCompressionMasks_) {
        if (PathMatchesMask(fullName, n, isFolder)) {
            TDirItem& item = dirManager_->Dir().EntryRef(index);
            item.CompressionMode = 0;
            item.Method = 0;
            break;
        }
    }
    OfferFoundItems();
}

int TZipBaseArchiver::AddOrReplaceItem(const std::string& fullName, const std::string& rootFolder,
                                       const platform::PathInfo* known) {
    std::string stored = MakeStoredName(fullName, rootFolder, options_->StorePath, searchBaseDir_);
    // One look-up answers whether a folder or a file is there, its attributes and its time, for
    // the item's every field.
    const platform::PathInfo there = known ? *known : platform::QueryPath(fullName);
    const bool folderThere = there.Attr != platform::faInvalid && (there.Attr & kDirectoryBit) != 0;
    const bool fileThere = there.Attr != platform::faInvalid && (there.Attr & kDirectoryBit) == 0;
    if (folderThere && (stored.empty() || stored.back() != '/')) stored += '/';
    std::uint32_t attr = platform::faArchive;
    if (fileThere) attr = there.Attr;
    else if (folderThere) attr = kDirectoryBit;
    std::string comment;
    DoStoreFile(stored, attr, comment, fullName);

    TZipDirArray& dir = dirManager_->Dir();
    std::int32_t index = -1;
    int result = -1;
    if (dir.FindEntry(stored, index)) {
        bool replace = false;
        switch (options_->OverwriteMode) {
            case omPrompt: {
                std::string dest = stored;
                bool confirm = true;
                DoConfirmOverwrite(fullName, dest, confirm);
                replace = confirm;
                break;
            }
            case omAlways: replace = true; break;
            case omNever: replace = false; break;
            case omIfNewer:
            case omIfOlder: {
                const TDirItem& item = dir.EntryRef(index);
                const auto archived = static_cast<std::int32_t>((static_cast<std::uint32_t>(item.ModDate) << 16) | item.ModTime);
                const std::int32_t onDisk = platform::FileAge(fullName);
                replace = options_->OverwriteMode == omIfNewer ? onDisk > archived : onDisk < archived;
                break;
            }
        }
        if (!replace) return -1;
        // An item added earlier in this same update has no previous version in the archive: what
        // replaces it is still an addition, so that a failure drops it instead of looking for an
        // old copy that does not exist.
        const bool addedInThisUpdate = dir.EntryRef(index).Selected && dir.EntryRef(index).Operation == poAdd;
        // The workers may have the item already, as it was.
        if (pipeline_ && index < pipelineNext_) pipeline_->Replaced(index);
        FillNewItem(index, fullName, there);
        TDirItem& item = dir.EntryRef(index);
        item.Selected = true;
        item.SourceFileName = fullName;
        item.Operation = addedInThisUpdate ? poAdd : poUpdate;
        result = index;
    } else {
        index = dir.Count();
        dir.SetCount(index + 1);
        dir.EntryRef(index) = TDirItem{};
        FillNewItem(index, fullName, there);
        dir.EntryRef(index).Operation = poAdd;
        result = index;
    }
    dir.RegisterName(result, stored);
    TDirItem& item = dir.EntryRef(result);
    item.NameLength = static_cast<std::uint16_t>(std::min<std::size_t>(stored.size(), 0xFFFF));
    item.ExternalAttributes = attr;
    item.Comment = comment;
    item.CommentLength = static_cast<std::uint16_t>(std::min<std::size_t>(comment.size(), 0xFFFF));
    return result;
}

void TZipBaseArchiver::FillNewItem(int index, const std::string& fullName, const platform::PathInfo& there) {
    std::string s = MakeStoredName(fullName, searchBaseDir_, options_->StorePath, searchBaseDir_);
    if (s.empty()) return;
    const bool isFolder = there.Attr != platform::faInvalid && (there.Attr & kDirectoryBit) != 0;
    std::int32_t t = there.Time;
    if (t == -1) t = platform::NowPacked();
    const std::uint32_t attr = there.Attr != platform::faInvalid ? there.Attr : platform::faArchive;
    if (isFolder) s += '/';
    TDirItem& item = dirManager_->Dir().EntryRef(index);
    item.Name = s;
    item.Selected = true;
    item.Password = Password;
    item.SourceFileName = fullName;
    item.CompressionMode = isFolder ? 0 : compressionMode_;
    static_cast<zip::CentralFileHeader&>(item) = zip::CentralFileHeader{};
    item.Signature = zip::kCentralHeaderSignature;
    item.VersionMadeBy = item.VersionNeeded = options_->OEMFileNames ? zip::kVersionOem : zip::kVersionAnsi;
    item.Flags = Password.empty() ? 0 : 1;
    item.Method = itemMethod_;
    item.ModTime = static_cast<std::uint16_t>(static_cast<std::uint32_t>(t) & 0xFFFF);
    item.ModDate = static_cast<std::uint16_t>(static_cast<std::uint32_t>(t) >> 16);
    item.Crc32 = 0xFFFFFFFF;
    item.NameLength = static_cast<std::uint16_t>(std::min<std::size_t>(s.size(), 0xFFFF));
    item.ExternalAttributes = attr;
    if (isFolder) {
        item.Method = 0;
        item.Crc32 = 0;
        item.Flags = 2;
    }
}
