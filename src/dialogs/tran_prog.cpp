// The Transfer Progress dialog: the worker, the timed refresh, the log pane, and trusting a
// certificate between runs.

#include "dialogs/tran_prog.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/trust_dialog.h"
#include "engine/adapters/adapters.h"
#include "prefs/user_settings.h"
#include "progress/progress_view.h"

namespace bxfr::dialogs {

namespace {

constexpr int kRefreshMs = 500;
// The pane keeps the latest lines only; the log file is the full record of a long run.
constexpr int kLogPaneLines = 20000;
// Whether the user last left the log pane open, in the user's key.
constexpr const char* kShowLogKey = "ShowLog";

void SetElided(QLabel* label, const QString& text) {
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, label->width()));
    label->setToolTip(text);
}

// Files moving side by side often differ only in their names, and there mostly towards the end
// (numbers, extensions): the folder gives way first, then the name's start.
void SetElidedPath(QLabel* label, const QString& path) {
    const QFontMetrics metrics = label->fontMetrics();
    const int slash = path.lastIndexOf('/');
    const QString name = path.mid(slash + 1);
    const int room = label->width() - metrics.horizontalAdvance(name);
    label->setToolTip(path);
    if (slash < 0 || room < metrics.horizontalAdvance("…/") * 2) {
        label->setText(metrics.elidedText(name, Qt::ElideLeft, label->width()));
        return;
    }
    label->setText(metrics.elidedText(path.left(slash + 1), Qt::ElideMiddle, room) + name);
}

}  // namespace

TranProg::TranProg(job::TransferJob& job, std::int32_t* transferStatus, QWidget* parent,
                   ConnectorFactory makeClient)
    : QDialog(parent), job_(job), transferStatus_(transferStatus) {
    setObjectName("TranProg");
    setWindowTitle("Brindle FTP - Transfer Progress");
    client_ = makeClient ? makeClient() : engine::MakeConnector();

    status_ = new QLabel(this);
    status_->setObjectName("statusText");
    // Elided, never wrapped: a long path would push the rows below it about.
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    bytes_ = new QLabel(this);
    bytes_->setObjectName("byteLine");
    bytes_->setAlignment(Qt::AlignCenter);
    timeLeft_ = new QLabel(this);
    timeLeft_->setObjectName("timeLeftLine");
    timeLeft_->setAlignment(Qt::AlignCenter);
    bar_ = new QProgressBar(this);
    bar_->setObjectName("progressBar");
    bar_->setRange(0, 100);
    // Hidden but still taking its room, so the dialog does not jump when a total is known.
    QSizePolicy keep = bar_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    bar_->setSizePolicy(keep);
    fileGrid_ = new QGridLayout;
    fileGrid_->setColumnStretch(0, 1);
    const int rows = std::clamp(job_.connections, 1, job::kMaxConnections);
    for (int i = 0; i < rows; ++i) {
        FileRow row{new QLabel(this), new QLabel(this), new QProgressBar(this)};
        row.name->setObjectName(QString("movingName%1").arg(i));
        row.name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        row.bytes->setObjectName(QString("movingBytes%1").arg(i));
        row.bytes->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        row.bytes->setMinimumWidth(fontMetrics().horizontalAdvance("999.99 MB of 999.99 MB"));
        row.bar->setObjectName(QString("movingBar%1").arg(i));
        row.bar->setRange(0, 1000);
        row.bar->setTextVisible(false);
        row.bar->setFixedWidth(fontMetrics().averageCharWidth() * 12);
        row.bar->setMaximumHeight(fontMetrics().height());
        for (QWidget* part : {static_cast<QWidget*>(row.name), static_cast<QWidget*>(row.bytes),
                              static_cast<QWidget*>(row.bar)}) {
            QSizePolicy keep = part->sizePolicy();
            keep.setRetainSizeWhenHidden(i == 0);
            part->setSizePolicy(keep);
            part->hide();
        }
        fileGrid_->addWidget(row.name, i, 0);
        fileGrid_->addWidget(row.bytes, i, 1);
        fileGrid_->addWidget(row.bar, i, 2);
        fileRows_.push_back(row);
    }
    toggle_ = new QPushButton(">>>", this);
    toggle_->setObjectName("toggleLog");
    toggle_->setAutoDefault(false);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setObjectName("cancelButton");
    cancel_->setAutoDefault(false);
    log_ = new QPlainTextEdit(this);
    log_->setObjectName("logText");
    log_->setReadOnly(true);
    // Wrapped: a pane scrolled sideways to a long line's end hides the start of every line.
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log_->setMaximumBlockCount(kLogPaneLines);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(toggle_);
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status_);
    layout->addLayout(fileGrid_);
    layout->addWidget(bytes_);
    layout->addWidget(timeLeft_);
    layout->addWidget(bar_);
    layout->addLayout(buttons);
    layout->addWidget(log_, 1);
    layout->setSizeConstraint(QLayout::SetDefaultConstraint);
    setMinimumWidth(fontMetrics().averageCharWidth() * 100);

    connect(toggle_, &QPushButton::clicked, this, &TranProg::ToggleLogPane);
    connect(cancel_, &QPushButton::clicked, this, &TranProg::reject);

    if (transferStatus_) *transferStatus_ = 1;
    bar_->hide();
    barShown_ = false;
    worker_ = std::make_unique<progress::TransferWorker>(job_, *client_);
    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TranProg::Tick);
    // Shown as the user left it last time; closed for a first run.
    logExpanded_ = !prefs::OpenUserKey()->value(kShowLogKey, false).toBool();
    ToggleLogPane();
}

TranProg::~TranProg() {
    // The worker holds the job and the client; never leave it running.
    if (worker_) {
        worker_->RequestCancel();
        worker_->Join();
    }
}

int TranProg::exec() {
    worker_->Start();
    timer_->start();
    return QDialog::exec();
}

void TranProg::ToggleLogPane() {
    logExpanded_ = !logExpanded_;
    toggle_->setText(logExpanded_ ? "<<<" : ">>>");
    log_->setVisible(logExpanded_);
    if (sender() == toggle_) prefs::OpenUserKey()->setValue(kShowLogKey, logExpanded_);
    adjustSize();
    if (!logExpanded_) {
        resize(width(), minimumSizeHint().height());
    } else {
        resize(width(), qMax(height(), sizeHint().height() + fontMetrics().lineSpacing() * 8));
    }
}

void TranProg::SetMainTitle(const QString& title) {
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (owner) owner->setWindowTitle(title);
}

void TranProg::Tick() {
    if (ended_) return;
    const progress::ProgressState state = worker_->Snapshot();
    if (state.finished) {
        Finish();
        return;
    }
    const bool getMode = job_.getMode == 1;
    const progress::ProgressView view =
        progress::ComputeView(state, getMode, std::chrono::steady_clock::now());
    if (state.totalBytes > 0 && !barShown_) {
        bar_->show();
        barShown_ = true;
    }
    if (barShown_) {
        bar_->setValue(view.percent);
        SetMainTitle(QString::asprintf("BXFR: %i%%", view.percent));
        setWindowTitle(QString::asprintf("Brindle FTP - Transfer Progress %i%%", view.percent));
    }
    bytes_->setText(QString::fromStdString(progress::ByteLine(state, getMode, view.speedText)));
    if (cancelling_) {
        timeLeft_->clear();
    } else {
        timeLeft_->setText(QString::fromStdString(view.timeLeftLine));
        // While files move, the rows name them; the last message may name one long done.
        const QString doing = state.moving.empty()       ? QString::fromStdString(state.lastMessage)
                              : state.moving.size() == 1 ? (getMode ? tr("Receiving:") : tr("Sending:"))
                                                         : (getMode ? tr("Receiving %1 files at once:")
                                                                    : tr("Sending %1 files at once:"))
                                                               .arg(state.moving.size());
        SetElided(status_, doing);
    }
    ShowMovingFiles(state);
    AppendNewLog();
}

void TranProg::ShowMovingFiles(const progress::ProgressState& state) {
    for (std::size_t i = 0; i < fileRows_.size(); ++i) {
        const FileRow& row = fileRows_[i];
        const bool used = i < state.moving.size();
        row.name->setVisible(used);
        row.bytes->setVisible(used);
        row.bar->setVisible(used);
        if (!used) continue;
        const job::MovingFile& file = state.moving[i];
        SetElidedPath(row.name, QString::fromStdString(file.name));
        row.bytes->setText(QString::fromStdString(progress::MovingFileBytes(file)));
        row.bar->setValue(file.size == 0 ? 0
                                         : static_cast<int>(std::min<std::uint64_t>(
                                               1000, file.doneBytes * 1000 / file.size)));
    }
}

void TranProg::AppendNewLog() {
    const std::string added = worker_->TakeLogText();
    if (added.empty()) return;
    QString text = QString::fromStdString(added);
    text.replace("\r\n", "\n");
    // The pane starts a line of its own for each append; the last line end is that one.
    if (text.endsWith('\n')) text.chop(1);
    // The pane takes the text within one refresh of its message: its time to the second.
    const QString stamp = QTime::currentTime().toString("hh:mm:ss ");
    text = stamp + text.replace('\n', "\n" + stamp);
    log_->appendPlainText(text);
    log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void TranProg::Finish() {
    ended_ = true;
    timer_->stop();
    SetMainTitle("Brindle FTP Wizard");
    worker_->Join();
    const progress::ProgressState state = worker_->Snapshot();
    AppendNewLog();
    const bool ignoreErrors = job_.ignoreErrors != 0;
    untrusted_ = state.untrustedCertificate;
    // The trust question takes the place of the error box.
    if (!untrusted_ && progress::ShowsErrorBox(state, ignoreErrors)) {
        if (!isActiveWindow()) QApplication::alert(this);
        ShowError(state);
    }
    if (transferStatus_)
        *transferStatus_ = static_cast<std::int32_t>(progress::OutcomeOf(state, ignoreErrors));
    QDialog::done(QDialog::Accepted);
}

// The sentence says what failed and what to do; the code and the server's words are a click away.
void TranProg::ShowError(const progress::ProgressState& state) {
    QMessageBox box(QMessageBox::Critical, "Brindle FTP", QString::fromStdString(state.failure),
                    QMessageBox::Ok, this);
    box.setDetailedText(QString::fromStdString(progress::ErrorDetails(state)));
    box.exec();
}

void TranProg::reject() {
    // Cancel, Esc and the close box only ask; the dialog ends once the worker has stopped.
    if (ended_ || cancelling_) return;
    worker_->RequestCancel();
    cancelling_ = true;
    cancel_->setEnabled(false);
    cancel_->setText(tr("Cancelling…"));
    status_->setText(tr("Cancelling…"));
    timeLeft_->clear();
}

void TranProg::done(int result) {
    if (!ended_) return;
    QDialog::done(result);
}

void TranProg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void RunTransferProgress(job::TransferJob& job, std::int32_t* transferStatus, QWidget* parent,
                         ConnectorFactory makeClient, TrustQuestion askToTrust) {
    if (!askToTrust) {
        askToTrust = [parent](const engine::ServerCertificate& certificate, const std::string& server) {
            return AskToTrust(certificate, QString::fromStdString(server), parent);
        };
    }
    for (;;) {
        std::optional<engine::ServerCertificate> refused;
        {
            TranProg dialog(job, transferStatus, parent, makeClient);
            dialog.exec();
            refused = dialog.UntrustedCertificate();
        }
        if (!refused || !askToTrust(*refused, job.server)) return;
        job.fingerprint = refused->fingerprint;
    }
}

}  // namespace bxfr::dialogs
