#include "engine/transfer_run.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/archive_attribute.h"
#include "engine/connection.h"
#include "engine/transfer_harness.h"
#include "job/transfer_job.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/http_test_server.h"
#include "support/raises.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;
using test::FtpTestServer;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// A plain server and a local folder, for the tests that need nothing else.
class TransferRunTest : public ::testing::Test {
protected:
    FtpTestServer server;
    TempDir local;
};

TEST_F(TransferRunTest, TreeArrivesByteIdenticalWithItsFoldersOnOneLogin) {
    const fs::path site = local.path() / "site";
    const Tree tree = SampleTree();
    WriteTree(site, tree);

    Transfer send(server, site, "/incoming");
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(TreeOf(server.root() / "incoming"), TreeOf(site));
    EXPECT_EQ(server.LoginCount(), 1);
    const std::uint64_t total = BytesIn(tree);
    EXPECT_EQ(send.job.progress.totalBytes, total);
    EXPECT_EQ(send.job.progress.doneBytes, total);
    ASSERT_FALSE(send.progressDone.empty());
    EXPECT_TRUE(std::is_sorted(send.progressDone.begin(), send.progressDone.end()));
    EXPECT_EQ(send.progressDone.back(), total);
    // The session is prepared once: no OPTS and no CWD come with each file.
    const auto commands = server.Commands();
    EXPECT_EQ(CountStartingWith(commands, "OPTS UTF8"), 1);
    EXPECT_LE(CountStartingWith(commands, "CWD "), 2);
    // Every stored file was checked: the files of a folder with one STAT of it; on its own a file
    // alone in its folder, in a folder whose name holds a blank, or one the listing does not show
    // as it is. Each keeps its local time on the server.
    EXPECT_EQ(CountStartingWith(commands, "STOR "), 8);
    EXPECT_EQ(CountStartingWith(commands, "STAT /incoming/"), 1);
    EXPECT_EQ(CountStartingWith(commands, "MLST "), 6);
    const auto seconds = [](const fs::path& path) {
        return std::chrono::floor<std::chrono::seconds>(fs::last_write_time(path)).time_since_epoch().count();
    };

    // Again over the existing tree, in active mode: folders already there stay silent.
    WriteFile(site / "with blank.txt", "changed");
    fs::last_write_time(site / "index.html",
                        fs::last_write_time(site / "index.html") - std::chrono::hours(50));
    Transfer again(server, site, "/incoming");
    again.job.passive = 0;
    EXPECT_EQ(again.Run(), 0);
    EXPECT_EQ(seconds(server.root() / "incoming" / "index.html"), seconds(site / "index.html"));
    EXPECT_EQ(ReadFile(server.root() / "incoming" / "with blank.txt"), "changed");
    EXPECT_EQ(again.Count("Failed to create folder"), 0);
}

TEST_F(TransferRunTest, ArchiveModeSendsOnlyFilesChangedSinceTheirLastSend) {
    const fs::path site = local.path() / "site";
    WriteTree(site, {{"a.txt", "a"}, {"b.txt", "b"}, {"sub/c.txt", "c"}});
    if (ArchiveStateOf(site / "a.txt") == ArchiveState::Unsupported) GTEST_SKIP() << "no user xattrs here";
    const auto sendChanged = [&](int expectedSends) {
        Transfer send(server, site, "/archive");
        send.job.archiveOnly = 1;
        EXPECT_EQ(send.Run(), 0);
        EXPECT_EQ(send.Count("Sending "), expectedSends);
        return send.job.progress.totalBytes;
    };
    const auto timeBefore = fs::last_write_time(site / "a.txt");
    EXPECT_EQ(sendChanged(3), 3u);
    EXPECT_EQ(fs::last_write_time(site / "a.txt"), timeBefore);
    EXPECT_EQ(sendChanged(0), 0u);

    WriteFile(site / "b.txt", "bigger");
    WriteFile(server.root() / "archive" / "a.txt", "the server's own copy");
    EXPECT_EQ(sendChanged(1), 6u);
    EXPECT_EQ(ReadFile(server.root() / "archive" / "b.txt"), "bigger");
    EXPECT_EQ(ReadFile(server.root() / "archive" / "a.txt"), "the server's own copy");
}

class TransferRunGetTest : public ::testing::TestWithParam<bool> {};

TEST_P(TransferRunGetTest, TreeComesBackIdenticalOverwritingOldCopies) {
    FtpTestServer server({.mlsd = GetParam()});
    Tree tree = SampleTree();
    tree.erase("hollow/");
    WriteTree(server.root() / "www", tree);
    const fs::path dated = server.root() / "www" / "sub" / "mixed.bin";
    fs::last_write_time(dated, fs::last_write_time(dated) - std::chrono::hours(75));
    TempDir local;

    // Chunked with progress, then whole-file calls.
    for (const int reportProgress : {1, 0}) {
        const fs::path copy = local.path() / std::to_string(reportProgress);
        WriteFile(copy / "with blank.txt", "an old local copy, longer than the one on the server\n");
        fs::permissions(copy / "with blank.txt", fs::perms::owner_read | fs::perms::owner_write);
        Transfer get(server, copy, "/www", 1);
        get.job.reportProgress = reportProgress;
        EXPECT_EQ(get.Run(), 0);
        EXPECT_EQ(TreeOf(copy), TreeOf(server.root() / "www"));
        // The server's time (MLSD modify or MDTM), and the replaced file's permission bits.
        EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(fs::last_write_time(copy / "sub" / "mixed.bin")),
                  std::chrono::floor<std::chrono::seconds>(fs::last_write_time(dated)));
        EXPECT_EQ(fs::status(copy / "with blank.txt").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(get.job.progress.totalBytes, BytesIn(tree));
        EXPECT_EQ(get.job.progress.doneBytes, BytesIn(tree));
        EXPECT_EQ(get.progressDone.empty(), reportProgress == 0);
    }
    // Without MLSD each run has a second login for the times, one MDTM per file.
    EXPECT_EQ(server.LoginCount(), GetParam() ? 2 : 4);
    EXPECT_EQ(CountStartingWith(server.Commands(), "MDTM "), GetParam() ? 0 : 16);
}

INSTANTIATE_TEST_SUITE_P(Listings, TransferRunGetTest, ::testing::Values(true, false), [](const auto& info) {
    return info.param ? std::string("Mlsd") : std::string("List");
});

TEST(TransferRunGetWalkTest, HostileListingsStayInsideTheLocalFolderAndEndlessFoldersEnd) {
    FtpTestServer server({.hostile = true});
    TempDir local;

    // Every folder of this server holds itself again; the cancel keeps the slow file walk short.
    Transfer get(server, local.path() / "base", "/", 1);
    int receiving = 0;
    get.onMessage = [&receiving](const std::string& text, job::TransferProgress& progress) {
        if (text.rfind("Receiving ", 0) == 0 && ++receiving == 2) progress.cancelRequested = 1;
    };
    EXPECT_EQ(get.Run(), 0);
    // good.txt (8 bytes) of the start folder and of the 64 nested folders the walk enters.
    EXPECT_EQ(get.job.progress.totalBytes, 65u * 8u);
    EXPECT_EQ(get.Count("Refused to receive /../x"), 1);
    // The server's control characters reach no terminal, log or window.
    EXPECT_EQ(get.Count("Refused to receive /x\\x1B]0;pwned\\x07y"), 1);
    for (const std::string& message : get.messages) {
        EXPECT_EQ(message.find_first_of("\x1b\x07"), std::string::npos) << message;
    }
    EXPECT_EQ(TreeOf(local.path(), false), (Tree{{"base/good.txt", "hostile\n"}}));
}

TEST_F(TransferRunTest, AsciiRoundTripKeepsLocalLineEnds) {
    std::string lf;
    for (int i = 0; i < 3000; ++i) lf += "line " + std::to_string(i) + " of a plain text file\n";
    // Pairs at odd offsets: some CRLF is split between two reads whatever their size.
    std::string pairs = "x";
    for (int i = 0; i < 200000; ++i) pairs += "\r\n";
    WriteTree(local.path() / "out", {{"lf.txt", lf}, {"crlf.txt", "one\r\ntwo\r\n"}, {"pairs.txt", pairs}});
    const Tree onDisk{
        {"lf.txt", lf}, {"crlf.txt", "one\ntwo\n"}, {"pairs.txt", "x" + std::string(200000, '\n')}};

    Transfer send(server, local.path() / "out", "/text");
    send.job.transferType = 2;
    EXPECT_EQ(send.Run(), 0);
    EXPECT_TRUE(TreeOf(server.root() / "text") == onDisk);

    Transfer get(server, local.path() / "back", "/text", 1);
    get.job.transferType = 2;
    EXPECT_EQ(get.Run(), 0);
    EXPECT_TRUE(TreeOf(local.path() / "back") == onDisk);
    EXPECT_EQ(get.job.progress.totalBytes, BytesIn(onDisk));
    EXPECT_EQ(get.job.progress.doneBytes, get.job.progress.totalBytes);
}

TEST_F(TransferRunTest, RulesAndMaskChooseTheFilesOnSendAndGet) {
    const Tree tree{{"a.txt", "a"},     {"b.htm", "bb"},        {"c.html", "ccc"},        {"D.TMP", "dddd"},
                    {"sub/f.txt", "f"}, {"sub/g.gif", "ggggg"}, {"notes.txt/h.txt", "hh"}};
    WriteTree(server.root() / "src", tree);
    // Names no command can carry: selected by rules below, but never sent nor counted.
    Tree withControlNames = tree;
    withControlNames.insert({{"line\nbreak.txt", "nnnn"}, {"tab\tname.txt", "tttt"}});
    WriteTree(local.path() / "site", withControlNames);

    struct Case {
        int getMode, selectMode;
        std::vector<std::string> rules;
        std::string mask, kept;
    };
    // ".txt" matches the tail "txt" and "*.htm" the tail ".htm"; case is ignored; the mask
    // also picks the subfolders entered.
    const std::vector<Case> cases{
        {0, 1, {".txt", "*.htm"}, "*.*", "a.txt b.htm sub/f.txt notes.txt/h.txt"},
        {0, 2, {".tmp"}, "*.*", "a.txt b.htm c.html sub/f.txt sub/g.gif notes.txt/h.txt"},
        {0, 0, {}, "*.txt", "a.txt notes.txt/h.txt"},
        {0, 1, {}, "*.*", ""},
        {1, 1, {".GIF"}, "*.*", "sub/g.gif"},
        {1, 2, {"htm"}, "*.*", "a.txt c.html D.TMP sub/f.txt sub/g.gif notes.txt/h.txt"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        Tree expected;
        for (const auto& [name, bytes] : tree) {
            if ((" " + c.kept + " ").find(" " + name + " ") != std::string::npos) expected[name] = bytes;
        }
        const std::string out = "out" + std::to_string(i);
        const fs::path into = c.getMode != 0 ? local.path() / out : server.root() / out;
        fs::create_directories(into);
        Transfer run(server, c.getMode != 0 ? into : local.path() / "site",
                     c.getMode != 0 ? "/src" : "/" + out, c.getMode);
        run.job.selectMode = c.selectMode;
        run.job.fileMask = c.mask;
        for (const auto& rule : c.rules) run.job.AddSelectRule(rule);
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_EQ(run.Run(), 0);
        EXPECT_EQ(TreeOf(into, false), expected);
        EXPECT_EQ(run.job.progress.totalBytes, BytesIn(expected));
        EXPECT_EQ(run.job.progress.doneBytes, run.job.progress.totalBytes);
    }
}

TEST_F(TransferRunTest, SendsAndGetsOneFileByItsFullRemoteName) {
    fs::create_directories(server.root() / "pub" / "a");
    const std::string bytes = BinaryBytes(20000);
    WriteFile(local.path() / "one.bin", bytes);

    Transfer send(server, local.path() / "one.bin", "/pub/a/one.bin");
    send.job.singleFile = 1;
    EXPECT_EQ(send.Run(), 0);
    EXPECT_EQ(ReadFile(server.root() / "pub" / "a" / "one.bin"), bytes);
    EXPECT_EQ(send.job.progress.doneBytes, bytes.size());

    // The local name may lie in folders that do not exist yet.
    const fs::path target = local.path() / "fetched" / "deep" / "copy.bin";
    Transfer get(server, target, "/pub/a/one.bin", 1);
    get.job.singleFile = 1;
    EXPECT_EQ(get.Run(), 0);
    EXPECT_EQ(ReadFile(target), bytes);
    EXPECT_EQ(get.job.progress.doneBytes, bytes.size());
    // The file is asked for itself (MLST; SIZE and MDTM where the server has no MLST), its folder
    // not listed, and it keeps the server's time.
    FtpTestServer plain({.mlsd = false});
    WriteFile(plain.root() / "one.bin", bytes);
    const auto stamp = fs::last_write_time(server.root() / "pub" / "a" / "one.bin") - std::chrono::hours(30);
    fs::last_write_time(server.root() / "pub" / "a" / "one.bin", stamp);
    fs::last_write_time(plain.root() / "one.bin", stamp);
    Transfer again(server, target, "/pub/a/one.bin", 1);
    Transfer fromPlain(plain, local.path() / "plain.bin", "/one.bin", 1);
    for (Transfer* run : {&again, &fromPlain}) {
        run->job.singleFile = 1;
        EXPECT_EQ(run->Run(), 0);
        EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(fs::last_write_time(run->job.localPath)),
                  std::chrono::floor<std::chrono::seconds>(stamp));
    }
    for (const auto& commands : {server.Commands(), plain.Commands()}) {
        EXPECT_EQ(CountStartingWith(commands, "MLSD") + CountStartingWith(commands, "LIST"), 0);
    }
    EXPECT_EQ(CountStartingWith(server.Commands(), "MLST /pub/a/one.bin"), 3);  // the send's check, each get
    EXPECT_EQ(CountStartingWith(plain.Commands(), "MDTM /one.bin"), 1);

    // A remote file that is not there fails the run and leaves the local file as it was.
    const fs::path keep = local.path() / "keep" / "kept.bin";
    WriteFile(keep, "the local copy");
    Transfer lost(server, keep, "/pub/a/missing.bin", 1);
    lost.job.singleFile = 1;
    EXPECT_THROW(lost.Run(), InternetError);
    EXPECT_EQ(TreeOf(keep.parent_path()), (Tree{{"kept.bin", "the local copy"}}));
}

TEST_F(TransferRunTest, FailingConnScriptSkipsTheFilesButTheDiscScriptRuns) {
    WriteFile(local.path() / "f.txt", "file");

    Transfer send(server, local.path());
    for (const char* command : {"PWD", "XBOGUS", "SYST"}) send.job.AddConnScript(command);
    send.job.AddDiscScript("NOOP");
    EXPECT_EQ(send.Run(), 0);
    const auto commands = server.Commands();
    EXPECT_GE(IndexOf(commands, "PWD"), 0);
    EXPECT_LT(IndexOf(commands, "XBOGUS"), IndexOf(commands, "NOOP"));
    EXPECT_EQ(IndexOf(commands, "SYST"), -1);
    EXPECT_FALSE(fs::exists(server.root() / "f.txt"));
    EXPECT_EQ(send.job.progress.errorCode, 12003u);
    EXPECT_NE(send.job.progress.errorDetail.find("XBOGUS"), std::string::npos);
}

TEST_F(TransferRunTest, ChmodRulesFollowEverySentFile) {
    fs::create_directories(server.root() / "site");
    WriteTree(local.path(),
              {{"cgi-bin/x.cgi", "#!/bin/sh\n"}, {"run.sh", "echo\n"}, {"plain.txt", "text\n"}});

    Transfer send(server, local.path(), "/site");
    send.job.AddChmodRule(".cgi", "755");
    send.job.AddChmodRule("*.CGI", "700");
    send.job.AddChmodRule("sh", "750");
    EXPECT_EQ(send.Run(), 0);
    const auto commands = server.Commands();
    const auto stored = IndexOf(commands, "STOR /site/cgi-bin/x.cgi");
    ASSERT_GE(stored, 0);
    EXPECT_LT(stored, IndexOf(commands, "SITE chmod 755 cgi-bin/x.cgi"));
    EXPECT_LT(IndexOf(commands, "SITE chmod 755 cgi-bin/x.cgi"),
              IndexOf(commands, "SITE chmod 700 cgi-bin/x.cgi"));
    EXPECT_GE(IndexOf(commands, "SITE chmod 750 run.sh"), 0);
    EXPECT_EQ(CountStartingWith(commands, "SITE chmod"), 3);

    struct stat info {};
    ASSERT_EQ(::stat((server.root() / "site" / "cgi-bin" / "x.cgi").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(TransferRunTest, AWrongPasswordEndsTheRunBeforeAnyScript) {
    Transfer send(server, local.path());
    send.job.SetPassword("not the password");
    send.job.AddConnScript("NOOP");
    send.job.AddDiscScript("NOOP");
    const auto error = test::Raised<InternetError>([&] { send.Run(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 12014u);
    EXPECT_EQ(send.client->LastReply().code, 530);
    EXPECT_EQ(send.messages, std::vector<std::string>{"Connecting to 127.0.0.1 ..."});
    EXPECT_EQ(IndexOf(server.Commands(), "NOOP"), -1);
}

TEST(TransferRunFailureTest, DroppedDataOnGetNeverLeavesACutFileUnderItsName) {
    FtpTestServer server({.dropDataAfterBytes = 100000});
    const std::string small = BinaryBytes(5000);
    WriteFile(server.root() / "www" / "big.bin", BinaryBytes(300000));
    WriteFile(server.root() / "www" / "small.bin", small);
    TempDir local;
    WriteFile(local.path() / "big.bin", "the old copy");

    Transfer strict(server, local.path(), "/www", 1);
    strict.job.retries = 0;
    const auto error = test::Raised<InternetError>([&] { strict.Run(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 12030u);
    EXPECT_EQ(strict.job.progress.errorText, "/www/big.bin");
    // Whether small.bin came first depends on the listing; nothing else may be there.
    Tree left = TreeOf(local.path());
    left.erase("small.bin");
    EXPECT_EQ(left, (Tree{{"big.bin", "the old copy"}}));

    // Ignored: reported, the old copy stays, the other file still arrives.
    Transfer lenient(server, local.path(), "/www", 1);
    lenient.job.ignoreErrors = 1;
    lenient.job.retries = 0;
    EXPECT_EQ(lenient.Run(), 0);
    EXPECT_TRUE(lenient.Has("Failed to receive /www/big.bin!"));
    EXPECT_EQ(lenient.job.progress.errorCode, 12030u);
    EXPECT_EQ(TreeOf(local.path()), (Tree{{"big.bin", "the old copy"}, {"small.bin", small}}));

    // With retries each attempt resumes where the last one was cut, so the file comes whole.
    Transfer retrying(server, local.path(), "/www", 1);
    retrying.job.verbose = 1;
    EXPECT_EQ(retrying.Run(), 0);
    EXPECT_EQ(retrying.job.progress.errorCode, 0u);
    EXPECT_GE(retrying.Count("Resuming /www/big.bin at byte "), 2);
    EXPECT_EQ(ReadFile(local.path() / "big.bin"), BinaryBytes(300000));
    EXPECT_EQ(TreeOf(local.path()).size(), 2u);
}

TEST_F(TransferRunTest, TotalsAboveFourGigabytesDoNotWrap) {
    const std::uint64_t huge = (std::uint64_t{5} << 30) + 3;
    // Sparse files, and a cancel as soon as the total is announced: no byte moves.
    for (const fs::path& folder : {local.path() / "site", server.root() / "big"}) {
        WriteFile(folder / "small.txt", "0123456789");
        WriteFile(folder / "huge.iso", "");
        fs::resize_file(folder / "huge.iso", huge);
    }
    for (const int getMode : {0, 1}) {
        Transfer run(server, local.path() / (getMode != 0 ? "copy" : "site"), getMode != 0 ? "/big" : "/sent",
                     getMode);
        run.onMessage = [](const std::string& text, job::TransferProgress& progress) {
            if (text.ends_with(" bytes to transfer.")) progress.cancelRequested = 1;
        };
        EXPECT_EQ(run.Run(), 0);
        EXPECT_EQ(run.job.progress.totalBytes, huge + 10) << "getMode " << getMode;
        EXPECT_TRUE(run.Has(std::to_string(huge + 10) + " bytes to transfer.")) << "getMode " << getMode;
        EXPECT_EQ(run.job.progress.doneBytes, 0u);
    }
}

TEST_F(TransferRunTest, TheUpgradeAnswerIsReportedAndAnUnreachablePageNeverStopsTheTransfer) {
    WriteFile(local.path() / "site" / "a.txt", "a");
    const test::ScopedEnv direct("no_proxy", "127.0.0.1");  // a proxy of the machine's must not stand between
    test::HttpTestServer newer("<html>A new version is available.</html>");
    test::HttpTestServer current("Upgrade not available");
    // Port 1 on loopback: nothing listens there.
    // The last message names the error after the address, so only its start is fixed.
    const std::vector<std::tuple<std::string, std::string, int, bool>> cases{
        {newer.url(), "UPGRADE AVAILABLE - Visit " + newer.url() + " to download!", 1, true},
        {current.url(), "No upgrade available.", 0, true},
        {"http://127.0.0.1:1/", "The upgrade check could not reach http://127.0.0.1:1/", -1, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [url, message, flagged, whole] = cases[i];
        SCOPED_TRACE(url);
        const test::ScopedEnv page("BXFR_UPGRADE_URL", url);
        Transfer send(server, local.path() / "site", "/" + std::to_string(i));
        send.job.checkUpgrade = 1;
        EXPECT_EQ(send.Run(), 0);
        EXPECT_EQ(ReadFile(server.root() / std::to_string(i) / "a.txt"), "a");
        EXPECT_EQ(send.Count(message), 1);
        if (whole) {
            EXPECT_TRUE(send.Has(message));
        }
        EXPECT_EQ(send.job.upgradeAvailable, flagged);
    }
    ASSERT_EQ(newer.Requests().size(), 1u);
    EXPECT_EQ(newer.Requests()[0], "/upgrade.asp?product=bxfr&version=" BXFR_VERSION);
}

TEST(TransferRunGetWalkTest, ADeepTreeNeedsNoConnectionPerFolder) {
    FtpTestServer server({.maxConsPerIp = 2});
    Tree expected;
    std::string relative;
    for (int level = 1; level <= 10; ++level) {
        relative += "level " + std::to_string(level) + "/";
        expected[relative + "file.txt"] = "at level " + std::to_string(level);
    }
    WriteTree(server.root() / "deep", expected);
    TempDir local;
    Transfer get(server, local.path(), "/deep", 1);
    EXPECT_EQ(get.Run(), 0);
    EXPECT_EQ(TreeOf(local.path(), false), expected);
    EXPECT_LE(server.LoginCount(), 2);
}

TEST_F(TransferRunTest, ALocalWriteErrorFailsThatFileOnlyAndLeavesTheOldCopy) {
    WriteFile(server.root() / "get" / "big.bin", BinaryBytes(256 * 1024));
    WriteFile(server.root() / "get" / "small.txt", "fits");
    WriteFile(local.path() / "big.bin", "the user's own copy");

    Transfer get(server, local.path(), "/get", 1);
    get.job.ignoreErrors = 1;
    // Writes past 64 KiB fail with EFBIG instead of killing the test.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_NO_THROW(get.Run());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_NE(get.job.progress.errorCode, 0u);
    // Nothing half-written is left beside the files.
    EXPECT_EQ(TreeOf(local.path(), false), (Tree{{"big.bin", "the user's own copy"}, {"small.txt", "fits"}}));
}

}  // namespace
}  // namespace bxfr::engine
