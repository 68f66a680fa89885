// Vandrel Mailbale: packs the Vandrel e-mail logs into split ZIP volumes for sending by e-mail.
#include "app/FormMain.h"
#include "platform/Dialogs.h"
#include "platform/Forms.h"

int main() {
    Application.Initialize();
    Application.Title = "Vandrel Mailbale";
    Application.FrontEnd().CatchStopSignals();
    TFormMain* form = Application.CreateForm<TFormMain>();
    Application.Run();
    const int status = form->ExitStatus();
    Application.DestroyForms();
    return status;
}
