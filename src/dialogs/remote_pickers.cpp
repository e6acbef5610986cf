// The remote pickers: the browsing dialog, and the connection that lists folders on its own thread.

#include "dialogs/remote_pickers.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "dialogs/trust_dialog.h"
#include "engine/adapters/adapters.h"
#include "engine/run_context.h"

namespace bxfr::dialogs {
namespace {

const QString kLoginFolder = QStringLiteral("[login folder]");

QString Join(const QString& folder, const QString& name) {
    if (name.startsWith('/')) return name;
    if (folder.isEmpty() || folder.endsWith('/')) return folder + name;
    return folder + '/' + name;
}

QString ParentOf(const QString& folder) {
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash <= 0) return "/";
    return folder.left(slash);
}

bool HasLineBreak(const QString& text) { return text.contains('\r') || text.contains('\n'); }

QString LoginFailureText(const QString& server, const engine::InternetError& error,
                         const engine::ServerReply& reply) {
    QString text = QObject::tr("Could not log in to %1.").arg(server);
    const QString said = QString::fromStdString(reply.text).trimmed();
    if (!said.isEmpty()) {
        text += ' ' + QObject::tr("The server said: %1").arg(said);
    } else if (*error.what() != '\0') {
        text += ' ' + QString::fromStdString(error.what());
    }
    return text + ' ' + QObject::tr("(Error %1)").arg(error.code());
}

engine::LoginParams ParamsFor(const std::string& server, const std::string& userName,
                              const std::string& password, const std::string& proxy, int port, int passive,
                              const RemoteSecurity& security) {
    job::TransferJob job;
    job.SetServer(server);
    job.SetUserName(userName);
    job.SetPassword(password);
    job.SetProxy(proxy);
    job.SetPort(static_cast<std::uint16_t>(port));
    job.passive = passive ? 1 : 0;
    job.protocol = security.protocol;
    if (security.fingerprint) job.fingerprint = *security.fingerprint;
    job.keyFile = security.keyFile;
    return engine::LoginParamsFor(job);
}

}  // namespace

// Owns the picker's one FTP connection and does all its talking on the picker's thread.
class RemoteLister : public QObject {
    Q_OBJECT
public:
    RemoteLister(engine::LoginParams params, ConnectorFactory makeClient)
        : params_(std::move(params)), makeClient_(std::move(makeClient)) {}

    void Open(const QString& start) {
        try {
            client_ = makeClient_();
            connection_ = client_->Connect(params_);
        } catch (const engine::CertificateError& error) {
            connection_.reset();
            emit Untrusted(error.certificate(), start);
            return;
        } catch (const engine::InternetError& error) {
            const engine::ServerReply reply = client_ ? client_->LastReply() : engine::ServerReply{};
            connection_.reset();
            emit Failed(LoginFailureText(QString::fromStdString(params_.server), error, reply), false, false);
            return;
        } catch (const std::exception& error) {
            connection_.reset();
            emit Failed(
                tr("Could not log in to %1. %2")
                    .arg(QString::fromStdString(params_.server), QString::fromStdString(error.what())),
                false, false);
            return;
        }
        Guarded([&] {
            if (!start.isEmpty() && !connection_->SetCurrentDirectory(start.toStdString())) {
                emit Failed(tr("The folder %1 was not found; showing the login folder.").arg(start), true,
                            true);
            }
            ListCurrent();
        });
    }

    // Logs in again, now trusting that certificate or host key.
    void Trust(const std::string& fingerprint, const QString& start) {
        params_.fingerprint = fingerprint;
        Open(start);
    }

    void Browse(const QString& folder) {
        if (!connection_) return;
        Guarded([&] {
            if (!connection_->SetCurrentDirectory(folder.toStdString())) {
                emit Missing(folder, tr("The folder %1 cannot be opened.").arg(folder));
                return;
            }
            ListCurrent();
        });
    }

    // Creates the folder and lists it.
    void Create(const QString& folder) {
        if (!connection_) return;
        Guarded([&] {
            if (!connection_->CreateDirectory(folder.toStdString())) {
                const QString said = QString::fromStdString(connection_->LastReply().text).trimmed();
                emit Failed(tr("The folder %1 could not be created. %2").arg(folder, said).trimmed(), true,
                            false);
                return;
            }
            if (!connection_->SetCurrentDirectory(folder.toStdString())) {
                emit Failed(tr("The folder %1 was created but cannot be opened.").arg(folder), true, false);
                return;
            }
            ListCurrent();
        });
    }

signals:
    void Listed(const QString& folder, const QStringList& folders, const QStringList& files,
                const QList<quint64>& lengths);
    // `listingFollows`: a listing of the login folder comes next, keep the message with it.
    void Failed(const QString& message, bool loggedIn, bool listingFollows);
    // The folder to browse to could not be opened: it may not exist.
    void Missing(const QString& folder, const QString& message);
    // The server's certificate or host key is not trusted; nothing but the handshake was sent.
    void Untrusted(const bxfr::engine::ServerCertificate& certificate, const QString& start);

private:
    // A dropped connection ends the picker's session; it must never escape the thread.
    template <typename Step>
    void Guarded(Step step) {
        try {
            step();
        } catch (const std::exception& error) {
            connection_.reset();
            emit Failed(
                tr("The connection to %1 was lost. %2")
                    .arg(QString::fromStdString(params_.server), QString::fromStdString(error.what())),
                false, false);
        }
    }

    void ListCurrent() {
        std::string current;
        connection_->GetCurrentDirectory(current);
        std::vector<engine::RemoteEntry> entries;
        if (!connection_->List("", entries)) {
            emit Failed(tr("The folder %1 cannot be listed.").arg(QString::fromStdString(current)), true,
                        false);
            return;
        }
        std::sort(entries.begin(), entries.end(),
                  [](const engine::RemoteEntry& a, const engine::RemoteEntry& b) {
                      return QString::compare(QString::fromStdString(a.name), QString::fromStdString(b.name),
                                              Qt::CaseInsensitive) < 0;
                  });
        QStringList folders;
        QStringList files;
        QList<quint64> lengths;
        for (const auto& entry : entries) {
            if (entry.name == "." || entry.name == "..") continue;
            if (entry.isFolder) {
                folders << QString::fromStdString(entry.name);
            } else {
                files << QString::fromStdString(entry.name);
                lengths << entry.length;
            }
        }
        emit Listed(QString::fromStdString(current), folders, files, lengths);
    }

    engine::LoginParams params_;
    ConnectorFactory makeClient_;
    std::unique_ptr<engine::Connector> client_;
    std::unique_ptr<engine::Connection> connection_;
};

RemotePickerDialog::RemotePickerDialog(Kind kind, const engine::LoginParams& params, const QString& start,
                                       ConnectorFactory makeClient, QWidget* parent)
    : QDialog(parent), kind_(kind), server_(QString::fromStdString(params.server)) {
    setObjectName("RemotePickerDialog");
    setWindowTitle(kind == Kind::Folder ? tr("Brindle FTP - Select Remote Folder")
                                        : tr("Brindle FTP - Select Remote File"));
    if (!makeClient) makeClient = [] { return engine::MakeConnector(); };

    QString startFolder = start == kLoginFolder ? QString() : start;
    if (kind != Kind::Folder) {
        const qsizetype slash = startFolder.lastIndexOf('/');
        proposedName_ = slash < 0 ? startFolder : startFolder.mid(slash + 1);
        startFolder = slash < 0 ? QString() : (slash == 0 ? QString("/") : startFolder.left(slash));
    }

    where_ = new QLabel(tr("Server: %1").arg(server_), this);
    path_ = new QLineEdit(this);
    path_->setObjectName("folderPath");
    auto* pathLabel = new QLabel(tr("F&older:"), this);
    pathLabel->setBuddy(path_);
    go_ = new QPushButton(tr("&Go"), this);
    go_->setObjectName("goButton");
    go_->setAutoDefault(false);
    up_ = new QPushButton(style()->standardIcon(QStyle::SP_FileDialogToParent), tr("&Up"), this);
    up_->setObjectName("upButton");
    up_->setAutoDefault(false);
    list_ = new QListWidget(this);
    list_->setObjectName("entryList");
    list_->setMinimumSize(list_->fontMetrics().averageCharWidth() * 70, list_->fontMetrics().height() * 14);
    emptyNote_ = new QLabel(tr("This folder is empty."), list_->viewport());
    emptyNote_->setObjectName("emptyNote");
    emptyNote_->setEnabled(false);
    emptyNote_->hide();
    auto* inList = new QVBoxLayout(list_->viewport());
    inList->addWidget(emptyNote_, 0, Qt::AlignCenter);
    newFolder_ =
        new QPushButton(style()->standardIcon(QStyle::SP_FileDialogNewFolder), tr("&New folder"), this);
    newFolder_->setObjectName("newFolderButton");
    newFolder_->setAutoDefault(false);
    // Getting needs a file that is there; a new folder has none.
    newFolder_->setVisible(kind != Kind::ExistingFile);
    status_ = new QLabel(this);
    status_->setObjectName("status");
    status_->setWordWrap(true);
    busyBar_ = new QProgressBar(this);
    busyBar_->setObjectName("busy");
    busyBar_->setRange(0, 0);
    busyBar_->setTextVisible(false);
    busyBar_->setMaximumHeight(list_->fontMetrics().height());

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(pathLabel);
    pathRow->addWidget(path_, 1);
    pathRow->addWidget(go_);
    pathRow->addWidget(up_);
    pathRow->addWidget(newFolder_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &RemotePickerDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RemotePickerDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(where_);
    layout->addLayout(pathRow);
    layout->addWidget(list_, 1);
    if (kind != Kind::Folder) {
        name_ = new QLineEdit(proposedName_, this);
        name_->setObjectName("fileName");
        auto* nameLabel = new QLabel(tr("File &name:"), this);
        nameLabel->setBuddy(name_);
        auto* nameRow = new QHBoxLayout;
        nameRow->addWidget(nameLabel);
        nameRow->addWidget(name_, 1);
        layout->addLayout(nameRow);
        connect(name_, &QLineEdit::textChanged, this, &RemotePickerDialog::UpdateOk);
    }
    layout->addWidget(status_);
    layout->addWidget(busyBar_);
    layout->addWidget(buttons);

    connect(list_, &QListWidget::itemActivated, this, &RemotePickerDialog::OnActivated);
    connect(list_, &QListWidget::currentItemChanged, this, &RemotePickerDialog::OnCurrentChanged);
    connect(up_, &QPushButton::clicked, this, [this] { Browse(ParentOf(folder_)); });
    connect(newFolder_, &QPushButton::clicked, this, &RemotePickerDialog::NewFolder);
    connect(go_, &QPushButton::clicked, this, [this] { Browse(path_->text().trimmed()); });
    connect(path_, &QLineEdit::returnPressed, this, [this] { Browse(path_->text().trimmed()); });

    thread_ = new QThread;
    lister_ = new RemoteLister(params, std::move(makeClient));
    lister_->moveToThread(thread_);
    connect(lister_, &RemoteLister::Listed, this, &RemotePickerDialog::OnListed);
    connect(lister_, &RemoteLister::Failed, this, &RemotePickerDialog::OnFailed);
    connect(lister_, &RemoteLister::Missing, this, &RemotePickerDialog::OnMissing);
    connect(lister_, &RemoteLister::Untrusted, this, &RemotePickerDialog::OnUntrusted);
    thread_->start();

    SetBusy(true);
    status_->setText(tr("Logging in to %1 ...").arg(server_));
    QMetaObject::invokeMethod(
        lister_, [lister = lister_, startFolder] { lister->Open(startFolder); }, Qt::QueuedConnection);
    if (name_) {
        name_->setFocus();
    } else {
        list_->setFocus();
    }
}

RemotePickerDialog::~RemotePickerDialog() {
    // The lister ends its connection (QUIT, or a call still waiting for the server) on its own
    // thread, so closing the picker never waits for the server; the thread then ends and both
    // are deleted later.
    connect(thread_, &QThread::finished, lister_, &QObject::deleteLater);
    connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);
    thread_->quit();
}

bool RemotePickerDialog::Browse(const QString& folder) {
    if (busy_ || !loggedIn_ || folder.isEmpty()) return false;
    if (HasLineBreak(folder)) {
        status_->setText(tr("A folder name cannot hold a line break."));
        return false;
    }
    SetBusy(true);
    status_->setText(tr("Listing %1 ...").arg(folder));
    QMetaObject::invokeMethod(
        lister_, [lister = lister_, folder] { lister->Browse(folder); }, Qt::QueuedConnection);
    return true;
}

void RemotePickerDialog::NewFolder() {
    if (busy_ || !loggedIn_) return;
    const QString name =
        QInputDialog::getText(this, tr("Brindle FTP - New Folder"), tr("Name of the new folder:")).trimmed();
    if (name.isEmpty()) return;
    if (HasLineBreak(name)) {
        status_->setText(tr("A folder name cannot hold a line break."));
        return;
    }
    Create(Join(folder_, name));
}

void RemotePickerDialog::Create(const QString& folder) {
    SetBusy(true);
    status_->setText(tr("Creating %1 ...").arg(folder));
    QMetaObject::invokeMethod(
        lister_, [lister = lister_, folder] { lister->Create(folder); }, Qt::QueuedConnection);
}

void RemotePickerDialog::OnListed(const QString& folder, const QStringList& folders, const QStringList& files,
                                  const QList<quint64>& lengths) {
    loggedIn_ = true;
    folder_ = folder;
    path_->setText(folder);
    list_->clear();
    emptyNote_->setText(folders.isEmpty() && !files.isEmpty() && kind_ == Kind::Folder
                            ? tr("This folder holds files but no folders.")
                            : tr("This folder is empty."));
    emptyNote_->setVisible(folders.isEmpty() && (files.isEmpty() || kind_ == Kind::Folder));
    const QIcon folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
    const QIcon fileIcon = style()->standardIcon(QStyle::SP_FileIcon);
    for (const auto& name : folders) {
        auto* item = new QListWidgetItem(folderIcon, name, list_);
        item->setData(Qt::UserRole, true);
    }
    if (kind_ != Kind::Folder) {
        for (int i = 0; i < files.size(); ++i) {
            auto* item = new QListWidgetItem(fileIcon, files[i], list_);
            item->setData(Qt::UserRole, false);
            item->setToolTip(tr("%1 bytes").arg(lengths.value(i)));
        }
    }
    if (status_->property("keep").toBool()) {
        status_->setProperty("keep", false);
    } else {
        status_->clear();
    }
    SetBusy(false);
    if (accepting_) {
        // The typed folder is there: take it, now as the server names it.
        accept();
        return;
    }
    emit Settled();
}

void RemotePickerDialog::OnFailed(const QString& message, bool loggedIn, bool listingFollows) {
    accepting_ = false;
    status_->setText(message);
    status_->setStyleSheet(loggedIn ? QString() : QString("color: #b00020;"));
    if (!loggedIn) {
        loggedIn_ = false;
        emptyNote_->hide();
        list_->setEnabled(false);
        path_->setEnabled(false);
        SetBusy(false);
        emit Settled();
        return;
    }
    loggedIn_ = true;
    if (listingFollows) {
        status_->setProperty("keep", true);
        return;
    }
    SetBusy(false);
    emit Settled();
}

void RemotePickerDialog::OnMissing(const QString& folder, const QString& message) {
    // OK on a folder that is not there: a folder to send to is as often one still to make.
    if (accepting_ && kind_ != Kind::ExistingFile) {
        status_->setText(message);
        if (QMessageBox::question(this, "Brindle FTP", tr("%1 Create it?").arg(message),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
            Create(folder);
            return;
        }
    }
    OnFailed(message, true, false);
}

void RemotePickerDialog::OnUntrusted(const engine::ServerCertificate& certificate, const QString& start) {
    const bool trusted = ask_ ? ask_(certificate) : AskToTrust(certificate, server_, this);
    if (!trusted) {
        OnFailed((certificate.IsHostKey()
                      ? tr("The connection to %1 was cancelled: its host key is not trusted.")
                      : tr("The connection to %1 was cancelled: its certificate is not trusted."))
                     .arg(server_),
                 false, false);
        return;
    }
    trusted_ = certificate.fingerprint;
    status_->setText(tr("Logging in to %1 ...").arg(server_));
    QMetaObject::invokeMethod(
        lister_, [lister = lister_, fingerprint = trusted_, start] { lister->Trust(fingerprint, start); },
        Qt::QueuedConnection);
}

void RemotePickerDialog::OnActivated(QListWidgetItem* item) {
    if (!item) return;
    if (item->data(Qt::UserRole).toBool()) {
        Browse(Join(folder_, item->text()));
    } else if (name_) {
        name_->setText(item->text());
        accept();
    }
}

void RemotePickerDialog::OnCurrentChanged() {
    auto* item = list_->currentItem();
    if (name_ && item && !item->data(Qt::UserRole).toBool()) name_->setText(item->text());
}

void RemotePickerDialog::SetBusy(bool busy) {
    busy_ = busy;
    busyBar_->setVisible(busy);
    if (busy) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
    go_->setEnabled(!busy && loggedIn_);
    up_->setEnabled(!busy && loggedIn_ && folder_ != "/");
    newFolder_->setEnabled(!busy && loggedIn_);
    UpdateOk();
}

void RemotePickerDialog::UpdateOk() {
    bool ready = !busy_ && loggedIn_ && !folder_.isEmpty();
    if (name_) ready = ready && !name_->text().trimmed().isEmpty();
    ok_->setEnabled(ready);
}

void RemotePickerDialog::accept() {
    if (busy_ || !loggedIn_) return;
    // What the folder box says is the folder, whether or not it was listed yet.
    const QString typed = path_->text().trimmed();
    if (!typed.isEmpty() && Join(folder_, typed) != folder_) {
        accepting_ = Browse(Join(folder_, typed));
        return;
    }
    accepting_ = false;
    if (kind_ == Kind::Folder) {
        result_ = folder_;
        QDialog::accept();
        return;
    }
    const QString name = name_->text().trimmed();
    if (name.isEmpty() || HasLineBreak(name)) {
        status_->setText(tr("Enter a file name without line breaks."));
        return;
    }
    if (kind_ == Kind::ExistingFile && !name.contains('/')) {
        const auto found = list_->findItems(name, Qt::MatchExactly);
        const bool isFile = std::any_of(found.begin(), found.end(), [](const QListWidgetItem* item) {
            return !item->data(Qt::UserRole).toBool();
        });
        if (!isFile) {
            status_->setText(tr("There is no file %1 in this folder.").arg(name));
            return;
        }
    }
    result_ = Join(folder_, name);
    QDialog::accept();
}

int bBXFR_TOOLS_FOLDER_FtpFileDialog(int getMode, std::string server, std::string userName,
                                     std::string password, std::string proxy, int port, int passive,
                                     std::string* file, QWidget* parent, ConnectorFactory makeClient,
                                     RemoteSecurity security) {
    if (!file) return 0;
    const auto kind =
        getMode == 1 ? RemotePickerDialog::Kind::ExistingFile : RemotePickerDialog::Kind::NewFile;
    RemotePickerDialog dialog(kind, ParamsFor(server, userName, password, proxy, port, passive, security),
                              QString::fromStdString(*file), std::move(makeClient), parent);
    const int result = dialog.exec();
    if (security.fingerprint && !dialog.TrustedFingerprint().empty())
        *security.fingerprint = dialog.TrustedFingerprint();
    if (result != QDialog::Accepted) return 0;
    *file = dialog.Result().toStdString();
    return 1;
}

int bBXFR_TOOLS_FOLDER_BrowseForFolder(std::string server, std::string userName, std::string password,
                                       std::string proxy, int port, int passive, std::string* folder,
                                       QWidget* parent, ConnectorFactory makeClient,
                                       RemoteSecurity security) {
    if (!folder) return 0;
    RemotePickerDialog dialog(RemotePickerDialog::Kind::Folder,
                              ParamsFor(server, userName, password, proxy, port, passive, security),
                              QString::fromStdString(*folder), std::move(makeClient), parent);
    const int result = dialog.exec();
    if (security.fingerprint && !dialog.TrustedFingerprint().empty())
        *security.fingerprint = dialog.TrustedFingerprint();
    if (result != QDialog::Accepted) return 0;
    *folder = dialog.Result().toStdString();
    return 1;
}

}  // namespace bxfr::dialogs

#include "remote_pickers.moc"
