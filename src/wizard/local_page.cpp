#include "wizard/local_page.h"

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <filesystem>
#include <system_error>

#include "engine/send_walk.h"
#include "engine/size_walks.h"
#include "engine/sizes.h"

namespace bxfr::wizard {
namespace {

std::filesystem::path PathOf(const QString& text) { return std::filesystem::path(text.toStdString()); }

}  // namespace

WizLocal::WizLocal(const WizardContext& context, QWidget* parent)
    : WizFilesPage(context, true, tr("Local Files"), "local.htm", parent) {
    setObjectName("WizLocal");
    folderWalk_ = [](job::TransferJob& copy, const std::string& folder) {
        return engine::LocalSizeWalk(copy, folder, "*.*");
    };
}

void WizLocal::OnSetActive() {
    WizFilesPage::OnSetActive();
    // Kept as the file has it, so that saving does not change it; the run would refuse it.
    if (job::IsWindowsOnlyPath(Job().localPathAsEntered))
        SetProblem(
            tr("This path was written on Windows and names nothing on this computer. Choose a "
               "folder or file here."));
}

QString WizLocal::EnteredPath() const { return QString::fromStdString(Job().localPathAsEntered); }

void WizLocal::ShowDescriptions() {
    if (IsSource()) {
        folderText_->setText(tr("Pick a folder to send (including all sub-folders)."));
        fileText_->setText(tr("Pick a file to send."));
    } else {
        folderText_->setText(tr("Pick the local folder."));
        fileText_->setText(tr("Pick the local file."));
    }
}

void WizLocal::RequestFolderSize() {
    if (!IsSource()) return;
    const QString folder = FolderText();
    std::error_code ec;
    const auto status = std::filesystem::status(PathOf(folder), ec);
    if (folder.isEmpty() || ec || !std::filesystem::exists(status)) {
        ShowSizeNow(0);
        return;
    }
    if (std::filesystem::is_directory(status)) StartCalculation(folderWalk_, folder.toStdString());
}

void WizLocal::RequestFileSize() {
    if (!IsSource()) return;
    const auto file = PathOf(FileText());
    std::error_code ec;
    const bool readable = !FileText().isEmpty() && std::filesystem::is_regular_file(file, ec);
    ShowSizeNow(readable && engine::IsLocalFileSelected(Job(), file) ? engine::LocalFileLength(file) : 0);
}

void WizLocal::PickFolder() {
    const QString chosen =
        QFileDialog::getExistingDirectory(this, tr("Select the local folder"), FolderText());
    if (chosen.isEmpty()) return;
    SetFolderText(QDir::toNativeSeparators(chosen));
    SetProblem({});
    RequestFolderSize();
}

void WizLocal::PickFile() {
    const QString filter = tr("All Files (*)");
    if (IsSource()) {
        const QString chosen = QFileDialog::getOpenFileName(this, QString(), FileText(), filter);
        if (chosen.isEmpty()) return;
        SetFileText(QDir::toNativeSeparators(chosen));
        SetProblem({});
        RequestFileSize();
        return;
    }
    QString proposed = FileText();
    if (proposed.isEmpty()) {
        const QString remote = QString::fromStdString(Job().remotePathAsEntered);
        proposed = remote.mid(remote.lastIndexOf('/') + 1);
    }
    const QString chosen = QFileDialog::getSaveFileName(this, QString(), proposed, filter);
    if (!chosen.isEmpty()) SetFileText(QDir::toNativeSeparators(chosen));
}

bool WizLocal::CheckSource() {
    std::error_code ec;
    if (!FileChosen()) {
        if (FolderText().isEmpty() || !std::filesystem::is_directory(PathOf(FolderText()), ec)) {
            SetProblem(tr("Folder does not exist."));
            QMessageBox::critical(this, "Brindle FTP", "Folder does not exist.");
            folderEdit_->setFocus();
            return false;
        }
        return true;
    }
    // A folder given as the file would be sent as if it were one file, and fail.
    const auto file = PathOf(FileText());
    if (FileText().isEmpty() || !std::filesystem::exists(file, ec) ||
        std::filesystem::is_directory(file, ec)) {
        SetProblem(tr("File does not exist."));
        QMessageBox::critical(this, "Brindle FTP", "File does not exist.");
        fileEdit_->setFocus();
        return false;
    }
    return true;
}

void WizLocal::Store() {
    Job().singleFile = FileChosen() ? 1 : 0;
    Job().SetLocalPath((FileChosen() ? FileText() : FolderText()).toStdString());
}

}  // namespace bxfr::wizard
