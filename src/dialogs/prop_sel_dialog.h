#pragma once

// The dialog for one extension pattern of the file selection.

#include <QDialog>
#include <QString>

class QLineEdit;

namespace bxfr::dialogs {

// "Brindle FTP - Extension": one extension pattern; any text, the empty one included.
class AddSel : public QDialog {
    Q_OBJECT
public:
    explicit AddSel(QWidget* parent = nullptr);

    // Set before exec(), read after Accepted.
    QString m_strExtension;

    int exec() override;
    void accept() override;

private:
    QLineEdit* edit_;
};

}  // namespace bxfr::dialogs
