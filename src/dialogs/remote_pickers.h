#pragma once

// The remote pickers: browsing the server for a file to get, a name to send to, or a folder.

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "engine/connection.h"
#include "job/protocol.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
class QThread;

namespace bxfr::dialogs {

// Makes the FTP client a picker logs in with; the default is the engine's own.
using ConnectorFactory = std::function<std::unique_ptr<engine::Connector>()>;

// How the pickers connect: the job's protocol, its trusted certificate or host key, which the
// picker updates when the user trusts one it shows (null: nothing is kept), and for SFTP the
// private key to log in with.
struct RemoteSecurity {
    job::Protocol protocol = job::Protocol::Ftp;
    std::string* fingerprint = nullptr;
    std::string keyFile;
};

// Picks a remote file: with getMode 1 an existing one to fetch, with 0 the name a sent file
// gets. `file` holds the proposed name on entry and the chosen path on return. Returns 1 when a
// file was chosen; anything else means cancelled and `file` is left alone.
int bBXFR_TOOLS_FOLDER_FtpFileDialog(int getMode, std::string server, std::string userName,
                                     std::string password, std::string proxy, int port, int passive,
                                     std::string* file, QWidget* parent = nullptr,
                                     ConnectorFactory makeClient = {}, RemoteSecurity security = {});

// Picks a remote folder, starting in `folder` ("[login folder]" or empty: the login folder).
// Returns 1 when a folder was chosen; an empty result means the login folder.
int bBXFR_TOOLS_FOLDER_BrowseForFolder(std::string server, std::string userName, std::string password,
                                       std::string proxy, int port, int passive, std::string* folder,
                                       QWidget* parent = nullptr, ConnectorFactory makeClient = {},
                                       RemoteSecurity security = {});

class RemoteLister;

// The dialog behind both pickers. It logs in once and lists folders on a thread of its own,
// so that a slow server never freezes the window; closing it never waits for the server.
class RemotePickerDialog : public QDialog {
    Q_OBJECT
public:
    enum class Kind { Folder, ExistingFile, NewFile };

    RemotePickerDialog(Kind kind, const engine::LoginParams& params, const QString& start,
                       ConnectorFactory makeClient, QWidget* parent = nullptr);
    ~RemotePickerDialog() override;

    // The chosen folder, or folder and file name, as an absolute remote path.
    QString Result() const { return result_; }
    QString CurrentFolder() const { return folder_; }
    bool IsBusy() const { return busy_; }

    // Lists another folder, absolute or relative to the one shown; false when it cannot start.
    bool Browse(const QString& folder);
    // Asks for a name, creates that folder in the one shown and lists it.
    void NewFolder();
    // The certificate or host key the user trusted in this picker; empty when none.
    const std::string& TrustedFingerprint() const { return trusted_; }
    // Asks whether to trust a certificate or host key; the trust dialog unless a test sets another.
    void SetTrustQuestion(std::function<bool(const engine::ServerCertificate&)> ask) {
        ask_ = std::move(ask);
    }

signals:
    // Emitted after every listing and every failure; tests and the busy indicator follow it.
    void Settled();

public slots:
    void accept() override;

private:
    void OnListed(const QString& folder, const QStringList& folders, const QStringList& files,
                  const QList<quint64>& lengths);
    void OnFailed(const QString& message, bool loggedIn, bool listingFollows);
    void OnMissing(const QString& folder, const QString& message);
    void Create(const QString& folder);
    void OnUntrusted(const engine::ServerCertificate& certificate, const QString& start);
    void OnActivated(QListWidgetItem* item);
    void OnCurrentChanged();
    void SetBusy(bool busy);
    void UpdateOk();

    Kind kind_;
    QString server_;
    QString proposedName_;
    QString folder_;
    QString result_;
    bool busy_ = false;
    bool loggedIn_ = false;
    // OK was pressed on a folder typed into the folder box: it is listed first, then taken.
    bool accepting_ = false;
    std::string trusted_;
    std::function<bool(const engine::ServerCertificate&)> ask_;

    QThread* thread_;
    RemoteLister* lister_;
    QLabel* where_;
    QLineEdit* path_;
    QPushButton* go_;
    QPushButton* up_;
    QPushButton* newFolder_;
    QListWidget* list_;
    QLabel* emptyNote_;
    QLineEdit* name_ = nullptr;
    QLabel* status_;
    QProgressBar* busyBar_;
    QPushButton* ok_;
};

}  // namespace bxfr::dialogs

Q_DECLARE_METATYPE(bxfr::engine::ServerCertificate)
