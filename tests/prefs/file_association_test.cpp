#include "prefs/file_association.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/files.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace bxfr::prefs {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

const fs::path kDataDir = fs::path(BXFR_SOURCE_DIR) / "data";

using test::ScopedEnv;

// Every file below the folder with its time stamp and bytes.
std::map<fs::path, std::pair<fs::file_time_type, std::string>> Snapshot(const fs::path& dir) {
    std::map<fs::path, std::pair<fs::file_time_type, std::string>> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) files[entry.path()] = {entry.last_write_time(), ReadFile(entry.path())};
    return files;
}

std::vector<std::string> ExecLines(const std::string& entry) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; (at = entry.find("\nExec=", at)) != std::string::npos;) {
        const auto end = entry.find('\n', at + 1);
        lines.push_back(entry.substr(at + 1, end - at - 1));
        at = end;
    }
    return lines;
}

class FileAssociationTest : public ::testing::Test {
protected:
    fs::path DesktopEntry() const { return dataHome / "applications" / "bxfr-wizard.desktop"; }
    fs::path TransferIcon() const {
        return dataHome / "icons/hicolor/scalable/mimetypes/application-x-bxfr-transfer.svg";
    }
    void ExpectExecFor(const fs::path& path) const {
        const std::string exec = "Exec=\"" + path.string() + "\"";
        EXPECT_EQ(ExecLines(ReadFile(DesktopEntry())),
                  (std::vector<std::string>{exec + " %f", exec + " %f /t", exec + " %f /e"}));
    }

    test::TempDir temp;
    fs::path dataHome = temp.path() / "data-home";
    fs::path systemData = temp.path() / "system-data";
    fs::path program = temp.path() / "opt" / "bxfr" / "bxfr-wizard";
    ScopedEnv dataHomeEnv{"XDG_DATA_HOME", dataHome.string()};
    ScopedEnv dataDirsEnv{"XDG_DATA_DIRS", systemData.string()};
};

TEST_F(FileAssociationTest, FirstStartWritesTheInstalledFilesWithTheProgramPath) {
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    std::string expected = ReadFile(kDataDir / "bxfr-wizard.desktop");
    const std::string exec = "Exec=\"" + program.string() + "\" ";
    for (std::size_t at = 0; (at = expected.find("Exec=bxfr-wizard ", at)) != std::string::npos;
         at += exec.size())
        expected.replace(at, 17, exec);
    EXPECT_EQ(ReadFile(DesktopEntry()), expected);
    EXPECT_EQ(ReadFile(dataHome / "mime/packages/bxfr-transfer.xml"),
              ReadFile(kDataDir / "bxfr-transfer.xml"));
    EXPECT_EQ(ReadFile(dataHome / "icons/hicolor/scalable/apps/bxfr-wizard.svg"),
              ReadFile(kDataDir / "bxfr-wizard.svg"));
    EXPECT_EQ(ReadFile(TransferIcon()), ReadFile(kDataDir / "application-x-bxfr-transfer.svg"));
    for (const auto& file : fs::recursive_directory_iterator(dataHome))
        EXPECT_NE(file.path().filename().string().front(), '.') << "temporary file left: " << file.path();
}

TEST_F(FileAssociationTest, SecondStartChangesNothingButPutsBackAChangedFile) {
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    // Dates well in the past, so that any rewrite shows whatever the clock's resolution.
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
    for (const auto& entry : fs::recursive_directory_iterator(dataHome))
        fs::last_write_time(entry.path(), old);
    const auto before = Snapshot(dataHome);
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Unchanged);
    EXPECT_EQ(Snapshot(dataHome), before);

    WriteFile(TransferIcon(), "<svg/>");
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    EXPECT_EQ(ReadFile(TransferIcon()), ReadFile(kDataDir / "application-x-bxfr-transfer.svg"));
}

TEST_F(FileAssociationTest, AGlobOwnedByAnotherProgramIsLeftAlone) {
    const std::string foreign =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
        "  <mime-type type=\"application/x-other-batch\"><glob pattern=\"*.BXT\"/></mime-type>\n"
        "</mime-info>\n";
    WriteFile(systemData / "mime/packages/other-program.xml", foreign);
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::OwnedElsewhere);
    EXPECT_FALSE(fs::exists(dataHome));

    WriteFile(dataHome / "mime/packages/other-program.xml", foreign);
    const auto before = Snapshot(dataHome);
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::OwnedElsewhere);
    EXPECT_EQ(Snapshot(dataHome), before);
}

TEST_F(FileAssociationTest, OurOwnInstalledTypeIsNoOtherOwner) {
    WriteFile(systemData / "mime/packages/bxfr-transfer.xml", ReadFile(kDataDir / "bxfr-transfer.xml"));
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
}

// Paths an entry cannot hold fail quietly; any other program path, also a moved one, gets an entry
// that runs it and passes desktop-file-validate.
TEST_F(FileAssociationTest, EveryProgramPathGetsAValidEntryOrNone) {
    for (const char* bad : {"bad\nname", "latin1-\xe9"})
        EXPECT_EQ(RegisterFileAssociation(temp.path() / bad / "bxfr-wizard"), AssociationResult::Failed)
            << bad;
    EXPECT_FALSE(fs::exists(dataHome));
    const bool validate = test::RunProgram({"desktop-file-validate", "--help"}).exitCode >= 0;
    for (const fs::path& path : {program, temp.path() / "elsewhere" / "bxfr-wizard",
                                 temp.path() / "My Programs" / "Brindle FTP" / "bxfr-wizard",
                                 temp.path() / "odd $name 'with' \"quotes\" \\ 100%" / "bxfr-wizard"}) {
        ASSERT_EQ(RegisterFileAssociation(path), AssociationResult::Written) << path;
        if (path.string().find_first_of("$'\"\\%") == std::string::npos) ExpectExecFor(path);
        if (validate) {
            const auto validated = test::RunProgram({"desktop-file-validate", DesktopEntry().string()});
            EXPECT_EQ(validated.exitCode, 0) << path << "\n" << validated.out << validated.err;
        }
    }
    // Quoting escapes first, then the string escapes of the entry double every backslash.
    EXPECT_EQ(QuoteExecArgument("/a\"b$c"), "\"/a\\\\\"b\\\\$c\"");
    EXPECT_EQ(QuoteExecArgument("/100%/b"), "\"/100%%/b\"");
}

TEST_F(FileAssociationTest, AnUnwritableFolderFailsQuietly) {
    // A plain file where a folder should be stops even root.
    WriteFile(temp.path() / "not-a-folder", "x");
    ScopedEnv blocked("XDG_DATA_HOME", (temp.path() / "not-a-folder" / "share").string());
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Failed);
}

}  // namespace
}  // namespace bxfr::prefs
