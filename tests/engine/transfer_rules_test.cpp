#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/archive_attribute.h"
#include "engine/get_walk.h"
#include "engine/send_walk.h"
#include "engine/server_commands.h"
#include "engine/single_file_transfer.h"
#include "engine/upgrade_check.h"
#include "job/transfer_job.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

class ScratchFolder {
public:
    ScratchFolder() {
        path_ = fs::temp_directory_path() /
                ("bxfr-rules-" + std::to_string(::getpid()) + "-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    fs::path Write(const std::string& relative, const std::string& content) const {
        const fs::path file = path_ / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

private:
    fs::path path_;
};

TEST(ServerCommands, TransferScriptSubstitutesEveryFileNameAndNothingElse) {
    EXPECT_EQ(FormatTranCommand("SITE EXEC convert %s", "img/a.gif"), "SITE EXEC convert img/a.gif");
    EXPECT_EQ(FormatTranCommand("SITE EXEC cp %s %s.bak", "a"), "SITE EXEC cp a a.bak");
    // Text the file name does not replace reaches the server as typed; no argument is read for it.
    EXPECT_EQ(FormatTranCommand("SITE X %d %% 100%", "a"), "SITE X %d %% 100%");
    EXPECT_EQ(FormatTranCommand("NOOP", "a"), "NOOP");
    // A file name holding "%s" is inserted as it is.
    EXPECT_EQ(FormatTranCommand("SITE EXEC %s", "50%s.txt"), "SITE EXEC 50%s.txt");
    EXPECT_EQ(ChmodCommand(755, "cgi-bin/x.cgi"), "SITE chmod 755 cgi-bin/x.cgi");
}

TEST(SelectionRules, TailsModesAndCase) {
    EXPECT_TRUE(ExtensionTailMatches("/a/page.HTM", ".htm"));
    EXPECT_TRUE(ExtensionTailMatches("/a/pagehtm", ".htm"));  // ".htm" is the tail "htm"
    EXPECT_FALSE(ExtensionTailMatches("/a/pagehtm", "*.htm"));
    EXPECT_TRUE(ExtensionTailMatches("/a/page.htm", "*.htm"));
    EXPECT_TRUE(ExtensionTailMatches("x.cgi", "cgi"));
    EXPECT_FALSE(ExtensionTailMatches("gi", "cgi"));

    job::TransferJob job;
    job.selectMode = 1;
    EXPECT_FALSE(IsLocalFileSelected(job, "/site/a.txt"));  // mode 1 with no rules sends nothing
    EXPECT_FALSE(IsRemoteFileSelected(job, "/site/a.txt"));
    job.selectRules.push_back({".txt"});
    EXPECT_TRUE(IsLocalFileSelected(job, "/site/a.TXT"));
    EXPECT_FALSE(IsLocalFileSelected(job, "/site/a.gif"));
    job.selectMode = 2;
    job.selectRules = {{".tmp"}};
    EXPECT_FALSE(IsLocalFileSelected(job, "/site/x.TMP"));
    EXPECT_FALSE(IsRemoteFileSelected(job, "/site/xtmp"));
    EXPECT_TRUE(IsRemoteFileSelected(job, "/site/x.gif"));
    job.selectMode = 0;
    EXPECT_TRUE(IsLocalFileSelected(job, "/site/x.tmp"));
}

TEST(SelectionRules, FileMaskIsAWildcardIgnoringCase) {
    EXPECT_TRUE(MaskMatches("README", "*.*"));
    EXPECT_TRUE(MaskMatches("index.HTM", "*.htm"));
    EXPECT_FALSE(MaskMatches("index.html", "*.htm"));
    EXPECT_TRUE(MaskMatches("a1.txt", "a?.txt"));
    EXPECT_FALSE(MaskMatches("a12.txt", "a?.txt"));
}

TEST(TransferType, LocalContentAndRemoteExtensions) {
    ScratchFolder scratch;
    job::TransferJob job;
    std::string low;
    for (int c = 0; c < 0x80; ++c) {
        low += static_cast<char>(c);
    }
    const fs::path text = scratch.Write("low.bin", low);
    const fs::path high = scratch.Write("high.txt", std::string(20000, 'a') + "\x80");
    const fs::path empty = scratch.Write("empty", "");
    EXPECT_EQ(LocalTransferType(job, text), job::TransferTypeAscii);
    EXPECT_EQ(LocalTransferType(job, high), job::TransferTypeBinary);
    EXPECT_EQ(LocalTransferType(job, empty), job::TransferTypeAscii);
    EXPECT_EQ(LocalTransferType(job, scratch.path() / "missing"), job::TransferTypeAscii);
    job.transferType = 1;
    EXPECT_EQ(LocalTransferType(job, text), job::TransferTypeBinary);
    job.transferType = 2;
    EXPECT_EQ(LocalTransferType(job, high), job::TransferTypeAscii);

    job.transferType = 0;
    EXPECT_EQ(RemoteTransferType(job, "/www/index.html"), job::TransferTypeAscii);
    EXPECT_EQ(RemoteTransferType(job, "/www/a.js"), job::TransferTypeAscii);
    EXPECT_EQ(RemoteTransferType(job, "/www/a.JS"), job::TransferTypeBinary);
    // The first entry of the list is never consulted.
    EXPECT_EQ(RemoteTransferType(job, "/www/page.htm"), job::TransferTypeBinary);
    EXPECT_EQ(RemoteTransferType(job, "/www/a.gif"), job::TransferTypeBinary);
    job.transferType = 1;
    EXPECT_EQ(RemoteTransferType(job, "/www/index.html"), job::TransferTypeBinary);
    job.transferType = 5;
    EXPECT_EQ(RemoteTransferType(job, "/www/a.gif"), job::TransferTypeAscii);
    EXPECT_EQ(TransferTypeName(job::TransferTypeAscii), "ASCII");
    EXPECT_EQ(TransferTypeName(job::TransferTypeBinary), "BINARY");
}

TEST(RemotePaths, CollapseAndStrip) {
    std::string text = "//www///img//a.gif";
    CollapseSlashes(text);
    EXPECT_EQ(text, "/www/img/a.gif");
    std::string path = "/www//img/a.gif";
    StripFolderPrefix(path, "//www");
    EXPECT_EQ(path, "/img/a.gif");
    std::string shorter = "/a";
    StripFolderPrefix(shorter, "/abc/def");
    EXPECT_EQ(shorter, "/a");
}

TEST(RemotePaths, LocalNamesStayBelowTheBaseFolder) {
    ScratchFolder scratch;
    job::TransferJob job;
    job.localPath = scratch.path().string();
    job.remotePath = "/www";
    std::string why;
    EXPECT_EQ(LocalNameForRemote(job, "/www/img//a.gif", why), scratch.path() / "img" / "a.gif");
    EXPECT_EQ(LocalNameForRemote(job, "/www/a.html", why), scratch.path() / "a.html");
    // A base that does not occur (it differs in case) counts as if it stood one place before the path.
    EXPECT_EQ(LocalNameForRemote(job, "/WWW/a.html", why), scratch.path() / "W" / "a.html");
    job.remotePath = "";
    EXPECT_EQ(LocalNameForRemote(job, "/home/u/a.txt", why), scratch.path() / "home" / "u" / "a.txt");
    job.remotePath = "/";
    EXPECT_EQ(LocalNameForRemote(job, "/a b/ü.txt", why), scratch.path() / "a b" / "ü.txt");

    job.remotePath = "/www";
    const std::vector<std::string> hostileNames = {"/www/../x", "/www/a/../../x", "/www/a\\..\\b",
                                                   "/www/C:x",  "/www/..",        std::string("/www/a\0b", 8),
                                                   "/www"};
    for (const auto& hostile : hostileNames) {
        why.clear();
        EXPECT_FALSE(LocalNameForRemote(job, hostile, why).has_value()) << hostile;
        EXPECT_FALSE(why.empty()) << hostile;
    }
    // A colon is an ordinary character past a name's first two; an absolute name below the base lands inside
    // it.
    EXPECT_EQ(LocalNameForRemote(job, "/www/12:30.log", why), scratch.path() / "12:30.log");
    EXPECT_EQ(LocalNameForRemote(job, "/www//etc/x", why), scratch.path() / "etc" / "x");

    // A link inside the local tree is not written through.
    fs::create_directory_symlink("/tmp", scratch.path() / "out");
    EXPECT_FALSE(LocalNameForRemote(job, "/www/out/x", why).has_value());

    job.singleFile = 1;
    job.localPathAsEntered = (scratch.path() / "one.txt").string();
    EXPECT_EQ(LocalNameForRemote(job, "/pub/a/file.txt", why), scratch.path() / "one.txt");

    EXPECT_TRUE(MakeLocalFolder(scratch.path() / "x" / "y" / "z"));
    EXPECT_TRUE(fs::is_directory(scratch.path() / "x" / "y" / "z"));
}

TEST(LocalWalk, FoldersParentsFirstFilesByMaskLinksNotFollowed) {
    ScratchFolder scratch;
    scratch.Write("a/b/deep.txt", "1");
    scratch.Write("a/x.htm", "22");
    scratch.Write("top.htm", "333");
    scratch.Write("c.htm/inner.gif", "4444");
    fs::create_directory_symlink(scratch.path(), scratch.path() / "a" / "loop");

    std::vector<std::string> folders;
    EXPECT_EQ(WalkLocalFolder(
                  scratch.path(), "*.*",
                  [&](const fs::path& p) {
                      folders.push_back(fs::relative(p, scratch.path()).string());
                      return 1;
                  },
                  0),
              1);
    EXPECT_EQ(folders, (std::vector<std::string>{"a", "a/b", "c.htm"}));

    std::vector<std::string> files;
    auto collect = [&](const fs::path& p) {
        files.push_back(fs::relative(p, scratch.path()).string());
        return 1;
    };
    EXPECT_EQ(WalkLocalFolder(scratch.path(), "*.*", collect, 1), 1);
    EXPECT_EQ(files, (std::vector<std::string>{"a/b/deep.txt", "a/x.htm", "c.htm/inner.gif", "top.htm"}));

    // Only subfolders whose names match the mask are entered.
    files.clear();
    EXPECT_EQ(WalkLocalFolder(scratch.path(), "*.htm", collect, 1), 1);
    EXPECT_EQ(files, (std::vector<std::string>{"top.htm"}));

    // A callback's 0 ends the walk; a missing base folder gives 0 at once.
    int calls = 0;
    EXPECT_EQ(WalkLocalFolder(
                  scratch.path(), "*.*", [&](const fs::path&) { return ++calls < 2 ? 1 : 0; }, 1),
              0);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(WalkLocalFolder(scratch.path() / "missing", "*.*", collect, 1), 0);
}

TEST(ArchiveAttribute, ChangedFilesAreSetAndClearingKeepsTheTime) {
    ScratchFolder scratch;
    const fs::path file = scratch.Write("a.txt", "one");
    const ArchiveState first = ArchiveStateOf(file);
    if (first == ArchiveState::Unsupported) {
        EXPECT_FALSE(ClearArchiveAttribute(file));
        GTEST_SKIP() << "the temporary folder's file system keeps no user extended attributes";
    }
    EXPECT_EQ(first, ArchiveState::Set);
    const auto before = fs::last_write_time(file);
    EXPECT_TRUE(ClearArchiveAttribute(file));
    EXPECT_EQ(ArchiveStateOf(file), ArchiveState::Clear);
    EXPECT_EQ(fs::last_write_time(file), before);

    job::TransferJob job;
    job.archiveOnly = 1;
    EXPECT_FALSE(IsLocalFileSelected(job, file));
    std::ofstream(file, std::ios::app) << "two";
    EXPECT_EQ(ArchiveStateOf(file), ArchiveState::Set);
    EXPECT_TRUE(IsLocalFileSelected(job, file));
    EXPECT_THROW(ClearArchiveAttribute(scratch.path() / "gone"), FileError);
}

TEST(UpgradeCheck, ReplyWordsAndAddress) {
    EXPECT_TRUE(IsUpgradeReply("Version 3.10 is available"));
    EXPECT_FALSE(IsUpgradeReply("not available"));
    EXPECT_FALSE(IsUpgradeReply("Upgrade unavailable"));
    EXPECT_FALSE(IsUpgradeReply("Available"));
    EXPECT_FALSE(IsUpgradeReply(""));
    EXPECT_EQ(UpgradeRequestUrl("http://127.0.0.1:8000/"),
              "http://127.0.0.1:8000/upgrade.asp?product=bxfr&version=3.02");
}

}  // namespace
}  // namespace bxfr::engine
