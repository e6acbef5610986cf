#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/transfer_harness.h"
#include "support/fault_proxy.h"
#include "support/raises.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

using test::FaultProxy;
using test::TempDir;

// Forty small pages in four folders, and a few larger files.
Tree ManyFiles() {
    Tree tree;
    for (int i = 0; i < 40; ++i) {
        tree["f" + std::to_string(i % 4) + "/page " + std::to_string(i) + ".html"] =
            "<p>" + std::to_string(i) + "</p>\n";
    }
    tree["big/one.bin"] = BinaryBytes(300000);
    tree["big/two.bin"] = BinaryBytes(150000);
    return tree;
}

// The lines of each file stay together: between a file's "Sending" and the next file's, only
// its own lines.
void ExpectLinesOfOneFileTogether(const std::vector<std::string>& messages, const std::string& scriptVerb) {
    std::string current;
    for (const auto& line : messages) {
        if (line.starts_with("Sending ")) {
            current = line.substr(8, line.find(" in ") - 8);
        } else if (line.starts_with(scriptVerb)) {
            const std::string file = line.substr(scriptVerb.size());
            EXPECT_TRUE(current.ends_with(file)) << line << " came after Sending " << current;
        }
    }
}

TEST(ParallelTransferTest, FourConnectionsSendAndGetEveryFileOnceAndKeepTheLogInOrder) {
    FtpTestServer server;
    TempDir local;
    const Tree tree = ManyFiles();
    WriteTree(local.path() / "site", tree);

    Transfer send(server, local.path() / "site", "/www");
    send.job.connections = 4;
    send.job.AddChmodRule(".html", "600");
    send.job.AddTranScript("STAT %s");
    send.job.AddConnScript("SITE HELP");
    std::uint32_t mostAtOnce = 0;
    send.onProgress = [&mostAtOnce](job::TransferProgress& progress) {
        mostAtOnce = std::max(mostAtOnce, progress.filesMoving);
    };
    EXPECT_EQ(send.Run(), 0);
    EXPECT_GT(mostAtOnce, 1u);
    EXPECT_EQ(send.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(server.root() / "www", false), tree);
    EXPECT_EQ(server.LoginCount(), 4);
    const auto commands = server.Commands();
    EXPECT_EQ(CountStartingWith(commands, "SITE HELP"), 4);
    EXPECT_EQ(CountStartingWith(commands, "FEAT"), 1);  // the others take the first login's
    EXPECT_EQ(CountStartingWith(commands, "STOR "), static_cast<int>(tree.size()));
    // The script's STAT of each file, and the check of the small files a connection sent one
    // after another in a folder: one STAT of the folder for several of them.
    const int checks = CountStartingWith(commands, "STAT /www/");
    EXPECT_EQ(CountStartingWith(commands, "STAT ") - checks, static_cast<int>(tree.size()));
    EXPECT_GT(checks, 0);
    EXPECT_LT(checks, 20);
    EXPECT_EQ(CountStartingWith(commands, "SITE chmod 600 "), 40);
    // The other connections log in while the first makes the folders, and store nothing before.
    const auto firstStore = std::find_if(commands.begin(), commands.end(),
                                         [](const std::string& line) { return line.starts_with("STOR "); });
    EXPECT_EQ(std::find_if(firstStore, commands.end(),
                           [](const std::string& line) { return line.starts_with("MKD "); }),
              commands.end());
    EXPECT_EQ(send.Count("Sending "), static_cast<int>(tree.size()));
    EXPECT_EQ(send.job.progress.doneBytes, BytesIn(tree));
    ExpectLinesOfOneFileTogether(send.messages, "STAT ");
    EXPECT_EQ(send.job.progress.filesMoving, 0u);

    Transfer get(server, local.path() / "copy", "/www", 1);
    get.job.connections = 4;
    EXPECT_EQ(get.Run(), 0);
    EXPECT_EQ(TreeOf(local.path() / "copy", false), tree);
    EXPECT_EQ(get.job.progress.doneBytes, BytesIn(tree));
    // The walk listed each folder once.
    EXPECT_EQ(CountStartingWith(server.Commands(), "MLSD /www/f1"), 1);
}

TEST(ParallelTransferTest, AServerThatAllowsTwoConnectionsGetsEveryFileOnTwo) {
    FtpTestServer server({.maxConsPerIp = 2});
    TempDir local;
    const Tree tree = ManyFiles();
    WriteTree(local.path(), tree);

    Transfer send(server, local.path(), "/www");
    send.job.connections = 5;
    send.job.verbose = 1;
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(send.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(server.root() / "www", false), tree);
    EXPECT_EQ(send.Count("Connection "), 3);
    EXPECT_EQ(server.LoginCount(), 2);
}

// A server without MLSD: four connections take the times of every folder's files on a fifth
// login, MDTMs many at a time; where that login is refused, file by file. Either way exact.
TEST(ParallelTransferTest, TimesWithoutMlsdArriveExactOnALoginOfTheirOwnOrFileByFile) {
    for (const int most : {0, 2}) {
        FtpTestServer server({.mlsd = false, .maxConsPerIp = most});
        TempDir local;
        const Tree tree = ManyFiles();
        WriteTree(server.root() / "www", tree);
        const auto stamp =
            fs::file_time_type::clock::now() - std::chrono::hours(30) - std::chrono::seconds(7);
        for (const auto& [name, bytes] : tree) fs::last_write_time(server.root() / "www" / name, stamp);
        Transfer get(server, local.path(), "/www", 1);
        get.job.connections = 4;
        EXPECT_EQ(get.Run(), 0);
        EXPECT_EQ(get.job.progress.errorCode, 0u);
        EXPECT_TRUE(TreeOf(local.path(), false) == tree);
        for (const auto& [name, bytes] : tree) {
            EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(fs::last_write_time(local.path() / name)),
                      std::chrono::floor<std::chrono::seconds>(stamp))
                << name << " with at most " << most << " logins";
        }
        EXPECT_EQ(server.LoginCount(), most == 0 ? 5 : 2);
        EXPECT_EQ(CountStartingWith(server.Commands(), "MDTM "), static_cast<int>(tree.size()));
    }
}

// A connection that loses its login and cannot log in again gives its file to the others,
// without a trace of the attempt, and stops.
TEST(ParallelTransferTest, AConnectionThatCannotLogInAgainHandsItsFileBack) {
    FtpTestServer server({.loseLogin = 2});
    TempDir local;
    const Tree tree = ManyFiles();
    WriteTree(local.path(), tree);

    Transfer send(server, local.path(), "/www");
    send.job.connections = 2;
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(send.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(server.root() / "www", false), tree);
    EXPECT_EQ(send.Count("Sending "), static_cast<int>(tree.size()));
    EXPECT_EQ(send.job.progress.doneBytes, BytesIn(tree));
    EXPECT_EQ(CountStartingWith(server.Commands(), "PASS"), 3);
}

TEST(ParallelTransferTest, AFailureThatIsNotIgnoredStopsEveryConnection) {
    FtpTestServer server({.refused = "page 0.html"});
    TempDir local;
    WriteTree(local.path(), ManyFiles());

    Transfer send(server, local.path(), "/www");
    send.job.connections = 4;
    const auto error = test::Raised<InternetError>([&] { send.Run(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 12003u);
    EXPECT_LT(CountStartingWith(server.Commands(), "STOR "), 42);
    // Every file that started was finished or reported, none is left half-named.
    EXPECT_EQ(send.job.progress.filesMoving, 0u);
}

// A man in the middle of the extra connections, or of the new login after a dropped one, shows
// another certificate than the pinned one: the run fails on it with both fingerprints, as it
// would on the first connection, ignored errors or not.
TEST(ParallelTransferTest, AnotherCertificateOnALaterLoginFailsTheRun) {
    FtpTestServer server({.tls = "explicit"}), impostor({.tls = "explicit"});
    TempDir local;
    WriteTree(local.path(), ManyFiles());
    for (const int connections : {4, 1}) {
        // With one, its control connection is cut part of the way through and logs in again.
        const FaultProxy proxy(server.port(), {.cutDataEvery = connections == 1 ? 1 : 0,
                                               .cutAfterBytes = 12000,
                                               .raw = true,
                                               .laterTargetPort = impostor.port()});
        Transfer send(server, local.path(), "/www", 0, proxy.port());
        send.job.protocol = job::Protocol::Ftpes;
        send.job.fingerprint = server.Fingerprint();
        send.job.connections = connections;
        send.job.ignoreErrors = 1;
        const auto error = test::Raised<CertificateError>([&] { send.Run(); });
        ASSERT_TRUE(error) << "the impostor's certificate passed on " << connections;
        EXPECT_EQ(error->certificate().fingerprint, impostor.Fingerprint());
        EXPECT_EQ(error->certificate().pinned, server.Fingerprint());
    }
    EXPECT_EQ(impostor.LoginCount(), 0);
}

TEST(ParallelTransferTest, CancelStopsEveryConnectionAtOnceAndLeavesNoPartsBehind) {
    FtpTestServer server({.maxRateBytesPerSecond = 150000});
    TempDir local;
    Tree big;
    for (int i = 0; i < 4; ++i) big["b" + std::to_string(i) + ".bin"] = BinaryBytes(3000000);
    WriteTree(local.path() / "site", big);
    WriteTree(server.root() / "www", big);

    // Each file would take 20 s. The cancel comes as the progress dialog's does, from another
    // thread, once the connections wait on the server: a send's bytes sit in loopback's socket
    // buffers, and active mode and a second login wait too, with no callback to pass it in.
    for (const int passive : {0, 1}) {
        for (const int getMode : {0, 1}) {
            SCOPED_TRACE("passive " + std::to_string(passive) + ", get " + std::to_string(getMode));
            const fs::path copy = local.path() / ("copy" + std::to_string(passive));
            const std::string up = "up" + std::to_string(passive);
            Transfer run(server, getMode ? copy : local.path() / "site", getMode ? "/www" : "/" + up,
                         getMode);
            run.job.connections = 4;
            run.job.passive = passive;
            run.job.stopSignal = std::make_shared<std::atomic<bool>>(false);
            run.job.AddDiscScript("NOOP");
            const int noops = CountStartingWith(server.Commands(), "NOOP");
            std::mutex lock;
            std::condition_variable moved;
            bool started = false;
            run.onProgress = [&](job::TransferProgress& progress) {
                if (progress.doneBytes > 300000) {
                    std::lock_guard guard(lock);
                    started = true;
                    moved.notify_one();
                }
            };
            std::thread runner([&] { EXPECT_EQ(run.Run(), 0); });
            {
                std::unique_lock guard(lock);
                EXPECT_TRUE(moved.wait_for(guard, std::chrono::seconds(20), [&] { return started; }));
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const auto cancelled = std::chrono::steady_clock::now();
            run.job.stopSignal->store(true);
            runner.join();
            const auto took = std::chrono::steady_clock::now() - cancelled;
            std::printf(
                "cancel to end: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
            EXPECT_LT(took, std::chrono::seconds(5));
            EXPECT_EQ(run.Count("Attempt "), 0);
            EXPECT_EQ(run.Count("Cancelled: "), run.Count(getMode ? "Receiving " : "Sending "));
            const fs::path left = getMode ? copy : server.root() / up;
            EXPECT_TRUE(!fs::exists(left) || TreeOf(left, false).empty());
            EXPECT_GT(CountStartingWith(server.Commands(), "NOOP"), noops);  // a cancel still says goodbye
        }
    }
}

}  // namespace
}  // namespace bxfr::engine
