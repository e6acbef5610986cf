// The wizard's first two pages: Welcome with the cipher warning, and loading a previous transfer.

#include "wizard/welcome_load_pages.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include "dialogs/about_dialog.h"
#include "dialogs/settings_dialog.h"
#include "job/transfer_file.h"
#include "prefs/mru_lists.h"

namespace bxfr::wizard {

namespace {

QLabel* Text(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

}  // namespace

WizWelcome::WizWelcome(const WizardContext& context, QWidget* parent)
    : WizPage(context, tr("Welcome to the Brindle FTP Wizard"), "welcome.htm", true, parent) {
    setObjectName("WizWelcome");
    Body()->addWidget(Text(tr("This wizard will help you to transfer files between this computer and a "
                              "remote computer (server)."),
                           this));
    Body()->addSpacing(fontMetrics().height());
    Body()->addWidget(Text(tr("To continue, click Next."), this));
    version_ = new QLabel(VersionLine(), this);
    version_->setObjectName("versionLine");
    version_->setWordWrap(true);
    auto* about = new QPushButton(tr("&About ..."), this);
    about->setObjectName("aboutButton");
    auto* settings = new QPushButton(tr("&Settings ..."), this);
    settings->setObjectName("settingsButton");
    connect(about, &QPushButton::clicked, this, [this] {
        dialogs::AboutDialog box(this);
        box.exec();
    });
    connect(settings, &QPushButton::clicked, this, [this] { dialogs::EditUserSettings(Settings(), this); });
    auto* row = new QHBoxLayout;
    row->addWidget(about);
    row->addWidget(settings);
    row->addStretch(1);
    Body()->addSpacing(fontMetrics().height() * 2);
    Body()->addLayout(row);
    Body()->addSpacing(fontMetrics().height());
    Body()->addWidget(version_);
}

QString WizWelcome::VersionLine() const {
    return QString("BXFR Wizard %1 %2").arg(BXFR_VERSION, tr("- free to use for your own transfers."));
}

void WizWelcome::WarnIfNoCrypto(bool available) {
    if (available || Settings().GetShowCryptoWarning() != 1) return;
    const auto answer =
        QMessageBox::warning(this, "Brindle FTP Wizard",
                             "Unable to access cryptographic service provider.\r\nPasswords will not be "
                             "saved in transfer files; choose to be asked for the password\r\nwhen a "
                             "saved transfer runs.\r\n\r\n"
                             "Do you want to see this message each time Brindle\r\nFTP Wizard starts?",
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::No) {
        Settings().SetShowCryptoWarning(0);
        Settings().Save();
    }
}

WizLoad::WizLoad(const WizardContext& context, QWidget* parent)
    : WizPage(context, tr("Open Previous Transfer"), "open.htm", false, parent) {
    setObjectName("WizLoad");
    new_ = new QRadioButton(tr("&New Transfer"), this);
    new_->setObjectName("newRadio");
    load_ = new QRadioButton(tr("&Load Previous Transfer:"), this);
    load_->setObjectName("loadRadio");
    file_ = new QComboBox(this);
    file_->setObjectName("transferFileCombo");
    file_->setEditable(true);
    file_->setInsertPolicy(QComboBox::NoInsert);
    file_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    file_->setMinimumContentsLength(30);
    browse_ = new QPushButton("...", this);
    browse_->setObjectName("browseButton");
    browse_->setMaximumWidth(browse_->fontMetrics().horizontalAdvance("....") * 3);
    connect(new_, &QRadioButton::clicked, this, [this] { SetNewTransfer(true); });
    connect(load_, &QRadioButton::clicked, this, [this] { SetNewTransfer(false); });
    connect(browse_, &QPushButton::clicked, this, &WizLoad::Browse);

    Body()->addWidget(
        Text(tr("If you have saved a Brindle FTP Transfer (*.BXT) file and wish to use it to continue "
                "your session please load the file below."),
             this));
    Body()->addSpacing(fontMetrics().height());
    Body()->addWidget(new_);
    Body()->addWidget(load_);
    auto* row = new QHBoxLayout;
    row->addSpacing(fontMetrics().height());
    row->addWidget(file_, 1);
    row->addWidget(browse_);
    Body()->addLayout(row);
    Body()->addSpacing(fontMetrics().height());
    Body()->addWidget(
        Text(tr("Select New Transfer to start from scratch or Previous Transfer to load a Brindle FTP "
                "Transfer file saved from a previous session."),
             this));
    SetNewTransfer(true);
}

void WizLoad::SetNewTransfer(bool fresh) {
    new_->setChecked(fresh);
    load_->setChecked(!fresh);
    file_->setEnabled(!fresh);
    browse_->setEnabled(!fresh);
}

bool WizLoad::NewTransfer() const { return new_->isChecked(); }

QString WizLoad::TransferFile() const { return file_->currentText(); }

void WizLoad::SetTransferFile(const QString& path) { file_->setEditText(path); }

void WizLoad::Browse() {
    const QString chosen = QFileDialog::getOpenFileName(
        this, tr("Open"), TransferFile(),
        "Brindle FTP Transfer Files (*.bxt);;Brindle FTP INI Files (*.ini);;All Files (*)");
    if (!chosen.isEmpty()) file_->setEditText(QFileInfo(chosen).absoluteFilePath());
}

void WizLoad::OnSetActive() {
    const QString typed = TransferFile();
    file_->clear();
    prefs::PruneMru();
    for (int i = 0; i < 4; ++i) {
        const std::string entry = prefs::ReadMru(i);
        if (entry.empty()) break;
        file_->addItem(QString::fromStdString(entry));
    }
    file_->setEditText(typed);
    if (!typed.isEmpty()) SetNewTransfer(false);
}

bool WizLoad::OnWizardNext() {
    job::TransferJob& job = Job();
    if (NewTransfer()) {
        job.Reset();
        job.reportProgress = 1;
        job.checkUpgrade = 1;
        ResetBaseline();
        return true;
    }
    job.Reset();
    job.reportProgress = 1;
    const std::string path = TransferFile().toStdString();
    std::string problem;
    if (path.empty() || job::LoadTransferFile(path, job, job::DefaultPasswordCrypto(), &problem) !=
                            job::kTransferFileLoaded) {
        QMessageBox::critical(this, "Brindle FTP",
                              problem.empty()
                                  ? QString("Invalid Transfer File")
                                  : "Invalid Transfer File\n\n" + QString::fromStdString(problem));
        return false;
    }
    job.SetTransferFilePath(path);
    prefs::AddToMru(path);
    ResetBaseline();
    return true;
}

}  // namespace bxfr::wizard
