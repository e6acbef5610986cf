#include <gtest/gtest.h>

#include <string>

#include "engine/transfer_harness.h"
#include "support/fault_proxy.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

using test::FaultProxy;
using test::FaultProxyOptions;
using test::TempDir;

// Twenty pages of 200 KB, each one different.
Tree Site() {
    Tree site;
    for (int i = 0; i < 20; ++i) {
        std::string bytes = BinaryBytes(200 * 1000);
        bytes.replace(0, 8, "page " + std::to_string(100 + i));
        site["page" + std::to_string(i) + ".bin"] = bytes;
    }
    return site;
}

// A run through a link that cuts every fifth data connection after 50 KB ends with every
// file whole on the other side, nothing else there, and success.
class BrokenLinkTest : public ::testing::TestWithParam<bool> {
protected:
    FaultProxyOptions Cutting() const {
        FaultProxyOptions options;
        options.cutDataEvery = 5;
        options.cutAfterBytes = 50000;
        options.reset = GetParam();
        return options;
    }
};

TEST_P(BrokenLinkTest, SendAndGetCompleteWithEveryFileWhole) {
    FtpTestServer server;
    const FaultProxy proxy(server.port(), Cutting());
    TempDir local;
    const Tree site = Site();
    WriteTree(local.path() / "site", site);

    Transfer send(server, local.path() / "site", "/www", 0, proxy.port());
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(send.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(server.root() / "www"), site);
    EXPECT_GE(send.Count("Attempt 1 of 4 at "), 3);

    Transfer get(server, local.path() / "copy", "/www", 1, proxy.port());
    EXPECT_EQ(get.Run(), 0);
    EXPECT_EQ(get.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(local.path() / "copy"), site);
    EXPECT_GE(proxy.CutCount(), 8);
}

// Small files go straight to their names and a folder's are checked together after them: one the
// link cut short, which the server took for whole, is found by that check and sent again. (A
// link that resets, which curl sees, is the test above; pyftpdlib now and then misses a reset
// data connection of a STOR and never answers it.)
TEST(BrokenLinkGroupTest, SmallFilesCutShortAreFoundByTheFolderCheckAndSentAgain) {
    FtpTestServer server;
    FaultProxyOptions cutting;
    cutting.cutDataEvery = 3;
    cutting.cutAfterBytes = 30000;
    const FaultProxy proxy(server.port(), cutting);
    TempDir local;
    Tree site;
    for (int i = 0; i < 12; ++i) {
        site["d" + std::to_string(i % 2) + "/p" + std::to_string(i) + ".bin"] = BinaryBytes(80000 + i);
    }
    WriteTree(local.path(), site);
    int foundByCheck = 0;
    for (const int connections : {1, 2}) {
        Transfer send(server, local.path(), "/www" + std::to_string(connections), 0, proxy.port());
        send.job.connections = connections;
        EXPECT_EQ(send.Run(), 0);
        EXPECT_EQ(send.job.progress.errorCode, 0u);
        EXPECT_EQ(send.job.progress.filesMoved, 12u);
        EXPECT_TRUE(TreeOf(server.root() / ("www" + std::to_string(connections)), false) == site);
        EXPECT_GT(CountStartingWith(server.Commands(), "STAT /www" + std::to_string(connections)), 0);
        foundByCheck += send.Count("The server does not hold all of ");
    }
    // Cuts curl saw are tried again at once; the others only the check finds.
    EXPECT_GE(foundByCheck, 1);
    EXPECT_GE(proxy.CutCount(), 6);
}

INSTANTIATE_TEST_SUITE_P(Cuts, BrokenLinkTest, ::testing::Values(false, true), [](const auto& info) {
    return info.param ? std::string("Reset") : std::string("Close");
});

TEST(BrokenLinkControlTest, AControlConnectionCutOnceIsLoggedInAgain) {
    FtpTestServer server;
    FaultProxyOptions options;
    options.cutControlOn = "STOR";
    const FaultProxy proxy(server.port(), options);
    TempDir local;
    const Tree site = {{"a.html", "<p>a</p>\n"}, {"big.bin", BinaryBytes(300000)}, {"c.txt", "c\n"}};
    WriteTree(local.path(), site);
    WriteFile(server.root() / "www" / "a.html", "the old copy");

    Transfer send(server, local.path(), "/", 0, proxy.port());
    send.job.AddConnScript("CWD www");
    send.job.AddConnScript("SITE HELP");
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(send.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(server.root() / "www"), site);
    EXPECT_EQ(proxy.CutCount(), 1);
    EXPECT_EQ(server.LoginCount(), 2);
    // The new login runs the connect script, from where the first did, before a file moves on it.
    std::string order;
    for (const auto& line : server.Commands()) {
        for (const auto& [prefix, letter] : {std::pair{"USER ", 'U'}, {"SITE HELP", 'S'}, {"STOR ", 'T'}}) {
            if (line.starts_with(prefix)) order += letter;
        }
    }
    EXPECT_EQ(order, "USTUSTTT");
}

}  // namespace
}  // namespace bxfr::engine
