#pragma once

// What the Local and Remote pages share: a folder or a single file, and the size line.

#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "wizard/size_calculation.h"
#include "wizard/wiz_page.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace bxfr::wizard {

// What the Local and Remote pages share: a folder or a single file, the source page's size
// line, and the destination page that offers only the kind the source chose. The page of the
// transfer's source checks its choice on Next; the destination page accepts what it is given.
class WizFilesPage : public WizPage {
    Q_OBJECT
public:
    // Total of a folder (or of one remote file) on the size thread, on the thread's own job copy.
    using SizeWalk = std::function<std::uint64_t(job::TransferJob& copy, const std::string& path)>;

    void OnSetActive() override;
    bool OnWizardNext() override;
    bool OnWizardBack() override;

    // The walk the size thread runs for a folder; the engine's by default.
    void SetFolderSizeWalk(SizeWalk walk) { folderWalk_ = std::move(walk); }
    const SizeCalculation& SizeCalc() const { return calc_; }
    QString SizeText() const;
    bool IsSource() const;

protected:
    WizFilesPage(const WizardContext& context, bool local, const QString& heading, const QString& helpTopic,
                 QWidget* parent);

    void FolderState();
    void FileState();
    void RequestSize();
    void StartCalculation(SizeWalk walk, const std::string& path);
    void ShowSize();
    // The size line shows `bytes` at once; a walk still running can no longer replace it.
    void ShowSizeNow(std::uint64_t bytes);

    QString FolderText() const;
    QString FileText() const;
    void SetFolderText(const QString& text);
    void SetFileText(const QString& text);
    bool FileChosen() const;
    void SetProblem(const QString& text);

    virtual void RequestFolderSize() = 0;
    virtual void RequestFileSize() = 0;
    virtual void PickFolder() = 0;
    virtual void PickFile() = 0;
    // Source page's check on Next; false keeps the page.
    virtual bool CheckSource() = 0;
    virtual void Store() = 0;
    virtual void ShowDescriptions() = 0;
    // The job's path as entered, in the form the folder edit shows it.
    virtual QString EnteredPath() const = 0;

    SizeWalk folderWalk_;
    QRadioButton* folderRadio_;
    QLabel* folderText_;
    QLineEdit* folderEdit_;
    QPushButton* folderPick_;
    QRadioButton* fileRadio_;
    QLabel* fileText_;
    QLineEdit* fileEdit_;
    QPushButton* filePick_;
    QLabel* sizeLine_;
    QLabel* problem_;

private:
    void OnCalculationEnded(bool pending);

    const bool local_;
    SizeCalculation calc_;
};

}  // namespace bxfr::wizard
