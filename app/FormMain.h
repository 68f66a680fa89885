#pragma once
// The main window and the zip job: find the server folder in the registry, delete the old archive,
// pack LOG_EML into split volumes, tell the user which files to send, and close.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/KeySet.h"
#include "archiver/ZipArchiver.h"
#include "platform/FileSystem.h"
#include "platform/Forms.h"
#include "widgets/BrowseForFolderDialog.h"
#include "widgets/WaitingGradient.h"

// How the job ended; the program's exit status.
enum class TJobOutcome : int {
    Reported = 0,    // the report was shown
    Failed = 1,      // "Zip of Vandrel SPAM failed!" was shown
    NotLocated = 2,  // "Unable to locate Vandrel SPAM folder!" was shown
    Abandoned = 3,   // the window was closed before the job began
    Stopped = 128,   // a stop signal failed the job; the status is 128 + the signal's number
};

class TFormMain : public TForm {
public:
    explicit TFormMain(TComponent* owner);
    ~TFormMain() override;

    // Components, in layout order.
    TLabel* LabelWait = nullptr;
    TPanel* PanelWaiting = nullptr;
    TWaitingGradient* WaitingGradient = nullptr;
    TTimer* Timer = nullptr;
    TZipArchiver* ZipArchiver = nullptr;
    TBrowseForFolderDialog* BrowseDialog = nullptr;

    // Handlers.
    void FormCreate(TObject* sender);
    void FormCloseQuery(TObject* sender, bool& canClose);
    void ZipArchiverFileProgress(TObject* sender, const std::string& fileName, double progress,
                                 TZipProcessOperation operation, TZipProgressPhase phase, bool& cancel);
    void ZipArchiverOverallProgress(TObject* sender, double progress, TZipProcessOperation operation,
                                    TZipProgressPhase phase, bool& cancel);
    void ZipArchiverRequestBlankVolume(TObject* sender, int volumeNumber, std::string& volumeFileName, bool& cancel);
    // The archiver's prompt for a file that failed, telling apart files listed under one name.
    void ZipArchiverProcessFileFailure(TObject* sender, const std::string& fileName, TZipProcessOperation operation,
                                       int nativeError, int errorCode, const std::string& errorMessage,
                                       TZipAction& action);
    // Gives a file whose stored name an earlier item of the job already holds a name of its own.
    void ZipArchiverStoreFile(TObject* sender, std::string& fileName, std::uint32_t& fileAttr, std::string& comment,
                              const std::string& originalFileName);
    // The whole job, run once by the first tick.
    void TimerTick(TObject* sender);

    // Reads the server folder from the registry, sets ArchiveName and returns the source folder.
    void LocateFolders(std::string& folder);
    // Deletes the old archive and volumes and has the archiver write the new one.
    void ZipFolder();
    // ".z" and the number with at least two digits (1 gives ".z01").
    static std::string VolumeSuffix(int number);
    void ShowReport();

    // The job's state.
    bool JobDone = false;
    bool ZipFailed = false;
    std::string SourceFolder;
    std::int32_t VolumeCount = 0;
    std::string ArchiveName;
    // A file stored under a name of its own because an earlier one had its plain name.
    struct TRenamedItem {
        std::string SourceFileName;
        std::string StoredName;  // as in the archive, with "/" between folders
        // As readers show it: the name in the OEM code page, where "Ÿ (2).eml" is "Y (2).eml".
        std::string ShownName;
    };
    std::vector<TRenamedItem> RenamedItems;
    TJobOutcome Outcome() const { return outcome_; }
    // The program's exit status: the outcome, or 128 + the signal's number after a stop signal.
    int ExitStatus() const;

private:
    void LoadLayout();
    // Cancels the commit when the program was asked to stop.
    static void CancelOnStopRequest(bool& cancel);
    // Ends the program, the job not begun, when a stop was asked for; true then.
    bool EndOnEarlyStop();
    // Deletes the archive files this run created, after a failed job.
    void RemoveArchiveFiles();
    // Says the files stored under a name of their own, on standard error where there is one.
    void ReportRenamedItems();
    // The stored names of this job's items, as a reader extracting them compares names (hashed).
    TKeySet storedKeys_;
    // Those of them that are files' names, not folders'.
    TKeySet fileKeys_;
    // Files listed under a name with "?" (which cannot be opened): the stored names of the items
    // of each such name, and which of them the next failure is about.
    struct TSameListedName {
        std::vector<std::string> StoredNames;
        std::size_t Next = 0;
    };
    std::map<std::string, TSameListedName> questionForms_;
    TJobOutcome outcome_ = TJobOutcome::Abandoned;
    int stopSignal_ = 0;
    // The server folder, held from before the old archive is deleted until the job is over.
    std::unique_ptr<platform::FolderRunLock> runLock_;
};
