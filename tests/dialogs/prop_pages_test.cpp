#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include "dialogs/advanced_settings_sheet.h"
#include "dialogs/prop_chmod_dialog.h"
#include "dialogs/prop_chmod_page.h"
#include "dialogs/prop_script_dialog.h"
#include "dialogs/prop_script_page.h"
#include "dialogs/prop_sel_dialog.h"
#include "dialogs/prop_select_page.h"
#include "dialogs/prop_test_helpers.h"
#include "dialogs/prop_type_page.h"

using bxfr::job::TransferJob;
using namespace bxfr::dialogs;
using bxfr::test::WhenModal;

namespace {

template <typename T>
T* Child(QWidget* parent, const char* name) {
    auto* child = parent->findChild<T*>(name);
    if (!child) qFatal("no child %s", name);
    return child;
}

QStringList Rows(QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
}

QStringList Rows(QTreeWidget* list, int columns) {
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QStringList cells;
        for (int c = 0; c < columns; ++c) cells << list->topLevelItem(i)->text(c);
        rows << cells.join('|');
    }
    return rows;
}

void Select(QListWidget* list, std::initializer_list<int> rows) {
    list->clearSelection();
    for (int row : rows) list->item(row)->setSelected(true);
}

void Select(QTreeWidget* list, std::initializer_list<int> rows) {
    list->clearSelection();
    for (int row : rows) list->topLevelItem(row)->setSelected(true);
}

void AnswerSel(const QString& text) {
    WhenModal<AddSel>([text](AddSel* dialog) {
        Child<QLineEdit>(dialog, "extensionEdit")->setText(text);
        dialog->accept();
    });
}

void AnswerScript(int typeIndex, const QString& command, bool expect) {
    WhenModal<AddScript>([=](AddScript* dialog) {
        auto* type = Child<QComboBox>(dialog, "typeBox");
        if (typeIndex >= 0) type->setCurrentIndex(typeIndex);
        Child<QLineEdit>(dialog, "commandEdit")->setText(command);
        Child<QCheckBox>(dialog, "expectBox")->setChecked(expect);
        dialog->accept();
    });
}

}  // namespace

class PropPagesTest : public QObject {
    Q_OBJECT
private slots:
    void TransferTypeFollowsTheJob();
    void SelectionRulesEditing();
    void ChmodNumberAndBoxesStayInStep();
    void ChmodRulesEditing();
    void ScriptCommandsEditing();
    void SheetWorksOnACopy();
};

void PropPagesTest::TransferTypeFollowsTheJob() {
    TransferJob job;
    job.transferType = 7;
    PropBinAscii page(&job);
    page.Activate();
    QVERIFY(Child<QRadioButton>(&page, "automaticRadio")->isChecked());
    QCOMPARE(job.transferType, 0);

    Child<QRadioButton>(&page, "textRadio")->click();
    QCOMPARE(job.transferType, 2);
    QVERIFY(!Child<QRadioButton>(&page, "automaticRadio")->isChecked());

    job.transferType = 1;
    page.Activate();
    QVERIFY(Child<QRadioButton>(&page, "binaryRadio")->isChecked());
    QVERIFY(!Child<QRadioButton>(&page, "textRadio")->isChecked());
}

void PropPagesTest::SelectionRulesEditing() {
    TransferJob job;
    job.AddSelectRule("*.tmp");
    job.AddSelectRule(".bak");
    job.AddSelectRule("*.Log");
    PropSelect page(&job);
    page.show();
    page.Activate();
    auto* list = Child<QListWidget>(&page, "extensionList");
    auto* add = Child<QPushButton>(&page, "addButton");
    auto* edit = Child<QPushButton>(&page, "editButton");
    auto* remove = Child<QPushButton>(&page, "removeButton");

    // "All files" hides the rules but keeps them.
    QCOMPARE(list->count(), 0);
    QVERIFY(!list->isEnabled() && !add->isEnabled() && !edit->isEnabled() && !remove->isEnabled());
    QCOMPARE(job.selectRules.size(), 3u);

    Child<QRadioButton>(&page, "excludeRadio")->click();
    QCOMPARE(job.selectMode, 2);
    QCOMPARE(Rows(list), (QStringList{"*.Log", "*.tmp", ".bak"}));  // sorted ignoring case
    QVERIFY(list->isEnabled() && add->isEnabled() && !edit->isEnabled() && !remove->isEnabled());

    // An empty pattern and one differing only in case are both new rules.
    AnswerSel("");
    add->click();
    AnswerSel("*.TMP");
    add->click();
    QCOMPARE(job.selectRules.size(), 5u);
    QCOMPARE(job.selectRules.back().extension, "*.TMP");
    QVERIFY(Rows(list).contains(""));
    QVERIFY(Rows(list).contains("*.TMP") && Rows(list).contains("*.tmp"));

    // Cancelling the dialog changes nothing.
    WhenModal<AddSel>([](AddSel* dialog) {
        Child<QLineEdit>(dialog, "extensionEdit")->setText("*.nope");
        dialog->reject();
    });
    add->click();
    QCOMPARE(job.selectRules.size(), 5u);

    // Two lines: Remove only, and a double click does not open the editor.
    Select(list, {0, 1});
    QVERIFY(remove->isEnabled() && !edit->isEnabled());
    QCOMPARE(page.m_nSelectedCount, 2);

    // Edit keeps the rule's place in the list.
    const int bakRow = static_cast<int>(Rows(list).indexOf(".bak"));
    Select(list, {bakRow});
    QVERIFY(edit->isEnabled());
    AnswerSel("*.old");
    edit->click();
    QCOMPARE(*std::next(job.selectRules.begin()), bxfr::job::tagBXFR_SEL{"*.old"});
    QVERIFY(!edit->isEnabled() && !remove->isEnabled());

    // Two equal lines remove both equal rules.
    job.AddSelectRule("*.dup");
    job.AddSelectRule("*.dup");
    page.Activate();
    QCOMPARE(job.selectMode, 2);
    const auto rows = Rows(list);
    list->clearSelection();
    for (int i = 0; i < rows.size(); ++i) {
        if (rows[i] == "*.dup") list->item(i)->setSelected(true);
    }
    remove->click();
    QCOMPARE(job.selectRules.size(), 5u);
    QVERIFY(!Rows(list).contains("*.dup"));

    Child<QRadioButton>(&page, "includeRadio")->click();
    QCOMPARE(job.selectMode, 1);
    QCOMPARE(list->count(), 5);
    job.selectMode = 9;
    page.Activate();
    QCOMPARE(job.selectMode, 0);
}

void PropPagesTest::ChmodNumberAndBoxesStayInStep() {
    QCOMPARE(PermissionString(644), std::string("rw-r--r--"));
    QCOMPARE(PermissionString(755), std::string("rwxr-xr-x"));
    QCOMPARE(PermissionString(0), std::string("---------"));
    QCOMPARE(PermissionString(800), std::string("rwxrwxrwx"));
    QCOMPARE(LeadingNumber("644abc"), 644);
    QCOMPARE(LeadingNumber("abc"), 0);

    AddChmod dialog;
    dialog.m_strExtension = "*.cgi";
    dialog.m_nPermissions = 300;
    WhenModal<AddChmod>([](AddChmod* d) {
        auto* number = Child<QLineEdit>(d, "numberEdit");
        auto box = [d](int i) { return Child<QCheckBox>(d, QString("box%1").arg(i).toUtf8().constData()); };
        QCOMPARE(number->text(), QString("300"));
        QVERIFY(!box(0)->isChecked() && box(1)->isChecked() && box(2)->isChecked());
        QCOMPARE(Child<QLineEdit>(d, "extensionEdit")->text(), QString("*.cgi"));

        number->clear();
        QTest::keyClicks(number, "644");
        QCOMPARE(d->m_nPermissions, 644);
        const bool expected644[9] = {true, true, false, true, false, false, true, false, false};
        for (int i = 0; i < 9; ++i) QCOMPARE(box(i)->isChecked(), expected644[i]);

        number->clear();
        QTest::keyClicks(number, "7");
        QCOMPARE(number->text(), QString("7"));  // kept as typed
        QVERIFY(box(6)->isChecked() && box(7)->isChecked() && box(8)->isChecked());
        box(8)->click();
        QCOMPARE(number->text(), QString("006"));
        QCOMPARE(d->m_nPermissions, 6);

        for (int i = 0; i < 9; ++i) box(i)->setChecked(false);
        box(2)->click();
        QCOMPARE(d->m_nPermissions, 100);
        for (int i = 0; i < 9; ++i) box(i)->setChecked(true);
        box(0)->click();
        box(0)->click();
        QCOMPARE(d->m_nPermissions, 777);

        // A digit above 7 is refused next to the field; OK cannot take it.
        number->clear();
        QTest::keyClicks(number, "685");
        QVERIFY(!Child<QLabel>(d, "numberProblem")->text().isEmpty());
        auto* ok = d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        QVERIFY(!ok->isEnabled());
        d->accept();
        QVERIFY(d->isVisible());
        number->clear();
        QTest::keyClicks(number, "x1");
        QVERIFY(!ok->isEnabled());
        number->clear();
        QTest::keyClicks(number, "0640");
        QVERIFY(ok->isEnabled());
        QCOMPARE(d->m_nPermissions, 640);
        Child<QLineEdit>(d, "extensionEdit")->setText("*.pl");
        d->accept();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(dialog.m_nPermissions, 640);
    QCOMPARE(dialog.m_strExtension, QString("*.pl"));
}

void PropPagesTest::ChmodRulesEditing() {
    TransferJob job;
    PropChmod page(&job);
    page.show();
    page.Activate();
    auto* list = Child<QTreeWidget>(&page, "chmodList");
    auto* edit = Child<QPushButton>(&page, "editButton");
    auto* remove = Child<QPushButton>(&page, "removeButton");
    QCOMPARE(list->topLevelItemCount(), 0);
    QVERIFY(!edit->isEnabled() && !remove->isEnabled());

    // A new rule starts at 300 with an empty pattern.
    WhenModal<AddChmod>([](AddChmod* d) {
        QCOMPARE(Child<QLineEdit>(d, "numberEdit")->text(), QString("300"));
        QVERIFY(Child<QLineEdit>(d, "extensionEdit")->text().isEmpty());
        Child<QLineEdit>(d, "extensionEdit")->setText("*.html");
        Child<QLineEdit>(d, "numberEdit")->clear();
        QTest::keyClicks(Child<QLineEdit>(d, "numberEdit"), "644");
        d->accept();
    });
    Child<QPushButton>(&page, "addButton")->click();
    QCOMPARE(job.chmodRules.size(), 1u);
    QCOMPARE(job.chmodRules.front(), (bxfr::job::tagBXFR_CHMOD{"*.html", 644}));
    QCOMPARE(Rows(list, 3), QStringList{"*.html|644|rw-r--r--"});

    job.chmodRules.push_back({"*.cgi", 755});
    job.chmodRules.push_back({"*.cgi", 755});
    job.chmodRules.push_back({"*.Z", 600});
    page.Activate();
    QCOMPARE(Rows(list, 1), (QStringList{"*.Z", "*.cgi", "*.cgi", "*.html"}));  // byte order

    // Cancelling Add clears the selection.
    Select(list, {3});
    QVERIFY(edit->isEnabled());
    WhenModal<AddChmod>([](AddChmod* d) { d->reject(); });
    Child<QPushButton>(&page, "addButton")->click();
    QCOMPARE(list->selectedItems().size(), 0);
    QVERIFY(!edit->isEnabled() && !remove->isEnabled());

    // Edit finds the rule by pattern and number and keeps its place.
    Select(list, {3});
    WhenModal<AddChmod>([](AddChmod* d) {
        QCOMPARE(Child<QLineEdit>(d, "numberEdit")->text(), QString("644"));
        Child<QLineEdit>(d, "extensionEdit")->setText("*.htm");
        d->accept();
    });
    edit->click();
    QCOMPARE(job.chmodRules.front().extension, "*.htm");

    Select(list, {1, 2});
    QVERIFY(remove->isEnabled() && !edit->isEnabled());
    remove->click();
    QCOMPARE(job.chmodRules.size(), 2u);
    QCOMPARE(Rows(list, 1), (QStringList{"*.Z", "*.htm"}));
}

void PropPagesTest::ScriptCommandsEditing() {
    TransferJob job;
    PropScript page(&job);
    page.show();
    page.Activate();
    auto* list = Child<QTreeWidget>(&page, "scriptList");
    auto* add = Child<QPushButton>(&page, "addButton");
    auto* edit = Child<QPushButton>(&page, "editButton");
    auto* remove = Child<QPushButton>(&page, "removeButton");
    auto* up = Child<QPushButton>(&page, "upButton");
    auto* down = Child<QPushButton>(&page, "downButton");

    // Nothing chosen in the type box adds nothing.
    AnswerScript(-1, "NOOP", false);
    add->click();
    QCOMPARE(list->topLevelItemCount(), 0);

    AnswerScript(1, "SITE UMASK 022", true);
    add->click();
    QCOMPARE(Rows(list, 4), QStringList{"Tran|1|SITE UMASK 022|Y"});
    Select(list, {0});
    QVERIFY(!up->isEnabled() && !down->isEnabled() && edit->isEnabled());

    // With a Tran row selected, Add presets Tran.
    WhenModal<AddScript>([](AddScript* d) {
        QCOMPARE(Child<QComboBox>(d, "typeBox")->currentText(), QString("Run for each file (Tran)"));
        Child<QLineEdit>(d, "commandEdit")->setText("NOOP");
        d->accept();
    });
    add->click();
    AnswerScript(0, "TYPE I", false);
    add->click();
    AnswerScript(0, "PWD", true);
    add->click();
    AnswerScript(0, "SYST", false);
    add->click();
    AnswerScript(2, "STAT", false);
    add->click();
    QCOMPARE(Rows(list, 2), (QStringList{"Conn|1", "Conn|2", "Conn|3", "Tran|1", "Tran|2", "Disc|1"}));
    QCOMPARE(job.nextConnScriptId, 4);
    QCOMPARE(job.nextTranScriptId, 3);
    QCOMPARE(job.nextDiscScriptId, 2);

    // A typed text of one's own keeps the preset type.
    Select(list, {5});
    WhenModal<AddScript>([](AddScript* d) {
        Child<QComboBox>(d, "typeBox")->setEditText("whatever");
        Child<QLineEdit>(d, "commandEdit")->setText("QUIT");
        d->accept();
    });
    add->click();
    QCOMPARE(job.discScript.size(), 2u);

    // Tran #2 moves up and stays selected.
    Select(list, {4});
    QVERIFY(up->isEnabled() && !down->isEnabled());
    up->click();
    QCOMPARE(job.tranScript.front().command, "NOOP");
    QCOMPARE(job.tranScript.front().id, 1);
    QCOMPARE(job.tranScript.back().id, 2);
    QCOMPARE(list->selectedItems().size(), 1);
    QCOMPARE(list->selectedItems().front()->text(2), QString("NOOP"));
    QVERIFY(!up->isEnabled() && down->isEnabled());

    // Edit cannot change the type.
    Select(list, {0});
    WhenModal<AddScript>([](AddScript* d) {
        QVERIFY(!Child<QComboBox>(d, "typeBox")->isEnabled());
        Child<QLineEdit>(d, "commandEdit")->setText("TYPE A");
        d->accept();
    });
    edit->click();
    QCOMPARE(job.connScript.front().command, "TYPE A");
    QCOMPARE(job.connScript.front().type, "Conn");

    // Removing Conn #2 of three renumbers the third.
    Select(list, {1});
    remove->click();
    QCOMPARE(job.connScript.size(), 2u);
    QCOMPARE(job.connScript.back().command, "SYST");
    QCOMPARE(job.connScript.back().id, 2);
    QCOMPARE(job.nextConnScriptId, 3);

    Select(list, {0, 3});
    QVERIFY(remove->isEnabled() && !edit->isEnabled() && !up->isEnabled() && !down->isEnabled());
}

void PropPagesTest::SheetWorksOnACopy() {
    TransferJob job;
    job.SetServer("ftp.example.test");
    job.AddSelectRule("*.tmp");
    {
        AdvancedSettingsSheet sheet(job, false, nullptr);
        QCOMPARE(sheet.Tabs()->count(), 3);
    }
    AdvancedSettingsSheet sendSheet(job, true, nullptr);
    QCOMPARE(sendSheet.Tabs()->count(), 4);
    QCOMPARE(sendSheet.Tabs()->tabText(2), QString("Permissions (chmod)"));

    // Cancel leaves the job as it was.
    const TransferJob before = job;
    WhenModal<AdvancedSettingsSheet>([](AdvancedSettingsSheet* sheet) {
        Child<QRadioButton>(sheet, "binaryRadio")->click();
        sheet->Tabs()->setCurrentIndex(1);
        Child<QRadioButton>(sheet, "excludeRadio")->click();
        sheet->reject();
    });
    QVERIFY(!EditAdvancedSettings(job, true, nullptr));
    QVERIFY(job == before);
    QCOMPARE(job.transferType, 0);
    QCOMPARE(job.selectMode, 0);

    WhenModal<AdvancedSettingsSheet>([](AdvancedSettingsSheet* sheet) {
        Child<QRadioButton>(sheet, "textRadio")->click();
        sheet->Tabs()->setCurrentIndex(1);
        Child<QRadioButton>(sheet, "includeRadio")->click();
        sheet->accept();
    });
    QVERIFY(EditAdvancedSettings(job, true, nullptr));
    QCOMPARE(job.transferType, 2);
    QCOMPARE(job.selectMode, 1);
    QCOMPARE(job.selectRules.size(), 1u);  // replaced, not appended to
    QCOMPARE(job.server, "ftp.example.test");
}

QTEST_MAIN(PropPagesTest)
#include "prop_pages_test.moc"
