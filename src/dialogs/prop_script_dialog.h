#pragma once

// The dialog for one script command: the raw FTP command and when it runs.

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace bxfr::dialogs {

// Type box entry of a script code ("Conn" -> "Run on connect (Conn)"); empty for an unknown code.
QString ScriptTypeText(const QString& code);

// "Brindle FTP - Script Command": one raw FTP command and when it runs.
class AddScript : public QDialog {
    Q_OBJECT
public:
    explicit AddScript(QWidget* parent = nullptr);

    // Set before exec(); m_strType, m_strCommand, m_bExpectResponse and m_nId are read after Accepted.
    QString m_strType;
    QString m_strCommand;
    int m_bExpectResponse = 0;
    int m_nId = 0;
    int m_bTypeEditable = 1;

    int exec() override;
    void accept() override;

private:
    void ShowProblem();

    QComboBox* type_;
    QLineEdit* command_;
    QLabel* problem_;
    QCheckBox* expect_;
    QPushButton* ok_;
};

}  // namespace bxfr::dialogs
