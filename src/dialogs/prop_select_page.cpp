// The advanced settings' Select Files tab: the selection mode, the extension list and its buttons.

#include "dialogs/prop_select_page.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "dialogs/prop_sel_dialog.h"

namespace bxfr::dialogs {

PropSelect::PropSelect(job::TransferJob* job, QWidget* parent) : QWidget(parent), m_pJob(job) {
    setObjectName("PropSelect");
    all_ = new QRadioButton(tr("&Transfer all files"), this);
    exclude_ = new QRadioButton(tr("&Exclude files with the following extensions from transfer"), this);
    include_ = new QRadioButton(tr("&Include only files with the following extensions in transfer"), this);
    all_->setObjectName("allRadio");
    exclude_->setObjectName("excludeRadio");
    include_->setObjectName("includeRadio");
    list_ = new QListWidget(this);
    list_->setObjectName("extensionList");
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    add_ = new QPushButton(tr("&Add ..."), this);
    edit_ = new QPushButton(tr("&Edit ..."), this);
    remove_ = new QPushButton(tr("&Remove"), this);
    add_->setObjectName("addButton");
    edit_->setObjectName("editButton");
    remove_->setObjectName("removeButton");

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(add_);
    buttons->addWidget(edit_);
    buttons->addWidget(remove_);
    buttons->addStretch();
    auto* listRow = new QHBoxLayout;
    listRow->addWidget(list_, 1);
    listRow->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(all_);
    layout->addWidget(exclude_);
    layout->addWidget(include_);
    layout->addLayout(listRow, 1);

    connect(all_, &QRadioButton::clicked, this, [this] { ApplyMode(0); });
    connect(exclude_, &QRadioButton::clicked, this, [this] { ApplyMode(2); });
    connect(include_, &QRadioButton::clicked, this, [this] { ApplyMode(1); });
    connect(list_, &QListWidget::itemSelectionChanged, this, &PropSelect::UpdateButtons);
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] {
        if (m_nSelectedCount == 1) Edit();
    });
    connect(add_, &QPushButton::clicked, this, &PropSelect::Add);
    connect(edit_, &QPushButton::clicked, this, &PropSelect::Edit);
    connect(remove_, &QPushButton::clicked, this, &PropSelect::Remove);
}

void PropSelect::Activate() {
    const int mode = m_pJob->selectMode;
    ApplyMode(mode == 1 || mode == 2 ? mode : 0);
}

void PropSelect::ApplyMode(int mode) {
    all_->setChecked(mode == 0);
    exclude_->setChecked(mode == 2);
    include_->setChecked(mode == 1);
    m_pJob->SetSelectMode(mode);
    // The rules stay in the job while "all files" hides them.
    list_->clear();
    const bool listed = mode != 0;
    if (listed) FillList();
    list_->setEnabled(listed);
    add_->setEnabled(listed);
    edit_->setEnabled(false);
    remove_->setEnabled(false);
}

void PropSelect::FillList() {
    QSignalBlocker quiet(list_);
    list_->clear();
    std::vector<QString> texts;
    for (const auto& rule : m_pJob->selectRules) texts.push_back(QString::fromStdString(rule.extension));
    std::stable_sort(texts.begin(), texts.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    for (const auto& text : texts) list_->addItem(text);
}

void PropSelect::UpdateButtons() {
    int count = 0;
    for (int row = 0; row < list_->count() && count <= 1; ++row) {
        if (list_->item(row)->isSelected()) ++count;
    }
    m_nSelectedCount = count;
    edit_->setEnabled(count == 1);
    remove_->setEnabled(count >= 1);
}

QStringList PropSelect::SelectedTexts() const {
    QStringList texts;
    for (int row = 0; row < list_->count(); ++row) {
        if (list_->item(row)->isSelected()) texts << list_->item(row)->text();
    }
    return texts;
}

void PropSelect::Add() {
    AddSel dialog(this);
    dialog.m_strExtension.clear();
    if (dialog.exec() != QDialog::Accepted) return;
    m_pJob->AddSelectRule(dialog.m_strExtension.toStdString());
    FillList();
}

void PropSelect::Edit() {
    for (const auto& text : SelectedTexts()) {
        const std::string wanted = text.toStdString();
        auto rule = std::find_if(m_pJob->selectRules.begin(), m_pJob->selectRules.end(),
                                 [&](const job::tagBXFR_SEL& r) { return r.extension == wanted; });
        if (rule == m_pJob->selectRules.end()) continue;
        AddSel dialog(this);
        dialog.m_strExtension = text;
        if (dialog.exec() == QDialog::Accepted) rule->extension = dialog.m_strExtension.toStdString();
    }
    FillList();
    UpdateButtons();
}

void PropSelect::Remove() {
    for (const auto& text : SelectedTexts()) {
        const std::string wanted = text.toStdString();
        auto rule = std::find_if(m_pJob->selectRules.begin(), m_pJob->selectRules.end(),
                                 [&](const job::tagBXFR_SEL& r) { return r.extension == wanted; });
        if (rule != m_pJob->selectRules.end()) m_pJob->selectRules.erase(rule);
    }
    FillList();
}

}  // namespace bxfr::dialogs
