// The wizard's start: the eight pages built into a sheet and run.

#include "wizard/wizard_launch.h"

#include <QTimer>

#include "job/password_crypto.h"
#include "wizard/welcome_load_pages.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_sheet.h"

namespace bxfr::wizard {

void RunWizard(job::TransferJob& job, job::TransferJob& baseline, prefs::UserSettings& settings,
               std::int32_t& transferStatus, const QString& transferFile) {
    transferStatus = 0;
    baseline.Reset();
    baseline.CopyFrom(job);
    WizardContext context{&job, &baseline, &settings, &transferStatus, nullptr, {}, {}};
    WizardSheet sheet(context);
    auto* welcome = new WizWelcome(context);
    auto* load = new WizLoad(context);
    if (!transferFile.isEmpty()) load->SetTransferFile(transferFile);
    sheet.SetPlace(PlaceWelcome, welcome);
    sheet.SetPlace(PlaceLoad, load);
    AddWizardPages(sheet, context);
    sheet.setStartId(PlaceWelcome);
    // Once the sheet is up, so the question has the wizard behind it.
    QTimer::singleShot(0, welcome, [welcome] { welcome->WarnIfNoCrypto(job::IsCryptoAvailable()); });
    sheet.exec();
}

}  // namespace bxfr::wizard
