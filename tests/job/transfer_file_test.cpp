#include "job/transfer_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <tuple>
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
    "; nightly upload\r\n[BXFR]\r\nSERVER=ftp.example.com\r\nSERVERPATH=\\www\\htdocs\\\r\n"
    "LOCALPATH=/srv/site/\r\nUSER=J\xFCrgen\r\nPASS=\r\nENCPASS=B2415CBFE44E\r\n"
    "; kept by hand\r\nNOTE=keep me\r\nLOG=/var/log/bxfr.log\r\nPORT=2121\r\nPROXY=\r\n"
    "GET=0\r\nIGNORE=1\r\nVERBOSE=0\r\nARCHIVE=0\r\nUPGRADE=0\r\nSINGLE=0\r\nPASSIVE=1\r\n"
    "FORCEBIN=0\r\nFORCEASCII=1\r\nPASSPROMPT=0\r\n[BXFRWIZ]\r\nAUTOXFER=1\r\n"
    "[SELECT]\r\nEXCLUDE(1)=*.bak\r\nEXCLUDE(2)=*.tmp\r\n[CHMOD]\r\nCHMODEXT(1)=*.cgi\r\nCHMODACT(1)=755\r\n"
    "[SCRIPT]\r\nCONN(1)=SITE UMASK 022,Y\r\nTRAN(1)=NOOP\r\nDISC(1)=QUIT\r\n";

TransferJob ExpectedWindowsJob() {
    TransferJob job;
    job.SetServer("ftp.example.com");
    job.SetRemotePath("\\www\\htdocs\\");
    job.SetLocalPath("/srv/site/");
    job.SetUserName("J\xFCrgen");  // the bytes of the file: the server knows the name by them
    job.SetPassword("secret");
    job.SetLogPath("/var/log/bxfr.log");
    job.SetPort(2121);
    job.ignoreErrors = job.passive = job.autoTransfer = 1;
    job.transferType = job.selectMode = 2;
    job.AddSelectRule("*.bak");
    job.AddSelectRule("*.tmp");
    job.AddChmodRule("*.cgi", "755");
    job.AddConnScript("SITE UMASK 022,Y");
    job.AddTranScript("NOOP");
    job.AddDiscScript("QUIT");
    return job;
}

// operator== leaves out the paths as resolved.
void ExpectSameJob(const TransferJob& got, const TransferJob& want) {
    auto all = [](const TransferJob& j) { return std::tie(j, j.remotePath, j.localPath); };
    EXPECT_TRUE(all(got) == all(want)) << got.server << " " << got.userName << " " << got.password;
}

int Load(const fs::path& path, TransferJob& job) { return LoadTransferFile(path.string(), job); }
int Save(const fs::path& path, const TransferJob& job) { return SaveTransferFile(path.string(), job); }

class TransferFile : public ::testing::Test {
protected:
    int LoadText(const std::string& text, TransferJob& job) {
        WriteFile(file, text);
        return Load(file, job);
    }
    test::TempDir dir;
    fs::path file = dir.path() / "nightly.bxt";
};

TEST_F(TransferFile, SaveAndLoadRoundTrip) {
    TransferJob job = ExpectedWindowsJob();
    job.AddConnScript("CWD /a,b");
    job.connScript.back().command = "CWD /a";  // the text after a comma only marks expectResponse
    // The keys of our own: simultaneous transfers, retries, temporary names off, SYNC, DELETE.
    job.connections = 7;
    job.retries = 0;
    job.tempNameMinimum = -1;
    job.syncMode = job.deleteMissing = 1;
    // Any bytes survive in a password: it is stored encrypted, as hexadecimal.
    for (const std::string& password : {std::string("p\xC3\xA4ss;wo\"rd "), std::string("a\r\nb\0c", 6)}) {
        job.SetPassword(password);
        ASSERT_EQ(Save(file, job), kTransferFileLoaded);
        TransferJob loaded;
        ASSERT_EQ(Load(file, loaded), kTransferFileLoaded);
        ExpectSameJob(loaded, job);
        const auto again = dir.path() / "again.bxt";
        ASSERT_EQ(Save(again, loaded), kTransferFileLoaded);
        EXPECT_EQ(ReadFile(again), ReadFile(file));
        EXPECT_NE(ReadFile(file).find("SYNC=1\r\nDELETE=1\r\n"), std::string::npos);
    }
}

TEST_F(TransferFile, SavingThroughALinkKeepsTheLink) {
    const auto real = dir.path() / "kept.bxt";
    fs::create_symlink(real, file);
    TransferJob job = ExpectedWindowsJob();
    ASSERT_EQ(Save(real, job), kTransferFileLoaded);
    job.SetServer("ftp2.example.com");
    ASSERT_EQ(Save(file, job), kTransferFileLoaded);
    EXPECT_TRUE(fs::is_symlink(file));
    TransferJob loaded;
    ASSERT_EQ(Load(real, loaded), kTransferFileLoaded);
    EXPECT_EQ(loaded.server, "ftp2.example.com");
}

TEST_F(TransferFile, AFileWrittenOnWindowsLoadsAndSavesBackChangingOnlyWhatTheJobChanged) {
    TransferJob job;
    ASSERT_EQ(LoadText(kWindowsFile, job), kTransferFileLoaded);
    ExpectSameJob(job, ExpectedWindowsJob());
    EXPECT_EQ(job.remotePath, "/www/htdocs");
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
    EXPECT_NE(ReadFile(file).find("\r\nENCPASS=\r\n"), std::string::npos);

    // A clear PASS moves, encrypted, into ENCPASS on the next save.
    TransferJob clear;
    ASSERT_EQ(LoadText("[BXFR]\r\nSERVER=h\r\nPASS=secret\r\n", clear), kTransferFileLoaded);
    ASSERT_EQ(Save(file, clear), kTransferFileLoaded);
    const std::string moved = ReadFile(file);
    EXPECT_NE(moved.find("\r\nPASS=\r\n"), std::string::npos) << moved;
    EXPECT_NE(moved.find("\r\nENCPASS=B2415CBFE44E\r\n"), std::string::npos) << moved;
}

TEST_F(TransferFile, ConnectionSecurityIsWrittenOnlyWhenChosenAndNeverReadAsPlain) {
    TransferJob job;
    ASSERT_EQ(LoadText(kWindowsFile, job), kTransferFileLoaded);
    EXPECT_EQ(job.protocol, Protocol::Ftp);
    EXPECT_EQ(job.fingerprint, "");

    // After the design's keys, and only once they differ from plain FTP.
    job.protocol = Protocol::Ftpes;
    job.fingerprint = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";
    ASSERT_EQ(Save(file, job), kTransferFileLoaded);
    const std::string saved = ReadFile(file);
    EXPECT_NE(
        saved.find("PASSPROMPT=0\r\nPROTOCOL=ftpes\r\nFINGERPRINT=SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/"
                   "YfIAFa0\r\n[BXFRWIZ]"),
        std::string::npos)
        << saved;
    TransferJob loaded;
    ASSERT_EQ(Load(file, loaded), kTransferFileLoaded);
    ExpectSameJob(loaded, job);

    for (const auto& [text, protocol] :
         {std::pair{"ftps", Protocol::Ftps}, std::pair{"FTPES", Protocol::Ftpes},
          std::pair{"ftp", Protocol::Ftp}, std::pair{"SFTP", Protocol::Sftp}}) {
        TransferJob read;
        ASSERT_EQ(LoadText(std::string("[BXFR]\r\nSERVER=h\r\nPROTOCOL=") + text + "\r\n", read),
                  kTransferFileLoaded);
        EXPECT_EQ(read.protocol, protocol) << text;
    }

    // SFTP with a key: the key file's path round-trips beside the host key's fingerprint.
    job.protocol = Protocol::Sftp;
    job.keyFile = "/home/j\xC3\xBCrgen/.ssh/id_ed25519";
    ASSERT_EQ(Save(file, job), kTransferFileLoaded);
    EXPECT_NE(ReadFile(file).find("PROTOCOL=sftp\r\n"), std::string::npos);
    EXPECT_NE(ReadFile(file).find("KEYFILE=/home/j"), std::string::npos);
    TransferJob withKey;
    ASSERT_EQ(Load(file, withKey), kTransferFileLoaded);
    ExpectSameJob(withKey, job);

    // A connection this version does not know is refused, also where UPGRADE alone would load;
    // so is a pin that can match nothing (here with the "\r\n" a script wrote into the value).
    const std::string pin = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";
    for (const std::string& key : std::vector<std::string>{
             "PROTOCOL=scp", "PROTOCOL=ftp s", "PROTOCOL=tls", "FINGERPRINT=" + pin + "\\r\\n",
             "FINGERPRINT=SHA1:ab:cd", "FINGERPRINT=" + pin.substr(0, 40)}) {
        TransferJob refused;
        WriteFile(file, "[BXFR]\r\nSERVER=h\r\nUPGRADE=1\r\n" + key + "\r\n");
        std::string problem;
        EXPECT_EQ(LoadTransferFile(file.string(), refused, DefaultPasswordCrypto(), &problem),
                  kTransferFileInvalid)
            << key;
        EXPECT_NE(problem.find(key), std::string::npos) << problem;
    }
    for (const std::string& typed : {pin, "sha256:" + pin.substr(7) + "=", pin.substr(7)}) {
        TransferJob read;
        EXPECT_EQ(LoadText("[BXFR]\r\nSERVER=h\r\nFINGERPRINT=" + typed + "\r\n", read), kTransferFileLoaded)
            << typed;
    }
}

TEST_F(TransferFile, FailedSaveLeavesTheOldFileAlone) {
    WriteFile(file, kWindowsFile);
    TransferJob job = ExpectedWindowsJob();
    job.SetPort(2);  // so that any write that got through would show
    EXPECT_EQ(Save(dir.path() / "no" / "such.bxt", job), kTransferFileWriteFailed);

    // A line break or NUL would smuggle keys of its own into the file.
    for (const std::string& bad : {std::string("h\r\nUPGRADE=1"), std::string("h\0x", 3)}) {
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
    const int result = Save(file, job);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, kTransferFileWriteFailed);

    EXPECT_EQ(ReadFile(file), kWindowsFile);
    std::vector<fs::path> left(fs::directory_iterator(dir.path()), fs::directory_iterator());
    EXPECT_EQ(left, std::vector<fs::path>{file}) << "a temporary file was left behind";
}

TEST_F(TransferFile, AFileHoldingAPasswordIsForItsOwnerOnly) {
    WriteFile(file, "[BXFR]\r\nSERVER=h\r\n");
    fs::permissions(file, fs::perms(0644));
    ASSERT_EQ(Save(file, ExpectedWindowsJob()), kTransferFileLoaded);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask, fs::perms(0600));
}

TEST_F(TransferFile, ReadingRulesForHandWrittenFiles) {
    TransferJob upgrade;
    EXPECT_EQ(LoadText("[BXFR]\r\nUPGRADE=1\r\n", upgrade), kTransferFileLoaded);
    EXPECT_TRUE(upgrade.server.empty());
    EXPECT_EQ(upgrade.checkUpgrade, 1);

    TransferJob job;
    ASSERT_EQ(
        LoadText("[BXFR]\r\nSERVER=h  ; the test box\r\nUSER=anna\t\tfrom IT\r\nPASS=pa;ss\r\n"
                 "LOG=/var/log/b;x.log\r\nPORT=ftp\r\nFORCEBIN=1\r\nFORCEASCII=1\r\n"
                 "[SELECT]\r\nINCLUDE(1)=*.html ; pages\r\nINCLUDE(3)=*.css\r\n"
                 "[CHMOD]\r\nCHMODEXT(1)=*.cgi\r\nCHMODACT(1)=755\r\nCHMODEXT(2)=*.pl\r\nCHMODACT(2)=\r\n"
                 "CHMODEXT(3)=*.sh\r\nCHMODACT(3)=700\r\n[SCRIPT]\r\nCONN(1)=SITE X;Y\r\n",
                 job),
        kTransferFileLoaded);
    // A comment after ';' or a TAB goes, with the blanks before it, in passwords and paths too;
    // script commands keep theirs.
    EXPECT_EQ(job.server, "h");
    EXPECT_EQ(job.userName, "anna");
    EXPECT_EQ(job.password, "pa");
    EXPECT_EQ(job.logPath, "/var/log/b");
    EXPECT_EQ(job.connScript.front().command, "SITE X;Y");
    EXPECT_EQ(job.port, 0);
    // A file without PASSIVE is active, as such files have always run.
    EXPECT_EQ(job.passive, 0);
    EXPECT_EQ(job.transferType, 2);  // FORCEASCII is read last
    // A numbered list ends at its first gap, and a rule without its permissions ends its list.
    EXPECT_EQ(job.selectRules, (std::list<tagBXFR_SEL>{{"*.html"}}));
    EXPECT_EQ(job.chmodRules, (std::list<tagBXFR_CHMOD>{{"*.cgi", 755}}));

    // A rule that is only a comment is a gap too: as an empty rule it could not be saved.
    TransferJob commented;
    ASSERT_EQ(LoadText("[BXFR]\r\nSERVER=h\r\n[SELECT]\r\nEXCLUDE(1)=*.bak\r\nEXCLUDE(2)=; *.tmp\r\n"
                       "EXCLUDE(3)=*.log\r\n[CHMOD]\r\nCHMODEXT(1)=;*.cgi\r\nCHMODACT(1)=755\r\n",
                       commented),
              kTransferFileLoaded);
    EXPECT_EQ(commented.selectRules, (std::list<tagBXFR_SEL>{{"*.bak"}}));
    EXPECT_EQ(commented.selectMode, 2);
    EXPECT_TRUE(commented.chmodRules.empty());
}

TEST_F(TransferFile, WithoutACipherNoPasswordIsStored) {
    test::TempDir noModules;
    const PasswordCrypto none(noModules.path().c_str());
    ASSERT_FALSE(none.IsCryptoAvailable());
    WriteFile(file, kWindowsFile);
    TransferJob job = ExpectedWindowsJob();
    job.SetPassword("pa;ss\tword");
    EXPECT_TRUE(PasswordLeftOut(job, none));
    EXPECT_FALSE(PasswordLeftOut(job));
    ASSERT_EQ(SaveTransferFile(file.string(), job, none), kTransferFileLoaded);
    // In clear it would come back cut at ';', and be decrypted into garbage where a cipher works;
    // the old encrypted password goes too, since it is no longer the job's.
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("\r\nPASS=\r\nENCPASS=\r\n"), std::string::npos) << text;
    TransferJob loaded;
    ASSERT_EQ(LoadTransferFile(file.string(), loaded, none), kTransferFileLoaded);
    EXPECT_TRUE(loaded.password.empty());
    EXPECT_EQ(loaded.userName, job.userName);
    job.SetPassword("");
    ExpectSameJob(loaded, job);
}

TEST_F(TransferFile, BrokenInputsAreInvalidOrLoadSafely) {
    TransferJob job;
    EXPECT_EQ(Load(dir.path() / "missing.bxt", job), kTransferFileInvalid);
    EXPECT_EQ(LoadText("[BXFR]\nUSER=anna\n", job), kTransferFileInvalid);  // no server
    EXPECT_EQ(LoadText("[BXFR]\nSERVER=h\n[SELECT]\nINCLUDE(1)=*.a\nEXCLUDE(1)=*.b\n", job),
              kTransferFileInvalid);
    EXPECT_EQ(LoadText("[BXFR]\r\nSERVER=h\r\n" + std::string(IniFile::kMaxFileBytes, '\n'), job),
              kTransferFileInvalid);
    EXPECT_EQ(LoadText("[BXFR]\r\nSERVER=" + std::string(5000, 's') + "\r\n", job), kTransferFileLoaded);
    EXPECT_EQ(job.server.size(), 1023u);

    // A value ends where a C string or a line would; what was loaded can be saved back.
    const char withNul[] = "[BXFR]\r\nSERVER=h\0st\r\nUSER=a\rb\r\n";
    TransferJob nul;
    EXPECT_EQ(LoadText(std::string(withNul, sizeof withNul - 1), nul), kTransferFileLoaded);
    EXPECT_EQ(nul.server, "h");
    EXPECT_EQ(nul.userName, "a");
    EXPECT_EQ(Save(file, nul), kTransferFileLoaded);

    const auto fifo = dir.path() / "fifo.bxt";
    if (mkfifo(fifo.c_str(), 0600) == 0) {  // must not block the reader
        EXPECT_EQ(Load(fifo, job), kTransferFileInvalid);
        EXPECT_EQ(Save(fifo, job), kTransferFileWriteFailed);
    }
}

}  // namespace
}  // namespace bxfr::job
