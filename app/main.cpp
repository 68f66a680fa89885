// Vandrel Mailbale: packs the Vandrel e-mail logs into split ZIP volumes for sending by e-mail.
#include "app/FormMain.h"
#include "platform/Forms.h"

int main() {
    Application.Initialize();
    Application.Title = "Vandrel Mailbale";
    TFormMain* form = Application.CreateForm<TFormMain>();
    Application.Run();
    const int status = static_cast<int>(form->Outcome());
    Application.DestroyForms();
    return status;
}
