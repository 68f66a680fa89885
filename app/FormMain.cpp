#include "app/FormMain.h"

#include <algorithm>
#include <vector>

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

// Every numbered volume of an earlier archive of this name goes, whatever its number: a run of 117
// volumes followed by a run of 3 must not leave .Z20 to .Z116 beside the new set, to be sent with
// it as a broken mix. The folder is listed again after a round that deleted something: of names
// that differ only in case, the next one is listed as itself once the first is gone.
void DeleteOldVolumes(const std::string& archiveName) {
    const std::string folder = zip::FolderPart(archiveName);
    const std::string base = zip::NamePart(zip::ChangeFileExt(archiveName, ""));
    // A name deleted once is not counted again: on Windows a file another program holds open with
    // delete sharing stays listed until it is closed, and listing again for it would never end.
    std::vector<std::string> gone;
    for (bool deleted = true; deleted;) {
        deleted = false;
        platform::FindHandle find;
        platform::FindEntry entry;
        for (bool more = find.First(folder + base + ".z*", platform::faHidden | platform::faSysFile, entry); more;
             more = find.Next(entry)) {
            if (!IsVolumeName(entry.Name, base) || std::find(gone.begin(), gone.end(), entry.Name) != gone.end()) continue;
            if (platform::DeleteFile(folder + entry.Name)) {
                gone.push_back(entry.Name);
                deleted = true;
            }
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

void TFormMain::TimerTick(TObject*) {
    Timer->SetEnabled(false);
    if (EndOnEarlyStop()) return;
    std::string folder;
    LocateFolders(folder);
    SourceFolder = folder;
    // Without a server folder there is nothing to pack: the job must not work in whatever folder
    // the program happened to start in.
    const std::string serverFolder = zip::FolderPart(ArchiveName);
    if (serverFolder.empty() || !platform::DirectoryExists(serverFolder)) {
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
    if (platform::FileExists(ArchiveName)) platform::DeleteFile(ArchiveName);
    DeleteOldVolumes(ArchiveName);
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
    if (platform::FileExists(ArchiveName)) zip::RemoveFile(ArchiveName);
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
    text += "\r\nPlease send as attachments to separate emails.";
    MessageDlg(text, mtInformation, {mbOK});
}
