#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

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
    EXPECT_EQ(CountStartingWith(commands, "STOR "), static_cast<int>(tree.size()));
    EXPECT_EQ(CountStartingWith(commands, "STAT "), static_cast<int>(tree.size()));
    EXPECT_EQ(CountStartingWith(commands, "SITE chmod 600 "), 40);
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
        try {
            send.Run();
            ADD_FAILURE() << "the impostor's certificate passed on " << connections;
        } catch (const CertificateError& error) {
            EXPECT_EQ(error.certificate().fingerprint, impostor.Fingerprint());
            EXPECT_EQ(error.certificate().pinned, server.Fingerprint());
        }
    }
    EXPECT_EQ(impostor.LoginCount(), 0);
}

TEST(ParallelTransferTest, CancelStopsEveryConnectionAndLeavesNoPartsBehind) {
    FtpTestServer server({.maxRateBytesPerSecond = 200000});
    TempDir local;
    Tree big;
    for (int i = 0; i < 6; ++i) big["b" + std::to_string(i) + ".bin"] = BinaryBytes(400000);
    WriteTree(local.path() / "site", big);
    WriteTree(server.root() / "www", big);

    const auto started = std::chrono::steady_clock::now();
    Transfer send(server, local.path() / "site", "/up");
    send.job.connections = 3;
    send.onProgress = [](job::TransferProgress& progress) {
        if (progress.doneBytes > 300000) progress.cancelRequested = 1;
    };
    EXPECT_EQ(send.Run(), 0);
    EXPECT_LE(send.Count("Sending "), 4);
    EXPECT_EQ(send.Count("Cancelled: "), send.Count("Sending "));
    EXPECT_TRUE(!fs::exists(server.root() / "up") || fs::is_empty(server.root() / "up"));

    Transfer get(server, local.path() / "copy", "/www", 1);
    get.job.connections = 3;
    get.onProgress = [](job::TransferProgress& progress) {
        if (progress.doneBytes > 300000) progress.cancelRequested = 1;
    };
    EXPECT_EQ(get.Run(), 0);
    EXPECT_LE(get.Count("Receiving "), 4);
    EXPECT_TRUE(!fs::exists(local.path() / "copy") || TreeOf(local.path() / "copy", false).empty());
    // Six files at this rate take 12 s; the cancels end both runs long before.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
}

}  // namespace
}  // namespace bxfr::engine
