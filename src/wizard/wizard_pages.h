#pragma once

// The pages behind the Load page, put into the sheet and rebuilt when the direction changes.

#include "wizard/wiz_page.h"

namespace bxfr::wizard {

class WizardSheet;

// The pages behind the Load page: Server, Mode, Local, Remote, Transfer and Final. They are
// built in wizard_pages.cpp, which belongs to those pages; the sheet only calls these two.
//
// AddWizardPages puts the pages of places 3 to 8 into a freshly built sheet (its Welcome and
// Load pages are already there), with sheet.SetPlace(PlaceServer, ...) and so on.
void AddWizardPages(WizardSheet& sheet, const WizardContext& context);

// Called by the Mode page's OnWizardNext, after it stored the direction: replaces places 5,
// 6 and 8 with fresh pages (Local, Remote for a send; Remote, Local for a get; then Final) and
// keeps the Transfer page, whose choices do not depend on the direction. The old pages are deleted by the
// sheet, so a page that runs a size calculation must stop it or detach from it in its destructor.
void ReplaceTailPages(WizardSheet& sheet, const WizardContext& context, bool getMode);

}  // namespace bxfr::wizard
