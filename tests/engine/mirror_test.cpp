// SYNC=1, DELETE=1 and the dry run against real servers: what moves, what goes, what stays.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/error_texts.h"
#include "engine/transfer_harness.h"
#include "support/raises.h"
#include "support/scoped_env.h"
#include "support/sshd_test_server.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

using test::SshdTestServer;
using test::TempDir;

// One server of each protocol, and transfers to its folder "www".
class Mirror : public ::testing::TestWithParam<job::Protocol> {
protected:
    void SetUp() override {
        if (GetParam() == job::Protocol::Sftp) {
            if (!SshdTestServer::Available()) GTEST_SKIP() << "no sshd or test account, or not root";
            home_.emplace("HOME", dir.path().string());
            sshd = std::make_unique<SshdTestServer>();
        } else {
            ftp = std::make_unique<FtpTestServer>(
                test::FtpServerOptions{.tls = GetParam() == job::Protocol::Ftpes ? "explicit" : ""});
        }
    }
    fs::path Www() const { return (ftp ? ftp->root() : sshd->root()) / "www"; }
    // After the test wrote below the server's root, as an upload would have.
    void Written() const {
        if (sshd) sshd->HandOver();
    }
    std::unique_ptr<Transfer> Make(int getMode, int sync, int del, const fs::path& local) {
        auto t = ftp ? std::make_unique<Transfer>(*ftp, local, "www", getMode)
                     : std::make_unique<Transfer>("127.0.0.1", sshd->port(), SshdTestServer::User(),
                                                  SshdTestServer::Password(), local, "www", getMode);
        t->job.protocol = GetParam();
        t->job.fingerprint =
            ftp ? (ftp->options().tls.empty() ? "" : ftp->Fingerprint()) : sshd->Fingerprint();
        t->job.syncMode = sync;
        t->job.deleteMissing = del;
        return t;
    }
    // Commands that change the server, where its log shows them (FTP).
    int Changes() const {
        if (!ftp) return 0;
        int count = 0;
        for (const char* verb : {"MKD ", "STOR ", "DELE ", "RNFR ", "RMD ", "MFMT ", "SITE "}) {
            count += CountStartingWith(ftp->Commands(), verb);
        }
        return count;
    }

    TempDir dir;
    std::optional<test::ScopedEnv> home_;
    std::unique_ptr<FtpTestServer> ftp;
    std::unique_ptr<SshdTestServer> sshd;
};

TEST_P(Mirror, SyncMovesOnlyWhatDiffersBothWays) {
    const fs::path site = dir.path() / "site";
    WriteTree(site, {{"a.txt", "alpha\n"}, {"sub/b.bin", BinaryBytes(9000)}, {"c.html", "<p>c</p>\n"}});
    struct Step {
        const char* change;
        int get;
        int moved;
    };
    const Step steps[] = {{"", 0, 3}, {"", 0, 0}, {"a.txt", 0, 1}, {"", 1, 0}, {"server c.html", 1, 1}};
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.change) + (step.get ? " get" : " send"));
        if (std::string(step.change) == "a.txt") WriteFile(site / "a.txt", "alpha, longer\n");
        if (std::string(step.change) == "server c.html") {
            WriteFile(Www() / "c.html", "<p>C</p>\n");
            fs::last_write_time(Www() / "c.html",
                                fs::last_write_time(site / "c.html") + std::chrono::hours(2));
            Written();
        }
        const int before = Changes();
        auto run = Make(step.get, 1, 0, site);
        EXPECT_EQ(run->Run(), 0);
        EXPECT_EQ(run->job.progress.errorCode, 0u);
        EXPECT_EQ(run->job.progress.filesMoved, static_cast<std::uint32_t>(step.moved));
        if (step.moved == 0 && !step.get) {
            EXPECT_EQ(Changes(), before) << "nothing is sent, nothing stamped";
        }
    }
    EXPECT_EQ(TreeOf(site, false), TreeOf(Www(), false));
    EXPECT_EQ(ReadFile(site / "c.html"), "<p>C</p>\n");

    // A get with DELETE: what the server no longer has goes to the trash.
    test::ScopedEnv data("XDG_DATA_HOME", (dir.path() / "data").string());
    WriteFile(site / "sub" / "extra.txt", "local only");
    EXPECT_EQ(Make(1, 1, 1, site)->Run(), 0);
    EXPECT_EQ(TreeOf(site, false), TreeOf(Www(), false));
    EXPECT_EQ(ReadFile(dir.path() / "data" / "Trash" / "files" / "extra.txt"), "local only");
}

TEST_P(Mirror, DryRunChangesNothingAndDeleteKeepsWhatTheRulesExclude) {
    const fs::path site = dir.path() / "site";
    const Tree tree = {{"keep.txt", "k"},  {"k1.txt", "1"},         {"k2.txt", "2"},
                       {"k3.txt", "3"},    {"k4.txt", "4"},         {"gone.txt", "g"},
                       {"old/x.txt", "x"}, {"old/deep/y.txt", "y"}, {"skip.tmp", "t"}};
    WriteTree(site, tree);
    ASSERT_EQ(Make(0, 0, 0, site)->Run(), 0);
    for (const char* name : {"gone.txt", "skip.tmp"}) fs::remove(site / name);
    fs::remove_all(site / "old");
    WriteFile(site / "new.txt", "fresh");
    const auto prepare = [](Transfer& t) {
        t.job.selectMode = 2;
        t.job.AddSelectRule(".tmp");
    };

    const Tree server = TreeOf(Www()), local = TreeOf(site);
    const int before = Changes();
    auto dry = Make(0, 1, 1, site);
    prepare(*dry);
    dry->job.dryRun = true;
    dry->job.AddConnScript("SITE CHMOD 777 keep.txt");
    dry->job.AddChmodRule(".txt", "777");
    job::TransferPlan plan;
    dry->job.planCallback = [&](const job::TransferPlan& made) { plan = made; };
    EXPECT_EQ(dry->Run(), 0);
    EXPECT_EQ(TreeOf(Www()), server);
    EXPECT_EQ(TreeOf(site), local);
    EXPECT_EQ(Changes(), before);
    const std::vector<job::PlanItem> expected = {
        {job::PlanAction::Skip, "k1.txt", 1, "unchanged"},
        {job::PlanAction::Skip, "k2.txt", 1, "unchanged"},
        {job::PlanAction::Skip, "k3.txt", 1, "unchanged"},
        {job::PlanAction::Skip, "k4.txt", 1, "unchanged"},
        {job::PlanAction::Skip, "keep.txt", 1, "unchanged"},
        {job::PlanAction::Send, "new.txt", 5, "new"},
        {job::PlanAction::Delete, "gone.txt", 1, "not in the source"},
        {job::PlanAction::Delete, "old/deep/y.txt", 1, "not in the source"},
        {job::PlanAction::Delete, "old/x.txt", 1, "not in the source"},
        {job::PlanAction::Delete, "old/deep/", 0, "left empty"},
        {job::PlanAction::Delete, "old/", 0, "left empty"}};
    EXPECT_EQ(plan.items, expected);
    EXPECT_EQ(plan.notes, (std::vector<std::string>{"connect script: SITE CHMOD 777 keep.txt",
                                                    "permission rule: .txt gets 777"}));
    EXPECT_TRUE(dry->Has("delete  gone.txt (not in the source, 1.00 Bytes)"))
        << testing::PrintToString(dry->messages);
    EXPECT_TRUE(
        dry->Has("1 file to send (5.00 Bytes), 5 skipped, 3 files and 2 folders to delete (3.00 Bytes)."));

    // More than half of the server's files, or all of them from an empty source: nothing goes.
    fs::create_directories(dir.path() / "empty");
    WriteTree(dir.path() / "few", {{"keep.txt", "k"}});
    for (const char* source : {"empty", "few"}) {
        auto guarded = Make(0, 1, 1, dir.path() / source);
        const auto error = test::Raised<InternetError>([&] { guarded->Run(); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kDeletionsRefused);
        EXPECT_NE(std::string(error->what()).find("--allow-mass-delete"), std::string::npos) << error->what();
        EXPECT_EQ(TreeOf(Www()), server);
    }

    auto run = Make(0, 1, 1, site);
    prepare(*run);
    EXPECT_EQ(run->Run(), 0);
    Tree expectedServer = TreeOf(site);
    expectedServer["skip.tmp"] = "t";
    EXPECT_EQ(TreeOf(Www()), expectedServer);
}

INSTANTIATE_TEST_SUITE_P(Protocols, Mirror,
                         ::testing::Values(job::Protocol::Ftp, job::Protocol::Ftpes, job::Protocol::Sftp),
                         [](const auto& info) { return std::string(job::ProtocolKey(info.param)); });

// A get removes into the trash, never through a link; a failed listing on either side removes nothing.
TEST(MirrorLocal, GetTrashesWhatIsGoneAndFailedListingsDeleteNothing) {
    FtpTestServer server({.refused = "locked"});
    TempDir dir;
    test::ScopedEnv data("XDG_DATA_HOME", (dir.path() / "data").string());
    WriteTree(server.root() / "www", {{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}});
    const fs::path copy = dir.path() / "copy";
    WriteTree(copy,
              {{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}, {"gone.txt", "g"}, {"sub/gone2.txt", "h"}});
    fs::create_symlink(copy / "a.txt", copy / "link.txt");
    const fs::path missing = dir.path() / "missing";

    auto dry = std::make_unique<Transfer>(server, missing, "www", 1);
    dry->job.deleteMissing = 1;
    dry->job.dryRun = true;
    EXPECT_EQ(dry->Run(), 0);
    EXPECT_FALSE(fs::exists(missing));

    Transfer get(server, copy, "www", 1);
    get.job.deleteMissing = 1;
    get.job.syncMode = 1;
    EXPECT_EQ(get.Run(), 0);
    EXPECT_TRUE(fs::is_symlink(copy / "link.txt"));
    EXPECT_EQ(TreeOf(copy, false), (Tree{{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}}));
    EXPECT_EQ(ReadFile(dir.path() / "data" / "Trash" / "files" / "gone2.txt"), "h");
    EXPECT_NE(ReadFile(dir.path() / "data" / "Trash" / "info" / "gone.txt.trashinfo")
                  .find("Path=" + (copy / "gone.txt").string()),
              std::string::npos);

    for (const int getMode : {1, 0}) {
        SCOPED_TRACE(getMode);
        fs::create_directories(server.root() / "www" / "locked");
        WriteFile((getMode ? copy : server.root() / "www") / "stays.txt", "s");
        Transfer run(server, copy, "www", getMode);
        run.job.deleteMissing = 1;
        run.job.ignoreErrors = 1;
        EXPECT_EQ(run.Run(), 0);
        EXPECT_TRUE(fs::exists((getMode ? copy : server.root() / "www") / "stays.txt"));
        EXPECT_TRUE(run.Has("Nothing will be deleted: a folder of the " +
                            std::string(getMode ? "source" : "destination") +
                            " could not be read, so what is gone cannot be told."));
    }
}

}  // namespace
}  // namespace bxfr::engine
