#pragma once

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

namespace bxfr::test {

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

}  // namespace bxfr::test
