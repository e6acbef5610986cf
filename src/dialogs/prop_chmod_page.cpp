// The advanced settings' Permissions (chmod) tab: the list of permission rules and its buttons.

#include "dialogs/prop_chmod_page.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "dialogs/prop_chmod_dialog.h"

namespace bxfr::dialogs {

PropChmod::PropChmod(job::TransferJob* job, QWidget* parent) : QWidget(parent), m_pJob(job) {
    setObjectName("PropChmod");
    list_ = new QTreeWidget(this);
    list_->setObjectName("chmodList");
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSortingEnabled(false);
    list_->setHeaderLabels({tr("Filespec"), tr("chmod"), tr("Permissions")});
    list_->header()->setSectionsClickable(false);
    list_->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    list_->headerItem()->setTextAlignment(2, Qt::AlignCenter);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(std::max(fixed.pointSize(), 9));
    list_->setFont(fixed);
    const int ch = list_->fontMetrics().averageCharWidth();
    list_->setColumnWidth(0, std::max(80, ch * 12));
    list_->setColumnWidth(1, std::max(55, ch * 7));
    list_->setColumnWidth(2, std::max(103, ch * 13));

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
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    connect(list_, &QTreeWidget::itemSelectionChanged, this, &PropChmod::UpdateButtons);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (m_nSelectedCount == 1) Edit();
    });
    connect(add_, &QPushButton::clicked, this, &PropChmod::Add);
    connect(edit_, &QPushButton::clicked, this, &PropChmod::Edit);
    connect(remove_, &QPushButton::clicked, this, &PropChmod::Remove);
}

void PropChmod::Activate() {
    FillList();
    UpdateButtons();
}

void PropChmod::FillList() {
    QSignalBlocker quiet(list_);
    list_->clear();
    std::vector<const job::tagBXFR_CHMOD*> rules;
    for (const auto& rule : m_pJob->chmodRules) rules.push_back(&rule);
    // Byte order, case-sensitive, as the patterns are stored.
    std::stable_sort(rules.begin(), rules.end(),
                     [](const auto* a, const auto* b) { return a->extension < b->extension; });
    for (const auto* rule : rules) {
        auto* row = new QTreeWidgetItem(list_);
        row->setText(0, QString::fromStdString(rule->extension));
        row->setText(1, QString::number(rule->permissions));
        row->setText(2, QString::fromStdString(PermissionString(rule->permissions)));
        row->setTextAlignment(1, Qt::AlignCenter);
        row->setTextAlignment(2, Qt::AlignCenter);
    }
}

void PropChmod::UpdateButtons() {
    int count = 0;
    for (int row = 0; row < list_->topLevelItemCount() && count <= 1; ++row) {
        if (list_->topLevelItem(row)->isSelected()) ++count;
    }
    m_nSelectedCount = count;
    edit_->setEnabled(count == 1);
    remove_->setEnabled(count >= 1);
}

std::list<job::tagBXFR_CHMOD>::iterator PropChmod::FindRule(int row) {
    const auto* item = list_->topLevelItem(row);
    const std::string extension = item->text(0).toStdString();
    const std::int32_t permissions = LeadingNumber(item->text(1));
    return std::find_if(m_pJob->chmodRules.begin(), m_pJob->chmodRules.end(),
                        [&](const job::tagBXFR_CHMOD& r) {
                            return r.extension == extension && r.permissions == permissions;
                        });
}

void PropChmod::Add() {
    AddChmod dialog(this);
    dialog.m_strExtension.clear();
    dialog.m_nPermissions = 300;
    if (dialog.exec() == QDialog::Accepted) {
        m_pJob->chmodRules.push_back({dialog.m_strExtension.toStdString(), dialog.m_nPermissions});
        FillList();
    } else {
        list_->clearSelection();
    }
    UpdateButtons();
}

void PropChmod::Edit() {
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        if (!list_->topLevelItem(row)->isSelected()) continue;
        auto rule = FindRule(row);
        if (rule == m_pJob->chmodRules.end()) continue;
        AddChmod dialog(this);
        dialog.m_strExtension = QString::fromStdString(rule->extension);
        dialog.m_nPermissions = rule->permissions;
        if (dialog.exec() == QDialog::Accepted) {
            rule->extension = dialog.m_strExtension.toStdString();
            rule->permissions = dialog.m_nPermissions;
        }
    }
    FillList();
    UpdateButtons();
}

void PropChmod::Remove() {
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        if (!list_->topLevelItem(row)->isSelected()) continue;
        auto rule = FindRule(row);
        if (rule != m_pJob->chmodRules.end()) m_pJob->chmodRules.erase(rule);
    }
    FillList();
    UpdateButtons();
}

}  // namespace bxfr::dialogs
