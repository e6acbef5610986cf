#pragma once

// Set-up shared by the Qt tests: header-only, since bxfr_test_support does not link Qt.

#include <QtWidgets>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "job/transfer_job.h"
#include "support/ftp_test_server.h"

namespace bxfr::test {

// The named child; a renamed widget stops the test at once instead of crashing it later.
template <typename T>
T* Child(QObject* parent, const char* name) {
    auto* child = parent->findChild<T*>(name);
    if (!child) qFatal("no child %s", name);
    return child;
}

// Answers the next modal dialog of type Dialog as soon as it is up: `answer` fills it and
// accepts or rejects it. When none shows within the bound, whatever modal is up is rejected
// so that the test fails instead of hanging.
template <typename Dialog>
void WhenModal(std::function<void(Dialog*)> answer, int boundMs = 5000) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, answer, boundMs] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            QPointer<Dialog> guard(dialog);
            answer(dialog);
            // A failed check inside `answer` returns early; never leave the dialog hanging.
            if (guard && guard->isVisible() && QApplication::activeModalWidget() == guard) guard->reject();
            return;
        }
        if (clock->elapsed() > boundMs) {
            timer->stop();
            timer->deleteLater();
            if (auto* other = qobject_cast<QDialog*>(QApplication::activeModalWidget())) other->reject();
        }
    });
    timer->start();
}

// Answers the next message box with `button` and keeps its text.
inline std::shared_ptr<QString> AnswerBox(QMessageBox::StandardButton button) {
    auto text = std::make_shared<QString>();
    WhenModal<QMessageBox>([text, button](QMessageBox* box) {
        *text = box->text();
        box->button(button)->click();
    });
    return text;
}

// While it lives, keeps the text of every message box (and " | " its details) and closes it,
// so that a run that fails cannot hang; `other` sees any other modal widget.
class BoxWatcher {
public:
    explicit BoxWatcher(std::function<void(QWidget*)> other = {}) {
        QObject::connect(&timer_, &QTimer::timeout, [this, other] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                texts << box->text() + (box->detailedText().isEmpty() ? "" : " | " + box->detailedText());
                box->reject();
            } else if (modal && other) {
                other(modal);
            }
        });
        timer_.start(10);
    }
    QStringList texts;

private:
    QTimer timer_;
};

// A binary, passive send of `local` to `remote` on the test server.
inline job::TransferJob SendJob(const FtpTestServer& server, const std::filesystem::path& local,
                                const std::string& remote) {
    job::TransferJob job;
    job.SetServer(server.host());
    job.SetPort(server.port());
    job.SetUserName(server.userName());
    job.SetPassword(server.password());
    job.passive = 1;
    job.transferType = 1;
    job.reportProgress = 1;
    job.SetLocalPath(local.string());
    job.SetRemotePath(remote);
    return job;
}

}  // namespace bxfr::test
