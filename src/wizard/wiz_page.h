#pragma once

// What every wizard page is: its place in the sheet, what it may reach, its hooks, and the cancel
// confirmation.

#include <QString>
#include <QWizardPage>
#include <cstdint>
#include <functional>

#include "job/transfer_job.h"
#include "prefs/user_settings.h"

class QLabel;
class QVBoxLayout;

namespace bxfr::wizard {

// The sheet's eight places. A place is the QWizard page id, so Back and Next walk them in
// this order. Places 5 to 8 are replaced as a block by the Mode page's Next
// (ReplaceTailPages in wizard_pages.h): Local then Remote when sending, Remote then Local
// when getting, then Transfer and Final.
enum Place : int {
    PlaceWelcome = 1,
    PlaceLoad = 2,
    PlaceServer = 3,
    PlaceMode = 4,
    PlaceSource = 5,       // Local when sending, Remote when getting
    PlaceDestination = 6,  // the other of the two
    PlaceTransfer = 7,
    PlaceFinal = 8,
};

class WizardSheet;

// What every page may reach. The start-up routine owns everything pointed to; a page never
// frees any of it and may keep the pointers for its whole life.
struct WizardContext {
    job::TransferJob* job = nullptr;
    // The job as last loaded, started afresh or saved; the cancel confirmation compares with it.
    job::TransferJob* baseline = nullptr;
    prefs::UserSettings* settings = nullptr;
    // Outcome of the last run (Incomplete 0, Completed 1, Failed 2, Cancelled 3). The sheet sets
    // it to 0 before it opens; the progress dialog writes it; the Final page shows it.
    std::int32_t* transferStatus = nullptr;
    WizardSheet* sheet = nullptr;
    // Runs the transfer behind the progress dialog; empty = the progress dialog with the
    // FTP client of the build. Tests put a runner of their own here.
    std::function<void(job::TransferJob&, std::int32_t* transferStatus)> runTransfer;
    // Shows the run's plan and says whether to run; empty = a dry run and the preview dialog.
    std::function<bool(job::TransferJob&)> previewTransfer;
};

// Base of every wizard page. The sheet drives the hooks, in the order the user meets them:
//
//   OnSetActive()   each time the page comes on screen, by Next and by Back alike:
//                   fill the controls from the job here.
//   OnWizardNext()  Next (or Finish) pressed: validate, store into the job, return false to
//                   stay on the page. Pages that keep values on Next store them here.
//   OnWizardBack()  Back pressed: store into the job (so Back never loses what was typed) and
//                   return true, or false to stay (the Server page's question).
//   OnQueryCancel() Cancel, Esc or the close box: true lets the wizard close. The default asks
//                   "Some settings have been changed. ..." when the job, with what the page's
//                   fields hold (StoreFields), differs from the baseline; the Final page
//                   overrides it to return true.
//
// Which buttons a page shows follows from its place: Back is off on the Welcome page, and
// the last place shows Finish instead of Next. Help (the button and F1) opens the page's
// topic, one of the help pages built into the program ("server.htm", ...).
//
// Put the page's controls into Body(); the heading sits above it.
class WizPage : public QWizardPage {
    Q_OBJECT
public:
    // `bigHeading`: the 12-point heading of the Welcome and Final pages.
    WizPage(const WizardContext& context, const QString& heading, const QString& helpTopic,
            bool bigHeading = false, QWidget* parent = nullptr);

    const QString& HelpTopic() const { return helpTopic_; }
    QLabel* Heading() const { return heading_; }

    virtual void OnSetActive() {}
    virtual bool OnWizardNext() { return true; }
    virtual bool OnWizardBack() { return true; }
    virtual bool OnQueryCancel();
    // Writes what the page's fields hold into `job`, touching nothing else; the cancel question
    // counts typing that no Next or Back has stored yet.
    virtual void StoreFields(job::TransferJob& job) const { (void)job; }

    // QWizard's Next hook; pages override OnWizardNext instead.
    bool validatePage() final { return OnWizardNext(); }
    // The job, not the page's registered fields, is the record; nothing to undo on Back.
    void cleanupPage() override {}

protected:
    const WizardContext& Context() const { return context_; }
    job::TransferJob& Job() const { return *context_.job; }
    job::TransferJob& Baseline() const { return *context_.baseline; }
    prefs::UserSettings& Settings() const { return *context_.settings; }
    QVBoxLayout* Body() const { return body_; }

    // Makes the baseline a copy of the job (after a load, a fresh start or a save).
    void ResetBaseline() const;

private:
    WizardContext context_;
    QString helpTopic_;
    QLabel* heading_;
    QVBoxLayout* body_;
};

// The cancel confirmation: true when the wizard may close.
bool ConfirmCancel(QWidget* parent, const job::TransferJob& job, const job::TransferJob& baseline);

}  // namespace bxfr::wizard
