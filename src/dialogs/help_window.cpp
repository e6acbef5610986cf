// The built-in help: topic pages from the program's resources, and the one help window.

#include "dialogs/help_window.h"

#include <QDialog>
#include <QFile>
#include <QPointer>
#include <QTextBrowser>
#include <QVBoxLayout>

// The resource of a static library has to be pulled in by name, from the global namespace.
static void InitHelpResources() { Q_INIT_RESOURCE(help); }

namespace bxfr::dialogs {

namespace {

class HelpWindow : public QDialog {
public:
    explicit HelpWindow(QWidget* parent) : QDialog(parent) {
        setObjectName("HelpWindow");
        setWindowTitle("Brindle FTP Wizard Help");
        setAttribute(Qt::WA_DeleteOnClose);
        browser_ = new QTextBrowser(this);
        browser_->setObjectName("helpText");
        browser_->setOpenExternalLinks(true);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(browser_);
        resize(420, 360);
    }

    void Show(const QString& topic) {
        QString html = HelpTopicHtml(topic);
        if (html.isEmpty()) html = "<p>There is no help for this page.</p>";
        browser_->setHtml(html);
        show();
        raise();
        activateWindow();
    }

private:
    QTextBrowser* browser_;
};

QPointer<HelpWindow> openWindow;

}  // namespace

QString HelpTopicHtml(const QString& topic) {
    InitHelpResources();
    if (topic.isEmpty() || topic.contains('/')) return {};
    QFile file(":/help/" + topic);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

void ShowHelpTopic(QWidget* parent, const QString& topic) {
    if (!openWindow) openWindow = new HelpWindow(parent ? parent->window() : nullptr);
    openWindow->Show(topic);
}

}  // namespace bxfr::dialogs
