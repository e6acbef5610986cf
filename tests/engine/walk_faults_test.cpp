#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "engine/temporary_names.h"
#include "engine/transfer_harness.h"
#include "job/text_encoding.h"
#include "support/temp_dir.h"
#include "support/vsftpd_test_server.h"

namespace bxfr::engine {
namespace {

using test::TempDir;

// What a walk meets that it cannot move is named in the log and never ends the run unnoticed.

TEST(WalkFaultsTest, AnUnlistableRemoteFolderFailsTheGetAndIsNamed) {
    FtpTestServer server({.refused = "locked"});
    WriteTree(server.root() / "www", {{"a.txt", "a"}, {"locked/b.txt", "b"}, {"z.txt", "z"}});
    TempDir local;

    Transfer strict(server, local.path() / "strict", "/www", 1);
    EXPECT_EQ(strict.Run(), 0);
    EXPECT_TRUE(strict.Has("Failed to list folder /www/locked!"));
    EXPECT_EQ(strict.job.progress.errorCode, 12003u);
    EXPECT_EQ(strict.Count("Receiving "), 0);
    // A refusal is final: one listing, no retries.
    EXPECT_EQ(CountStartingWith(server.Commands(), "MLSD /www/locked"), 1);

    Transfer lenient(server, local.path() / "lenient", "/www", 1);
    lenient.job.ignoreErrors = 1;
    EXPECT_EQ(lenient.Run(), 0);
    EXPECT_TRUE(lenient.Has("Failed to list folder /www/locked!"));
    EXPECT_EQ(TreeOf(local.path() / "lenient"), (Tree{{"a.txt", "a"}, {"z.txt", "z"}}));

    // vsftpd ends the listing of a folder its user cannot read with a 226 that says so.
    if (!test::VsftpdTestServer::Available()) {
        GTEST_SKIP() << "vsftpd is not installed or the tests do not run as root";
    }
    const test::VsftpdTestServer vsftpd("1.3");
    WriteTree(vsftpd.root() / "pub" / "www", {{"a.txt", "a"}, {"locked/b.txt", "b"}, {"z.txt", "z"}});
    fs::permissions(vsftpd.root() / "pub" / "www" / "locked", fs::perms(0711));  // root's, not ftp's
    for (const int ignore : {0, 1}) {
        const fs::path into = local.path() / ("vsftpd" + std::to_string(ignore));
        Transfer get("127.0.0.1", vsftpd.port(), "anonymous", "test@", into, "/pub/www", 1);
        get.job.protocol = job::Protocol::Ftpes;
        get.job.fingerprint = vsftpd.Fingerprint();
        get.job.ignoreErrors = ignore;
        EXPECT_EQ(get.Run(), 0);
        EXPECT_TRUE(get.Has("Failed to list folder /pub/www/locked!")) << ignore;
        EXPECT_EQ(get.job.progress.errorCode, 12003u);
        EXPECT_TRUE(std::any_of(get.messages.begin(), get.messages.end(), [](const std::string& line) {
            return line.find("226 Transfer done (but failed to open directory)") != std::string::npos;
        }));
        EXPECT_EQ(get.Count("Receiving "), ignore == 0 ? 0 : 2);
    }
    EXPECT_EQ(TreeOf(local.path() / "vsftpd1"), (Tree{{"a.txt", "a"}, {"z.txt", "z"}}));
}

TEST(WalkFaultsTest, ServerLinksToFilesArriveAndLinksToFoldersAreNamed) {
    FtpTestServer server({.mlsd = false});
    const fs::path www = server.root() / "www";
    WriteTree(www, {{"real/page.html", "the page"}, {"plain.txt", "plain"}});
    fs::create_symlink("real/page.html", www / "alias.html");
    fs::create_symlink("real", www / "shortcut");
    fs::create_symlink("nowhere.txt", www / "broken.txt");
    TempDir local;

    Transfer get(server, local.path(), "/www", 1);
    EXPECT_EQ(get.Run(), 0);
    EXPECT_EQ(get.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(local.path()), (Tree{{"alias.html", "the page"},
                                          {"plain.txt", "plain"},
                                          {"real/", ""},
                                          {"real/page.html", "the page"}}));
    EXPECT_EQ(get.Count("Refused to receive /www/shortcut: it is a link to a folder"), 1);
    EXPECT_EQ(get.Count("Refused to receive /www/broken.txt: it is a link to a folder or to nothing"), 1);
    EXPECT_EQ(get.job.progress.totalBytes, 2 * std::string("the page").size() + 5);
}

TEST(WalkFaultsTest, LocalSpecialFilesAndLinksToFoldersAreSkippedWithAMessage) {
    FtpTestServer server;
    TempDir local;
    const fs::path site = local.path() / "site";
    WriteTree(site, {{"a.txt", "a"}, {"sub/b.txt", "b"}});
    ASSERT_EQ(mkfifo((site / "pipe").c_str(), 0600), 0);
    fs::create_directory_symlink(site / "sub", site / "again");
    // A socket, as a running program leaves one.
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (site / "sock").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    Transfer send(server, site, "/up");
    EXPECT_EQ(send.Run(), 0);
    close(listener);
    EXPECT_EQ(send.job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(server.root() / "up"), (Tree{{"a.txt", "a"}, {"sub/", ""}, {"sub/b.txt", "b"}}));
    EXPECT_EQ(send.Count("Skipped " + (site / "pipe").string() + ": it is not a regular file"), 1);
    EXPECT_EQ(send.Count("Skipped " + (site / "sock").string() + ": it is not a regular file"), 1);
    EXPECT_EQ(send.Count("Skipped " + (site / "again").string() + ": it is a link to a folder"), 1);
}

// A source that is not there fails the run by name, ignored errors or not, and nothing is made
// on the other side; an empty one is a success that says so; a base that cannot be made ends it.
TEST(WalkFaultsTest, AMissingSourceFailsByNameAndAnEmptyOneSaysSo) {
    FtpTestServer server;
    WriteTree(server.root(), {{"file", "a file, not a folder"}, {"empty/", ""}});
    TempDir local;
    fs::create_directories(local.path() / "empty");
    struct Case {
        std::string local, remote;
        int getMode, single;
        std::string says;
    };
    for (const auto& [name, remote, getMode, single, says] :
         {Case{"gone", "/up", 0, 0, "Nothing was sent: the local folder " + (local.path() / "gone").string()},
          Case{"gone.txt", "/up/gone.txt", 0, 1, "Nothing was sent: the local file "},
          Case{"copy", "/file/sub", 1, 0, "Nothing was received: the remote folder /file/sub cannot"},
          Case{"copy/a.txt", "/typo.txt", 1, 1, "Nothing was received: the remote file /typo.txt cannot"}}) {
        Transfer run(server, local.path() / name, remote, getMode);
        run.job.singleFile = single;
        run.job.ignoreErrors = 1;
        EXPECT_THROW(run.Run(), std::runtime_error) << remote;
        EXPECT_EQ(run.Count(says), 1) << remote;
        EXPECT_EQ(TreeOf(server.root()), (Tree{{"empty/", ""}, {"file", "a file, not a folder"}}));
        EXPECT_EQ(TreeOf(local.path()), (Tree{{"empty/", ""}}));
    }
    EXPECT_EQ(CountStartingWith(server.Commands(), "MKD"), 0);

    Transfer send(server, local.path() / "empty", "/empty");
    Transfer get(server, local.path() / "empty", "/empty", 1);
    for (Transfer* run : {&send, &get}) {
        EXPECT_EQ(run->Run(), 0);
        EXPECT_EQ(run->job.progress.errorCode, 0u);
    }
    EXPECT_TRUE(send.Has("Nothing to send: the local folder " + (local.path() / "empty").string() +
                         " holds no files to move."));
    EXPECT_TRUE(get.Has("Nothing to receive: the remote folder /empty holds no files to move."));

    Transfer blocked(server, local.path() / "empty", "/file/sub");
    EXPECT_EQ(blocked.Run(), 0);
    EXPECT_NE(blocked.job.progress.errorCode, 0u);
    EXPECT_TRUE(blocked.Has("INIT: Failed to create folder /file/sub"));
}

TEST(WalkFaultsTest, APermanentRefusalIsNotRetried) {
    FtpTestServer server({.refused = "locked.html"});
    TempDir local;
    WriteTree(local.path(), {{"locked.html", "x"}, {"open.html", "y"}});

    Transfer send(server, local.path(), "/www");
    send.job.ignoreErrors = 1;
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(send.job.progress.errorCode, 12003u);
    EXPECT_TRUE(send.Has("Failed to send " + (local.path() / "locked.html").string() + "!"));
    EXPECT_EQ(send.Count("Attempt "), 0);
    EXPECT_EQ(CountStartingWith(server.Commands(), "STOR /www/locked.html"), 1);
    EXPECT_EQ(ReadFile(server.root() / "www" / "open.html"), "y");
}

TEST(WalkFaultsTest, AServerThatWillNotRenameOverAFileGetsItDeletedFirst) {
    FtpTestServer server({.noRenameOver = true});
    TempDir local;
    const std::string big = BinaryBytes(300000);
    WriteTree(local.path(), {{"big.bin", big}});
    WriteFile(server.root() / "www" / "big.bin", "the old copy");

    Transfer send(server, local.path(), "/www");
    send.job.verbose = 1;
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(send.job.progress.errorCode, 0u);
    EXPECT_EQ(
        send.Count("The server refused to rename .big.bin.bxfr-part over big.bin; deleting big.bin first."),
        1);
    EXPECT_EQ(TreeOf(server.root() / "www"), (Tree{{"big.bin", big}}));
}

// Temporary names stay hidden, short enough for any file system, and outside the user's rules.
TEST(WalkFaultsTest, TemporaryNamesFitAndMatchNoRule) {
    job::TransferJob job;
    EXPECT_EQ(TemporaryPath("a/b/page.html", job), "a/b/.page.html.bxfr-part");
    job.AddSelectRule("*.bxfr-part");
    job.AddChmodRule("part1", "600");
    EXPECT_EQ(TemporaryName("page.html", job), ".page.html.bxfr-part2");
    const std::string longName = std::string(250, 'x') + "\xC3\xA9.html";
    const std::string temporary = TemporaryName(longName, job);
    EXPECT_LE(temporary.size(), 255u);
    EXPECT_NE(temporary, TemporaryName(std::string(251, 'x') + ".html", job));
    EXPECT_TRUE(job::IsValidUtf8(temporary));
}

}  // namespace
}  // namespace bxfr::engine
