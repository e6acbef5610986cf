// Labels that act as web links: their look, and opening the text on a click.

#include "dialogs/hyperlink.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QUrl>

namespace bxfr::dialogs {

namespace {

// Opens the label's text on a left click; the label keeps no state of its own.
class LinkClickFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            auto* label = qobject_cast<QLabel*>(watched);
            if (label && mouse->button() == Qt::LeftButton) {
                const QString text = label->text();
                if (!text.isEmpty()) QDesktopServices::openUrl(QUrl::fromUserInput(text));
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

void MakeHyperlink(QLabel* label, const char* text) {
    if (!label) return;
    if (text) label->setText(QString::fromUtf8(text));
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setUnderline(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
    label->installEventFilter(new LinkClickFilter(label));
}

}  // namespace bxfr::dialogs
