#include "app/FormMain.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>
#include <vector>

#include "archiver/ZipDirectory.h"
#include "archiver/ZipStrFunc.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"
#include "platform/Format.h"
#include "platform/Registry.h"

namespace {

constexpr const char* kVandrelKey = "\\SOFTWARE\\Data Access Corporation\\Visual DataFlex\\7\\Workspaces\\Vandrel";

// "Exception \"<class>: <message>\"" and the tail, as the job's error boxes word it, for the error
// being handled. Every error is shown so, not only the program's own: one from the C++ library
// must not end the program without a word.
std::string CurrentErrorText(const char* tail) {
    std::string text;
    try {
        throw;
    } catch (const std::exception& e) {
        text = platform::ExceptionClassName(e) + ": " + e.what();
    } catch (...) {
        text = "Exception: Unknown exception";
    }
    return "Exception \"" + text + "\"" + tail;
}

// Whether name is base followed by ".z" and two or more digits, in any letter case: a numbered
// volume of the archive named base.
bool IsVolumeName(const std::string& name, const std::string& base) {
    const std::size_t digits = base.size() + 2;
    if (name.size() < digits + 2 || !platform::AnsiSameText(name.substr(0, base.size()), base)) return false;
    if (name[base.size()] != '.' || (name[base.size() + 1] | 0x20) != 'z') return false;
    return name.find_first_not_of("0123456789", digits) == std::string::npos;
}

// The reason of an error line ("delete C:\Vandrel\Kelmail.z02: operation not permitted"), begun
// with a capital as a sentence of a box. A Windows path holds no ": ".
std::string ReasonOf(const std::string& line) {
    const std::size_t colon = line.find(": ");
    std::string reason = colon == std::string::npos ? line : line.substr(colon + 2);
    if (!reason.empty()) reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
    return reason;
}

// The reason the system gave for the failed operation on path, as noted for the error lines.
std::string NotedReason(const std::string& operation, const std::string& path) {
    const std::string head = operation + " " + platform::ExpandFileName(path) + ": ";
    const std::vector<std::string> lines = platform::FileErrors();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->starts_with(head)) return ReasonOf(*it);
    }
    return "The system gave no reason";
}

// The old files of the archive in its folder: the archive itself and every numbered volume,
// whatever its number and letter case (a run of 117 volumes followed by a run of 3 must not leave
// .z20 to .z116 beside the new set), leaving out the names in skip. Raises when the folder cannot
// be listed: the files it holds are not known then.
std::vector<std::string> OldArchiveFiles(const std::string& archiveName, const std::vector<std::string>& skip) {
    const std::string folder = zip::FolderPart(archiveName);
    const std::string file = zip::NamePart(archiveName);
    const std::string base = zip::NamePart(zip::ChangeFileExt(archiveName, ""));
    std::vector<std::string> names;
    const std::size_t errors = platform::FileErrorCount();
    platform::FindHandle find;
    platform::FindEntry entry;
    for (bool more = find.First(folder + base + ".z*", platform::faHidden | platform::faSysFile, entry); more;
         more = find.Next(entry)) {
        if (!IsVolumeName(entry.Name, base) && !platform::AnsiSameText(entry.Name, file)) continue;
        if (std::find(skip.begin(), skip.end(), entry.Name) == skip.end()) names.push_back(entry.Name);
    }
    if (platform::FileErrorCount() != errors) {
        throw EOSError("Cannot list the folder \"" + folder + "\" to delete the old archive files. " +
                           ReasonOf(platform::FileErrors().back()),
                       platform::OsError::Other);
    }
    return names;
}

// Deletes the old archive and its volumes, or none of them. An old volume that stayed beside the
// new set would be sent with it as a broken mix, reported as a success: the job stops before it
// writes anything, naming the file and the reason. Each file is first opened for itself alone, so
// that one held by another program stops the job before anything is deleted.
void DeleteOldArchive(const std::string& archiveName) {
    const std::string folder = zip::FolderPart(archiveName);
    const auto cannotDelete = [&](const std::string& name, const std::string& reason) {
        return EOSError("Cannot delete the old file \"" + folder + name + "\", which would be sent with the new "
                        "volumes. " + reason,
                        platform::OsError::AccessDenied);
    };
    for (const std::string& name : OldArchiveFiles(archiveName, {})) {
        const std::size_t noted = platform::FileErrorCount();
        try {
            platform::FileHandle probe = platform::FileHandle::Open(folder + name, platform::fmOpenRead | platform::fmShareExclusive);
        } catch (const EOSError& e) {
            // The line says what the job could not do with the file: delete it.
            platform::ForgetFileErrorsFrom(noted);
            std::string reason = platform::OsErrorText(e.Error());
            reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
            platform::NoteFileError("delete", platform::ExpandFileName(folder + name), reason);
            throw cannotDelete(name, platform::OsErrorText(e.Error()));
        }
    }
    // A name deleted once is not counted again: on Windows a file another program holds open with
    // delete sharing stays listed until it is closed, and listing again for it would never end.
    // The folder is listed again after a round that deleted something: of names that differ only
    // in case, the next one is listed as itself once the first is gone.
    std::vector<std::string> gone;
    for (bool deleted = true; deleted;) {
        deleted = false;
        for (const std::string& name : OldArchiveFiles(archiveName, gone)) {
            if (!platform::DeleteFile(folder + name) && platform::FileExists(folder + name)) {
                throw cannotDelete(name, NotedReason("delete", folder + name));
            }
            gone.push_back(name);
            deleted = true;
        }
    }
}
}  // namespace

TFormMain::TFormMain(TComponent* owner) : TForm(owner) {
    LoadLayout();
}

TFormMain::~TFormMain() {
    // The components go first, while the window's own members are still alive.
    DestroyComponents();
}

void TFormMain::LoadLayout() {
    BeginLoading();
    Name = "FormMain";
    SetBounds(2, 114, 300, 112);
    Caption = "Vandrel Mailbale";
    Constraints = TSizeConstraints{300, 300, 112, 112};
    BorderIcons = biSystemMenu;
    Position = poDesktopCenter;
    Color = clBtnFace;
    ParentColor = false;
    Font = TFont{"MS Sans Serif", -11, clWindowText, false};
    OnCreate = [this](TObject* s) { FormCreate(s); };
    OnCloseQuery = [this](TObject* s, bool& canClose) { FormCloseQuery(s, canClose); };

    LabelWait = new TLabel(this);
    LabelWait->Name = "LabelWait";
    LabelWait->SetParent(this);
    LabelWait->SetBounds(0, 0, 292, 24);
    LabelWait->SetAlign(alTop);
    LabelWait->AutoSize = false;
    LabelWait->Caption = "Please wait while files are zipped...";
    LabelWait->Alignment = taCenter;
    LabelWait->Layout = tlBottom;
    LabelWait->Font = TFont{"MS Sans Serif", -13, clActiveCaption, true};
    LabelWait->ParentFont = false;

    PanelWaiting = new TPanel(this);
    PanelWaiting->Name = "PanelWaiting";
    PanelWaiting->SetParent(this);
    PanelWaiting->SetBounds(4, 36, 284, 32);
    PanelWaiting->BevelOuter = bvLowered;
    PanelWaiting->BevelWidth = 2;
    PanelWaiting->Caption = "";
    PanelWaiting->TabOrder = 0;

    WaitingGradient = new TWaitingGradient(this);
    WaitingGradient->Name = "WaitingGradient";
    WaitingGradient->SetParent(PanelWaiting);
    WaitingGradient->SetBounds(2, 2, 280, 28);
    WaitingGradient->SetAlign(alClient);
    WaitingGradient->SetGradientWidth(32);
    WaitingGradient->SetStartColor(clBtnHighlight);
    WaitingGradient->SetEndColor(clActiveCaption);
    WaitingGradient->AlwaysRestart = true;
    WaitingGradient->SetVisible(false);

    Timer = new TTimer(this);
    Timer->Name = "Timer";
    Timer->SetInterval(100);
    Timer->SetEnabled(false);
    Timer->OnTimer = [this](TObject* s) { TimerTick(s); };

    ZipArchiver = new TZipArchiver(this);
    ZipArchiver->Name = "ZipArchiver";
    ZipArchiver->ExtractCorruptedFiles = false;
    ZipArchiver->SetCompressionLevel(clMax);
    ZipArchiver->SetCompressionMode(9);
    ZipArchiver->SetCurrentVersion("2.72 ");
    ZipArchiver->SetSpanningMode(smSplitting);
    ZipArchiver->SpanningOptions().AdvancedNaming = false;
    ZipArchiver->SpanningOptions().VolumeSize = vsCustom;
    ZipArchiver->SpanningOptions().SetCustomVolumeSize(2097152);
    ZipArchiver->Options().Recurse = false;
    ZipArchiver->Options().StorePath = spNoPath;
    ZipArchiver->Options().FlushBuffers = true;
    ZipArchiver->Options().OEMFileNames = true;
    ZipArchiver->SetInMemory(false);
    ZipArchiver->Zip64Mode = zmDisabled;
    ZipArchiver->OnFileProgress = [this](TObject* s, const std::string& f, double p, TZipProcessOperation o,
                                         TZipProgressPhase ph, bool& c) { ZipArchiverFileProgress(s, f, p, o, ph, c); };
    ZipArchiver->OnOverallProgress = [this](TObject* s, double p, TZipProcessOperation o, TZipProgressPhase ph,
                                            bool& c) { ZipArchiverOverallProgress(s, p, o, ph, c); };
    ZipArchiver->OnRequestBlankVolume = [this](TObject* s, int n, std::string& name, bool& c) {
        ZipArchiverRequestBlankVolume(s, n, name, c);
    };
    ZipArchiver->OnProcessFileFailure = [this](TObject* s, const std::string& f, TZipProcessOperation o, int native,
                                               int code, const std::string& message, TZipAction& action) {
        ZipArchiverProcessFileFailure(s, f, o, native, code, message, action);
    };
    ZipArchiver->OnStoreFile = [this](TObject* s, std::string& name, std::uint32_t& attr, std::string& comment,
                                      const std::string& original) { ZipArchiverStoreFile(s, name, attr, comment, original); };

    BrowseDialog = new TBrowseForFolderDialog(this);
    BrowseDialog->Name = "BrowseDialog";
    EndLoading();
}

void TFormMain::FormCreate(TObject*) {
    VolumeCount = 0;
    JobDone = false;
    ZipFailed = false;
    ArchiveName = "C:\\Kelmail.zip";
    Timer->SetEnabled(true);
}

void TFormMain::FormCloseQuery(TObject*, bool& canClose) {
    if (JobDone) return;
    canClose = MessageDlg("Abandon collection of files?", mtConfirmation, {mbYes, mbNo}) == mrYes;
}

void TFormMain::ZipArchiverFileProgress(TObject*, const std::string&, double, TZipProcessOperation, TZipProgressPhase,
                                        bool& cancel) {
    Application.ProcessMessages();
    CancelOnStopRequest(cancel);
}

void TFormMain::ZipArchiverOverallProgress(TObject*, double, TZipProcessOperation, TZipProgressPhase, bool& cancel) {
    Application.ProcessMessages();
    CancelOnStopRequest(cancel);
}

void TFormMain::CancelOnStopRequest(bool& cancel) {
    // A stop signal (a scheduler ending the run, a console's Ctrl+C in a run without a window) must
    // not leave half an archive or a temporary file behind: the cancelled commit rolls back and
    // deletes its temporary files, and the job then fails and removes what it wrote.
    if (platform::StopSignal() != 0) cancel = true;
}

void TFormMain::ZipArchiverRequestBlankVolume(TObject*, int, std::string&, bool&) { ++VolumeCount; }

namespace {

// The forms under which two stored names are one, a folder's trailing slash left out (a folder and
// a file of one name cannot both be extracted): as a reader extracting the archive on Windows
// compares them, converted to the OEM code page as they are written (where "Ÿ.eml" and "Y.eml"
// become one) and without regard to case; and as the archiver's own name index does.
// Only their hashes are kept, a few bytes a name in a folder of 100,000 mails: two names that
// differ but hash alike (odds of about 1 in 10^19 for a pair) only give the later a name of its own.
std::array<std::uint64_t, 2> StoredNameKeys(std::string name) {
    if (!name.empty() && name.back() == '/') name.pop_back();
    return {TKeySet::Hash("o" + platform::AnsiUpperCase(platform::OemToAnsi(platform::AnsiToOem(name)))),
            TKeySet::Hash("a" + platform::AnsiLowerCase(name))};
}

// name with " (n)" before its extension (the extension of its last part; a folder has none).
std::string NumberedName(const std::string& name, int n) {
    const bool folder = !name.empty() && name.back() == '/';
    const std::string plain = folder ? name.substr(0, name.size() - 1) : name;
    const std::size_t slash = plain.rfind('/');
    const std::size_t dot = plain.rfind('.');
    const std::size_t cut = folder || dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0 ||
                                    dot == slash + 1
                                ? plain.size()
                                : dot;
    return plain.substr(0, cut) + " (" + std::to_string(n) + ")" + plain.substr(cut) + (folder ? "/" : "");
}

}  // namespace

void TFormMain::ZipArchiverStoreFile(TObject*, std::string& fileName, std::uint32_t&, std::string&,
                                     const std::string& originalFileName) {
    // Names are stored without folders, so two mails of one name in two subfolders (or names that
    // differ only in case, or only in letters the OEM code page lacks) would be one entry: the later
    // would replace the earlier, or a reader would extract one over the other. The first keeps its
    // name; a later one is stored under its path below LOG_EML, beside the folder's own entry, and
    // where that is taken too, with a number before the extension.
    std::string stored = zip::ReplaceChar(fileName, '\\', '/');
    const auto in = [](const TKeySet& set, const std::string& name) {
        const auto keys = StoredNameKeys(name);
        return set.Contains(keys[0]) || set.Contains(keys[1]);
    };
    const auto taken = [this, &in](const std::string& name) { return in(storedKeys_, name); };
    // A reader makes the folders of a path as it extracts it: a folder of an earlier file's name
    // cannot be made, and the file under it would not come out.
    const auto underAFile = [this, &in](const std::string& name) {
        for (std::size_t slash = name.find('/'); slash != std::string::npos && slash + 1 < name.size();
             slash = name.find('/', slash + 1)) {
            if (in(fileKeys_, name.substr(0, slash))) return true;
        }
        return false;
    };
    // Worked out once for the name most mails keep: a folder of mails asks it thousands of times.
    auto keys = StoredNameKeys(stored);
    if (storedKeys_.Contains(keys[0]) || storedKeys_.Contains(keys[1])) {
        const std::string plain = stored;
        const std::string& source = originalFileName;
        if (source.size() > SourceFolder.size() && platform::AnsiSameText(source.substr(0, SourceFolder.size()), SourceFolder)) {
            stored = zip::ReplaceChar(source.substr(SourceFolder.size()), '\\', '/');
            if (underAFile(stored)) stored = plain;
        }
        const std::string path = stored;
        for (int n = 2; taken(stored); ++n) stored = NumberedName(path, n);
        RenamedItems.push_back({originalFileName, stored, platform::OemToAnsi(platform::AnsiToOem(stored))});
        keys = StoredNameKeys(stored);
    }
    for (const std::uint64_t key : keys) storedKeys_.Insert(key);
    if (stored.empty() || stored.back() != '/') {
        for (const std::uint64_t key : keys) fileKeys_.Insert(key);
    }
    // The folders of a path are taken too: no later file may have one's name.
    for (std::size_t slash = stored.find('/'); slash != std::string::npos && slash + 1 < stored.size();
         slash = stored.find('/', slash + 1)) {
        for (const std::uint64_t key : StoredNameKeys(stored.substr(0, slash))) storedKeys_.Insert(key);
    }
    if (originalFileName.find('?') != std::string::npos) questionForms_[originalFileName].StoredNames.push_back(stored);
    fileName = zip::ReplaceChar(stored, '/', '\\');
}

void TFormMain::ZipArchiverProcessFileFailure(TObject*, const std::string& fileName, TZipProcessOperation, int nativeError,
                                              int, const std::string& errorMessage, TZipAction& action) {
    // The archiver's own prompt, but for files that the platform lists under one name with "?"
    // (names it cannot hold, which cannot be opened): their prompts would read alike, and the user
    // could not tell which file an answer is about. Such a prompt says which of them it is. The
    // items fail in their order, each asked until it is left out (Ignore) or the job aborted.
    std::string which;
    const auto same = questionForms_.find(fileName);
    if (same != questionForms_.end() && same->second.StoredNames.size() > 1) {
        TSameListedName& names = same->second;
        const std::size_t k = std::min(names.Next, names.StoredNames.size() - 1);
        which = "\r\n\r\nThis is file " + std::to_string(k + 1) + " of " + std::to_string(names.StoredNames.size()) +
                " listed as \"" + zip::NamePart(fileName) + "\" (stored as \"" + names.StoredNames[k] + "\").";
    }
    action = fxaAbort;
    if (nativeError == 45) return;
    TModalResult r = mrAbort;
    if (nativeError == 61) {
        r = MessageDlg(errorMessage + which, mtConfirmation, {mbAbort, mbIgnore});
    } else {
        r = MessageDlg(Format("%s. File processing error, possibly disk is full", errorMessage.c_str()) + which,
                       mtConfirmation, {mbAbort, mbRetry, mbIgnore});
    }
    action = r == mrRetry ? fxaRetry : r == mrIgnore ? fxaIgnore : fxaAbort;
    if (same != questionForms_.end() && action != fxaRetry) ++same->second.Next;
}

void TFormMain::ReportRenamedItems() {
    for (const TRenamedItem& item : RenamedItems) {
        Application.FrontEnd().ReportFailure("stored as " + item.ShownName + ": " + item.SourceFileName +
                                             " (another file has its name)");
    }
}

void TFormMain::TimerTick(TObject*) {
    Timer->SetEnabled(false);
    if (EndOnEarlyStop()) return;
    std::string folder;
    LocateFolders(folder);
    SourceFolder = folder;
    // Without a server folder there is nothing to pack: the job must not work in whatever folder
    // the program happened to start in. Nor without its mail folder: a deleted LOG_EML, or a
    // Srvr_Path naming another existing folder, would give an archive of nothing reported as a
    // success, after the previous archive had been deleted.
    const std::string serverFolder = zip::FolderPart(ArchiveName);
    if (serverFolder.empty() || !platform::DirectoryExists(serverFolder) || !platform::DirectoryExists(SourceFolder)) {
        MessageDlg("Unable to locate Vandrel SPAM folder!", mtError, {mbOK});
        outcome_ = TJobOutcome::NotLocated;
        JobDone = true;
        Close();
        return;
    }
    WaitingGradient->SetVisible(true);
    WaitingGradient->SetActive(true);
    PanelWaiting->Repaint();
    if (EndOnEarlyStop()) return;
    ZipFolder();
    if (ZipFailed) {
        // The boxes say that the job failed; these lines say which file failed, and how.
        for (const std::string& line : platform::FileErrors()) Application.FrontEnd().ReportFailure(line);
        // Without the folder, the files there are another run's.
        if (runLock_) RemoveArchiveFiles();
        runLock_.reset();
        MessageDlg("Zip of Vandrel SPAM failed!", mtError, {mbOK});
        stopSignal_ = platform::StopSignal();
        outcome_ = stopSignal_ != 0 ? TJobOutcome::Stopped : TJobOutcome::Failed;
    } else {
        runLock_.reset();
        ReportRenamedItems();
        ShowReport();
        outcome_ = TJobOutcome::Reported;
    }
    JobDone = true;
    Close();
}

bool TFormMain::EndOnEarlyStop() {
    // A stop asked for before the job begins ends the program with nothing done: starting the job
    // would delete the previous archive, which is still good, only to fail at once.
    stopSignal_ = platform::StopSignal();
    if (stopSignal_ == 0) return false;
    outcome_ = TJobOutcome::Stopped;
    JobDone = true;
    Close();
    return true;
}

void TFormMain::LocateFolders(std::string& folder) {
    std::string path;
    {
        TRegistry registry(platform::KEY_ALL_ACCESS);
        try {
            registry.RootKey = platform::HKEY_LOCAL_MACHINE_ID;
            if (registry.OpenKey(kVandrelKey, false)) {
                path = registry.ReadString("Srvr_Path");
                registry.CloseKey();
            }
        } catch (...) {
            MessageDlg(CurrentErrorText(" on Registry access!"), mtError, {mbOK});
        }
    }
    if (!path.empty() && path.back() != '\\') path += '\\';
    ArchiveName = path + "Kelmail.zip";
    folder = path + "LOG_EML\\";
}

void TFormMain::ZipFolder() {
    // Another run on this folder would delete the volumes this one has written and closed (they
    // hold no share lock any more) and leave a broken set, reported as a success by both: the
    // folder is this run's for the whole job, and a second run fails before touching anything.
    try {
        runLock_ = std::make_unique<platform::FolderRunLock>(zip::FolderPart(ArchiveName));
    } catch (...) {
        MessageDlg(CurrentErrorText(" during zipping!"), mtError, {mbOK});
        ZipFailed = true;
        return;
    }
    platform::ClearFileErrors();
    try {
        DeleteOldArchive(ArchiveName);
    } catch (...) {
        MessageDlg(CurrentErrorText(" during zipping!"), mtError, {mbOK});
        ZipFailed = true;
        return;
    }
    storedKeys_.Clear();
    fileKeys_.Clear();
    questionForms_.clear();
    RenamedItems.clear();
    ZipArchiver->FileName = ArchiveName;
    ZipArchiver->BaseDir = SourceFolder;
    ZipArchiver->FileMasks().push_back(SourceFolder + "*.*");
    try {
        // A LOG_EML that this user may not list would be searched as empty, and an archive without
        // the mail reported as a success. A folder that can be listed lists "." at least; where a
        // file system gives no "." (some network shares), it lists its files or folders, and only
        // an empty one of those is refused with the unreadable ones.
        constexpr std::uint32_t kAll = platform::faDirectory | platform::faHidden | platform::faSysFile;
        platform::FindHandle find;
        platform::FindEntry listed;
        if (platform::DirectoryExists(SourceFolder) && !find.FirstFolder(SourceFolder + "*", kAll, listed) &&
            !find.First(SourceFolder + "*", kAll, listed)) {
            throw EFOpenError(SourceFolder, platform::OsError::AccessDenied);
        }
        ZipArchiver->Open(platform::fmCreate);
        ZipArchiver->AddMatchingFiles();
        // An update that was rolled back (aborted, cancelled, or the disk full) raises nothing, but
        // nothing was packed: it must not be reported as a success.
        if (ZipArchiver->UpdateRolledBack()) ZipFailed = true;
        // A file left out (Ignore) has no entry: the name it would have had is nobody's to look for.
        if (TZipDirManager* manager = ZipArchiver->DirManager()) {
            std::erase_if(RenamedItems, [&manager](const TRenamedItem& item) {
                std::int32_t at = 0;
                return !manager->Dir().FindEntry(item.StoredName, at);
            });
        }
        ZipArchiver->Close();
    } catch (const EAbort&) {
        ZipFailed = true;  // a request to stop the program ended the search: the job fails, no more
    } catch (...) {
        MessageDlg(CurrentErrorText(" during zipping!"), mtError, {mbOK});
        ZipFailed = true;
    }
}

void TFormMain::RemoveArchiveFiles() {
    // A failed job leaves no archive: a partial or empty set could be sent by mistake. The old files
    // were deleted before the job began, so the files of these names are this run's: the archive
    // and one volume for each volume requested.
    try {
        // The archiver may still hold a volume open, which could not be deleted then. Its error on
        // closing adds nothing: the job has failed already, and the files go.
        ZipArchiver->Close();
    } catch (...) {
    }
    // The archive is this run's only when a volume was asked for: before that, a file of its name
    // is an old one that could not be deleted, and stays as it was.
    if (VolumeCount > 0 && platform::FileExists(ArchiveName)) zip::RemoveFile(ArchiveName);
    for (int n = 1; n <= VolumeCount; ++n) {
        const std::string volume = zip::ChangeFileExt(ArchiveName, VolumeSuffix(n));
        if (platform::FileExists(volume)) zip::RemoveFile(volume);
    }
}

int TFormMain::ExitStatus() const {
    return outcome_ == TJobOutcome::Stopped ? 128 + stopSignal_ : static_cast<int>(outcome_);
}

std::string TFormMain::VolumeSuffix(int number) { return Format(".z%02d", number); }

void TFormMain::ShowReport() {
    std::string text = "Vandrel SPAM has been zipped into: \r\n\r\n";
    text += "        " + ArchiveName + "\r\n";
    for (int a = 1; a <= VolumeCount - 1; ++a) {
        text += "        " + zip::ChangeFileExt(ArchiveName, VolumeSuffix(a)) + "\r\n";
    }
    // Files that could not keep their own name: whoever unpacks the mail finds them under these.
    if (!RenamedItems.empty()) {
        constexpr std::size_t kMostShown = 20;
        text += "\r\nStored under a name of their own, as another file has theirs:\r\n";
        for (std::size_t i = 0; i < RenamedItems.size() && i < kMostShown; ++i) {
            text += "        " + RenamedItems[i].ShownName + "\r\n";
        }
        if (RenamedItems.size() > kMostShown) {
            text += "        and " + std::to_string(RenamedItems.size() - kMostShown) + " more\r\n";
        }
    }
    text += "\r\nPlease send as attachments to separate emails.";
    MessageDlg(text, mtInformation, {mbOK});
}
