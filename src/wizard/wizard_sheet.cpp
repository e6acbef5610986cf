// The wizard sheet: the pages in their places, their hooks, Help and Cancel.

#include "wizard/wizard_sheet.h"

#include <QAbstractButton>
#include <QShortcut>

#include "dialogs/help_window.h"

namespace bxfr::wizard {

WizardSheet::WizardSheet(WizardContext& context, QWidget* parent) : QWizard(parent), context_(context) {
    context_.sheet = this;
    setWindowTitle("Brindle FTP Wizard");
#ifdef Q_OS_WIN
    setWizardStyle(ModernStyle);
#endif
    // QWizard's own Back has no hook, so a custom button stands in its place and asks the page.
    setOption(HaveCustomButton1);
    setOption(HaveHelpButton);
    setOption(NoBackButtonOnStartPage, false);
    setButtonText(CustomButton1, tr("< &Back"));
    setButtonLayout({HelpButton, Stretch, CustomButton1, NextButton, FinishButton, CancelButton});
    connect(this, &QWizard::customButtonClicked, this, [this](int which) {
        if (which == CustomButton1) GoBack();
    });
    connect(this, &QWizard::helpRequested, this, &WizardSheet::ShowHelp);
    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, &WizardSheet::ShowHelp);
    connect(this, &QWizard::currentIdChanged, this, &WizardSheet::OnCurrentIdChanged);
}

void WizardSheet::SetPlace(int place, WizPage* page) {
    if (QWizardPage* old = this->page(place)) {
        removePage(place);
        old->hide();
        old->deleteLater();
    }
    setPage(place, page);
}

WizPage* WizardSheet::PageAt(int place) const { return qobject_cast<WizPage*>(page(place)); }

WizPage* WizardSheet::CurrentWizPage() const { return qobject_cast<WizPage*>(currentPage()); }

void WizardSheet::ShowHelp() {
    if (WizPage* current = CurrentWizPage()) dialogs::ShowHelpTopic(this, current->HelpTopic());
}

void WizardSheet::GoBack() {
    if (currentId() == startId()) return;
    WizPage* current = CurrentWizPage();
    if (current && !current->OnWizardBack()) return;
    back();
}

void WizardSheet::reject() {
    WizPage* current = CurrentWizPage();
    if (current && !current->OnQueryCancel()) return;
    QWizard::reject();
}

void WizardSheet::OnCurrentIdChanged(int id) {
    if (QAbstractButton* backButton = button(CustomButton1)) backButton->setEnabled(id != startId());
    if (WizPage* current = PageAt(id)) current->OnSetActive();
}

}  // namespace bxfr::wizard
