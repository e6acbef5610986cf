#pragma once

// The About box, with the list of the program's components and their versions.

#include <QDialog>
#include <QIcon>
#include <QString>

class QPlainTextEdit;
class QPushButton;

namespace bxfr::dialogs {

// "About Brindle FTP Wizard": name, version, notice, the maker's link, and on ">>>" the
// versions of the program and the components it runs on, for support to copy.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    void ToggleDetails();
    bool Expanded() const { return expanded_; }
    QString ComponentList() const;

private:
    QPushButton* toggle_;
    QPlainTextEdit* components_;
    bool expanded_ = true;
};

// The program's own icon, built into the program.
QIcon ProgramIcon();

// The component lines: "name (version)\r\n" each, then the OS line without a line end.
QString BuildComponentList();

}  // namespace bxfr::dialogs
