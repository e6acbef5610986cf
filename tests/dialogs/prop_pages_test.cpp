#include <QtTest>
#include <QtWidgets>

#include "dialogs/about_dialog.h"
#include "dialogs/advanced_settings_sheet.h"
#include "dialogs/prop_chmod_dialog.h"
#include "dialogs/prop_chmod_page.h"
#include "dialogs/prop_script_dialog.h"
#include "dialogs/prop_script_page.h"
#include "dialogs/prop_sel_dialog.h"
#include "dialogs/prop_select_page.h"
#include "support/qt_helpers.h"

using bxfr::job::TransferJob;
using namespace bxfr::dialogs;
using bxfr::test::Child;
using bxfr::test::WhenModal;

namespace {

// The first `columns` cells of every row, joined with '|'.
QStringList Rows(QAbstractItemView* view, int columns = 1) {
    QStringList rows;
    for (int r = 0; r < view->model()->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < columns; ++c) cells << view->model()->index(r, c).data().toString();
        rows << cells.join('|');
    }
    return rows;
}

void Select(QAbstractItemView* view, std::initializer_list<int> rows) {
    view->clearSelection();
    for (int row : rows)
        view->selectionModel()->select(view->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void AnswerSel(const QString& text, bool ok = true) {
    WhenModal<AddSel>([=](AddSel* dialog) {
        Child<QLineEdit>(dialog, "extensionEdit")->setText(text);
        ok ? dialog->accept() : dialog->reject();
    });
}

void AnswerScript(int typeIndex, const QString& command, bool expect = false) {
    WhenModal<AddScript>([=](AddScript* dialog) {
        Child<QComboBox>(dialog, "typeBox")->setCurrentIndex(typeIndex);
        Child<QLineEdit>(dialog, "commandEdit")->setText(command);
        Child<QCheckBox>(dialog, "expectBox")->setChecked(expect);
        dialog->accept();
    });
}

}  // namespace

class PropPagesTest : public QObject {
    Q_OBJECT
private slots:
    void SelectionRulesEditing() {
        TransferJob job;
        for (const char* rule : {"*.tmp", ".bak", "*.Log"}) job.AddSelectRule(rule);
        PropSelect page(&job);
        page.show();
        page.Activate();
        auto* list = Child<QListWidget>(&page, "extensionList");
        auto* add = Child<QPushButton>(&page, "addButton");

        // "All files" hides the rules but keeps them.
        QVERIFY(list->count() == 0 && !list->isEnabled() && !add->isEnabled());
        Child<QRadioButton>(&page, "excludeRadio")->click();
        QCOMPARE(job.selectMode, 2);
        QCOMPARE(Rows(list), (QStringList{"*.Log", "*.tmp", ".bak"}));  // sorted ignoring case

        // One differing only in case is a new rule; a cancelled dialog adds nothing.
        AnswerSel("*.TMP");
        add->click();
        AnswerSel("*.nope", false);
        add->click();
        QCOMPARE(job.selectRules.size(), 4u);
        QVERIFY(Rows(list).contains("*.TMP") && Rows(list).contains("*.tmp"));

        // Edit keeps the rule's place in the job.
        Select(list, {static_cast<int>(Rows(list).indexOf(".bak"))});
        AnswerSel("*.old");
        Child<QPushButton>(&page, "editButton")->click();
        QCOMPARE(*std::next(job.selectRules.begin()), bxfr::job::tagBXFR_SEL{"*.old"});

        job.selectMode = 9;  // out of range: back to all files
        page.Activate();
        QCOMPARE(job.selectMode, 0);
    }

    void ChmodRulesEditing() {
        QCOMPARE(PermissionString(800), std::string("rwxrwxrwx"));  // digits above 7 clamp
        TransferJob job;
        PropChmod page(&job);
        page.show();
        page.Activate();
        auto* list = Child<QTreeWidget>(&page, "chmodList");
        auto* remove = Child<QPushButton>(&page, "removeButton");

        // The number and the nine boxes stay in step; a digit above 7 cannot be taken.
        WhenModal<AddChmod>([](AddChmod* d) {
            auto* number = Child<QLineEdit>(d, "numberEdit");
            const auto box = [d](int i) { return Child<QCheckBox>(d, qPrintable(QString("box%1").arg(i))); };
            number->clear();
            QTest::keyClicks(number, "7");
            QVERIFY(number->text() == "7" && box(6)->isChecked() && box(8)->isChecked() &&
                    !box(5)->isChecked());
            box(8)->click();
            QCOMPARE(number->text(), QString("006"));
            number->clear();
            QTest::keyClicks(number, "685");
            QVERIFY(!Child<QLabel>(d, "numberProblem")->text().isEmpty());
            auto* ok = d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
            QVERIFY(!ok->isEnabled());
            d->accept();
            QVERIFY(d->isVisible());
            number->clear();
            QTest::keyClicks(number, "0640");
            QVERIFY(ok->isEnabled());
            Child<QLineEdit>(d, "extensionEdit")->setText("*.html");
            d->accept();
        });
        Child<QPushButton>(&page, "addButton")->click();
        QCOMPARE(job.chmodRules.front(), (bxfr::job::tagBXFR_CHMOD{"*.html", 640}));
        QCOMPARE(Rows(list, 3), QStringList{"*.html|640|rw-r-----"});

        job.chmodRules.insert(job.chmodRules.end(), {{"*.cgi", 755}, {"*.cgi", 755}, {"*.Z", 600}});
        page.Activate();
        QCOMPARE(Rows(list), (QStringList{"*.Z", "*.cgi", "*.cgi", "*.html"}));  // byte order
        // Two equal lines remove both equal rules.
        Select(list, {1, 2});
        QVERIFY(remove->isEnabled() && !Child<QPushButton>(&page, "editButton")->isEnabled());
        remove->click();
        QCOMPARE(Rows(list), (QStringList{"*.Z", "*.html"}));
        QCOMPARE(job.chmodRules.size(), 2u);
    }

    void ScriptCommandsEditing() {
        TransferJob job;
        PropScript page(&job);
        page.show();
        page.Activate();
        auto* list = Child<QTreeWidget>(&page, "scriptList");
        auto* add = Child<QPushButton>(&page, "addButton");
        auto* up = Child<QPushButton>(&page, "upButton");

        AnswerScript(1, "SITE UMASK 022", true);
        add->click();
        QCOMPARE(Rows(list, 4), QStringList{"Tran|1|SITE UMASK 022|Y"});
        for (auto [type, command] :
             {std::pair{1, "NOOP"}, {0, "TYPE I"}, {0, "PWD"}, {0, "SYST"}, {2, "STAT"}}) {
            AnswerScript(type, command);
            add->click();
        }
        QCOMPARE(Rows(list, 2), (QStringList{"Conn|1", "Conn|2", "Conn|3", "Tran|1", "Tran|2", "Disc|1"}));

        // Tran #2 moves up, is renumbered and stays selected.
        Select(list, {4});
        QVERIFY(up->isEnabled() && !Child<QPushButton>(&page, "downButton")->isEnabled());
        up->click();
        QCOMPARE(job.tranScript.front().command, "NOOP");
        QCOMPARE(job.tranScript.front().id, 1);
        QCOMPARE(job.tranScript.back().id, 2);
        QCOMPARE(list->selectedItems().front()->text(2), QString("NOOP"));

        // Removing Conn #2 of three renumbers the third.
        Select(list, {1});
        Child<QPushButton>(&page, "removeButton")->click();
        QCOMPARE(Rows(list, 3).mid(0, 2), (QStringList{"Conn|1|TYPE I", "Conn|2|SYST"}));
        QCOMPARE(job.connScript.back().id, 2);
        QCOMPARE(job.nextConnScriptId, 3);
    }

    void SheetWorksOnACopy() {
        TransferJob job;
        job.SetServer("ftp.example.test");
        job.AddSelectRule("*.tmp");

        const TransferJob before = job;
        for (bool ok : {false, true}) {
            WhenModal<AdvancedSettingsSheet>([ok](AdvancedSettingsSheet* sheet) {
                Child<QRadioButton>(sheet, "textRadio")->click();
                sheet->Tabs()->setCurrentIndex(1);
                Child<QRadioButton>(sheet, "includeRadio")->click();
                ok ? sheet->accept() : sheet->reject();
            });
            QCOMPARE(EditAdvancedSettings(job, true, nullptr), ok);
            if (!ok) QVERIFY(job == before);  // Cancel leaves the job as it was
        }
        QCOMPARE(job.transferType, 2);
        QCOMPARE(job.selectMode, 1);
        QCOMPARE(job.selectRules.size(), 1u);  // replaced, not appended to
        QCOMPARE(job.server, "ftp.example.test");
    }

    void AboutBoxFitsAndHasTheProgramIcon() {
        // The program's own icon, built in: a desktop without our theme icon showed a computer.
        QVERIFY(!ProgramIcon().availableSizes().isEmpty());
        AboutDialog about;
        about.show();
        for (int i = 0; i < 2; ++i, about.ToggleDetails())
            QVERIFY(about.height() >= about.layout()->minimumSize().height());
    }
};

QTEST_MAIN(PropPagesTest)
#include "prop_pages_test.moc"
