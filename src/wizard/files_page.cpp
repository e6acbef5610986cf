// What the Local and Remote pages share: folder or file, their checks on Next and Back, and the
// size line.

#include "wizard/files_page.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "engine/sizes.h"

namespace bxfr::wizard {

WizFilesPage::WizFilesPage(const WizardContext& context, bool local, const QString& heading,
                           const QString& helpTopic, QWidget* parent)
    : WizPage(context, heading, helpTopic, false, parent), local_(local), calc_(this) {
    auto* intro =
        new QLabel(local ? tr("Pick the local folder or file") : tr("Pick the remote folder or file"), this);
    folderRadio_ = new QRadioButton(tr("&Folder"), this);
    folderRadio_->setObjectName("folderRadio");
    folderText_ = new QLabel(this);
    folderText_->setObjectName("folderText");
    folderEdit_ = new QLineEdit(this);
    folderEdit_->setObjectName("folderEdit");
    folderPick_ = new QPushButton(tr("..."), this);
    folderPick_->setObjectName("folderPick");
    fileRadio_ = new QRadioButton(tr("F&ile"), this);
    fileRadio_->setObjectName("fileRadio");
    fileText_ = new QLabel(this);
    fileText_->setObjectName("fileText");
    fileEdit_ = new QLineEdit(this);
    fileEdit_->setObjectName("fileEdit");
    filePick_ = new QPushButton(tr("..."), this);
    filePick_->setObjectName("filePick");
    sizeLine_ = new QLabel(this);
    sizeLine_->setObjectName("sizeLine");
    problem_ = new QLabel(this);
    problem_->setObjectName("problem");
    problem_->setStyleSheet("color: #b00020;");
    problem_->setWordWrap(true);
    problem_->hide();
    for (auto* pick : {folderPick_, filePick_}) {
        pick->setAccessibleName(tr("Browse"));
        pick->setFixedWidth(pick->fontMetrics().horizontalAdvance("...") + pick->fontMetrics().height() * 2);
    }

    auto* grid = new QGridLayout;
    grid->setColumnMinimumWidth(0, folderRadio_->sizeHint().height());
    grid->addWidget(folderRadio_, 0, 0, 1, 3);
    grid->addWidget(folderText_, 1, 1, 1, 2);
    grid->addWidget(folderEdit_, 2, 1);
    grid->addWidget(folderPick_, 2, 2);
    grid->setRowMinimumHeight(3, folderRadio_->sizeHint().height() / 2);
    grid->addWidget(fileRadio_, 4, 0, 1, 3);
    grid->addWidget(fileText_, 5, 1, 1, 2);
    grid->addWidget(fileEdit_, 6, 1);
    grid->addWidget(filePick_, 6, 2);
    grid->setColumnStretch(1, 1);
    Body()->addWidget(intro);
    Body()->addLayout(grid);
    Body()->addWidget(problem_);
    Body()->addSpacing(folderRadio_->sizeHint().height() / 2);
    Body()->addWidget(sizeLine_);

    // Edits made by the user count; the page's own refills request their sizes explicitly.
    connect(folderRadio_, &QRadioButton::clicked, this, &WizFilesPage::FolderState);
    connect(fileRadio_, &QRadioButton::clicked, this, &WizFilesPage::FileState);
    connect(folderEdit_, &QLineEdit::textEdited, this, [this] {
        SetProblem({});
        RequestFolderSize();
    });
    connect(fileEdit_, &QLineEdit::textEdited, this, [this] {
        SetProblem({});
        RequestFileSize();
    });
    connect(folderPick_, &QPushButton::clicked, this, [this] { PickFolder(); });
    connect(filePick_, &QPushButton::clicked, this, [this] { PickFile(); });
    connect(&calc_, &SizeCalculation::Ended, this, &WizFilesPage::OnCalculationEnded);

    folderRadio_->setChecked(true);
    fileRadio_->setChecked(false);
    folderEdit_->setEnabled(true);
    folderPick_->setEnabled(true);
    fileEdit_->setEnabled(false);
    filePick_->setEnabled(false);
    if (local_) ShowSize();
}

bool WizFilesPage::IsSource() const { return local_ ? Job().getMode != 1 : Job().getMode == 1; }

QString WizFilesPage::SizeText() const { return sizeLine_->text(); }
QString WizFilesPage::FolderText() const { return folderEdit_->text(); }
QString WizFilesPage::FileText() const { return fileEdit_->text(); }
void WizFilesPage::SetFolderText(const QString& text) { folderEdit_->setText(text); }
void WizFilesPage::SetFileText(const QString& text) { fileEdit_->setText(text); }
bool WizFilesPage::FileChosen() const { return fileRadio_->isChecked(); }

void WizFilesPage::SetProblem(const QString& text) {
    problem_->setText(text);
    problem_->setVisible(!text.isEmpty());
}

void WizFilesPage::FolderState() {
    folderRadio_->setChecked(true);
    fileRadio_->setChecked(false);
    folderEdit_->setEnabled(true);
    folderPick_->setEnabled(true);
    fileEdit_->setEnabled(false);
    filePick_->setEnabled(false);
    RequestFolderSize();
}

void WizFilesPage::FileState() {
    fileRadio_->setChecked(true);
    folderRadio_->setChecked(false);
    fileEdit_->setEnabled(true);
    filePick_->setEnabled(true);
    folderEdit_->setEnabled(false);
    folderPick_->setEnabled(false);
    RequestFileSize();
}

void WizFilesPage::RequestSize() {
    if (FileChosen()) {
        RequestFileSize();
    } else {
        RequestFolderSize();
    }
}

void WizFilesPage::OnSetActive() {
    SetProblem({});
    const QString entered = EnteredPath();
    if (Job().singleFile != 1) {
        SetFolderText(entered);
        FolderState();
    } else {
        SetFileText(entered);
        FileState();
    }
    ShowDescriptions();
    if (IsSource()) {
        folderRadio_->setEnabled(true);
        folderText_->setEnabled(true);
        fileRadio_->setEnabled(true);
        fileText_->setEnabled(true);
        sizeLine_->show();
    } else {
        const bool single = Job().singleFile == 1;
        fileRadio_->setEnabled(single);
        fileText_->setEnabled(single);
        folderRadio_->setEnabled(!single);
        folderText_->setEnabled(!single);
        sizeLine_->hide();
    }
    (FileChosen() ? fileEdit_ : folderEdit_)->setFocus();
}

bool WizFilesPage::OnWizardNext() {
    if (IsSource()) {
        if (!CheckSource()) return false;
    }
    Store();
    return true;
}

bool WizFilesPage::OnWizardBack() {
    Store();
    return true;
}

void WizFilesPage::StartCalculation(SizeWalk walk, const std::string& path) {
    const bool started = calc_.Start(
        Job(), [walk = std::move(walk), path](job::TransferJob& copy) { return walk(copy, path); });
    if (started || calc_.Running()) sizeLine_->setText(tr("Calculating transfer size ..."));
}

void WizFilesPage::OnCalculationEnded(bool pending) {
    if (pending) {
        RequestSize();
    } else {
        ShowSize();
    }
}

void WizFilesPage::ShowSize() {
    calc_.Supersede();
    sizeLine_->setText(tr("%1 to transfer").arg(QString::fromStdString(engine::FormatSize(calc_.Size()))));
}

void WizFilesPage::ShowSizeNow(std::uint64_t bytes) {
    calc_.SetSize(bytes);
    ShowSize();
}

}  // namespace bxfr::wizard
