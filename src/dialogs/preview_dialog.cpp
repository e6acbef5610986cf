// The preview of a run: the dry run behind the progress dialog, then its plan, sortable, with the
// deletions in a list of their own.

#include "dialogs/preview_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>
#include <optional>

#include "engine/mirror_plan.h"
#include "engine/sizes.h"

namespace bxfr::dialogs {
namespace {

enum Column { kAction, kName, kSize, kWhy };

// Sizes sort by their bytes, not by their text.
class PlanRow : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : kName;
        if (column == kSize)
            return data(kSize, Qt::UserRole).toULongLong() < other.data(kSize, Qt::UserRole).toULongLong();
        return QTreeWidgetItem::operator<(other);
    }
};

QString ActionText(const job::PlanItem& item) {
    switch (item.action) {
        case job::PlanAction::Send:
            return QObject::tr("Send");
        case job::PlanAction::Get:
            return QObject::tr("Get");
        case job::PlanAction::Skip:
            return QObject::tr("Skip");
        case job::PlanAction::Delete:
            return QObject::tr("Delete");
    }
    return {};
}

QTreeWidget* PlanList(QWidget* parent, const char* name) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setHeaderLabels(
        {QObject::tr("Action"), QObject::tr("File"), QObject::tr("Size"), QObject::tr("Why")});
    list->setRootIsDecorated(false);
    list->setSortingEnabled(true);
    list->setAlternatingRowColors(true);
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list->header()->setSectionResizeMode(kName, QHeaderView::Stretch);
    list->header()->setStretchLastSection(false);
    return list;
}

void AddRow(QTreeWidget* list, const job::PlanItem& item) {
    auto* row = new PlanRow(list);
    row->setText(kAction, ActionText(item));
    row->setText(kName, QString::fromStdString(item.name));
    if (!item.IsFolder()) row->setText(kSize, QString::fromStdString(engine::FormatSize(item.size)));
    row->setData(kSize, Qt::UserRole, QVariant::fromValue<qulonglong>(item.size));
    row->setTextAlignment(kSize, Qt::AlignRight | Qt::AlignVCenter);
    row->setText(kWhy, QString::fromStdString(item.why));
}

QLabel* Warning(QWidget* parent, const QString& text, const char* name) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setStyleSheet("color: #b00020;");
    return label;
}

}  // namespace

PreviewDialog::PreviewDialog(const job::TransferPlan& plan, QWidget* parent) : QDialog(parent) {
    setObjectName("PreviewDialog");
    setWindowTitle(tr("Brindle FTP - Preview"));
    auto* layout = new QVBoxLayout(this);
    auto* summary = new QLabel(QString::fromStdString(engine::PlanSummary(plan)) + ".", this);
    summary->setObjectName("planSummary");
    summary->setWordWrap(true);
    QFont bold = summary->font();
    bold.setBold(true);
    summary->setFont(bold);
    layout->addWidget(summary);

    changes_ = PlanList(this, "planChanges");
    deletions_ = PlanList(this, "planDeletions");
    for (const job::PlanItem& item : plan.items) {
        AddRow(item.action == job::PlanAction::Delete ? deletions_ : changes_, item);
    }
    changes_->sortByColumn(kName, Qt::AscendingOrder);
    layout->addWidget(changes_, 3);

    const job::PlanTotals totals = job::TotalsOf(plan);
    if (totals.deleteFiles + totals.deleteFolders > 0) {
        layout->addWidget(Warning(this,
                                  tr("Deleted by this run (files: %1, folders: %2, %3; local files go to "
                                     "the trash):")
                                      .arg(totals.deleteFiles)
                                      .arg(totals.deleteFolders)
                                      .arg(QString::fromStdString(engine::FormatSize(totals.deleteBytes))),
                                  "deletionsHeading"));
        deletions_->sortByColumn(kName, Qt::AscendingOrder);
        layout->addWidget(deletions_, 2);
    } else {
        deletions_->hide();
    }
    if (!plan.deletionsRefused.empty()) {
        layout->addWidget(Warning(this, QString::fromStdString(plan.deletionsRefused), "deletionsRefused"));
    }
    if (!plan.notes.empty()) {
        QString text = tr("Listed, not run by the preview:");
        for (const std::string& note : plan.notes) text += "\n" + QString::fromStdString(note);
        auto* notes = new QLabel(text, this);
        notes->setObjectName("planNotes");
        notes->setWordWrap(true);
        layout->addWidget(notes);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton* run = buttons->addButton(tr("&Run"), QDialogButtonBox::AcceptRole);
    run->setObjectName("runButton");
    run->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setMinimumSize(fontMetrics().averageCharWidth() * 90, fontMetrics().lineSpacing() * 28);
}

bool PreviewTransfer(job::TransferJob& job, QWidget* parent, ConnectorFactory makeClient,
                     TrustQuestion askToTrust) {
    job::TransferJob dry(job);
    dry.dryRun = true;
    auto plan = std::make_shared<std::optional<job::TransferPlan>>();
    // Called on the worker thread, which has ended before the plan is read.
    dry.planCallback = [plan](const job::TransferPlan& made) { *plan = made; };
    std::int32_t status = 0;
    RunTransferProgress(dry, &status, parent, std::move(makeClient), std::move(askToTrust));
    job.fingerprint = dry.fingerprint;
    if (!*plan) return false;  // the progress dialog said why
    PreviewDialog dialog(**plan, parent);
    if (dialog.exec() != QDialog::Accepted) return false;
    if ((*plan)->guardTripped) {
        const job::PlanTotals totals = job::TotalsOf(**plan);
        const auto answer = QMessageBox::warning(
            parent, "Brindle FTP",
            QObject::tr("This transfer would delete %1 of the %2 files on the other side. That is what an "
                        "empty or wrong source folder looks like.\n\nDelete them anyway?")
                .arg(totals.deleteFiles)
                .arg((*plan)->destinationFiles),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) return false;
        job.allowMassDelete = true;
    }
    return true;
}

}  // namespace bxfr::dialogs
