#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/get_walk.h"
#include "engine/send_walk.h"
#include "engine/server_commands.h"
#include "engine/single_file_transfer.h"
#include "job/transfer_job.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

TEST(ServerCommands, TransferScriptSubstitutesTheFileNameAndNothingElse) {
    EXPECT_EQ(FormatTranCommand("SITE EXEC cp %s %s.bak", "a"), "SITE EXEC cp a a.bak");
    // Neither the script nor the file name is read as a format.
    EXPECT_EQ(FormatTranCommand("SITE X %d %% 100%", "a"), "SITE X %d %% 100%");
    EXPECT_EQ(FormatTranCommand("SITE EXEC %s", "50%s.txt"), "SITE EXEC 50%s.txt");
}

TEST(TransferType, AutomaticTypeFollowsLocalContentAndRemoteExtensions) {
    TempDir scratch;
    job::TransferJob job;
    std::string low;
    for (int c = 0; c < 0x80; ++c) {
        low += static_cast<char>(c);
    }
    WriteFile(scratch.path() / "low.bin", low);
    WriteFile(scratch.path() / "high.txt", std::string(20000, 'a') + "\x80");
    EXPECT_EQ(LocalTransferType(job, scratch.path() / "low.bin"), job::TransferTypeAscii);
    EXPECT_EQ(LocalTransferType(job, scratch.path() / "high.txt"), job::TransferTypeBinary);
    EXPECT_EQ(RemoteTransferType(job, "/www/index.html"), job::TransferTypeAscii);
    EXPECT_EQ(RemoteTransferType(job, "/www/a.JS"), job::TransferTypeBinary);
    // The first entry of the list is never consulted.
    EXPECT_EQ(RemoteTransferType(job, "/www/page.htm"), job::TransferTypeBinary);
    job.transferType = 2;
    EXPECT_EQ(LocalTransferType(job, scratch.path() / "high.txt"), job::TransferTypeAscii);
}

TEST(RemotePaths, LocalNamesStayBelowTheBaseFolder) {
    TempDir scratch;
    job::TransferJob job;
    job.localPath = scratch.path().string();
    job.remotePath = "/www";
    std::string why;
    EXPECT_EQ(LocalNameForRemote(job, "/www/img//a.gif", why), scratch.path() / "img" / "a.gif");
    // A colon past a name's first two characters is ordinary; "//etc" below the base stays inside it.
    EXPECT_EQ(LocalNameForRemote(job, "/www/12:30.log", why), scratch.path() / "12:30.log");
    EXPECT_EQ(LocalNameForRemote(job, "/www//etc/x", why), scratch.path() / "etc" / "x");
    for (const std::string& hostile :
         std::vector<std::string>{"/www/../x", "/www/a/../../x", "/www/a\\..\\b", "/www/C:x", "/www/..",
                                  std::string("/www/a\0b", 8), "/www"}) {
        why.clear();
        EXPECT_FALSE(LocalNameForRemote(job, hostile, why).has_value()) << hostile;
        EXPECT_FALSE(why.empty()) << hostile;
    }
    // A link inside the local tree is not written through.
    fs::create_directory_symlink("/tmp", scratch.path() / "out");
    EXPECT_FALSE(LocalNameForRemote(job, "/www/out/x", why).has_value());
}

TEST(LocalWalk, FilesByMaskAndLinksNotFollowed) {
    TempDir scratch;
    for (const char* name : {"a/b/deep.txt", "a/x.htm", "top.htm", "c.htm/inner.gif"}) {
        WriteFile(scratch.path() / name, name);
    }
    fs::create_directory_symlink(scratch.path(), scratch.path() / "a" / "loop");
    std::vector<std::string> files;
    const auto collect = [&](const fs::path& p) {
        files.push_back(fs::relative(p, scratch.path()).string());
        return 1;
    };
    EXPECT_EQ(WalkLocalFolder(scratch.path(), "*.*", collect, 1), 1);
    EXPECT_EQ(files, (std::vector<std::string>{"a/b/deep.txt", "a/x.htm", "c.htm/inner.gif", "top.htm"}));
    // Only subfolders whose names match the mask are entered; a callback's 0 ends the walk.
    files.clear();
    EXPECT_EQ(WalkLocalFolder(scratch.path(), "*.htm", collect, 1), 1);
    EXPECT_EQ(files, (std::vector<std::string>{"top.htm"}));
    EXPECT_EQ(WalkLocalFolder(
                  scratch.path(), "*.*", [](const fs::path&) { return 0; }, 1),
              0);
}

}  // namespace
}  // namespace bxfr::engine
