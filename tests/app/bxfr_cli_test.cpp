#include <signal.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "support/child_process.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/temp_dir.h"

namespace bxfr::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using RunResult = test::ProgramResult;

// Runs bxfr with no terminal, with `input` on stdin; `onOutput` may signal it.
RunResult RunBxfr(std::vector<std::string> args, const std::string& input = "",
                  const std::function<void(const std::string&, pid_t)>& onOutput = {}) {
    args.insert(args.begin(), BXFR_CLI_PATH);
    return test::RunProgram(std::move(args), input, onOutput);
}

// Writes a transfer file for `server` into `dir` and returns its path as an argument.
std::string WriteJob(const test::TempDir& dir, const test::FtpTestServer& server, const std::string& name,
                     const std::string& extra) {
    test::WriteFile(dir.path() / name, "; written by the tests\r\n[BXFR]\r\nSERVER=127.0.0.1\r\nPORT=" +
                                           std::to_string(server.port()) + "\r\nUSER=user\r\nPASSIVE=1\r\n" +
                                           extra);
    return (dir.path() / name).string();
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(BxfrUsage, HelpVersionAndUsageErrors) {
    const RunResult help = RunBxfr({"--help"});
    EXPECT_EQ(help.exitCode, kExitCompleted);
    EXPECT_NE(help.out.find("Usage: bxfr"), std::string::npos);
    EXPECT_NE(RunBxfr({"--version"}).out.find(BXFR_VERSION), std::string::npos);
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"--bogus", "a.bxt"},
                                                                  {"a.bxt", "b.bxt"},
                                                                  {"--log"},
                                                                  {"--log=", "a.bxt"},
                                                                  {"--connections", "0", "a.bxt"},
                                                                  {"--connections=11", "a.bxt"},
                                                                  {"--connections"}}) {
        const RunResult usage = RunBxfr(args);
        EXPECT_EQ(usage.exitCode, kExitUsage) << usage.err;
        EXPECT_NE(usage.err.find("bxfr: "), std::string::npos);
        EXPECT_TRUE(usage.out.empty());
    }
}

TEST(BxfrLoad, MissingAndBrokenTransferFilesGiveThree) {
    test::TempDir dir;
    test::WriteFile(dir.path() / "binary.bxt", std::string("\177ELF\0\0\1\377[BXFR\n", 14));
    test::WriteFile(dir.path() / "noserver.bxt", "[BXFR]\r\nUSER=me\r\n");
    for (auto [name, error] : {std::pair{"none.bxt", "no such file"},
                               {"binary.bxt", "is not a valid transfer file"},
                               {"noserver.bxt", "is not a valid transfer file"},
                               {"", ""}}) {
        const RunResult run = RunBxfr({(dir.path() / name).string()});  // "": the folder itself
        EXPECT_EQ(run.exitCode, kExitNotLoaded) << name;
        EXPECT_NE(run.err.find(error), std::string::npos) << name << ": " << run.err;
    }
}

TEST(BxfrRun, SendsATreeAndGetsItBackWithTheLog) {
    test::FtpTestServer server;
    test::TempDir dir;
    const fs::path site = dir.path() / "site", back = dir.path() / "back", log = dir.path() / "run.log";
    const std::string binary("\x00\xff\r\n\x80", 5);
    test::WriteFile(site / "index.html", "<p>hello</p>\n");
    test::WriteFile(site / "sub folder" / "data.bin", binary);
    const RunResult sent = RunBxfr({WriteJob(dir, server, "send.bxt",
                                             "PASS=secret\r\nSERVERPATH=/www\r\nLOCALPATH=" + site.string() +
                                                 "\r\nLOG=" + log.string() + "\r\n")});
    ASSERT_EQ(sent.exitCode, kExitCompleted) << sent.err;
    // Without a terminal every message is a line of its own on stdout.
    EXPECT_EQ(sent.out.rfind("Connecting to 127.0.0.1 ...\n", 0), 0u) << sent.out;
    EXPECT_TRUE(sent.err.empty()) << sent.err;
    EXPECT_EQ(test::ReadFile(server.root() / "www" / "sub folder" / "data.bin"), binary);

    fs::create_directories(back);
    const RunResult got = RunBxfr(
        {"--password-stdin", "--log", log.string(),
         WriteJob(dir, server, "get.bxt", "GET=1\r\nSERVERPATH=/www\r\nLOCALPATH=" + back.string() + "\r\n")},
        "secret\n");
    ASSERT_EQ(got.exitCode, kExitCompleted) << got.err;
    EXPECT_EQ(test::ReadFile(back / "index.html"), "<p>hello</p>\n");
    EXPECT_EQ(test::ReadFile(back / "sub folder" / "data.bin"), binary);

    const std::string text = test::ReadFile(log);
    EXPECT_EQ(Count(text, "Transfer Begins"), 2u);
    EXPECT_EQ(Count(text, "Transfer Ends"), 2u);
    EXPECT_EQ(text.find("secret"), std::string::npos) << "the password must never reach the log";
}

TEST(BxfrRun, DryRunPrintsThePlanAndTheDeleteGuardNeedsItsOption) {
    test::FtpTestServer server;
    test::TempDir dir;
    const fs::path site = dir.path() / "site", log = dir.path() / "run.log";
    test::WriteFile(site / "a.txt", "a");
    for (const char* name : {"b.txt", "c.txt"}) test::WriteFile(server.root() / "www" / name, name);
    const std::string job =
        WriteJob(dir, server, "mirror.bxt",
                 "PASS=secret\r\nSERVERPATH=/www\r\nSYNC=1\r\nDELETE=1\r\nLOCALPATH=" + site.string() +
                     "\r\nLOG=" + log.string() + "\r\n");
    const RunResult dry = RunBxfr({"--dry-run", job});
    EXPECT_EQ(dry.exitCode, kExitCompleted) << dry.err;
    EXPECT_NE(dry.out.find("send    a.txt (new, 1.00 Bytes)\ndelete  b.txt (not in the source"),
              std::string::npos)
        << dry.out;
    EXPECT_FALSE(fs::exists(log)) << "a dry run writes nothing, its log included";
    EXPECT_FALSE(fs::exists(server.root() / "www" / "a.txt"));

    const RunResult guarded = RunBxfr({job});
    EXPECT_EQ(guarded.exitCode, kExitFailed);
    EXPECT_NE(guarded.err.find("delete 2 of the 2 files"), std::string::npos) << guarded.err;
    EXPECT_NE(guarded.err.find("--allow-mass-delete"), std::string::npos) << guarded.err;
    EXPECT_TRUE(fs::exists(server.root() / "www" / "b.txt"));

    EXPECT_EQ(RunBxfr({"--allow-mass-delete", job}).exitCode, kExitCompleted);
    EXPECT_EQ(test::ReadFile(server.root() / "www" / "a.txt"), "a");
    EXPECT_FALSE(fs::exists(server.root() / "www" / "b.txt"));
}

TEST(BxfrRun, FailuresGiveOneWithTheErrorOnStderr) {
    test::FtpTestServer server;
    test::TempDir dir;
    const std::string local = "LOCALPATH=" + dir.path().string() + "\r\n";
    // A prompt for the password cannot be answered without a terminal: it fails before connecting.
    const RunResult prompt = RunBxfr({WriteJob(dir, server, "ask.bxt", "PASSPROMPT=1\r\n" + local)});
    EXPECT_EQ(prompt.exitCode, kExitFailed);
    EXPECT_NE(prompt.err.find("--password-stdin"), std::string::npos) << prompt.err;
    // With a key file the secret asked for is its passphrase; an SFTP file loads and is asked for.
    const std::string sftp =
        WriteJob(dir, server, "key.bxt",
                 "PASSPROMPT=1\r\nPROTOCOL=sftp\r\nKEYFILE=/home/u/.ssh/id_ed25519\r\n" + local);
    const RunResult passphrase = RunBxfr({sftp});
    EXPECT_EQ(passphrase.exitCode, kExitFailed);
    EXPECT_NE(passphrase.err.find("asks for the passphrase of its key file"), std::string::npos)
        << passphrase.err;
    const RunResult noInput = RunBxfr({"--password-stdin", sftp});
    EXPECT_EQ(noInput.exitCode, kExitFailed);
    EXPECT_NE(noInput.err.find("no passphrase on standard input"), std::string::npos) << noInput.err;
    // A pin with plain FTP would send the password in clear: refused before connecting.
    const std::string pin = "FINGERPRINT=SHA256:" + std::string(43, 'Q') + "\r\n";
    const RunResult clear = RunBxfr({WriteJob(dir, server, "clear.bxt", pin + local)});
    EXPECT_EQ(clear.exitCode, kExitFailed);
    EXPECT_NE(clear.err.find("(PROTOCOL=ftp)"), std::string::npos) << clear.err;
    EXPECT_TRUE(server.Commands().empty());

    const RunResult refused = RunBxfr({"-q", WriteJob(dir, server, "a.bxt", "PASS=wrong\r\n" + local)});
    EXPECT_EQ(refused.exitCode, kExitFailed);
    EXPECT_TRUE(refused.out.empty()) << refused.out;
    EXPECT_NE(
        refused.err.find("bxfr: The server did not accept the user name and password: check them on the "
                         "Server page.\nbxfr: Error 12014: Incorrect password: 530"),
        std::string::npos)
        << refused.err;

    // A source that is not there fails by name, and nothing is made on the other side.
    const std::string gone = (dir.path() / "gone").string();
    for (const auto& [body, named] :
         {std::pair{"SERVERPATH=/up\r\n", gone}, {"GET=1\r\nSERVERPATH=/typo\r\n", "/typo"}}) {
        const RunResult run = RunBxfr(
            {"-q", WriteJob(dir, server, "gone.bxt", "PASS=secret\r\nLOCALPATH=" + gone + "\r\n" + body)});
        EXPECT_EQ(run.exitCode, kExitFailed);
        EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    }
    EXPECT_TRUE(fs::is_empty(server.root()));
    EXPECT_FALSE(fs::exists(gone));
}

// The certificate question from a script: refused with the fingerprint and how to trust it,
// accepted with --trust or the file's FINGERPRINT, and a replaced one refused with both shown.
TEST(BxfrRun, UntrustedCertificatesFailWithTheFingerprintToTrust) {
    test::FtpTestServer server({.tls = "explicit"});
    test::TempDir dir;
    test::WriteFile(dir.path() / "site" / "a.txt", "over TLS\n");
    const std::string fingerprint = server.Fingerprint();
    const std::string body = "PASS=secret\r\nSERVERPATH=/www\r\nLOCALPATH=" + (dir.path() / "site").string() +
                             "\r\nPROTOCOL=ftpes\r\n";
    const std::string job = WriteJob(dir, server, "tls.bxt", body);

    const RunResult refused = RunBxfr({"-q", job});
    EXPECT_EQ(refused.exitCode, kExitFailed);
    EXPECT_NE(refused.err.find("self-signed"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("bxfr --trust " + fingerprint + " " + job), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("FINGERPRINT=" + fingerprint), std::string::npos) << refused.err;
    EXPECT_EQ(server.LoginCount(), 0);

    const RunResult trusted = RunBxfr({"-q", "--trust", fingerprint, job});
    EXPECT_EQ(trusted.exitCode, kExitCompleted) << trusted.err;
    EXPECT_EQ(test::ReadFile(server.root() / "www" / "a.txt"), "over TLS\n");

    const std::string pinned =
        WriteJob(dir, server, "pinned.bxt", body + "FINGERPRINT=" + fingerprint + "\r\n");
    EXPECT_EQ(RunBxfr({"-q", pinned}).exitCode, kExitCompleted);

    const std::string other = "SHA256:" + std::string(43, 'Q');
    const std::string replaced =
        WriteJob(dir, server, "replaced.bxt", body + "FINGERPRINT=" + other + "\r\n");
    const RunResult attack = RunBxfr({"-q", replaced});
    EXPECT_EQ(attack.exitCode, kExitFailed);
    EXPECT_NE(attack.err.find("Trusted:   " + other), std::string::npos) << attack.err;
    EXPECT_NE(attack.err.find("Presented: " + fingerprint), std::string::npos) << attack.err;
    EXPECT_EQ(attack.err.find("--trust " + fingerprint), std::string::npos) << "no ready-made yes";
    EXPECT_EQ(server.LoginCount(), 2);

    EXPECT_EQ(RunBxfr({"--trust", "ab12", job}).exitCode, kExitUsage);
    test::WriteFile(dir.path() / "gopher.bxt", "[BXFR]\r\nSERVER=h\r\nPROTOCOL=gopher\r\n");
    const RunResult unknown = RunBxfr({(dir.path() / "gopher.bxt").string()});
    EXPECT_EQ(unknown.exitCode, kExitNotLoaded);
    EXPECT_NE(unknown.err.find("PROTOCOL=gopher"), std::string::npos) << unknown.err;
}

TEST(BxfrRun, InterruptCancelsTheRunningFile) {
    test::FtpServerOptions options;
    options.maxRateBytesPerSecond = 256 * 1024;
    test::FtpTestServer server(options);
    test::WriteFile(server.root() / "big.bin", std::string(8 * 1024 * 1024, 'x'));
    test::TempDir dir;
    const std::string job =
        WriteJob(dir, server, "a.bxt",
                 "PASS=secret\r\nGET=1\r\nFORCEBIN=1\r\nSINGLE=1\r\nSERVERPATH=/big.bin\r\n"
                 "LOCALPATH=" +
                     dir.path().string() + "/big.bin\r\n");
    bool signalled = false;
    const auto started = std::chrono::steady_clock::now();
    const RunResult run = RunBxfr({job}, "", [&](const std::string& out, pid_t pid) {
        if (!signalled && out.find("Receiving") != std::string::npos) {
            signalled = true;
            kill(pid, SIGINT);
        }
    });
    EXPECT_TRUE(signalled) << run.out;
    EXPECT_EQ(run.exitCode, kExitCancelled) << run.err;
    EXPECT_NE(run.err.find("cancel"), std::string::npos) << run.err;
    // The whole file would take 32 s at this rate; the cancel stops it within the file.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
}

}  // namespace
}  // namespace bxfr::app
