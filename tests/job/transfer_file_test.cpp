#include "job/transfer_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <vector>

#include "job/ini_file.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace bxfr::job {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// As the Windows program writes it: CRLF, Windows-1252 text, the writer's key order. B2415CBFE44E
// is "secret" under the stored-password key. The comment lines and NOTE are a user's edits.
const std::string kWindowsFile =
    "; nightly upload\r\n"
    "[BXFR]\r\n"
    "SERVER=ftp.example.com\r\n"
    "SERVERPATH=\\www\\htdocs\\\r\n"
    "LOCALPATH=/srv/site/\r\n"
    "USER=J\xFCrgen\r\n"
    "PASS=\r\n"
    "ENCPASS=B2415CBFE44E\r\n"
    "; kept by hand\r\n"
    "NOTE=keep me\r\n"
    "LOG=/var/log/bxfr.log\r\n"
    "PORT=2121\r\n"
    "PROXY=\r\n"
    "GET=0\r\n"
    "IGNORE=1\r\n"
    "VERBOSE=0\r\n"
    "ARCHIVE=0\r\n"
    "UPGRADE=0\r\n"
    "SINGLE=0\r\n"
    "PASSIVE=1\r\n"
    "FORCEBIN=0\r\n"
    "FORCEASCII=1\r\n"
    "PASSPROMPT=0\r\n"
    "[BXFRWIZ]\r\n"
    "AUTOXFER=1\r\n"
    "[SELECT]\r\n"
    "EXCLUDE(1)=*.bak\r\n"
    "EXCLUDE(2)=*.tmp\r\n"
    "[CHMOD]\r\n"
    "CHMODEXT(1)=*.cgi\r\n"
    "CHMODACT(1)=755\r\n"
    "[SCRIPT]\r\n"
    "CONN(1)=SITE UMASK 022,Y\r\n"
    "TRAN(1)=NOOP\r\n"
    "DISC(1)=QUIT\r\n";

TransferJob ExpectedWindowsJob() {
    TransferJob job;
    job.SetServer("ftp.example.com");
    job.SetRemotePath("\\www\\htdocs\\");
    job.SetLocalPath("/srv/site/");
    job.SetUserName("J\xC3\xBCrgen");
    job.SetPassword("secret");
    job.SetLogPath("/var/log/bxfr.log");
    job.SetPort(2121);
    job.ignoreErrors = 1;
    job.passive = 1;
    job.transferType = 2;
    job.autoTransfer = 1;
    job.selectMode = 2;
    job.AddSelectRule("*.bak");
    job.AddSelectRule("*.tmp");
    job.AddChmodRule("*.cgi", "755");
    job.AddConnScript("SITE UMASK 022,Y");
    job.AddTranScript("NOOP");
    job.AddDiscScript("QUIT");
    return job;
}

void ExpectSameJob(const TransferJob& got, const TransferJob& want) {
    EXPECT_TRUE(got == want) << got.server << " " << got.userName << " " << got.password;
    EXPECT_EQ(got.remotePath, want.remotePath);
    EXPECT_EQ(got.localPath, want.localPath);
    EXPECT_EQ(got.selectRules, want.selectRules);
    EXPECT_EQ(got.chmodRules, want.chmodRules);
    EXPECT_EQ(got.connScript, want.connScript);
    EXPECT_EQ(got.tranScript, want.tranScript);
    EXPECT_EQ(got.discScript, want.discScript);
}

int Load(const fs::path& path, TransferJob& job) { return LoadTransferFile(path.string(), job); }
int Save(const fs::path& path, const TransferJob& job) { return SaveTransferFile(path.string(), job); }

unsigned Mode(const fs::path& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0xFFFF;
}

TEST(TransferFile, LoadsAFileWrittenOnWindows) {
    test::TempDir dir;
    auto file = dir.path() / "nightly.bxt";
    WriteFile(file, kWindowsFile);
    TransferJob job;
    ASSERT_EQ(Load(file, job), kTransferFileLoaded);
    ExpectSameJob(job, ExpectedWindowsJob());
    EXPECT_EQ(job.remotePath, "/www/htdocs");
}

TEST(TransferFile, ReaderRules) {
    test::TempDir dir;
    auto file = dir.path() / "t.bxt";
    auto load = [&](const std::string& text, TransferJob& job) {
        WriteFile(file, text);
        return Load(file, job);
    };

    TransferJob upgradeOnly;
    EXPECT_EQ(load("[BXFR]\nUPGRADE=1\n", upgradeOnly), kTransferFileLoaded);
    EXPECT_TRUE(upgradeOnly.server.empty());

    TransferJob noServer;
    EXPECT_EQ(load("[BXFR]\nUSER=anna\nGET=1\n", noServer), kTransferFileInvalid);
    EXPECT_EQ(noServer.userName, "anna");  // kept although invalid

    TransferJob both;
    EXPECT_EQ(load("[BXFR]\nSERVER=h\n[SELECT]\nINCLUDE(1)=*.a\nEXCLUDE(1)=*.b\n", both),
              kTransferFileInvalid);
    EXPECT_EQ(both.selectRules.size(), 2u);

    TransferJob job;
    ASSERT_EQ(load("[bxfr]\r\n"
                   "server=host ; main server\r\n"
                   "USER=anna\t# tab comment\r\n"
                   "PASS=pa;ss\r\n"
                   "PORT=abc\r\n"
                   "FORCEBIN=1\r\n"
                   "FORCEASCII=0\r\n"
                   "[SELECT]\r\nINCLUDE(1)=*.htm ; web\r\nINCLUDE(3)=*.css\r\n"
                   "[CHMOD]\r\nCHMODEXT(1)=*.pl\r\nCHMODACT(1)=755\r\nCHMODEXT(2)=*.sh\r\nCHMODACT(2)=\r\n"
                   "CHMODEXT(3)=*.py\r\nCHMODACT(3)=700\r\n"
                   "[SCRIPT]\r\nCONN(1)=SITE X;Y\tZ\r\nCONN(2)=STAT,anything\r\n",
                   job),
              kTransferFileLoaded);
    EXPECT_EQ(job.server, "host");
    EXPECT_EQ(job.userName, "anna");
    EXPECT_EQ(job.password, "pa");
    EXPECT_EQ(job.port, 0);
    EXPECT_EQ(job.transferType, 1);
    EXPECT_EQ(job.selectMode, 1);
    EXPECT_EQ(job.selectRules, (std::list<tagBXFR_SEL>{{"*.htm"}}));
    EXPECT_EQ(job.chmodRules, (std::list<tagBXFR_CHMOD>{{"*.pl", 755}}));
    ASSERT_EQ(job.connScript.size(), 2u);
    EXPECT_EQ(job.connScript.front().command, "SITE X;Y\tZ");
    EXPECT_EQ(job.connScript.back(), (tagBXFR_SCRIPT{"Conn", "STAT", 1, 2}));

    TransferJob wide;
    ASSERT_EQ(load("[BXFR]\nSERVER=h\nPORT=70000\nPASS=clear\n", wide), kTransferFileLoaded);
    EXPECT_EQ(wide.port, 70000 % 65536);
    EXPECT_EQ(wide.password, "clear");
}

TEST(TransferFile, SaveAndLoadRoundTrip) {
    test::TempDir dir;
    TransferJob job = ExpectedWindowsJob();
    job.SetPassword("p\xC3\xA4ss;wo\"rd ");  // ';', quote and blank survive: the password is stored encrypted
    job.SetProxy("gate:3128");
    job.checkUpgrade = 1;
    job.AddConnScript("CWD /a,b");
    auto first = dir.path() / "a.bxt";
    ASSERT_EQ(Save(first, job), kTransferFileLoaded);
    TransferJob loaded;
    ASSERT_EQ(Load(first, loaded), kTransferFileLoaded);
    job.connScript.back().command = "CWD /a";  // the text after a comma only marks expectResponse
    ExpectSameJob(loaded, job);

    auto second = dir.path() / "b.bxt";
    ASSERT_EQ(Save(second, loaded), kTransferFileLoaded);
    EXPECT_EQ(ReadFile(second), ReadFile(first));

    // Whatever bytes a decrypted password holds, the file keeps them as hexadecimal.
    TransferJob odd = job;
    odd.SetPassword(std::string("a\r\nb\0c", 6));
    ASSERT_EQ(Save(first, odd), kTransferFileLoaded);
    TransferJob oddLoaded;
    ASSERT_EQ(Load(first, oddLoaded), kTransferFileLoaded);
    EXPECT_EQ(oddLoaded.password, odd.password);

    TransferJob unselected = job;
    unselected.selectMode = 0;
    ASSERT_EQ(Save(first, unselected), kTransferFileLoaded);
    EXPECT_EQ(ReadFile(first).find("[SELECT]"), std::string::npos);
}

TEST(TransferFile, SavingThroughALinkKeepsTheLink) {
    test::TempDir dir;
    const TransferJob job = ExpectedWindowsJob();
    const auto real = dir.path() / "kept" / "nightly.bxt";
    fs::create_directories(real.parent_path());
    ASSERT_EQ(Save(real, job), kTransferFileLoaded);
    const auto link = dir.path() / "nightly.bxt";
    fs::create_symlink(real, link);
    TransferJob changed = job;
    changed.SetServer("ftp2.example.com");
    ASSERT_EQ(Save(link, changed), kTransferFileLoaded);
    EXPECT_TRUE(fs::is_symlink(link));
    TransferJob loaded;
    ASSERT_EQ(Load(real, loaded), kTransferFileLoaded);
    EXPECT_EQ(loaded.server, "ftp2.example.com");
}

TEST(TransferFile, SavingBackChangesOnlyWhatTheJobChanged) {
    test::TempDir dir;
    auto file = dir.path() / "nightly.bxt";
    WriteFile(file, kWindowsFile);
    TransferJob job;
    ASSERT_EQ(Load(file, job), kTransferFileLoaded);
    ASSERT_EQ(Save(file, job), kTransferFileLoaded);
    EXPECT_EQ(ReadFile(file), kWindowsFile);

    job.SetPort(21);
    job.SetPassword("");  // an empty password leaves the stored one alone
    ASSERT_EQ(Save(file, job), kTransferFileLoaded);
    std::string expected = kWindowsFile;
    expected.replace(expected.find("PORT=2121"), 9, "PORT=21");
    EXPECT_EQ(ReadFile(file), expected);

    job.promptPassword = 1;
    ASSERT_EQ(Save(file, job), kTransferFileLoaded);
    std::string prompted = ReadFile(file);
    EXPECT_NE(prompted.find("\r\nENCPASS=\r\n"), std::string::npos);
    EXPECT_NE(prompted.find("\r\nPASSPROMPT=1\r\n"), std::string::npos);

    // A clear PASS moves, encrypted, into ENCPASS on the next save.
    WriteFile(file, "[BXFR]\r\nSERVER=h\r\nPASS=secret\r\n");
    TransferJob clear;
    ASSERT_EQ(Load(file, clear), kTransferFileLoaded);
    ASSERT_EQ(Save(file, clear), kTransferFileLoaded);
    std::string moved = ReadFile(file);
    EXPECT_NE(moved.find("\r\nPASS=\r\n"), std::string::npos) << moved;
    EXPECT_NE(moved.find("\r\nENCPASS=B2415CBFE44E\r\n"), std::string::npos) << moved;
}

TEST(TransferFile, FailedSaveLeavesTheOldFileAlone) {
    test::TempDir dir;
    auto file = dir.path() / "nightly.bxt";
    WriteFile(file, kWindowsFile);
    TransferJob job = ExpectedWindowsJob();
    job.SetPort(2);  // so that any write that got through would show

    EXPECT_EQ(Save(dir.path(), job), kTransferFileWriteFailed);
    EXPECT_EQ(Save(dir.path() / "no" / "such.bxt", job), kTransferFileWriteFailed);
    EXPECT_EQ(SaveTransferFile("", job), kTransferFileWriteFailed);

    // A line break would smuggle keys of its own into the file.
    for (const std::string& bad :
         {std::string("h\r\nUPGRADE=1"), std::string("h\nx"), std::string("h\0x", 3)}) {
        TransferJob broken = job;
        broken.userName = bad;
        EXPECT_EQ(Save(file, broken), kTransferFileWriteFailed);
    }
    TransferJob badScript = job;
    badScript.AddTranScript("NOOP\rQUIT");
    EXPECT_EQ(Save(file, badScript), kTransferFileWriteFailed);

    // A write that fails half way: the file-size limit stops the temporary file early.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = Save(file, job);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, kTransferFileWriteFailed);

    if (geteuid() != 0) {
        fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(Save(file, job), kTransferFileWriteFailed);
        fs::permissions(dir.path(), fs::perms::owner_all);
    }

    EXPECT_EQ(ReadFile(file), kWindowsFile);
    std::vector<fs::path> left(fs::directory_iterator(dir.path()), fs::directory_iterator());
    EXPECT_EQ(left, std::vector<fs::path>{file}) << "a temporary file was left behind";
}

TEST(TransferFile, AFileHoldingAPasswordIsForItsOwnerOnly) {
    test::TempDir dir;
    TransferJob job = ExpectedWindowsJob();
    auto withPassword = dir.path() / "p.bxt";
    ASSERT_EQ(Save(withPassword, job), kTransferFileLoaded);
    EXPECT_EQ(Mode(withPassword), 0600u);

    auto shared = dir.path() / "shared.bxt";
    WriteFile(shared, "[BXFR]\r\nSERVER=h\r\n");
    fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
    job.promptPassword = 1;
    ASSERT_EQ(Save(shared, job), kTransferFileLoaded);
    EXPECT_EQ(Mode(shared), 0644u);  // no password in it: the file keeps its mode
    job.promptPassword = 0;
    ASSERT_EQ(Save(shared, job), kTransferFileLoaded);
    EXPECT_EQ(Mode(shared), 0600u);
}

TEST(TransferFile, BrokenInputsAreInvalidOrLoadSafely) {
    test::TempDir dir;
    auto file = dir.path() / "t.bxt";
    TransferJob job;
    EXPECT_EQ(Load(dir.path() / "missing.bxt", job), kTransferFileInvalid);
    EXPECT_EQ(Load(dir.path(), job), kTransferFileInvalid);
    EXPECT_EQ(LoadTransferFile("", job), kTransferFileInvalid);

    WriteFile(file, "[BXFR]\r\nSERVER=h\r\n" + std::string(IniFile::kMaxFileBytes, '\n'));
    EXPECT_EQ(Load(file, job), kTransferFileInvalid);

    std::mt19937 random(7);
    std::string garbage(64 * 1024, '\0');
    for (auto& c : garbage) c = static_cast<char>(random());
    WriteFile(file, garbage);
    TransferJob g;
    EXPECT_EQ(Load(file, g), kTransferFileInvalid);

    WriteFile(file, kWindowsFile.substr(0, kWindowsFile.find("ENCPASS=B2415") + 10));
    TransferJob truncated;
    EXPECT_EQ(Load(file, truncated), kTransferFileLoaded);
    EXPECT_EQ(truncated.server, "ftp.example.com");

    WriteFile(file, "[BXFR]\r\nSERVER=" + std::string(5000, 's') + "\r\nUSER=" + std::string(3000, '\xE4') +
                        "\r\n");
    TransferJob longValues;
    EXPECT_EQ(Load(file, longValues), kTransferFileLoaded);
    EXPECT_EQ(longValues.server.size(), 1023u);
    EXPECT_LE(longValues.userName.size(), 1023u);

    // A value ends where a C string or a line would; what was loaded can be saved back.
    const char withNul[] = "[BXFR]\r\nSERVER=h\0st\r\nUSER=a\rb\r\nLOG=x\0\n";
    WriteFile(file, std::string(withNul, sizeof withNul - 1));
    TransferJob nul;
    EXPECT_EQ(Load(file, nul), kTransferFileLoaded);
    EXPECT_EQ(nul.server, "h");
    EXPECT_EQ(nul.userName, "a");
    EXPECT_EQ(nul.logPath, "x");
    EXPECT_EQ(Save(file, nul), kTransferFileLoaded);

    if (mkfifo((dir.path() / "fifo.bxt").c_str(), 0600) == 0) {  // must not block the reader
        EXPECT_EQ(Load(dir.path() / "fifo.bxt", job), kTransferFileInvalid);
        EXPECT_EQ(Save(dir.path() / "fifo.bxt", job), kTransferFileWriteFailed);
    }
}

// Random damage to real files must never crash the reader, nor a save of what it read.
TEST(TransferFile, MutatedFilesNeverCrash) {
    test::TempDir dir;
    auto file = dir.path() / "m.bxt";
    auto saved = dir.path() / "s.bxt";
    const std::string samples[] = {kWindowsFile,
                                   "[BXFR]\nSERVER=h ; c\nUPGRADE=1\n[SELECT]\nINCLUDE(1)=*.a\n"
                                   "[CHMOD]\nCHMODEXT(1)=*\nCHMODACT(1)=777\n[SCRIPT]\nDISC(1)=QUIT,Y\n"};
    std::string alphabet = "[]=;\t\r\n\"' ,()0123456789ABCDEFbxfr\xFC\x80\xC3\xFF";
    alphabet += '\0';
    std::mt19937 random(20240611);
    for (int round = 0; round < 2000; ++round) {
        std::string text = samples[round % 2];
        int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            std::size_t at = random() % text.size();
            char c = alphabet[random() % alphabet.size()];
            switch (random() % 4) {
                case 0:
                    text[at] = c;
                    break;
                case 1:
                    text.insert(at, 1, c);
                    break;
                case 2:
                    text.erase(at, 1 + random() % 16);
                    break;
                default:
                    text.insert(at, text.substr(random() % text.size(), random() % 40));
                    break;
            }
        }
        WriteFile(file, text);
        TransferJob job;
        int result = Load(file, job);
        ASSERT_TRUE(result == kTransferFileLoaded || result == kTransferFileInvalid) << round;
        if (round % 20 == 0) {
            ASSERT_EQ(Save(saved, job), kTransferFileLoaded) << round;
            TransferJob again;
            Load(saved, again);
        }
    }
}

}  // namespace
}  // namespace bxfr::job
