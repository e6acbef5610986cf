// The pages behind the Load page, put into the sheet and rebuilt when the direction changes.

#include "wizard/wizard_pages.h"

#include "wizard/final_page.h"
#include "wizard/local_page.h"
#include "wizard/mode_page.h"
#include "wizard/remote_page.h"
#include "wizard/server_page.h"
#include "wizard/transfer_page.h"
#include "wizard/wizard_sheet.h"

namespace bxfr::wizard {

void AddWizardPages(WizardSheet& sheet, const WizardContext& context) {
    sheet.SetPlace(PlaceServer, new WizServer(context));
    sheet.SetPlace(PlaceMode, new WizMode(context));
    ReplaceTailPages(sheet, context, context.job && context.job->getMode == 1);
}

void ReplaceTailPages(WizardSheet& sheet, const WizardContext& context, bool getMode) {
    WizPage* local = new WizLocal(context);
    WizPage* remote = new WizRemote(context);
    sheet.SetPlace(PlaceSource, getMode ? remote : local);
    sheet.SetPlace(PlaceDestination, getMode ? local : remote);
    // The Transfer page does not depend on the direction; a new one would forget that the user
    // chose not to save the transfer file.
    if (!qobject_cast<WizTransfer*>(sheet.PageAt(PlaceTransfer)))
        sheet.SetPlace(PlaceTransfer, new WizTransfer(context));
    sheet.SetPlace(PlaceFinal, new WizFinal(context));
}

}  // namespace bxfr::wizard
