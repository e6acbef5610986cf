#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/temp_dir.h"

extern char** environ;

namespace bxfr::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs bxfr in a session of its own (so it has no terminal), feeding `input` on stdin.
// `onOutput` sees stdout as it grows and may signal the child; the run is bounded in time.
RunResult RunBxfr(const std::vector<std::string>& args, const std::string& input = "",
                  const std::function<void(const std::string&, pid_t)>& onOutput = {},
                  std::chrono::seconds limit = 60s) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::vector<std::string> all{BXFR_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, BXFR_CLI_PATH, &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) throw std::runtime_error("spawn bxfr");
    if (!input.empty()) {
        [[maybe_unused]] auto n = write(in[1], input.data(), input.size());
    }
    close(in[1]);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "bxfr did not end in time";
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            if (i == 0 && onOutput) onOutput(result.out, pid);
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string TransferFile(const test::FtpTestServer& server, const std::string& extra) {
    return "; written by the tests\r\n[BXFR]\r\nSERVER=127.0.0.1\r\nPORT=" + std::to_string(server.port()) +
           "\r\nUSER=user\r\nPASSIVE=1\r\n" + extra;
}

TEST(BxfrUsage, HelpVersionAndUsageErrors) {
    const RunResult help = RunBxfr({"--help"});
    EXPECT_EQ(help.exitCode, kExitCompleted);
    EXPECT_NE(help.out.find("Usage: bxfr"), std::string::npos);
    EXPECT_NE(help.out.find("64  usage error"), std::string::npos);
    const RunResult version = RunBxfr({"--version"});
    EXPECT_EQ(version.exitCode, kExitCompleted);
    EXPECT_NE(version.out.find(BXFR_VERSION), std::string::npos);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{}, {"--bogus", "a.bxt"}, {"a.bxt", "b.bxt"}, {"--log"}}) {
        const RunResult usage = RunBxfr(args);
        EXPECT_EQ(usage.exitCode, kExitUsage);
        EXPECT_NE(usage.err.find("bxfr: "), std::string::npos);
        EXPECT_TRUE(usage.out.empty());
    }
}

TEST(BxfrUsage, OptionsParse) {
    std::string error;
    const auto options = ParseCliOptions({"--log=/tmp/x.log", "-q", "--", "-odd name.bxt"}, error);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->logPath, "/tmp/x.log");
    EXPECT_TRUE(options->quiet);
    EXPECT_EQ(options->transferFile, "-odd name.bxt");
    EXPECT_FALSE(ParseCliOptions({"--log="}, error));
}

TEST(BxfrLoad, MissingAndBrokenTransferFilesGiveThree) {
    test::TempDir dir;
    const RunResult missing = RunBxfr({(dir.path() / "none.bxt").string()});
    EXPECT_EQ(missing.exitCode, kExitNotLoaded);
    EXPECT_NE(missing.err.find("no such file"), std::string::npos);

    test::WriteFile(dir.path() / "binary.bxt", std::string("\x7f"
                                                           "ELF\0\0\x01\xff[BXFR\n\0",
                                                           14));
    test::WriteFile(dir.path() / "noserver.bxt", "[BXFR]\r\nUSER=me\r\n");
    for (const char* name : {"binary.bxt", "noserver.bxt"}) {
        const RunResult broken = RunBxfr({(dir.path() / name).string()});
        EXPECT_EQ(broken.exitCode, kExitNotLoaded) << name;
        EXPECT_NE(broken.err.find("is not a valid transfer file"), std::string::npos) << name;
    }
    const RunResult folder = RunBxfr({dir.path().string()});
    EXPECT_EQ(folder.exitCode, kExitNotLoaded);
}

TEST(BxfrRun, SendsATreeAndGetsItBackWithTheLog) {
    test::FtpTestServer server;
    test::TempDir dir;
    const fs::path site = dir.path() / "site";
    test::WriteFile(site / "index.html", "<p>hello</p>\n");
    test::WriteFile(site / "sub folder" / "data.bin", std::string("\x00\xff\r\n\x80", 5));
    const fs::path log = dir.path() / "run.log";
    test::WriteFile(dir.path() / "send.bxt",
                    TransferFile(server, "PASS=secret\r\nSERVERPATH=/www\r\nLOCALPATH=" + site.string() +
                                             "\r\nLOG=" + log.string() + "\r\n"));
    const RunResult sent = RunBxfr({(dir.path() / "send.bxt").string()});
    ASSERT_EQ(sent.exitCode, kExitCompleted) << sent.err;
    // Without a terminal every message is a line of its own on stdout.
    EXPECT_EQ(sent.out.rfind("Connecting to 127.0.0.1 ...\n", 0), 0u) << sent.out;
    EXPECT_TRUE(sent.err.empty()) << sent.err;
    EXPECT_EQ(test::ReadFile(server.root() / "www" / "sub folder" / "data.bin"),
              std::string("\x00\xff\r\n\x80", 5));

    const fs::path back = dir.path() / "back";
    fs::create_directories(back);
    test::WriteFile(dir.path() / "get.bxt",
                    TransferFile(server, "GET=1\r\nSERVERPATH=/www\r\nLOCALPATH=" + back.string() + "\r\n"));
    const RunResult got =
        RunBxfr({"--password-stdin", "--log", log.string(), (dir.path() / "get.bxt").string()}, "secret\n");
    ASSERT_EQ(got.exitCode, kExitCompleted) << got.err;
    EXPECT_EQ(test::ReadFile(back / "index.html"), "<p>hello</p>\n");
    EXPECT_EQ(test::ReadFile(back / "sub folder" / "data.bin"), std::string("\x00\xff\r\n\x80", 5));

    const std::string text = test::ReadFile(log);
    std::size_t begins = 0, ends = 0;
    for (auto at = text.find("Transfer Begins"); at != std::string::npos;
         at = text.find("Transfer Begins", at + 1))
        ++begins;
    for (auto at = text.find("Transfer Ends"); at != std::string::npos;
         at = text.find("Transfer Ends", at + 1))
        ++ends;
    EXPECT_EQ(begins, 2u);
    EXPECT_EQ(ends, 2u);
    EXPECT_EQ(text.find("secret"), std::string::npos) << "the password must never reach the log";
}

TEST(BxfrRun, RefusedLoginFailsWithTheErrorOnStderr) {
    test::FtpTestServer server;
    test::TempDir dir;
    test::WriteFile(dir.path() / "a.bxt",
                    TransferFile(server, "PASS=wrong\r\nLOCALPATH=" + dir.path().string() + "\r\n"));
    const RunResult run = RunBxfr({"-q", (dir.path() / "a.bxt").string()});
    EXPECT_EQ(run.exitCode, kExitFailed);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find("An error has occurred during transfer : Error 1201"), std::string::npos)
        << run.err;
}

TEST(BxfrRun, PasswordPromptWithoutATerminalFailsBeforeConnecting) {
    test::FtpTestServer server;
    test::TempDir dir;
    test::WriteFile(dir.path() / "a.bxt",
                    TransferFile(server, "PASSPROMPT=1\r\nLOCALPATH=" + dir.path().string() + "\r\n"));
    const RunResult run = RunBxfr({(dir.path() / "a.bxt").string()});
    EXPECT_EQ(run.exitCode, kExitFailed);
    EXPECT_NE(run.err.find("--password-stdin"), std::string::npos) << run.err;
    EXPECT_TRUE(server.Commands().empty());
}

TEST(BxfrRun, InterruptCancelsTheRunningFile) {
    test::FtpServerOptions options;
    options.maxRateBytesPerSecond = 256 * 1024;
    test::FtpTestServer server(options);
    test::WriteFile(server.root() / "big.bin", std::string(8 * 1024 * 1024, 'x'));
    test::TempDir dir;
    test::WriteFile(dir.path() / "a.bxt",
                    TransferFile(server,
                                 "PASS=secret\r\nGET=1\r\nFORCEBIN=1\r\nSINGLE=1\r\nSERVERPATH=/big.bin\r\n"
                                 "LOCALPATH=" +
                                     (dir.path() / "big.bin").string() + "\r\n"));
    bool signalled = false;
    const auto started = std::chrono::steady_clock::now();
    const RunResult run =
        RunBxfr({(dir.path() / "a.bxt").string()}, "", [&](const std::string& out, pid_t pid) {
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
