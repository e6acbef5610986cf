#pragma once

// The Local Files page: the folder or file on this computer.

#include "wizard/files_page.h"

namespace bxfr::wizard {

// "Local Files": the folder or file sent from this computer, or the place a get writes to.
class WizLocal : public WizFilesPage {
    Q_OBJECT
public:
    explicit WizLocal(const WizardContext& context, QWidget* parent = nullptr);

    void OnSetActive() override;

protected:
    void RequestFolderSize() override;
    void RequestFileSize() override;
    void PickFolder() override;
    void PickFile() override;
    bool CheckSource() override;
    void Store() override;
    void ShowDescriptions() override;
    QString EnteredPath() const override;
};

}  // namespace bxfr::wizard
