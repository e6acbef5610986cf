// The advanced settings' Transfer Script tab: the command list, its buttons, and keeping the ids
// in order.

#include "dialogs/prop_script_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/prop_script_dialog.h"

namespace bxfr::dialogs {
namespace {

void Renumber(std::list<job::tagBXFR_SCRIPT>& script) {
    std::int32_t id = 1;
    for (auto& entry : script) entry.id = id++;
}

}  // namespace

PropScript::PropScript(job::TransferJob* job, QWidget* parent) : QWidget(parent), m_pJob(job) {
    setObjectName("PropScript");
    list_ = new QTreeWidget(this);
    list_->setObjectName("scriptList");
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSortingEnabled(false);
    list_->setHeaderLabels({tr("Type"), tr("#"), tr("Command"), tr("Resp")});
    list_->header()->setSectionsClickable(false);
    list_->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    list_->headerItem()->setTextAlignment(3, Qt::AlignCenter);
    const int ch = list_->fontMetrics().averageCharWidth();
    list_->setColumnWidth(0, std::max(40, ch * 6));
    list_->setColumnWidth(1, std::max(25, ch * 4));
    list_->setColumnWidth(2, std::max(135, ch * 22));
    list_->setColumnWidth(3, std::max(45, ch * 6));

    add_ = new QPushButton(tr("&Add ..."), this);
    edit_ = new QPushButton(tr("&Edit ..."), this);
    remove_ = new QPushButton(tr("&Remove"), this);
    up_ = new QPushButton(tr("&Up"), this);
    down_ = new QPushButton(tr("&Down"), this);
    add_->setObjectName("addButton");
    edit_->setObjectName("editButton");
    remove_->setObjectName("removeButton");
    up_->setObjectName("upButton");
    down_->setObjectName("downButton");

    auto* buttons = new QVBoxLayout;
    for (auto* button : {add_, edit_, remove_, up_, down_}) buttons->addWidget(button);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    connect(list_, &QTreeWidget::itemSelectionChanged, this, &PropScript::UpdateButtons);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (m_nSelectedCount == 1) Edit();
    });
    connect(add_, &QPushButton::clicked, this, &PropScript::Add);
    connect(edit_, &QPushButton::clicked, this, &PropScript::Edit);
    connect(remove_, &QPushButton::clicked, this, &PropScript::Remove);
    connect(up_, &QPushButton::clicked, this, [this] { MoveCommand(true); });
    connect(down_, &QPushButton::clicked, this, [this] { MoveCommand(false); });
}

void PropScript::Activate() {
    FillList();
    UpdateButtons();
}

std::list<job::tagBXFR_SCRIPT>* PropScript::ListOf(const QString& type) {
    if (type == "Conn") return &m_pJob->connScript;
    if (type == "Tran") return &m_pJob->tranScript;
    if (type == "Disc") return &m_pJob->discScript;
    return nullptr;
}

int PropScript::LastIdOf(const QString& type) const {
    if (type == "Conn") return m_nLastConnId;
    if (type == "Tran") return m_nLastTranId;
    if (type == "Disc") return m_nLastDiscId;
    return 0;
}

// The job's id counters follow the lists, so that the unsaved-changes check sees an edit
// and a command added later by the loader continues the numbering.
void PropScript::KeepCounters() {
    m_pJob->nextConnScriptId = static_cast<std::int32_t>(m_pJob->connScript.size()) + 1;
    m_pJob->nextTranScriptId = static_cast<std::int32_t>(m_pJob->tranScript.size()) + 1;
    m_pJob->nextDiscScriptId = static_cast<std::int32_t>(m_pJob->discScript.size()) + 1;
}

void PropScript::FillList() {
    QSignalBlocker quiet(list_);
    list_->clear();
    auto fill = [this](const std::list<job::tagBXFR_SCRIPT>& script, int& lastId) {
        lastId = 0;  // no commands of this type
        for (const auto& entry : script) {
            auto* row = new QTreeWidgetItem(list_);
            row->setText(0, QString::fromStdString(entry.type));
            row->setText(1, QString::number(entry.id));
            row->setText(2, QString::fromStdString(entry.command));
            row->setText(3, entry.expectResponse == 1 ? "Y" : "N");
            row->setTextAlignment(1, Qt::AlignCenter);
            row->setTextAlignment(3, Qt::AlignCenter);
            lastId = entry.id;
        }
    };
    // Filled in execution order with ascending ids, which is already the display order.
    fill(m_pJob->connScript, m_nLastConnId);
    fill(m_pJob->tranScript, m_nLastTranId);
    fill(m_pJob->discScript, m_nLastDiscId);
}

void PropScript::UpdateButtons() {
    m_strSelectedType.clear();
    int count = 0;
    QTreeWidgetItem* single = nullptr;
    for (int row = 0; row < list_->topLevelItemCount() && count <= 1; ++row) {
        if (list_->topLevelItem(row)->isSelected()) {
            ++count;
            single = list_->topLevelItem(row);
        }
    }
    m_nSelectedCount = count;
    remove_->setEnabled(count >= 1);
    edit_->setEnabled(count == 1);
    if (count != 1) {
        up_->setEnabled(false);
        down_->setEnabled(false);
        return;
    }
    m_strSelectedType = single->text(0);
    const int n = single->text(1).toInt();
    up_->setEnabled(n >= 2);
    down_->setEnabled(n < LastIdOf(m_strSelectedType));
}

void PropScript::Add() {
    AddScript dialog(this);
    dialog.m_strType = m_strSelectedType;
    dialog.m_strCommand.clear();
    dialog.m_bExpectResponse = 0;
    dialog.m_bTypeEditable = 1;
    if (dialog.exec() == QDialog::Accepted) {
        if (auto* script = ListOf(dialog.m_strType)) {
            const int lastId = script->empty() ? 0 : LastIdOf(dialog.m_strType);
            script->push_back({dialog.m_strType.toStdString(), dialog.m_strCommand.toStdString(),
                               dialog.m_bExpectResponse, lastId + 1});
            KeepCounters();
        }
        FillList();
    } else {
        list_->clearSelection();
    }
    UpdateButtons();
}

void PropScript::Edit() {
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const auto* item = list_->topLevelItem(row);
        if (!item->isSelected()) continue;
        auto* script = ListOf(item->text(0));
        if (!script) continue;
        const int id = item->text(1).toInt();
        auto entry = std::find_if(script->begin(), script->end(),
                                  [id](const job::tagBXFR_SCRIPT& e) { return e.id == id; });
        if (entry == script->end()) continue;
        AddScript dialog(this);
        dialog.m_strType = QString::fromStdString(entry->type);
        dialog.m_strCommand = QString::fromStdString(entry->command);
        dialog.m_bExpectResponse = entry->expectResponse;
        dialog.m_nId = entry->id;
        dialog.m_bTypeEditable = 0;
        if (dialog.exec() == QDialog::Accepted) {
            entry->expectResponse = dialog.m_bExpectResponse;
            entry->command = dialog.m_strCommand.toStdString();
            entry->type = dialog.m_strType.toStdString();
            entry->id = dialog.m_nId;
        }
    }
    FillList();
    UpdateButtons();
}

void PropScript::Remove() {
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const auto* item = list_->topLevelItem(row);
        if (!item->isSelected()) continue;
        auto* script = ListOf(item->text(0));
        if (!script) continue;
        const int id = item->text(1).toInt();
        auto entry = std::find_if(script->begin(), script->end(),
                                  [id](const job::tagBXFR_SCRIPT& e) { return e.id == id; });
        if (entry != script->end()) script->erase(entry);
    }
    Renumber(m_pJob->connScript);
    Renumber(m_pJob->tranScript);
    Renumber(m_pJob->discScript);
    KeepCounters();
    FillList();
    UpdateButtons();
}

void PropScript::MoveCommand(bool up) {
    QTreeWidgetItem* selected = nullptr;
    for (int row = 0; row < list_->topLevelItemCount() && !selected; ++row) {
        if (list_->topLevelItem(row)->isSelected()) selected = list_->topLevelItem(row);
    }
    if (!selected) return;
    const QString type = selected->text(0);
    auto* script = ListOf(type);
    if (!script) return;
    const int n = selected->text(1).toInt();
    const int target = up ? n - 1 : n + 1;
    if (target < 1 || target > LastIdOf(type)) return;

    auto moving = std::find_if(script->begin(), script->end(), [n](const auto& e) { return e.id == n; });
    auto neighbour =
        std::find_if(script->begin(), script->end(), [target](const auto& e) { return e.id == target; });
    if (moving == script->end() || neighbour == script->end()) return;
    script->splice(up ? neighbour : std::next(neighbour), *script, moving);
    Renumber(*script);

    FillList();
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        auto* item = list_->topLevelItem(row);
        if (item->text(0) == type && item->text(1).toInt() == target) {
            list_->setCurrentItem(item);
            item->setSelected(true);
        }
    }
    UpdateButtons();
    list_->setFocus();
}

}  // namespace bxfr::dialogs
