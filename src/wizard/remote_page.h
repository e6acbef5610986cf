#pragma once

// The Remote Files page: the folder or file on the server.

#include "dialogs/remote_pickers.h"
#include "wizard/files_page.h"

namespace bxfr::wizard {

// "Remote Files": the folder or file fetched from the server, or the place a send writes to.
// An empty folder is the login folder and shows as "[login folder]".
class WizRemote : public WizFilesPage {
    Q_OBJECT
public:
    explicit WizRemote(const WizardContext& context, QWidget* parent = nullptr);

    // The client the pickers and the size thread log in with; the engine's by default.
    void SetClientFactory(dialogs::ConnectorFactory factory);

    bool OnWizardNext() override;

protected:
    void RequestFolderSize() override;
    void RequestFileSize() override;
    void PickFolder() override;
    void PickFile() override;
    bool CheckSource() override;
    void Store() override;
    void ShowDescriptions() override;
    QString EnteredPath() const override;

private:
    QString FolderPath() const;
    bool CheckLineBreaks();

    dialogs::ConnectorFactory makeClient_;
};

}  // namespace bxfr::wizard
