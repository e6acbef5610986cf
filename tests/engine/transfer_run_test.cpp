#include "engine/transfer_run.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_attribute.h"
#include "engine/ftp_client.h"
#include "job/transfer_job.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;
using test::FtpServerOptions;
using test::FtpTestServer;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

using Tree = std::map<std::string, std::string>;

// What a run showed through the job's two callbacks; the hooks let a test act as the
// progress dialog does, e.g. by storing a cancel request.
struct Observed {
    std::vector<std::string> messages;
    std::vector<std::uint64_t> progressDone;
    std::function<void(const std::string&, job::TransferProgress&)> onMessage;
    std::function<void(job::TransferProgress&)> onProgress;

    bool Has(const std::string& text) const {
        return std::find(messages.begin(), messages.end(), text) != messages.end();
    }
    int CountStartingWith(const std::string& prefix) const {
        return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                              [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }));
    }
};

// A job aimed at the test server with chunked progress, as start-up and the wizard set it, and
// binary type unless a test asks for another.
void AimAt(job::TransferJob& job, const FtpTestServer& server, const fs::path& local, Observed& seen,
           const std::string& remote = "", int getMode = 0) {
    job.SetRemotePath(remote);
    job.getMode = getMode;
    job.transferType = 1;
    job.SetServer(server.host());
    job.SetPort(server.port());
    job.SetUserName(server.options().user);
    job.SetPassword(server.options().password);
    job.passive = 1;
    job.reportProgress = 1;
    job.SetLocalPath(local.string());
    job.SetMessageCallback([&seen](const std::string& text, int, job::TransferProgress& progress) {
        seen.messages.push_back(text);
        if (seen.onMessage) {
            seen.onMessage(text, progress);
        }
    });
    job.SetProgressCallback([&seen](job::TransferProgress& progress) {
        seen.progressDone.push_back(progress.doneBytes);
        if (seen.onProgress) {
            seen.onProgress(progress);
        }
    });
}

int RunJob(job::TransferJob& job) {
    const auto client = MakeCurlFtpClient();
    return RunTransfer(job, *client);
}

// Every byte value, a CRLF across the first chunk boundary and a lone CR at the end: whatever
// touches line ends or stops at NUL shows up as a difference.
std::string BinaryBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    if (size > 8193) {
        bytes[8191] = '\r';
        bytes[8192] = '\n';
    }
    if (size > 0) {
        bytes.back() = '\r';
    }
    return bytes;
}

std::string TextLines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "line " + std::to_string(i) + " of a plain text file\n";
    }
    return text;
}

// Relative name -> bytes for every file below the folder; folders end in '/' and hold "".
Tree TreeOf(const fs::path& root, bool withFolders = true) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).generic_string();
        if (entry.is_directory()) {
            if (withFolders) {
                tree[name + "/"] = "";
            }
        } else {
            tree[name] = ReadFile(entry.path());
        }
    }
    return tree;
}

void WriteTree(const fs::path& root, const Tree& tree) {
    for (const auto& [name, bytes] : tree) {
        if (name.ends_with('/')) {
            fs::create_directories(root / name);
        } else {
            WriteFile(root / name, bytes);
        }
    }
}

std::uint64_t BytesIn(const Tree& tree) {
    std::uint64_t total = 0;
    for (const auto& [name, bytes] : tree) {
        total += bytes.size();
    }
    return total;
}

Tree SampleTree() {
    return {
        {"index.html", "<html>\n<body>hello</body>\n</html>\n"},
        {"with blank.txt", "a name with a blank in it\n"},
        {"empty.dat", ""},
        {"sub dir/odd #1 %41+&;.txt", "characters a URL would read\n"},
        {"sub dir/caf\xc3\xa9.txt", "a UTF-8 name\n"},
        {"sub dir/ lead%s.txt", "a leading blank, and a conversion no message may expand\n"},
        {"sub/mixed.bin", BinaryBytes(3 * 8192 + 77)},
        {"sub/deeper/exact.bin", BinaryBytes(2 * 8192)},
        {"hollow/", ""},
    };
}

std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    const auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : it - lines.begin();
}

int CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

TEST(TransferRunSendTest, TreeArrivesByteIdenticalInBinaryOnOneLogin) {
    FtpTestServer server;
    TempDir local;
    const fs::path site = local.path() / "site";
    const Tree tree = SampleTree();
    WriteTree(site, tree);

    Observed seen;
    job::TransferJob job;
    AimAt(job, server, site, seen, "/incoming");
    job.verbose = 1;

    EXPECT_EQ(RunJob(job), 0);
    EXPECT_EQ(TreeOf(server.root() / "incoming"), TreeOf(site));
    EXPECT_EQ(server.LoginCount(), 1);

    const std::uint64_t total = BytesIn(tree);
    EXPECT_EQ(job.progress.totalBytes, total);
    EXPECT_EQ(job.progress.doneBytes, total);
    EXPECT_TRUE(seen.Has("Connecting to 127.0.0.1 ..."));
    EXPECT_TRUE(seen.Has("230 Login successful."));
    EXPECT_TRUE(seen.Has(std::to_string(total) + " bytes to transfer."));
    EXPECT_TRUE(seen.Has("Creating folder sub/deeper ..."));
    EXPECT_TRUE(seen.Has("Sending " + (site / "with blank.txt").string() + " in BINARY mode ..."));
    EXPECT_EQ(seen.CountStartingWith("Sending "), 8);
    EXPECT_EQ(job.progress.errorCode, 0u);

    // Progress only grows, ends at the total, and every non-empty file reported at least once.
    ASSERT_FALSE(seen.progressDone.empty());
    EXPECT_TRUE(std::is_sorted(seen.progressDone.begin(), seen.progressDone.end()));
    EXPECT_EQ(seen.progressDone.back(), total);
    EXPECT_GE(seen.progressDone.size(), 4u);

    // The missing base folder is made, and every subfolder before any file, parents first.
    const auto commands = server.Commands();
    const auto makeBase = IndexOf(commands, "MKD /incoming");
    const auto makeSub = IndexOf(commands, "MKD /incoming/sub");
    const auto makeDeeper = IndexOf(commands, "MKD /incoming/sub/deeper");
    const auto firstStore = std::find_if(commands.begin(), commands.end(),
                                         [](const std::string& c) { return c.rfind("STOR ", 0) == 0; }) -
                            commands.begin();
    ASSERT_GE(makeBase, 0);
    ASSERT_GE(makeSub, 0);
    EXPECT_LT(makeBase, makeSub);
    EXPECT_LT(makeSub, makeDeeper);
    EXPECT_LT(makeDeeper, firstStore);
    EXPECT_EQ(IndexOf(commands, "MKD /incoming/hollow") >= 0, true);

    // Again over the existing tree, in active mode: the server's refusals to make folders stay
    // silent and a changed file replaces the old copy.
    WriteFile(site / "with blank.txt", "changed");
    Observed again;
    AimAt(job, server, site, again, "/incoming");
    job.passive = 0;
    EXPECT_EQ(RunJob(job), 0);
    EXPECT_EQ(ReadFile(server.root() / "incoming" / "with blank.txt"), "changed");
    EXPECT_EQ(again.CountStartingWith("Failed to create folder"), 0);
    EXPECT_EQ(again.CountStartingWith("INIT:"), 0);
    EXPECT_EQ(server.LoginCount(), 2);
}

TEST(TransferRunSendTest, ArchiveModeSendsOnlyFilesChangedSinceTheirLastSend) {
    TempDir local;
    const fs::path site = local.path() / "site";
    WriteTree(site, {{"a.txt", "a"}, {"b.txt", "b"}, {"sub/c.txt", "c"}});
    if (ArchiveStateOf(site / "a.txt") == ArchiveState::Unsupported) {
        GTEST_SKIP() << "the temp folder keeps no user extended attributes";
    }
    FtpTestServer server;
    const auto sendChanged = [&](Observed& seen) {
        job::TransferJob job;
        AimAt(job, server, site, seen, "/archive");
        job.archiveOnly = 1;
        EXPECT_EQ(RunJob(job), 0);
        return job.progress.totalBytes;
    };
    const auto timeBefore = fs::last_write_time(site / "a.txt");

    Observed first;
    EXPECT_EQ(sendChanged(first), 3u);
    EXPECT_EQ(first.CountStartingWith("Sending "), 3);
    EXPECT_EQ(fs::last_write_time(site / "a.txt"), timeBefore);

    Observed second;
    EXPECT_EQ(sendChanged(second), 0u);
    EXPECT_EQ(second.CountStartingWith("Sending "), 0);

    WriteFile(site / "b.txt", "bigger");
    WriteFile(server.root() / "archive" / "a.txt", "the server's own copy");
    Observed third;
    EXPECT_EQ(sendChanged(third), 6u);
    EXPECT_EQ(third.CountStartingWith("Sending "), 1);
    EXPECT_EQ(ReadFile(server.root() / "archive" / "b.txt"), "bigger");
    EXPECT_EQ(ReadFile(server.root() / "archive" / "a.txt"), "the server's own copy");
    EXPECT_EQ(CountStartingWith(server.Commands(), "STOR "), 4);
}

class TransferRunGetTest : public ::testing::TestWithParam<bool> {};

TEST_P(TransferRunGetTest, TreeComesBackIdenticalOverwritingOldCopiesOnOneLogin) {
    FtpServerOptions options;
    options.mlsd = GetParam();
    FtpTestServer server(options);
    Tree tree = SampleTree();
    tree.erase("hollow/");
    WriteTree(server.root() / "www", tree);
    TempDir local;
    const fs::path copy = local.path() / "copy";
    WriteFile(copy / "with blank.txt", "an old local copy, longer than the one on the server\n");

    Observed seen;
    job::TransferJob job;
    AimAt(job, server, copy, seen, "/www", 1);
    job.AddTranScript("MDTM %s");

    EXPECT_EQ(RunJob(job), 0);
    EXPECT_EQ(TreeOf(copy), TreeOf(server.root() / "www"));
    EXPECT_EQ(server.LoginCount(), 1);
    const std::uint64_t total = BytesIn(tree);
    EXPECT_EQ(job.progress.totalBytes, total);
    EXPECT_EQ(job.progress.doneBytes, total);
    EXPECT_TRUE(seen.Has(std::to_string(total) + " bytes to transfer."));
    EXPECT_TRUE(seen.Has("Receiving /www/sub/deeper/exact.bin in BINARY mode ..."));
    EXPECT_EQ(seen.CountStartingWith("Receiving "), 8);
    ASSERT_FALSE(seen.progressDone.empty());
    EXPECT_EQ(seen.progressDone.back(), total);
    // The per-file script gets the full remote path of each received file.
    const auto commands = server.Commands();
    EXPECT_GE(IndexOf(commands, "MDTM /www/sub/deeper/exact.bin"), 0);
    EXPECT_GE(IndexOf(commands, "MDTM /www/with blank.txt"), 0);
    EXPECT_GE(IndexOf(commands, "MDTM /www/sub dir/ lead%s.txt"), 0);
    EXPECT_TRUE(seen.Has("Receiving /www/sub dir/ lead%s.txt in BINARY mode ..."));

    // Whole-file calls: the same tree, no progress calls, bytes counted once per file.
    const fs::path whole = local.path() / "whole";
    Observed wholeSeen;
    job::TransferJob wholeJob;
    AimAt(wholeJob, server, whole, wholeSeen, "/www", 1);
    wholeJob.reportProgress = 0;
    EXPECT_EQ(RunJob(wholeJob), 0);
    EXPECT_EQ(TreeOf(whole), TreeOf(server.root() / "www"));
    EXPECT_TRUE(wholeSeen.progressDone.empty());
    EXPECT_EQ(wholeJob.progress.doneBytes, total);

    // Without a remote base folder the local tree mirrors the full remote path.
    const fs::path mirror = local.path() / "mirror";
    Observed mirrorSeen;
    job::TransferJob mirrorJob;
    AimAt(mirrorJob, server, mirror, mirrorSeen, "", 1);
    EXPECT_EQ(RunJob(mirrorJob), 0);
    EXPECT_EQ(TreeOf(mirror / "www"), TreeOf(server.root() / "www"));
}

INSTANTIATE_TEST_SUITE_P(Listings, TransferRunGetTest, ::testing::Values(true, false), [](const auto& info) {
    return info.param ? std::string("Mlsd") : std::string("List");
});

TEST(TransferRunTypeTest, AsciiKeepsLocalLineEndsAndAutomaticTypeFollowsContentAndNames) {
    FtpTestServer server;
    TempDir local;
    const fs::path out = local.path() / "out";
    const std::string lf = TextLines(3000);
    WriteFile(out / "lf.txt", lf);
    WriteFile(out / "crlf.txt", "one\r\ntwo\r\n");
    // Pairs at odd offsets: whatever the read sizes, some CRLF is split between two reads.
    std::string pairs = "x";
    for (int i = 0; i < 200000; ++i) {
        pairs += "\r\n";
    }
    WriteFile(out / "pairs.txt", pairs);
    const std::string pairsOnDisk = "x" + std::string(200000, '\n');

    // ASCII type: CRLF on the wire, the local convention (LF) on disk at both ends, so a
    // CR already in front of a LF is not doubled.
    Observed sent;
    job::TransferJob send;
    AimAt(send, server, out, sent, "/text");
    send.transferType = 2;
    EXPECT_EQ(RunJob(send), 0);
    EXPECT_EQ(ReadFile(server.root() / "text" / "lf.txt"), lf);
    EXPECT_EQ(ReadFile(server.root() / "text" / "crlf.txt"), "one\ntwo\n");
    EXPECT_TRUE(ReadFile(server.root() / "text" / "pairs.txt") == pairsOnDisk);
    EXPECT_TRUE(sent.Has("Sending " + (out / "lf.txt").string() + " in ASCII mode ..."));
    EXPECT_EQ(send.progress.doneBytes, send.progress.totalBytes);

    const fs::path back = local.path() / "back";
    Observed got;
    job::TransferJob get;
    AimAt(get, server, back, got, "/text", 1);
    get.transferType = 2;
    EXPECT_EQ(RunJob(get), 0);
    EXPECT_EQ(ReadFile(back / "lf.txt"), lf);
    EXPECT_EQ(ReadFile(back / "crlf.txt"), "one\ntwo\n");
    EXPECT_TRUE(ReadFile(back / "pairs.txt") == pairsOnDisk);
    EXPECT_TRUE(got.Has("Receiving /text/lf.txt in ASCII mode ..."));
    EXPECT_EQ(get.progress.doneBytes, get.progress.totalBytes);
    EXPECT_EQ(get.progress.totalBytes, lf.size() + 8 + pairsOnDisk.size());

    // Automatic type on send: 7-bit content goes as ASCII, a byte with its top bit set as binary.
    const fs::path mixed = local.path() / "mixed";
    WriteFile(mixed / "plain.dat", "plain\n");
    WriteFile(mixed / "high.txt", std::string("caf\xc3\xa9\r\n", 6));
    Observed autoSent;
    job::TransferJob autoSend;
    AimAt(autoSend, server, mixed, autoSent, "/auto");
    autoSend.transferType = 0;
    EXPECT_EQ(RunJob(autoSend), 0);
    EXPECT_TRUE(autoSent.Has("Sending " + (mixed / "plain.dat").string() + " in ASCII mode ..."));
    EXPECT_TRUE(autoSent.Has("Sending " + (mixed / "high.txt").string() + " in BINARY mode ..."));
    EXPECT_EQ(ReadFile(server.root() / "auto" / "high.txt"), std::string("caf\xc3\xa9\r\n", 6));

    // Automatic type on get: by name, and a binary copy that turns out 7-bit is fetched again.
    WriteFile(server.root() / "auto" / "page.txt", lf);
    WriteFile(server.root() / "auto" / "pic.gif", BinaryBytes(20000));
    const fs::path autoBack = local.path() / "autoback";
    Observed autoGot;
    job::TransferJob autoGet;
    AimAt(autoGet, server, autoBack, autoGot, "/auto", 1);
    autoGet.transferType = 0;
    EXPECT_EQ(RunJob(autoGet), 0);
    EXPECT_EQ(ReadFile(autoBack / "page.txt"), lf);
    EXPECT_EQ(ReadFile(autoBack / "plain.dat"), "plain\n");
    EXPECT_EQ(ReadFile(autoBack / "pic.gif"), BinaryBytes(20000));
    // The name decides before the content: a .txt file comes in ASCII, high bytes and all.
    EXPECT_TRUE(autoGot.Has("Receiving /auto/high.txt in ASCII mode ..."));
    EXPECT_EQ(ReadFile(autoBack / "high.txt"), std::string("caf\xc3\xa9\n", 6));
    EXPECT_TRUE(autoGot.Has("Receiving /auto/page.txt in ASCII mode ..."));
    EXPECT_TRUE(autoGot.Has("Receiving /auto/plain.dat in BINARY mode ..."));
    EXPECT_TRUE(autoGot.Has("Ooops ... getting /auto/plain.dat again in ASCII mode ..."));
    EXPECT_EQ(autoGot.CountStartingWith("Ooops"), 1);
    // The second fetch starts the file's bytes over rather than counting them twice.
    EXPECT_EQ(autoGet.progress.doneBytes, autoGet.progress.totalBytes);
}

TEST(TransferRunGetWalkTest, HostileListingsStayInsideTheLocalFolderAndEndlessFoldersEnd) {
    FtpServerOptions options;
    options.hostile = true;
    FtpTestServer server(options);
    TempDir local;
    const fs::path base = local.path() / "base";

    // Every folder of this server holds itself again. The size walk covers the whole tree before
    // any file moves; the cancel keeps the file walk (a listing per folder, slow on this server) short.
    Observed seen;
    int receiving = 0;
    seen.onMessage = [&receiving](const std::string& text, job::TransferProgress& progress) {
        if (text.rfind("Receiving ", 0) == 0 && ++receiving == 2) {
            progress.cancelRequested = 1;
        }
    };
    job::TransferJob job;
    AimAt(job, server, base, seen, "/", 1);
    EXPECT_EQ(RunJob(job), 0);

    // good.txt (8 bytes) of the start folder and of the 64 nested folders the walk enters.
    EXPECT_EQ(job.progress.totalBytes, 65u * 8u);
    EXPECT_EQ(seen.CountStartingWith("Refused to receive /../x"), 1);
    // Three refusals in each of the two folders the file walk lists before the cancel.
    EXPECT_EQ(seen.CountStartingWith("Refused to receive "), 6);
    EXPECT_EQ(seen.CountStartingWith("Receiving /good.txt"), 1);
    // Only the harmless name is written, and only below the base folder.
    EXPECT_EQ(TreeOf(local.path(), false), (Tree{{"base/good.txt", "hostile\n"}}));
}

TEST(TransferRunSelectTest, RulesAndMaskChooseTheFilesOnSendAndGet) {
    FtpTestServer server;
    TempDir local;
    const fs::path site = local.path() / "site";
    const Tree tree{
        {"a.txt", "a"},
        {"b.htm", "bb"},
        {"c.html", "ccc"},
        {"d.tmp", "dddd"},
        {"E.TMP", "eeeee"},
        {"sub/f.txt", "ffff"},
        {"sub/g.gif", "ggggggg"},
        {"sub/i.tmp", "ii"},
        {"notes.txt/h.txt", "hhh"},
        // Selected by several rules below, but never sent nor counted: it cannot be named on the wire.
        {"line\nbreak.txt", "nnnnnnnnnn"},
        {"tab\tname.txt", "tttttttttttt"},
    };
    WriteTree(site, tree);

    const auto send = [&](const std::string& remote, int mode, std::vector<std::string> rules,
                          const std::string& mask) {
        Observed seen;
        job::TransferJob job;
        AimAt(job, server, site, seen, remote);
        job.selectMode = mode;
        job.fileMask = mask;
        for (const auto& rule : rules) {
            job.AddSelectRule(rule);
        }
        EXPECT_EQ(RunJob(job), 0);
        EXPECT_EQ(job.progress.doneBytes, job.progress.totalBytes);
        return job.progress.totalBytes;
    };
    const auto files = [&](const std::string& folder) { return TreeOf(server.root() / folder, false); };

    // ".txt" matches the tail "txt", "*.htm" the tail ".htm", so c.html is not taken.
    EXPECT_EQ(send("/only", 1, {".txt", "*.htm"}, "*.*"), 1u + 2 + 4 + 3);
    EXPECT_EQ(CountStartingWith(server.Commands(), "STOR "), 4);
    EXPECT_EQ(files("only"),
              (Tree{{"a.txt", "a"}, {"b.htm", "bb"}, {"sub/f.txt", "ffff"}, {"notes.txt/h.txt", "hhh"}}));

    // The comparison ignores case.
    EXPECT_EQ(send("/allbut", 2, {".tmp"}, "*.*"), 1u + 2 + 3 + 4 + 7 + 3);
    EXPECT_EQ(files("allbut"), (Tree{{"a.txt", "a"},
                                     {"b.htm", "bb"},
                                     {"c.html", "ccc"},
                                     {"sub/f.txt", "ffff"},
                                     {"sub/g.gif", "ggggggg"},
                                     {"notes.txt/h.txt", "hhh"}}));

    // The mask also picks the subfolders entered; every folder is still made on the server.
    EXPECT_EQ(send("/masked", 0, {}, "*.txt"), 1u + 3);
    EXPECT_EQ(files("masked"), (Tree{{"a.txt", "a"}, {"notes.txt/h.txt", "hhh"}}));
    EXPECT_TRUE(fs::is_directory(server.root() / "masked" / "sub"));

    EXPECT_EQ(send("/none", 1, {}, "*.*"), 0u);
    EXPECT_TRUE(files("none").empty());

    const auto get = [&](const std::string& into, int mode, const std::string& rule) {
        Observed seen;
        job::TransferJob job;
        AimAt(job, server, local.path() / into, seen, "/allbut", 1);
        job.selectMode = mode;
        job.AddSelectRule(rule);
        EXPECT_EQ(RunJob(job), 0);
        EXPECT_EQ(job.progress.doneBytes, job.progress.totalBytes);
        return job.progress.totalBytes;
    };
    EXPECT_EQ(get("gifs", 1, ".GIF"), 7u);
    EXPECT_EQ(TreeOf(local.path() / "gifs", false), (Tree{{"sub/g.gif", "ggggggg"}}));
    EXPECT_EQ(get("nohtm", 2, "htm"), 1u + 3 + 4 + 7 + 3);
    EXPECT_EQ(TreeOf(local.path() / "nohtm", false), (Tree{{"a.txt", "a"},
                                                           {"c.html", "ccc"},
                                                           {"sub/f.txt", "ffff"},
                                                           {"sub/g.gif", "ggggggg"},
                                                           {"notes.txt/h.txt", "hhh"}}));
}

TEST(TransferRunSingleFileTest, SendsAndGetsOneFileByItsFullRemoteName) {
    FtpTestServer server;
    fs::create_directories(server.root() / "pub" / "a");
    TempDir local;
    const std::string bytes = BinaryBytes(20000);
    WriteFile(local.path() / "one.bin", bytes);

    Observed sent;
    job::TransferJob send;
    AimAt(send, server, local.path() / "one.bin", sent, "/pub/a/one.bin");
    send.singleFile = 1;
    EXPECT_EQ(RunJob(send), 0);
    EXPECT_EQ(ReadFile(server.root() / "pub" / "a" / "one.bin"), bytes);
    EXPECT_EQ(send.remotePath, "/pub/a");
    EXPECT_EQ(send.progress.totalBytes, bytes.size());
    EXPECT_EQ(send.progress.doneBytes, bytes.size());
    EXPECT_EQ(CountStartingWith(server.Commands(), "CWD"), 0);

    // The local name may lie in folders that do not exist yet.
    const fs::path target = local.path() / "fetched" / "deep" / "copy.bin";
    Observed got;
    job::TransferJob get;
    AimAt(get, server, target, got, "/pub/a/one.bin", 1);
    get.singleFile = 1;
    EXPECT_EQ(RunJob(get), 0);
    EXPECT_EQ(ReadFile(target), bytes);
    EXPECT_EQ(get.progress.totalBytes, bytes.size());
    EXPECT_EQ(get.progress.doneBytes, bytes.size());

    // A remote file that is not there leaves the local file as it was, with errors ignored...
    const fs::path keep = local.path() / "keep" / "kept.bin";
    WriteFile(keep, "the local copy");
    Observed missing;
    job::TransferJob lost;
    AimAt(lost, server, keep, missing, "/pub/a/missing.bin", 1);
    lost.singleFile = 1;
    lost.ignoreErrors = 1;
    EXPECT_EQ(RunJob(lost), 0);
    EXPECT_EQ(lost.progress.totalBytes, 0u);
    EXPECT_TRUE(missing.Has("Failed to receive /pub/a/missing.bin!"));
    EXPECT_EQ(lost.progress.errorCode, 12003u);
    EXPECT_EQ(lost.progress.errorText, "/pub/a/missing.bin");
    EXPECT_EQ(TreeOf(keep.parent_path()), (Tree{{"kept.bin", "the local copy"}}));

    // ...and also when the failure ends the run.
    lost.ignoreErrors = 0;
    lost.SetRemotePath("/pub/a/missing.bin");
    EXPECT_THROW(RunJob(lost), InternetError);
    EXPECT_EQ(TreeOf(keep.parent_path()), (Tree{{"kept.bin", "the local copy"}}));
}

TEST(TransferRunScriptTest, FailingConnScriptSkipsTheFilesButTheDiscScriptRuns) {
    FtpTestServer server;
    WriteFile(server.root() / "present.txt", "x");
    TempDir local;
    WriteFile(local.path() / "f.txt", "file");

    const auto run = [&](int ignoreErrors, Observed& seen) {
        job::TransferJob job;
        AimAt(job, server, local.path(), seen);
        job.ignoreErrors = ignoreErrors;
        job.AddConnScript("PWD");
        job.AddConnScript("LIST,1");
        job.AddConnScript("XBOGUS");
        job.AddConnScript("SYST");
        job.AddDiscScript("NOOP");
        EXPECT_EQ(RunJob(job), 0);
        return job.progress;
    };

    Observed seen;
    const auto progress = run(0, seen);
    auto commands = server.Commands();
    EXPECT_GE(IndexOf(commands, "PWD"), 0);
    EXPECT_EQ(CountStartingWith(commands, "LIST"), 1);
    EXPECT_LT(IndexOf(commands, "XBOGUS"), IndexOf(commands, "NOOP"));
    EXPECT_EQ(IndexOf(commands, "SYST"), -1);
    EXPECT_EQ(CountStartingWith(commands, "STOR"), 0);
    EXPECT_FALSE(fs::exists(server.root() / "f.txt"));

    // Each command is echoed before its reply; the listing arrives as one message.
    const auto& m = seen.messages;
    const auto echoed = IndexOf(m, "LIST");
    ASSERT_GE(echoed, 0);
    ASSERT_LT(echoed + 2, static_cast<std::ptrdiff_t>(m.size()));
    EXPECT_NE(m[static_cast<std::size_t>(echoed) + 2].find("present.txt"), std::string::npos);
    EXPECT_TRUE(seen.Has("257 \"/\" is the current directory."));
    EXPECT_TRUE(seen.Has("ERROR 12003 : Extended error"));
    EXPECT_EQ(seen.CountStartingWith("EXTENDED ERROR 500 : 500"), 1);
    EXPECT_EQ(progress.errorCode, 12003u);
    EXPECT_NE(progress.errorDetail.find("XBOGUS"), std::string::npos);
    EXPECT_LT(IndexOf(m, "XBOGUS"), IndexOf(m, "NOOP"));
    EXPECT_EQ(seen.CountStartingWith("Sending "), 0);

    // With errors ignored the files move, but the script itself still stops at its failure.
    Observed ignoring;
    run(1, ignoring);
    commands = server.Commands();
    EXPECT_EQ(ReadFile(server.root() / "f.txt"), "file");
    EXPECT_EQ(IndexOf(commands, "SYST"), -1);
    EXPECT_EQ(CountStartingWith(commands, "NOOP"), 2);
}

TEST(TransferRunScriptTest, ChmodRulesAndTranScriptFollowEverySentFile) {
    FtpTestServer server;
    fs::create_directories(server.root() / "site");
    TempDir local;
    WriteTree(local.path(),
              {{"cgi-bin/x.cgi", "#!/bin/sh\n"}, {"run.sh", "echo\n"}, {"plain.txt", "text\n"}});

    Observed seen;
    job::TransferJob job;
    AimAt(job, server, local.path(), seen, "/site");
    job.AddChmodRule(".cgi", "755");
    job.AddChmodRule("*.CGI", "700");
    job.AddChmodRule("sh", "750");
    job.AddTranScript("MDTM %s");
    job.AddTranScript("NLST %s,1");
    // A script that changes the type behind the engine's back must not turn a binary send into ASCII.
    job.AddConnScript("TYPE A");
    WriteFile(local.path() / "raw.bin", BinaryBytes(30000));
    EXPECT_EQ(RunJob(job), 0);
    EXPECT_TRUE(ReadFile(server.root() / "site" / "raw.bin") == BinaryBytes(30000));

    const auto commands = server.Commands();
    const auto stored = IndexOf(commands, "STOR /site/cgi-bin/x.cgi");
    const auto first = IndexOf(commands, "SITE chmod 755 cgi-bin/x.cgi");
    const auto second = IndexOf(commands, "SITE chmod 700 cgi-bin/x.cgi");
    const auto script = IndexOf(commands, "MDTM cgi-bin/x.cgi");
    ASSERT_GE(stored, 0);
    EXPECT_LT(stored, first);
    EXPECT_LT(first, second);
    EXPECT_LT(second, script);
    EXPECT_GE(IndexOf(commands, "SITE chmod 750 run.sh"), 0);
    EXPECT_GE(IndexOf(commands, "MDTM plain.txt"), 0);
    EXPECT_EQ(CountStartingWith(commands, "SITE chmod"), 3);
    EXPECT_TRUE(seen.Has("SITE chmod 755 cgi-bin/x.cgi"));
    // A script command's data reply is reported after its echo and its control reply.
    const auto listed = IndexOf(seen.messages, "NLST cgi-bin/x.cgi");
    ASSERT_GE(listed, 0);
    ASSERT_LT(listed + 2, static_cast<std::ptrdiff_t>(seen.messages.size()));
    EXPECT_NE(seen.messages[static_cast<std::size_t>(listed) + 2].find("x.cgi"), std::string::npos);

    struct stat info {};
    ASSERT_EQ(::stat((server.root() / "site" / "cgi-bin" / "x.cgi").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((server.root() / "site" / "run.sh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u);

    // A refused permission command fails its file without a "Failed to send", and stops the walk.
    TempDir refused;
    WriteTree(refused.path(), {{"a.cgi", "a"}, {"b.txt", "b"}});
    for (const int ignoreErrors : {0, 1}) {
        Observed badSeen;
        job::TransferJob bad;
        AimAt(bad, server, refused.path(), badSeen, "/refused" + std::to_string(ignoreErrors));
        bad.ignoreErrors = ignoreErrors;
        bad.AddChmodRule(".cgi", "9");
        EXPECT_EQ(RunJob(bad), 0);
        const fs::path there = server.root() / ("refused" + std::to_string(ignoreErrors));
        EXPECT_TRUE(fs::exists(there / "a.cgi"));
        EXPECT_EQ(fs::exists(there / "b.txt"), ignoreErrors == 1);
        EXPECT_EQ(badSeen.CountStartingWith("Failed to send"), 0);
        EXPECT_EQ(bad.progress.errorCode, 12003u);
    }
}

TEST(TransferRunFailureTest, RunsThatNeverReachTheFiles) {
    FtpTestServer server;
    TempDir local;
    WriteFile(local.path() / "f.txt", "file");

    // No server: nothing happens at all.
    Observed quiet;
    job::TransferJob none;
    AimAt(none, server, local.path(), quiet);
    none.server.clear();
    EXPECT_EQ(RunJob(none), 0);
    EXPECT_TRUE(quiet.messages.empty());
    EXPECT_EQ(server.LoginCount(), 0);

    // A refused login leaves the run before any script; the worker reports the error.
    Observed seen;
    job::TransferJob job;
    AimAt(job, server, local.path(), seen);
    job.SetPassword("not the password");
    job.AddConnScript("NOOP");
    job.AddDiscScript("NOOP");
    const auto client = MakeCurlFtpClient();
    try {
        RunTransfer(job, *client);
        FAIL() << "a wrong password was accepted";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12014u);
    }
    EXPECT_EQ(client->LastReply().code, 530);
    EXPECT_EQ(seen.messages, std::vector<std::string>{"Connecting to 127.0.0.1 ..."});
    EXPECT_EQ(server.LoginCount(), 0);
    EXPECT_EQ(IndexOf(server.Commands(), "NOOP"), -1);

    // A base folder that can be neither entered nor made: the run goes on in the login folder.
    Observed lost;
    job::TransferJob elsewhere;
    AimAt(elsewhere, server, local.path(), lost, "/missing/deeper");
    EXPECT_EQ(RunJob(elsewhere), 0);
    EXPECT_TRUE(lost.Has("INIT: Failed to create folder /missing/deeper"));
    EXPECT_EQ(ReadFile(server.root() / "f.txt"), "file");
}

TEST(TransferRunFailureTest, DroppedDataOnGetNeverLeavesACutFileUnderItsName) {
    FtpServerOptions options;
    options.dropDataAfterBytes = 100000;
    FtpTestServer server(options);
    const std::string big = BinaryBytes(300000);
    const std::string small = BinaryBytes(5000);
    WriteFile(server.root() / "www" / "big.bin", big);
    WriteFile(server.root() / "www" / "small.bin", small);
    TempDir local;
    WriteFile(local.path() / "big.bin", "the old copy");

    const auto aim = [&](job::TransferJob& job, const std::string& remote, int ignoreErrors,
                         int reportProgress, Observed& seen) {
        AimAt(job, server, local.path(), seen, remote, 1);
        job.ignoreErrors = ignoreErrors;
        job.reportProgress = reportProgress;
    };

    // Chunked and not ignored: the failure ends the run.
    Observed ended;
    job::TransferJob strict;
    aim(strict, "/www", 0, 1, ended);
    try {
        RunJob(strict);
        FAIL() << "a cut file passed for a whole one";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12030u);
    }
    EXPECT_EQ(ReadFile(local.path() / "big.bin"), "the old copy");
    EXPECT_EQ(strict.progress.errorText, "/www/big.bin");
    for (const auto& entry : fs::directory_iterator(local.path())) {
        EXPECT_EQ(entry.path().filename().string().find("part"), std::string::npos) << entry.path();
    }

    // Ignored: reported, the old copy stays, the other file still arrives.
    Observed ignored;
    job::TransferJob lenient;
    aim(lenient, "/www", 1, 1, ignored);
    EXPECT_EQ(RunJob(lenient), 0);
    EXPECT_TRUE(ignored.Has("Failed to receive /www/big.bin!"));
    EXPECT_TRUE(ignored.Has("ERROR 12030 : Connection aborted"));
    EXPECT_EQ(lenient.progress.errorCode, 12030u);
    EXPECT_EQ(TreeOf(local.path()), (Tree{{"big.bin", "the old copy"}, {"small.bin", small}}));

    // Whole-file calls report the failure and stop the walk at the first one.
    WriteFile(server.root() / "solo" / "one.bin", big);
    WriteFile(server.root() / "solo" / "two.bin", big);
    Observed whole;
    job::TransferJob wholeFiles;
    aim(wholeFiles, "/solo", 0, 0, whole);
    EXPECT_EQ(RunJob(wholeFiles), 0);
    EXPECT_EQ(whole.CountStartingWith("Receiving "), 1);
    EXPECT_EQ(whole.CountStartingWith("Failed to receive /solo/"), 1);
    EXPECT_EQ(wholeFiles.progress.doneBytes, 0u);
    EXPECT_EQ(TreeOf(local.path()), (Tree{{"big.bin", "the old copy"}, {"small.bin", small}}));
}

TEST(TransferRunFailureTest, DroppedDataOnSendIsAFailureAndTheRunGoesOnWhenIgnored) {
    FtpServerOptions options;
    options.dropDataAfterBytes = 100000;
    FtpTestServer server(options);
    fs::create_directories(server.root() / "up");
    TempDir local;
    WriteFile(local.path() / "big.bin", BinaryBytes(2 * 1024 * 1024));
    WriteFile(local.path() / "small.cgi", "#!/bin/sh\n");

    // The file after the failure still lands in the base folder, and its permission
    // command, which names it relative to that folder, still finds it.
    Observed ignored;
    job::TransferJob job;
    AimAt(job, server, local.path(), ignored, "/up");
    job.ignoreErrors = 1;
    job.AddChmodRule(".cgi", "700");
    EXPECT_EQ(RunJob(job), 0);
    EXPECT_TRUE(ignored.Has("Failed to send " + (local.path() / "big.bin").string() + "!"));
    EXPECT_GE(job.progress.errorCode, 12000u);
    EXPECT_EQ(ReadFile(server.root() / "up" / "small.cgi"), "#!/bin/sh\n");
    struct stat info {};
    ASSERT_EQ(::stat((server.root() / "up" / "small.cgi").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(ignored.CountStartingWith("ERROR"), 1);

    Observed ended;
    job::TransferJob strict;
    AimAt(strict, server, local.path(), ended);
    EXPECT_THROW(RunJob(strict), InternetError);
}

TEST(TransferRunCancelTest, CancelFromTheProgressCallbackStopsTheRunAtOnce) {
    FtpTestServer server;
    TempDir local;
    const fs::path site = local.path() / "site";
    WriteTree(
        site,
        {{"a.bin", BinaryBytes(100000)}, {"b.bin", BinaryBytes(100000)}, {"c.bin", BinaryBytes(100000)}});

    Observed sent;
    sent.onProgress = [](job::TransferProgress& progress) { progress.cancelRequested = 1; };
    job::TransferJob send;
    AimAt(send, server, site, sent);
    send.ignoreErrors = 1;
    send.AddDiscScript("NOOP");
    EXPECT_EQ(RunJob(send), 0);
    EXPECT_EQ(sent.CountStartingWith("Sending "), 1);
    EXPECT_EQ(sent.CountStartingWith("Cancelled: " + (site / "a.bin").string()), 1);
    EXPECT_LT(send.progress.doneBytes, send.progress.totalBytes);
    auto commands = server.Commands();
    EXPECT_EQ(CountStartingWith(commands, "STOR "), 1);
    EXPECT_GE(IndexOf(commands, "NOOP"), 0);

    WriteTree(
        server.root() / "www",
        {{"a.bin", BinaryBytes(100000)}, {"b.bin", BinaryBytes(100000)}, {"c.bin", BinaryBytes(100000)}});
    const fs::path copy = local.path() / "copy";
    Observed got;
    got.onProgress = [](job::TransferProgress& progress) { progress.cancelRequested = 1; };
    job::TransferJob get;
    AimAt(get, server, copy, got, "/www", 1);
    EXPECT_EQ(RunJob(get), 0);
    EXPECT_EQ(got.CountStartingWith("Receiving "), 1);
    EXPECT_EQ(got.CountStartingWith("Cancelled: /www/"), 1);
    // Nothing cut short is left behind, under its own name or any other.
    EXPECT_TRUE(!fs::exists(copy) || fs::is_empty(copy));
}

TEST(TransferRunProgressTest, TotalsAboveFourGigabytesDoNotWrap) {
    FtpTestServer server;
    TempDir local;
    const std::uint64_t huge = (std::uint64_t{5} << 30) + 3;
    // Sparse files: the size walks read only lengths, and the cancel stops the run before any byte moves.
    WriteFile(local.path() / "site" / "small.txt", "0123456789");
    {
        WriteFile(local.path() / "site" / "huge.iso", "");
        fs::resize_file(local.path() / "site" / "huge.iso", huge);
    }
    WriteFile(server.root() / "big" / "small.txt", "0123456789");
    WriteFile(server.root() / "big" / "huge.iso", "");
    fs::resize_file(server.root() / "big" / "huge.iso", huge);
    const std::string announced = std::to_string(huge + 10) + " bytes to transfer.";

    for (const int getMode : {0, 1}) {
        Observed seen;
        seen.onMessage = [](const std::string& text, job::TransferProgress& progress) {
            if (text.ends_with(" bytes to transfer.")) {
                progress.cancelRequested = 1;
            }
        };
        job::TransferJob job;
        AimAt(job, server, local.path() / (getMode != 0 ? "copy" : "site"), seen,
              getMode != 0 ? "/big" : "/sent", getMode);
        job.AddDiscScript("NOOP");
        EXPECT_EQ(RunJob(job), 0);
        EXPECT_EQ(job.progress.totalBytes, huge + 10) << "getMode " << getMode;
        EXPECT_TRUE(seen.Has(announced)) << "getMode " << getMode;
        EXPECT_EQ(job.progress.doneBytes, 0u);
        EXPECT_EQ(seen.CountStartingWith("Sending "), 0);
        EXPECT_EQ(seen.CountStartingWith("Receiving "), 0);
    }
    const auto commands = server.Commands();
    EXPECT_EQ(CountStartingWith(commands, "STOR "), 0);
    EXPECT_EQ(CountStartingWith(commands, "RETR "), 0);
    EXPECT_EQ(CountStartingWith(commands, "NOOP"), 2);
}

}  // namespace
}  // namespace bxfr::engine

namespace bxfr::engine {
namespace {

// Points the upgrade check at a page of the test's own for one scope.
class UpgradePage {
public:
    explicit UpgradePage(const std::string& url) {
        setenv("BXFR_UPGRADE_URL", url.c_str(), 1);
        // The check honours http_proxy; a proxy of the machine's must not stand between.
        setenv("no_proxy", "127.0.0.1", 1);
    }
    ~UpgradePage() { unsetenv("BXFR_UPGRADE_URL"); }
    UpgradePage(const UpgradePage&) = delete;
    UpgradePage& operator=(const UpgradePage&) = delete;
};

TEST(TransferRunUpgradeTest, TheAnswerIsReportedAndAnUnreachablePageNeverStopsTheTransfer) {
    FtpTestServer server;
    TempDir local;
    WriteFile(local.path() / "site" / "a.txt", "a");

    const auto run = [&](const std::string& url, const std::string& remote) {
        UpgradePage page(url);
        Observed seen;
        job::TransferJob job;
        AimAt(job, server, local.path() / "site", seen, remote);
        job.checkUpgrade = 1;
        EXPECT_EQ(RunJob(job), 0);
        EXPECT_EQ(ReadFile(server.root() / remote.substr(1) / "a.txt"), "a");
        return std::make_pair(seen, job.upgradeAvailable);
    };

    test::HttpTestServer newer("<html>A new version is available.</html>");
    const auto [offered, flagged] = run(newer.url(), "/one");
    EXPECT_TRUE(offered.Has("UPGRADE AVAILABLE - Visit " + newer.url() + " to download!"));
    EXPECT_EQ(flagged, 1);
    ASSERT_EQ(newer.Requests().size(), 1u);
    EXPECT_EQ(newer.Requests()[0], "/upgrade.asp?product=bxfr&version=" BXFR_VERSION);
    // Asked before the server is: the check comes first in the log.
    EXPECT_LT(std::find(offered.messages.begin(), offered.messages.end(),
                        "UPGRADE AVAILABLE - Visit " + newer.url() + " to download!"),
              std::find(offered.messages.begin(), offered.messages.end(), "Connecting to 127.0.0.1 ..."));

    test::HttpTestServer current("Upgrade not available");
    const auto [none, unflagged] = run(current.url(), "/two");
    EXPECT_TRUE(none.Has("No upgrade available."));
    EXPECT_EQ(unflagged, 0);

    // Port 1 on loopback: nothing listens there.
    const auto [unreachable, never] = run("http://127.0.0.1:1/", "/three");
    EXPECT_EQ(never, 0);
    EXPECT_EQ(unreachable.CountStartingWith("The upgrade check could not reach http://127.0.0.1:1/"), 1);
}

}  // namespace
}  // namespace bxfr::engine

namespace bxfr::engine {
namespace {

TEST(TransferRunGetWalkTest, ADeepTreeNeedsNoConnectionPerFolder) {
    FtpServerOptions options;
    options.maxConsPerIp = 2;
    FtpTestServer server(options);
    fs::path folder = server.root() / "deep";
    Tree expected;
    std::string relative;
    for (int level = 1; level <= 10; ++level) {
        relative += "level " + std::to_string(level) + "/";
        WriteFile(server.root() / "deep" / relative / "file.txt", "at level " + std::to_string(level));
        expected[relative + "file.txt"] = "at level " + std::to_string(level);
    }
    TempDir local;
    Observed seen;
    job::TransferJob job;
    AimAt(job, server, local.path(), seen, "/deep", 1);
    EXPECT_EQ(RunJob(job), 0);
    EXPECT_EQ(job.progress.errorCode, 0u);
    EXPECT_EQ(TreeOf(local.path(), false), expected);
    EXPECT_LE(server.LoginCount(), 2);
}

// The process may write no file bigger than `bytes` while it lives; writes past it fail
// with EFBIG instead of killing the test.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

TEST(TransferRunFailureTest, ALocalWriteErrorFailsThatFileOnlyAndLeavesTheOldCopy) {
    FtpTestServer server;
    WriteFile(server.root() / "get" / "big.bin", BinaryBytes(256 * 1024));
    WriteFile(server.root() / "get" / "small.txt", "fits");
    TempDir local;
    WriteFile(local.path() / "big.bin", "the user's own copy");

    Observed seen;
    job::TransferJob job;
    AimAt(job, server, local.path(), seen, "/get", 1);
    job.ignoreErrors = 1;
    {
        FileSizeLimit limit(64 * 1024);
        RunJob(job);
    }
    EXPECT_EQ(ReadFile(local.path() / "big.bin"), "the user's own copy");
    EXPECT_EQ(ReadFile(local.path() / "small.txt"), "fits");
    EXPECT_NE(job.progress.errorCode, 0u);
    // Nothing half-written is left beside the files.
    EXPECT_EQ(TreeOf(local.path(), false), (Tree{{"big.bin", "the user's own copy"}, {"small.txt", "fits"}}));
}

}  // namespace
}  // namespace bxfr::engine
