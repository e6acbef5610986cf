// The Transfer Progress dialog: the worker, the timed refresh, the log pane, and trusting a
// certificate between runs.

#include "dialogs/tran_prog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "dialogs/trust_dialog.h"
#include "engine/adapters/adapters.h"
#include "progress/progress_view.h"

namespace bxfr::dialogs {

namespace {

constexpr int kRefreshMs = 500;
// The pane keeps the latest lines only; the log file is the full record of a long run.
constexpr int kLogPaneLines = 20000;

}  // namespace

TranProg::TranProg(job::TransferJob& job, std::int32_t* transferStatus, QWidget* parent,
                   ConnectorFactory makeClient)
    : QDialog(parent), job_(job), transferStatus_(transferStatus) {
    setObjectName("TranProg");
    setWindowTitle("Brindle FTP - Transfer Progress");
    client_ = makeClient ? makeClient() : engine::MakeConnector();

    status_ = new QLabel(this);
    status_->setObjectName("statusText");
    status_->setWordWrap(true);
    status_->setMinimumHeight(status_->fontMetrics().lineSpacing() * 3);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
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
    toggle_ = new QPushButton(">>>", this);
    toggle_->setObjectName("toggleLog");
    toggle_->setAutoDefault(false);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setObjectName("cancelButton");
    cancel_->setAutoDefault(false);
    log_ = new QPlainTextEdit(this);
    log_->setObjectName("logText");
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_->setMaximumBlockCount(kLogPaneLines);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(toggle_);
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status_);
    layout->addWidget(bytes_);
    layout->addWidget(timeLeft_);
    layout->addWidget(bar_);
    layout->addLayout(buttons);
    layout->addWidget(log_, 1);
    layout->setSizeConstraint(QLayout::SetDefaultConstraint);
    setMinimumWidth(fontMetrics().averageCharWidth() * 70);

    connect(toggle_, &QPushButton::clicked, this, &TranProg::ToggleLogPane);
    connect(cancel_, &QPushButton::clicked, this, &TranProg::reject);

    if (transferStatus_) *transferStatus_ = 1;
    bar_->hide();
    barShown_ = false;
    worker_ = std::make_unique<progress::TransferWorker>(job_, *client_);
    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &TranProg::Tick);
    logExpanded_ = true;
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
    // Speed and time appear from the tick after the one that first showed the bar.
    std::string speedText;
    if (barShown_) {
        bar_->setValue(view.percent);
        SetMainTitle(QString::asprintf("BXFR: %i%%", view.percent));
        setWindowTitle(QString::asprintf("Brindle FTP - Transfer Progress %i%%", view.percent));
        speedText = view.speedText;
        if (!view.timeLeftLine.empty()) timeLeft_->setText(QString::fromStdString(view.timeLeftLine));
    } else if (state.totalBytes > 0) {
        bar_->show();
        barShown_ = true;
    }
    std::string byteLine = progress::ByteLine(state, getMode, speedText);
    if (const std::string moving = progress::FilesMovingText(state); !moving.empty()) {
        byteLine += ", " + moving;
    }
    bytes_->setText(QString::fromStdString(byteLine));
    status_->setText(QString::fromStdString(state.lastMessage));
    AppendNewLog();
}

void TranProg::AppendNewLog() {
    const std::string added = worker_->TakeLogText();
    if (added.empty()) return;
    QString text = QString::fromStdString(added);
    text.replace("\r\n", "\n");
    // The pane starts a line of its own for each append; the last line end is that one.
    if (text.endsWith('\n')) text.chop(1);
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
        QMessageBox::critical(this, "Brindle FTP", QString::fromStdString(progress::ErrorBoxText(state)));
    }
    if (transferStatus_)
        *transferStatus_ = static_cast<std::int32_t>(progress::OutcomeOf(state, ignoreErrors));
    QDialog::done(QDialog::Accepted);
}

void TranProg::reject() {
    // Cancel, Esc and the close box only ask; the dialog ends once the worker has stopped.
    if (ended_) return;
    worker_->RequestCancel();
    cancel_->setEnabled(false);
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
