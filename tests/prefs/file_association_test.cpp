#include "prefs/file_association.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/temp_dir.h"

extern char** environ;

namespace bxfr::prefs {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const fs::path kDataDir = fs::path(BXFR_SOURCE_DIR) / "data";

// Sets a variable for one test and puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

bool ToolExists(const std::string& name) {
    const char* path = ::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto colon = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && ::access((fs::path(dir) / name).c_str(), X_OK) == 0) return true;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return false;
}

// Runs a tool with the given environment (the test's own when empty), its stdout and stderr
// in output; the exit code, or -1 when it could not be started or did not exit normally.
int RunTool(const std::vector<std::string>& args, const fs::path& output,
            const std::vector<std::string>& env = {}) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc =
        posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.empty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

struct FileState {
    fs::file_time_type mtime;
    std::string bytes;
    bool operator==(const FileState&) const = default;
};

// Every file below the folder with its time stamp and bytes.
std::map<fs::path, FileState> Snapshot(const fs::path& dir) {
    std::map<fs::path, FileState> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file())
            files[entry.path()] = {fs::last_write_time(entry.path()), ReadFile(entry.path())};
    }
    return files;
}

std::vector<std::string> ExecLines(const std::string& entry) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < entry.size()) {
        auto end = entry.find('\n', start);
        if (end == std::string::npos) end = entry.size();
        const std::string line = entry.substr(start, end - start);
        if (line.starts_with("Exec=")) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

class FileAssociationTest : public ::testing::Test {
protected:
    fs::path DesktopEntry() const { return dataHome / "applications" / "bxfr-wizard.desktop"; }
    fs::path MimePackage() const { return dataHome / "mime" / "packages" / "bxfr-transfer.xml"; }
    fs::path ProgramIcon() const { return dataHome / "icons/hicolor/scalable/apps/bxfr-wizard.svg"; }
    fs::path TransferIcon() const {
        return dataHome / "icons/hicolor/scalable/mimetypes/application-x-bxfr-transfer.svg";
    }

    // Another program's MIME package that gives "*.bxt" to its own type.
    static void WriteForeignClaim(const fs::path& data) {
        WriteFile(data / "mime" / "packages" / "other-program.xml",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                  "  <mime-type type=\"application/x-other-batch\">\n"
                  "    <comment>Other batch file</comment>\n"
                  "    <glob pattern=\"*.BXT\"/>\n"
                  "  </mime-type>\n"
                  "</mime-info>\n");
    }

    TempDir temp;
    fs::path dataHome = temp.path() / "data-home";
    fs::path systemData = temp.path() / "system-data";
    fs::path program = temp.path() / "opt" / "bxfr" / "bxfr-wizard";
    ScopedEnv dataHomeEnv{"XDG_DATA_HOME", dataHome.string()};
    ScopedEnv dataDirsEnv{"XDG_DATA_DIRS", systemData.string()};
};

TEST_F(FileAssociationTest, FirstStartWritesEntryMimePackageAndIcons) {
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Written);

    const std::string entry = ReadFile(DesktopEntry());
    const std::string exec = "Exec=\"" + program.string() + "\"";
    EXPECT_EQ(ExecLines(entry), (std::vector<std::string>{exec + " %f", exec + " %f /t", exec + " %f /e"}));
    EXPECT_NE(entry.find("\nName=Brindle FTP Wizard\n"), std::string::npos);
    EXPECT_NE(entry.find("\nMimeType=application/x-bxfr-transfer;\n"), std::string::npos);
    EXPECT_NE(entry.find("\nIcon=bxfr-wizard\n"), std::string::npos);
    EXPECT_NE(entry.find("\nName=Transfer Now\n"), std::string::npos);
    EXPECT_NE(entry.find("\nName=Edit\n"), std::string::npos);

    // The same files the package installs, byte for byte.
    EXPECT_EQ(ReadFile(MimePackage()), ReadFile(kDataDir / "bxfr-transfer.xml"));
    EXPECT_EQ(ReadFile(ProgramIcon()), ReadFile(kDataDir / "bxfr-wizard.svg"));
    EXPECT_EQ(ReadFile(TransferIcon()), ReadFile(kDataDir / "application-x-bxfr-transfer.svg"));

    // No temp file is left behind.
    for (const auto& dir : {DesktopEntry().parent_path(), MimePackage().parent_path()}) {
        for (const auto& file : fs::directory_iterator(dir)) {
            EXPECT_NE(file.path().filename().string().front(), '.') << file.path();
        }
    }
}

TEST_F(FileAssociationTest, TheEntryIsTheInstalledOneWithTheProgramPath) {
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    std::string expected = ReadFile(kDataDir / "bxfr-wizard.desktop");
    for (std::size_t at = 0; (at = expected.find("Exec=bxfr-wizard ", at)) != std::string::npos;) {
        const std::string replacement = "Exec=\"" + program.string() + "\" ";
        expected.replace(at, 17, replacement);
        at += replacement.size();
    }
    EXPECT_EQ(ReadFile(DesktopEntry()), expected);
}

TEST_F(FileAssociationTest, SecondStartChangesNothing) {
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    // Dates well in the past, so that any rewrite shows whatever the clock's resolution.
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
    for (const auto& entry : fs::recursive_directory_iterator(dataHome)) {
        fs::last_write_time(entry.path(), old);
    }
    const auto before = Snapshot(dataHome);

    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Unchanged);
    EXPECT_EQ(Snapshot(dataHome), before);
    for (const auto& entry : fs::recursive_directory_iterator(dataHome)) {
        EXPECT_EQ(fs::last_write_time(entry.path()), old) << entry.path();
    }
}

TEST_F(FileAssociationTest, AChangedFileIsPutBack) {
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    WriteFile(TransferIcon(), "<svg/>");
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    EXPECT_EQ(ReadFile(TransferIcon()), ReadFile(kDataDir / "application-x-bxfr-transfer.svg"));
}

TEST_F(FileAssociationTest, AGlobOwnedByAnotherProgramInTheUserFolderIsLeftAlone) {
    WriteForeignClaim(dataHome);
    const auto before = Snapshot(dataHome);

    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::OwnedElsewhere);
    EXPECT_EQ(Snapshot(dataHome), before);
    EXPECT_FALSE(fs::exists(DesktopEntry()));
    EXPECT_FALSE(fs::exists(MimePackage()));
    EXPECT_FALSE(fs::exists(ProgramIcon()));
}

TEST_F(FileAssociationTest, AGlobOwnedByAnotherProgramInASystemFolderIsLeftAlone) {
    WriteForeignClaim(systemData);
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::OwnedElsewhere);
    EXPECT_FALSE(fs::exists(dataHome));
}

TEST_F(FileAssociationTest, OurOwnTypeInASystemFolderIsNoOtherOwner) {
    // As after installing the package: the system copy of the same MIME package.
    WriteFile(systemData / "mime" / "packages" / "bxfr-transfer.xml",
              ReadFile(kDataDir / "bxfr-transfer.xml"));
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    EXPECT_TRUE(fs::exists(DesktopEntry()));
}

TEST_F(FileAssociationTest, OtherGlobsOfOtherProgramsDoNotCount) {
    WriteFile(systemData / "mime" / "packages" / "other-program.xml",
              "<?xml version=\"1.0\"?>\n"
              "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
              "  <mime-type type=\"application/x-bxt-lookalike\"><glob pattern=\"*.bxtx\"/></mime-type>\n"
              "</mime-info>\n");
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
}

TEST_F(FileAssociationTest, TheDefaultSystemFoldersAreReadWhenNoneAreSet) {
    ScopedEnv noDirs("XDG_DATA_DIRS", std::nullopt);
    // Holds unless this machine has a program of its own for ".bxt".
    EXPECT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
}

TEST_F(FileAssociationTest, MovingTheProgramUpdatesTheExecPaths) {
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    const fs::path moved = temp.path() / "elsewhere" / "bxfr-wizard";
    EXPECT_EQ(RegisterFileAssociation(moved), AssociationResult::Written);

    const std::string entry = ReadFile(DesktopEntry());
    const std::string exec = "Exec=\"" + moved.string() + "\"";
    EXPECT_EQ(ExecLines(entry), (std::vector<std::string>{exec + " %f", exec + " %f /t", exec + " %f /e"}));
    EXPECT_EQ(entry.find(program.string()), std::string::npos);
}

TEST_F(FileAssociationTest, AProgramPathWithBlanksIsQuoted) {
    const fs::path spaced = temp.path() / "My Programs" / "Brindle FTP" / "bxfr-wizard";
    ASSERT_EQ(RegisterFileAssociation(spaced), AssociationResult::Written);
    const std::string exec = "Exec=\"" + spaced.string() + "\"";
    EXPECT_EQ(ExecLines(ReadFile(DesktopEntry())),
              (std::vector<std::string>{exec + " %f", exec + " %f /t", exec + " %f /e"}));
}

TEST_F(FileAssociationTest, ARelativeProgramPathIsMadeAbsolute) {
    ASSERT_EQ(RegisterFileAssociation("bin/bxfr-wizard"), AssociationResult::Written);
    const std::string exec = "Exec=\"" + (fs::current_path() / "bin" / "bxfr-wizard").string() + "\" %f";
    EXPECT_EQ(ExecLines(ReadFile(DesktopEntry())).front(), exec);
}

TEST(QuoteExecArgument, QuotesAndEscapesForTheEntry) {
    EXPECT_EQ(QuoteExecArgument("/usr/bin/bxfr-wizard"), "\"/usr/bin/bxfr-wizard\"");
    EXPECT_EQ(QuoteExecArgument("/opt/My Programs/bxfr"), "\"/opt/My Programs/bxfr\"");
    // Quoting escapes first, then the string escapes of the entry double every backslash.
    EXPECT_EQ(QuoteExecArgument("/a\"b"), "\"/a\\\\\"b\"");
    EXPECT_EQ(QuoteExecArgument("/a$b`c"), "\"/a\\\\$b\\\\`c\"");
    EXPECT_EQ(QuoteExecArgument("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(QuoteExecArgument("/100%/b"), "\"/100%%/b\"");
    EXPECT_EQ(QuoteExecArgument("/a'b;c&d"), "\"/a'b;c&d\"");
}

TEST_F(FileAssociationTest, APathAnEntryCannotHoldWritesNothing) {
    EXPECT_EQ(RegisterFileAssociation(temp.path() / "bad\nname" / "bxfr-wizard"), AssociationResult::Failed);
    EXPECT_EQ(RegisterFileAssociation(temp.path() / "latin1-\xe9" / "bxfr-wizard"),
              AssociationResult::Failed);
    EXPECT_FALSE(fs::exists(dataHome));
}

TEST_F(FileAssociationTest, TheWrittenEntryPassesDesktopFileValidate) {
    if (!ToolExists("desktop-file-validate")) GTEST_SKIP() << "desktop-file-validate is not installed";
    const fs::path output = temp.path() / "validate.txt";
    for (const fs::path& path : {program, temp.path() / "My Programs" / "bxfr-wizard",
                                 temp.path() / "odd $name 'with' \"quotes\" \\ 100%" / "bxfr-wizard"}) {
        ASSERT_NE(RegisterFileAssociation(path), AssociationResult::Failed) << path;
        EXPECT_EQ(RunTool({"desktop-file-validate", DesktopEntry().string()}, output), 0) << path << "\n"
                                                                                          << ReadFile(output);
    }
    EXPECT_EQ(RunTool({"desktop-file-validate", (kDataDir / "bxfr-wizard.desktop").string()}, output), 0)
        << ReadFile(output);
}

TEST_F(FileAssociationTest, TheDesktopDatabaseListsTheType) {
    if (!ToolExists("update-desktop-database")) GTEST_SKIP() << "update-desktop-database is not installed";
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    const std::string cache = ReadFile(dataHome / "applications" / "mimeinfo.cache");
    EXPECT_NE(cache.find("application/x-bxfr-transfer=bxfr-wizard.desktop;"), std::string::npos) << cache;
}

TEST_F(FileAssociationTest, XdgMimeKnowsTheTransferFileType) {
    if (!ToolExists("update-mime-database") || !ToolExists("xdg-mime")) {
        GTEST_SKIP() << "update-mime-database or xdg-mime is not installed";
    }
    // Without a desktop xdg-mime asks file(1), which knows nothing of shared MIME data.
    std::string desktop;
    if (ToolExists("gio")) {
        desktop = "GNOME";
    } else if (ToolExists("mimetype")) {
        desktop = "X-Generic";
    } else {
        GTEST_SKIP() << "xdg-mime has neither gio nor mimetype to ask";
    }
    ASSERT_EQ(RegisterFileAssociation(program), AssociationResult::Written);
    ASSERT_TRUE(fs::exists(dataHome / "mime" / "mime.cache"));

    const fs::path sample = temp.path() / "sample.bxt";
    WriteFile(sample, "[BXFR]\r\nSERVER=ftp.example.org\r\n");
    const fs::path output = temp.path() / "filetype.txt";
    const char* path = ::getenv("PATH");
    const std::vector<std::string> env = {
        "PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"),
        "HOME=" + temp.path().string(),
        "XDG_DATA_HOME=" + dataHome.string(),
        "XDG_DATA_DIRS=" + dataHome.string(),
        "XDG_CURRENT_DESKTOP=" + desktop,
    };
    ASSERT_EQ(RunTool({"xdg-mime", "query", "filetype", sample.string()}, output, env), 0)
        << ReadFile(output);
    std::string type = ReadFile(output);
    while (!type.empty() && (type.back() == '\n' || type.back() == ' ')) type.pop_back();
    EXPECT_EQ(type, "application/x-bxfr-transfer");
}

TEST_F(FileAssociationTest, AnUnwritableDataFolderFailsQuietly) {
    // A plain file where a folder should be stops even root.
    WriteFile(temp.path() / "not-a-folder", "x");
    ScopedEnv blocked("XDG_DATA_HOME", (temp.path() / "not-a-folder" / "share").string());
    AssociationResult result = AssociationResult::Written;
    EXPECT_NO_THROW(result = RegisterFileAssociation(program));
    EXPECT_EQ(result, AssociationResult::Failed);
}

TEST_F(FileAssociationTest, AReadOnlyDataFolderFailsQuietly) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    fs::create_directories(dataHome);
    fs::permissions(dataHome, fs::perms::owner_read | fs::perms::owner_exec);
    AssociationResult result = AssociationResult::Written;
    EXPECT_NO_THROW(result = RegisterFileAssociation(program));
    EXPECT_EQ(result, AssociationResult::Failed);
    fs::permissions(dataHome, fs::perms::owner_all);
}

TEST(UserDataHome, FollowsTheXdgRules) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv dataHome("XDG_DATA_HOME", "/srv/data");
        EXPECT_EQ(UserDataHome(), fs::path("/srv/data"));
    }
    {
        ScopedEnv dataHome("XDG_DATA_HOME", "relative/data");
        EXPECT_EQ(UserDataHome(), fs::path("/home/someone/.local/share"));
    }
    {
        ScopedEnv dataHome("XDG_DATA_HOME", std::nullopt);
        EXPECT_EQ(UserDataHome(), fs::path("/home/someone/.local/share"));
        ScopedEnv noHome("HOME", std::nullopt);
        EXPECT_EQ(UserDataHome(), fs::path());
    }
}

TEST(RegisterFileAssociation, NoDataFolderAtAllFailsQuietly) {
    ScopedEnv dataHome("XDG_DATA_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    EXPECT_EQ(RegisterFileAssociation("/usr/bin/bxfr-wizard"), AssociationResult::Failed);
}

}  // namespace
}  // namespace bxfr::prefs
