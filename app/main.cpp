// Vandrel Mailbale: packs the Vandrel e-mail logs into split ZIP volumes for sending by e-mail.
#include <cstdio>
#include <cstdlib>

#include "app/FormMain.h"
#include "archiver/ZipArchiver.h"
#include "platform/Dialogs.h"
#include "platform/Forms.h"

int main() {
    // A thread count that means nothing is said at once, before anything is touched, rather than
    // taken for another number.
    if (const char* threads = std::getenv("MAILBALE_THREADS");
        threads && TZipBaseArchiver::ParseThreadCount(threads) == 0) {
        std::fprintf(stderr, "MAILBALE_THREADS must be a whole number from 1 to %d, not \"%s\"\n",
                     TZipBaseArchiver::kMostWorkerThreads, threads);
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
