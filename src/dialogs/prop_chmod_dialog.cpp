// The dialog for one permission rule: the chmod number and its nine boxes kept in step, and the
// checks before OK.

#include "dialogs/prop_chmod_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace bxfr::dialogs {
namespace {

// Weight of each box, in the order user r w x, group r w x, world r w x.
constexpr std::array<std::uint32_t, 9> kWeights = {400, 200, 100, 40, 20, 10, 4, 2, 1};

}  // namespace

std::string PermissionString(std::int32_t permissions) {
    std::string text = "---------";
    auto n = static_cast<std::uint32_t>(permissions);
    static const char letters[] = "rwxrwxrwx";
    for (std::size_t i = 0; i + 1 < kWeights.size(); ++i) {
        if (n >= kWeights[i]) {
            text[i] = letters[i];
            n -= kWeights[i];
        }
    }
    if (n != 0) text[8] = 'x';
    return text;
}

std::int32_t LeadingNumber(const QString& text) {
    int i = 0;
    while (i < text.size() && text[i].isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min<long long>(value * 10 + (text[i].unicode() - '0'), 0x7fffffffLL);
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

AddChmod::AddChmod(QWidget* parent) : QDialog(parent) {
    setObjectName("AddChmod");
    setWindowTitle(tr("Brindle FTP - Permissions (chmod)"));

    extension_ = new QLineEdit(this);
    extension_->setObjectName("extensionEdit");
    number_ = new QLineEdit(this);
    number_->setObjectName("numberEdit");
    number_->setMaxLength(4);
    const int ch = number_->fontMetrics().averageCharWidth();
    extension_->setMinimumWidth(ch * 28);
    number_->setFixedWidth(ch * 8);
    problem_ = new QLabel(this);
    problem_->setObjectName("numberProblem");
    problem_->setStyleSheet("color: #b00020;");
    problem_->setWordWrap(true);

    auto* fields = new QFormLayout;
    auto* extensionLabel = new QLabel(tr("Extension - i.e. *.html, *.jpg:"), this);
    extensionLabel->setBuddy(extension_);
    auto* numberLabel = new QLabel(tr("Permissions (chmod):"), this);
    numberLabel->setBuddy(number_);
    fields->addRow(extensionLabel, extension_);
    auto* numberRow = new QHBoxLayout;
    numberRow->addWidget(number_);
    numberRow->addWidget(problem_, 1);
    fields->addRow(numberLabel, numberRow);

    auto* frame = new QGroupBox(this);
    auto* grid = new QGridLayout(frame);
    const char* who[] = {"user", "group", "world"};
    const char* what[] = {"r", "w", "x"};
    for (int g = 0; g < 3; ++g) {
        auto* head = new QLabel(tr(who[g]), frame);
        head->setAlignment(Qt::AlignCenter);
        grid->addWidget(head, 0, g * 3, 1, 3);
        for (int p = 0; p < 3; ++p) {
            const int index = g * 3 + p;
            auto* letter = new QLabel(what[p], frame);
            letter->setAlignment(Qt::AlignCenter);
            grid->addWidget(letter, 1, index);
            boxes_[index] = new QCheckBox(frame);
            boxes_[index]->setObjectName(QString("box%1").arg(index));
            boxes_[index]->setAccessibleName(QString("%1 %2").arg(who[g], what[p]));
            grid->addWidget(boxes_[index], 2, index, Qt::AlignCenter);
            connect(boxes_[index], &QCheckBox::clicked, this, &AddChmod::UpdateNumberFromBoxes);
        }
    }

    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &AddChmod::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &AddChmod::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(frame);
    layout->addWidget(buttons);

    connect(number_, &QLineEdit::textEdited, this, [this](const QString& text) {
        m_strPermissions = text;
        UpdateBoxesFromNumber();
        ShowBoxes();
        ShowProblem();
    });
}

int AddChmod::exec() {
    extension_->setText(m_strExtension);
    m_strPermissions = QString::asprintf("%03i", m_nPermissions);
    UpdateBoxesFromNumber();
    number_->setText(m_strPermissions);
    ShowBoxes();
    ShowProblem();
    extension_->setFocus();
    return QDialog::exec();
}

void AddChmod::accept() {
    // A digit above 7 would spread over the lower boxes and send the server a mode nobody typed.
    if (!NumberProblem().isEmpty()) {
        ShowProblem();
        number_->setFocus();
        return;
    }
    m_strExtension = extension_->text();
    QDialog::accept();
}

QString AddChmod::NumberProblem() const {
    const QString text = number_->text().trimmed();
    if (text.isEmpty()) return tr("Enter a chmod number such as 644.");
    for (const QChar c : text) {
        if (c < '0' || c > '9') return tr("Use digits only, such as 644.");
        if (c > '7') return tr("Each digit must be 0 to 7.");
    }
    if (LeadingNumber(text) > 777) return tr("Use three digits: user, group, world.");
    return {};
}

void AddChmod::UpdateBoxesFromNumber() {
    m_nPermissions = LeadingNumber(m_strPermissions);
    auto n = static_cast<std::uint32_t>(m_nPermissions);
    for (std::size_t i = 0; i + 1 < kWeights.size(); ++i) {
        boxStates_[i] = n >= kWeights[i] ? 1 : 0;
        if (boxStates_[i]) n -= kWeights[i];
    }
    boxStates_[8] = n != 0 ? 1 : 0;
}

void AddChmod::UpdateNumberFromBoxes() {
    int sum = 0;
    for (std::size_t i = 0; i < boxes_.size(); ++i) {
        boxStates_[i] = boxes_[i]->isChecked() ? 1 : 0;
        if (boxStates_[i]) sum += static_cast<int>(kWeights[i]);
    }
    m_nPermissions = sum;
    m_strPermissions = QString::asprintf("%03i", sum);
    number_->setText(m_strPermissions);
    ShowProblem();
}

void AddChmod::ShowBoxes() {
    for (std::size_t i = 0; i < boxes_.size(); ++i) boxes_[i]->setChecked(boxStates_[i] != 0);
}

void AddChmod::ShowProblem() {
    const QString problem = NumberProblem();
    problem_->setText(problem);
    ok_->setEnabled(problem.isEmpty());
}

}  // namespace bxfr::dialogs
