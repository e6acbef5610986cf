// The About box, and the list of components and versions it shows for support.

#include "dialogs/about_dialog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QSysInfo>
#include <QVBoxLayout>

#ifdef __GLIBC__
#include <gnu/libc-version.h>
#endif

#include "dialogs/hyperlink.h"
#include "engine/adapters/library_versions.h"

// Outside any namespace, as the resource's own initializer is.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace bxfr::dialogs {

namespace {

void AddLine(QString& list, const QString& name, const QString& version) {
    if (!version.isEmpty()) list += QString("%1 (%2)\r\n").arg(name, version);
}

// The program files are listed when they are where the running program is.
QString ProgramFileVersion(const QString& name) {
    const QString dir = QCoreApplication::applicationDirPath();
    if (dir.isEmpty() || !QFileInfo::exists(QDir(dir).filePath(name))) return {};
    return BXFR_VERSION;
}

}  // namespace

QIcon ProgramIcon() {
    InitIconResources();
    return QIcon(":/icons/bxfr-wizard.png");
}

// The files of this build in the order of the Windows list: the programs (the remote pickers are
// built into the desktop program, so there is no file of their own), then the FTP and SSH libraries, the
// user-interface framework, the C runtime and the cipher library, each as loaded.
QString BuildComponentList() {
    QString list;
    AddLine(list, "bxfr-wizard", ProgramFileVersion("bxfr-wizard"));
    AddLine(list, "bxfr", ProgramFileVersion("bxfr"));
    const QString curl = QString::fromStdString(engine::FtpLibraryVersion());
    AddLine(list, "libcurl", curl.section(' ', 1, 1));
    AddLine(list, "libssh", QString::fromStdString(engine::SshLibraryVersion()).section(' ', 1, 1));
    AddLine(list, "Qt", qVersion());
#ifdef __GLIBC__
    AddLine(list, "glibc", gnu_get_libc_version());
#endif
    const QString ssl = QString::fromStdString(engine::CryptoLibraryVersion());
    AddLine(list, "OpenSSL", ssl.section(' ', 1, 1));
    list += QString("OS: %1 (%2 %3)")
                .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion());
    return list;
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutDialog");
    setWindowTitle("About Brindle FTP Wizard");
    auto* icon = new QLabel(this);
    icon->setObjectName("programIcon");
    const int side = fontMetrics().height() * 4;
    icon->setPixmap(ProgramIcon().pixmap(QSize(side, side), devicePixelRatioF()));
    auto* version = new QLabel(QString("Brindle FTP Wizard %1").arg(BXFR_VERSION), this);
    version->setObjectName("versionLine");
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);
    auto* notice = new QLabel(tr("Copyright \u00a9 Brindle Software. All rights reserved."), this);
    notice->setObjectName("noticeLine");
    auto* link = new QLabel(this);
    link->setObjectName("siteLink");
    MakeHyperlink(link, kMakerUrl);
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    toggle_ = new QPushButton(this);
    toggle_->setObjectName("toggleDetails");
    toggle_->setAutoDefault(false);
    connect(toggle_, &QPushButton::clicked, this, &AboutDialog::ToggleDetails);
    components_ = new QPlainTextEdit(this);
    components_->setObjectName("componentList");
    components_->setReadOnly(true);
    components_->setPlainText(BuildComponentList().replace("\r\n", "\n"));
    components_->setFixedHeight(components_->fontMetrics().lineSpacing() * 8);

    auto* text = new QVBoxLayout;
    text->addWidget(version);
    text->addWidget(notice);
    text->addWidget(link);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addSpacing(fontMetrics().averageCharWidth() * 2);
    top->addLayout(text, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(toggle_);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(components_);
    layout->addLayout(buttons);
    // Never smaller than what it shows, at any scale.
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    setMinimumWidth(fontMetrics().averageCharWidth() * 64);
    ToggleDetails();
}

void AboutDialog::ToggleDetails() {
    expanded_ = !expanded_;
    toggle_->setText(expanded_ ? tr("&Details <<<") : tr("&Details >>>"));
    components_->setVisible(expanded_);
    adjustSize();
}

QString AboutDialog::ComponentList() const { return components_->toPlainText(); }

}  // namespace bxfr::dialogs
