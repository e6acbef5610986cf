#pragma once

// The wizard sheet: the pages in their places, their hooks, Help and Cancel.

#include <QWizard>

#include "wizard/wiz_page.h"

namespace bxfr::wizard {

// The wizard sheet. Pages are put into their places with SetPlace; the sheet calls their
// hooks (wiz_page.h) and asks the current page before it lets Cancel close it.
class WizardSheet : public QWizard {
    Q_OBJECT
public:
    explicit WizardSheet(WizardContext& context, QWidget* parent = nullptr);

    // Puts `page` at `place`; the sheet takes it over. A page already there is removed and
    // deleted once control returns to the event loop, so a page may replace places behind it
    // from its own OnWizardNext (that is how the Mode page rebuilds places 5 to 8).
    void SetPlace(int place, WizPage* page);
    WizPage* PageAt(int place) const;
    WizPage* CurrentWizPage() const;

    // Opens the current page's help topic.
    void ShowHelp();

    // Back as the user presses it: asks the page's OnWizardBack first.
    void GoBack();

    void reject() override;

private:
    void OnCurrentIdChanged(int id);

    WizardContext& context_;
};

}  // namespace bxfr::wizard
