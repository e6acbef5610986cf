#include "job/transfer_job.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "job/server_address.h"

namespace bxfr::job {
namespace {

TEST(TransferJob, CopyAndAssignmentCarryLists) {
    TransferJob source;
    source.SetServer("ftp.example.com");
    source.AddChmodRule("*.cgi", "755");
    source.AddConnScript("SITE UMASK 022,Y");
    int calls = 0;
    source.SetMessageCallback([&](const std::string&, int, TransferProgress&) { ++calls; });

    TransferJob copy(source);
    EXPECT_TRUE(copy == source);
    EXPECT_EQ(copy.chmodRules, source.chmodRules);
    copy.ReportMessage("hello");
    EXPECT_EQ(calls, 1);

    TransferJob target = source;
    target = source;  // replaces the lists rather than appending
    const TransferJob& alias = target;
    target = alias;  // self-assignment must not empty them
    EXPECT_EQ(target.chmodRules.size(), 1u);
    EXPECT_EQ(target.connScript.size(), 1u);
}

TEST(TransferJob, SettersAndRulesParseWhatWasTyped) {
    TransferJob job;
    job.SetRemotePath("\\pub\\in\\");
    EXPECT_EQ(job.remotePath, "/pub/in");

    for (const char* text : {"755", "rwx", " 644abc", "99999999999"}) job.AddChmodRule("*", text);
    std::vector<std::int32_t> perms;
    for (const auto& r : job.chmodRules) perms.push_back(r.permissions);
    EXPECT_EQ(perms, (std::vector<std::int32_t>{755, 0, 644, 0x7fffffff}));

    job.AddConnScript("SITE UMASK 022,Y");
    job.AddConnScript("NOOP");
    std::vector<tagBXFR_SCRIPT> expected = {{"Conn", "SITE UMASK 022", 1, 1}, {"Conn", "NOOP", 0, 2}};
    EXPECT_EQ(std::vector<tagBXFR_SCRIPT>(job.connScript.begin(), job.connScript.end()), expected);
}

TEST(TransferJob, EveryEditableListCountsAsAChange) {
    TransferJob base;
    base.AddChmodRule("*.cgi", "755");
    base.AddSelectRule("*.bak");
    base.AddTranScript("NOOP");
    // Edits in place move no id counter; the question before leaving must still see them.
    std::vector<std::function<void(TransferJob&)>> edits = {
        [](TransferJob& j) { j.chmodRules.front().permissions = 700; },
        [](TransferJob& j) { j.selectRules.front().extension = "*.tmp"; },
        [](TransferJob& j) { j.tranScript.front().command = "PWD"; },
        [](TransferJob& j) { j.tranScript.front().expectResponse = 1; },
    };
    for (std::size_t i = 0; i < edits.size(); ++i) {
        TransferJob edited = base;
        edits[i](edited);
        EXPECT_FALSE(edited == base) << i;
    }
}

TEST(TransferJob, AWindowsLocalPathIsNotResolved) {
    for (const char* path : {"C:\\Site\\", "d:/web", "\\\\nas\\share"}) {
        TransferJob job;
        job.SetLocalPath(path);
        EXPECT_EQ(job.localPathAsEntered, path);
        EXPECT_TRUE(IsWindowsOnlyPath(job.localPath)) << path;
    }
    EXPECT_FALSE(IsWindowsOnlyPath("/srv/C:/x"));
    EXPECT_FALSE(IsWindowsOnlyPath("site"));
}

TEST(TransferJob, CallbacksSeeMessagesAndCanCancel) {
    TransferJob job;
    std::vector<std::string> seen;
    job.SetMessageCallback([&](const std::string& text, int, TransferProgress& p) {
        seen.push_back(text);
        p.cancelRequested = 1;
    });
    job.ReportVerbose("quiet");
    job.verbose = 1;
    job.ReportVerbose("loud");
    // A server's control characters (C0, DEL, C1 such as CSI) are shown, never obeyed; line
    // ends, tabs and other characters (a no-break space) stay.
    job.ReportMessage(
        "550 x\x1b]0;t\x07\x7f\xc2\x9b"
        "2J\ttwo\nlines \xc2\xa0\xc3\xbc");
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "loud", "550 x\\x1B]0;t\\x07\\x7F\\x9B2J\ttwo\nlines \xc2\xa0\xc3\xbc"}));
    EXPECT_EQ(job.progress.cancelRequested, 1u);
}

// Pasted into the server field, an address is read as the user meant it, never as a host name.
TEST(ServerAddress, ReadsWhatUsersPaste) {
    struct Row {
        const char* text;
        std::optional<Protocol> protocol;
        const char* user;
        const char* host;
        int port;  // 0: none given
        const char* path;
    };
    const Row rows[] = {
        {"ftp.example.com", {}, "", "ftp.example.com", 0, ""},
        {"ftp.example.com:2121", {}, "", "ftp.example.com", 2121, ""},
        {"ftp://ann@ftp.example.com:2121", Protocol::Ftp, "ann", "ftp.example.com", 2121, ""},
        {"FTPS://h", Protocol::Ftps, "", "h", 0, ""},
        {"ftpes://h/pub/in/", Protocol::Ftpes, "", "h", 0, "/pub/in"},
        {"sftp://u@[::1]:2222", Protocol::Sftp, "u", "::1", 2222, ""},
        {"sftp://ann%40corp@host/", Protocol::Sftp, "ann@corp", "host", 0, ""},
        {"fe80::1", {}, "", "fe80::1", 0, ""},
    };
    for (const Row& row : rows) {
        const auto address = ParseServerAddress(row.text);
        ASSERT_TRUE(address) << row.text;
        EXPECT_EQ(address->protocol, row.protocol) << row.text;
        EXPECT_EQ(address->userName, row.user) << row.text;
        EXPECT_EQ(address->host, row.host) << row.text;
        EXPECT_EQ(address->port.value_or(0), row.port) << row.text;
        EXPECT_EQ(address->path, row.path) << row.text;
    }
    EXPECT_EQ(ParseServerAddress("ftp://a:pw@h")->password, "pw");
    for (const char* bad : {"http://h", "h:0", "h:70000", "h:ftp", "sftp://u@", "[::1", "[::1]x"})
        EXPECT_FALSE(ParseServerAddress(bad)) << bad;
}

}  // namespace
}  // namespace bxfr::job
