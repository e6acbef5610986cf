// The dialog for one script command: its type and command text, and the checks before OK.

#include "dialogs/prop_script_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace bxfr::dialogs {
namespace {

struct ScriptType {
    const char* code;
    const char* text;
};

constexpr ScriptType kTypes[] = {
    {"Conn", "Run on connect (Conn)"},
    {"Tran", "Run for each file (Tran)"},
    {"Disc", "Run before disconnect (Disc)"},
};

}  // namespace

QString ScriptTypeText(const QString& code) {
    for (const auto& type : kTypes) {
        if (code == type.code) return type.text;
    }
    return {};
}

AddScript::AddScript(QWidget* parent) : QDialog(parent) {
    setObjectName("AddScript");
    setWindowTitle(tr("Brindle FTP - Script Command"));
    type_ = new QComboBox(this);
    type_->setObjectName("typeBox");
    type_->setEditable(true);
    type_->setInsertPolicy(QComboBox::NoInsert);
    command_ = new QLineEdit(this);
    command_->setObjectName("commandEdit");
    command_->setMinimumWidth(command_->fontMetrics().averageCharWidth() * 40);
    problem_ = new QLabel(this);
    problem_->setObjectName("commandProblem");
    problem_->setStyleSheet("color: #b00020;");
    expect_ = new QCheckBox(tr("&Expect response from server"), this);
    expect_->setObjectName("expectBox");

    auto* typeLabel = new QLabel(tr("Type:"), this);
    typeLabel->setBuddy(type_);
    auto* commandLabel = new QLabel(tr("Command:"), this);
    commandLabel->setBuddy(command_);
    auto* fields = new QFormLayout;
    fields->addRow(typeLabel, type_);
    fields->addRow(commandLabel, command_);
    fields->addRow(QString(), problem_);
    fields->addRow(QString(), expect_);

    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &AddScript::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &AddScript::reject);
    connect(command_, &QLineEdit::textChanged, this, &AddScript::ShowProblem);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(buttons);
}

int AddScript::exec() {
    type_->clear();
    for (const auto& type : kTypes) type_->addItem(type.text, QString(type.code));
    type_->setCurrentIndex(-1);
    for (int i = 0; i < type_->count(); ++i) {
        if (m_strType == kTypes[i].code) type_->setCurrentIndex(i);
    }
    command_->setText(m_strCommand);
    expect_->setChecked(m_bExpectResponse != 0);
    type_->setEnabled(m_bTypeEditable != 0);
    ShowProblem();
    if (m_bTypeEditable && type_->currentIndex() < 0) {
        type_->setFocus();
    } else {
        command_->setFocus();
    }
    return QDialog::exec();
}

void AddScript::accept() {
    // A line break would end the command early and smuggle the rest in as a second one.
    if (command_->text().contains('\r') || command_->text().contains('\n')) return;
    const QString typed = type_->currentText();
    for (const auto& type : kTypes) {
        if (typed == type.text) m_strType = type.code;
    }
    m_strCommand = command_->text();
    m_bExpectResponse = expect_->isChecked() ? 1 : 0;
    QDialog::accept();
}

void AddScript::ShowProblem() {
    const bool broken = command_->text().contains('\r') || command_->text().contains('\n');
    problem_->setText(broken ? tr("A command must be a single line.") : QString());
    problem_->setVisible(broken);
    ok_->setEnabled(!broken);
}

}  // namespace bxfr::dialogs
