// The Local Files page: the local folder or file, its pickers, its size and its checks.

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

// Even asking whether a path exists can hang on a dead network mount, so every look at the file
// system while the user types happens on the size thread; the window never waits for it.
void WizLocal::RequestFolderSize() {
    if (!IsSource()) return;
    const QString folder = FolderText();
    if (folder.isEmpty()) {
        ShowSizeNow(0);
        return;
    }
    StartCalculation(
        [walk = folderWalk_](job::TransferJob& copy, const std::string& path) -> std::uint64_t {
            std::error_code ec;
            return std::filesystem::is_directory(std::filesystem::path(path), ec) ? walk(copy, path) : 0;
        },
        folder.toStdString());
}

void WizLocal::RequestFileSize() {
    if (!IsSource()) return;
    if (FileText().isEmpty()) {
        ShowSizeNow(0);
        return;
    }
    StartCalculation(
        [](job::TransferJob& copy, const std::string& path) -> std::uint64_t {
            const std::filesystem::path file(path);
            std::error_code ec;
            if (!std::filesystem::is_regular_file(file, ec) || !engine::IsLocalFileSelected(copy, file))
                return 0;
            return engine::LocalFileLength(file);
        },
        FileText().toStdString());
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
