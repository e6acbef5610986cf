// The Remote Files page: the remote folder or file, the remote pickers, its size and its checks.

#include "wizard/remote_page.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <filesystem>

#include "engine/adapters/adapters.h"
#include "engine/get_walk.h"
#include "engine/size_walks.h"

namespace bxfr::wizard {
namespace {

const QString kLoginFolder = QStringLiteral("[login folder]");

bool HasLineBreak(const QString& text) { return text.contains('\r') || text.contains('\n'); }

}  // namespace

WizRemote::WizRemote(const WizardContext& context, QWidget* parent)
    : WizFilesPage(context, false, tr("Remote Files"), "remote.htm", parent) {
    setObjectName("WizRemote");
    SetClientFactory({});
    connect(folderEdit_, &QLineEdit::textChanged, this, [this] { CheckLineBreaks(); });
    connect(fileEdit_, &QLineEdit::textChanged, this, [this] { CheckLineBreaks(); });
}

void WizRemote::SetClientFactory(dialogs::ConnectorFactory factory) {
    if (!factory) factory = [] { return engine::MakeConnector(); };
    makeClient_ = factory;
    // A login that fails counts as nothing to fetch (the calculation turns any failure into 0).
    folderWalk_ = [factory](job::TransferJob& copy, const std::string& folder) {
        auto client = factory();
        return engine::RemoteSizeWalk(copy, *client, folder);
    };
}

QString WizRemote::EnteredPath() const {
    const QString entered = QString::fromStdString(Job().remotePathAsEntered);
    if (Job().singleFile != 1 && entered.isEmpty()) return kLoginFolder;
    return entered;
}

void WizRemote::ShowDescriptions() {
    if (IsSource()) {
        folderText_->setText(tr("Pick a folder to receive (including all sub-folders)."));
        fileText_->setText(tr("Pick a file to receive."));
    } else {
        folderText_->setText(tr("Pick the destination folder."));
        fileText_->setText(tr("Pick the destination file."));
    }
}

QString WizRemote::FolderPath() const {
    const QString folder = FolderText();
    return folder == kLoginFolder ? QString() : folder;
}

bool WizRemote::CheckLineBreaks() {
    const bool broken = HasLineBreak(FileChosen() ? FileText() : FolderText());
    SetProblem(broken ? tr("A remote path cannot contain a line break.") : QString());
    return !broken;
}

void WizRemote::RequestFolderSize() {
    if (!IsSource()) return;
    if (HasLineBreak(FolderText())) {
        ShowSizeNow(0);
        return;
    }
    StartCalculation(folderWalk_, FolderPath().toStdString());
}

// The length of one remote file costs a login too, so it is taken on the size thread like a
// folder's: a slow server never holds up typing.
void WizRemote::RequestFileSize() {
    if (!IsSource()) return;
    const std::string name = FileText().toStdString();
    if (name.empty() || HasLineBreak(FileText()) || !engine::IsRemoteFileSelected(Job(), name)) {
        ShowSizeNow(0);
        return;
    }
    auto factory = makeClient_;
    StartCalculation(
        [factory](job::TransferJob& copy, const std::string& file) -> std::uint64_t {
            auto client = factory();
            return engine::RemoteFileLength(copy, *client, file);
        },
        name);
}

void WizRemote::PickFolder() {
    std::string folder = FolderText().toStdString();
    const auto& job = Job();
    const int chosen = dialogs::bBXFR_TOOLS_FOLDER_BrowseForFolder(
        job.server, job.userName, job.password, job.proxy, job.port, job.passive, &folder, this, makeClient_,
        {job.protocol, &Job().fingerprint, job.keyFile});
    if (chosen != 1) return;
    SetFolderText(folder.empty() ? kLoginFolder : QString::fromStdString(folder));
    CheckLineBreaks();
    RequestFolderSize();
}

void WizRemote::PickFile() {
    std::string file = FileText().toStdString();
    if (file.empty()) {
        // Proposed from the local file's name, as a send of one file keeps it.
        file = std::filesystem::path(Job().localPathAsEntered).filename().string();
    }
    const auto& job = Job();
    const int chosen = dialogs::bBXFR_TOOLS_FOLDER_FtpFileDialog(
        job.getMode, job.server, job.userName, job.password, job.proxy, job.port, job.passive, &file, this,
        makeClient_, {job.protocol, &Job().fingerprint, job.keyFile});
    if (chosen != 1) return;
    SetFileText(QString::fromStdString(file));
    CheckLineBreaks();
    RequestFileSize();
}

bool WizRemote::OnWizardNext() {
    // A line break would end the command that carries the path and start another one.
    if (!CheckLineBreaks()) {
        (FileChosen() ? fileEdit_ : folderEdit_)->setFocus();
        return false;
    }
    return WizFilesPage::OnWizardNext();
}

bool WizRemote::CheckSource() {
    if (FileChosen() && FileText().isEmpty()) {
        SetProblem(tr("File does not exist."));
        QMessageBox::critical(this, "Brindle FTP", "File does not exist.");
        fileEdit_->setFocus();
        return false;
    }
    return true;
}

void WizRemote::Store() {
    Job().singleFile = FileChosen() ? 1 : 0;
    Job().SetRemotePath((FileChosen() ? FileText() : FolderPath()).toStdString());
}

}  // namespace bxfr::wizard
