#pragma once

// The dialog for one permission rule: an extension and its chmod number, with the nine boxes to
// match, and the permission text of a number.

#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace bxfr::dialogs {

// "rwxr-xr-x" for 755: the decimal digits of the number read as user, group and world.
std::string PermissionString(std::int32_t permissions);

// Leading decimal number of a text as atoi reads it; 0 when it does not start with one.
std::int32_t LeadingNumber(const QString& text);

// "Brindle FTP - Permissions (chmod)": the chmod number and nine check boxes kept in step.
class AddChmod : public QDialog {
    Q_OBJECT
public:
    explicit AddChmod(QWidget* parent = nullptr);

    // Set before exec(); read back after Accepted.
    QString m_strExtension;
    int m_nPermissions = 0;

    int exec() override;
    void accept() override;

    // Empty when the number field holds a usable chmod number, else what is wrong with it.
    QString NumberProblem() const;

private:
    void UpdateBoxesFromNumber();
    void UpdateNumberFromBoxes();
    void ShowBoxes();
    void ShowProblem();

    QString m_strPermissions;
    std::array<int, 9> boxStates_{};

    QLineEdit* extension_;
    QLineEdit* number_;
    QLabel* problem_;
    std::array<QCheckBox*, 9> boxes_{};
    QPushButton* ok_;
};

}  // namespace bxfr::dialogs
