// Vandrel Mailbale: packs the Vandrel e-mail logs into split ZIP volumes for sending by e-mail.
#include <cstdio>
#include <cstdlib>

#include "app/FormMain.h"
#include "archiver/ZipArchiver.h"
#include "platform/Dialogs.h"
#include "platform/Format.h"
#include "platform/Forms.h"
#include "platform/HeadlessFrontEnd.h"

int main() {
    // A thread count that means nothing is said at once, before anything is touched, rather than
    // taken for another number.
    // The value is shown with its control characters escaped, as every text from outside is.
    if (const char* threads = std::getenv("MAILBALE_THREADS");
        threads && TZipBaseArchiver::ParseThreadCount(threads) == 0) {
        platform::WriteStandardError(Format("MAILBALE_THREADS must be a whole number from 1 to %d, not \"",
                                            TZipBaseArchiver::kMostWorkerThreads) +
                                     platform::ConsoleText(platform::EnvironmentText("MAILBALE_THREADS")) + "\"\n");
        return 1;
    }
    Application.Initialize();
    Application.Title = "Vandrel Mailbale";
    Application.FrontEnd().CatchStopSignals();
    TFormMain* form = Application.CreateForm<TFormMain>();
    Application.Run();
    const int status = form->ExitStatus();
    Application.DestroyForms();
    return status;
}
