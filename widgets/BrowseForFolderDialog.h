#pragma once
// The folder-picking dialog placed on the main window. The job never shows it and sets none of its
// properties; it exists so that the window holds the components it was laid out with.
#include "platform/Forms.h"

class TBrowseForFolderDialog : public TComponent {
public:
    explicit TBrowseForFolderDialog(TComponent* owner) : TComponent(owner) {}
};
