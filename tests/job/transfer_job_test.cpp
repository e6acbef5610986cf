#include "job/transfer_job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace bxfr::job {
namespace {

TransferJob FilledJob() {
    TransferJob job;
    job.SetServer("ftp.example.com");
    job.SetUserName("anna");
    job.SetPassword("secret");
    job.SetRemotePath("/pub/in/");
    job.SetLocalPath("/srv/out/");
    job.SetProxy("proxy:8080");
    job.SetPort(2121);
    job.getMode = 1;
    job.verbose = 1;
    job.transferType = 2;
    job.AddChmodRule("*.cgi", "755");
    job.AddSelectRule("*.html");
    job.selectMode = 1;
    job.AddConnScript("SITE UMASK 022,Y");
    job.AddTranScript("NOOP");
    job.AddDiscScript("QUIT");
    return job;
}

void ExpectDefaults(const TransferJob& t) {
    EXPECT_EQ(t.port, 21);
    EXPECT_EQ(t.fileMask, "*.*");
    EXPECT_EQ(t.context, 1u);
    EXPECT_EQ(t.localPath, std::filesystem::current_path().string());
    EXPECT_TRUE(t.server.empty() && t.password.empty() && t.proxy.empty() && t.localPathAsEntered.empty());
    EXPECT_EQ(t.accessType, 0u);
    EXPECT_EQ(t.getMode + t.verbose + t.passive + t.autoTransfer + t.promptPassword + t.reportProgress, 0);
    EXPECT_EQ(t.transferType, 0);
    EXPECT_EQ(t.selectMode, 0);
    EXPECT_EQ(t.nextConnScriptId + t.nextTranScriptId + t.nextDiscScriptId, 3);
    EXPECT_TRUE(t.chmodRules.empty() && t.selectRules.empty() && t.connScript.empty() &&
                t.tranScript.empty() && t.discScript.empty());
    EXPECT_EQ(t.sendTotalBytes, 0u);
    EXPECT_EQ(t.progress, TransferProgress{});
    EXPECT_EQ(t.callbackMode, 0);
    EXPECT_FALSE(t.messageCallback);
}

TEST(TransferJob, NewAndResetJobHoldDefaults) {
    ExpectDefaults(TransferJob());
    TransferJob job = FilledJob();
    job.sendTotalBytes = 7;
    job.progress.errorCode = 3;
    job.SetMessageCallback([](const std::string&, int, TransferProgress&) {});
    job.Reset();
    ExpectDefaults(job);
}

TEST(TransferJob, CopyAndAssignmentCarryEverythingWithoutDuplicates) {
    TransferJob source = FilledJob();
    source.sendTotalBytes = 5ull << 30;  // past 4 GiB: a 32-bit field would wrap
    source.progress.doneBytes = (5ull << 30) + 1;
    int calls = 0;
    source.SetMessageCallback([&](const std::string&, int, TransferProgress&) { ++calls; });

    TransferJob copy(source);
    EXPECT_TRUE(copy == source);
    EXPECT_EQ(copy.chmodRules, source.chmodRules);
    EXPECT_EQ(copy.connScript, source.connScript);
    EXPECT_EQ(copy.sendTotalBytes, 5ull << 30);
    EXPECT_EQ(copy.progress.doneBytes, (5ull << 30) + 1);
    copy.ReportMessage("hello");
    EXPECT_EQ(calls, 1);

    TransferJob target = FilledJob();
    target = source;
    EXPECT_EQ(target.chmodRules.size(), 1u);
    EXPECT_EQ(target.connScript.size(), 1u);
    const TransferJob& alias = target;
    target = alias;  // self-assignment must not empty the lists
    EXPECT_EQ(target.selectRules.size(), 1u);

    target.CopyFrom(source);
    EXPECT_EQ(target.chmodRules.size(), 2u);
    EXPECT_EQ(target.tranScript.size(), 2u);
    target.CopyFrom(target);
    EXPECT_EQ(target.discScript.size(), 4u);
}

TEST(TransferJob, EqualityIgnoresListsTotalsAndLocalPathButSeesScriptCounters) {
    TransferJob a = FilledJob();
    TransferJob b = FilledJob();
    ASSERT_TRUE(a == b);

    b.chmodRules.clear();
    b.selectRules.push_back({"*.txt"});
    b.localPath = "/elsewhere";
    b.sendTotalBytes = 99;
    b.progress.errorText = "boom";
    EXPECT_TRUE(a == b);

    auto differs = [&](auto change) {
        TransferJob c = FilledJob();
        change(c);
        return !(a == c) && !(c == a);
    };
    EXPECT_TRUE(differs([](TransferJob& j) { j.SetTransferFilePath("x.bxt"); }));
    EXPECT_TRUE(differs([](TransferJob& j) { j.SetPassword("Secret"); }));  // case counts
    EXPECT_TRUE(differs([](TransferJob& j) { j.AddConnScript("PWD"); }));
    EXPECT_TRUE(differs([](TransferJob& j) { j.localPathAsEntered += "x"; }));
    EXPECT_TRUE(differs([](TransferJob& j) { j.SetProxy(""); }));
    EXPECT_TRUE(differs([](TransferJob& j) { j.reportProgress = 1; }));
    EXPECT_TRUE(differs([](TransferJob& j) { j.upgradeAvailable = 1; }));
    EXPECT_TRUE(differs([](TransferJob& j) { j.SetMessageCallback(nullptr); }));
}

TEST(TransferJob, SettersNormalise) {
    TransferJob job;
    job.SetRemotePath("\\pub\\in\\");
    EXPECT_EQ(job.remotePath, "/pub/in");
    EXPECT_EQ(job.remotePathAsEntered, "\\pub\\in\\");
    job.SetRemotePath("/");
    EXPECT_EQ(job.remotePath, "/");
    job.SetRemotePath("");
    EXPECT_EQ(job.remotePath, "");

    job.SetLocalPath("/srv/data/");
    EXPECT_EQ(job.localPathAsEntered, "/srv/data/");
    EXPECT_EQ(job.localPath, "/srv/data");
    job.SetLocalPath("/");
    EXPECT_EQ(job.localPath, "/");
    job.SetLocalPath("rel/dir");
    EXPECT_EQ(job.localPath, (std::filesystem::current_path() / "rel/dir").string());
    EXPECT_EQ(job.localPathAsEntered, job.localPath);

    job.SetProxy("gate:3128");
    EXPECT_EQ(job.accessType, 3u);
    job.SetProxy("");
    EXPECT_EQ(job.accessType, 0u);
    EXPECT_EQ(job.proxy, "");
}

TEST(TransferJob, RuleListsParseTheirTexts) {
    TransferJob job;
    job.AddChmodRule("*.pl", "755");
    job.AddChmodRule("*.x", "rwx");
    job.AddChmodRule("*.y", " 644abc");
    job.AddChmodRule("*.z", "99999999999");
    std::vector<std::int32_t> perms;
    for (const auto& r : job.chmodRules) perms.push_back(r.permissions);
    EXPECT_EQ(perms, (std::vector<std::int32_t>{755, 0, 644, 0x7fffffff}));

    job.AddConnScript("SITE UMASK 022,Y");
    job.AddConnScript("NOOP");
    job.AddConnScript("A,B,C");
    job.AddDiscScript("QUIT");
    std::vector<tagBXFR_SCRIPT> expected = {
        {"Conn", "SITE UMASK 022", 1, 1}, {"Conn", "NOOP", 0, 2}, {"Conn", "A", 1, 3}};
    EXPECT_EQ(std::vector<tagBXFR_SCRIPT>(job.connScript.begin(), job.connScript.end()), expected);
    EXPECT_EQ(job.nextConnScriptId, 4);
    EXPECT_EQ(job.discScript.front(), (tagBXFR_SCRIPT{"Disc", "QUIT", 0, 1}));
    EXPECT_EQ(job.nextTranScriptId, 1);
}

TEST(TransferJob, CallbacksAndProgressReset) {
    TransferJob job;
    std::vector<std::string> seen;
    job.ReportMessage("dropped");  // no callback registered yet
    job.SetMessageCallback([&](const std::string& text, int newLine, TransferProgress& p) {
        seen.push_back(text + (newLine ? "\n" : ""));
        p.cancelRequested = 1;
    });
    EXPECT_EQ(job.callbackMode, 2);
    job.ReportMessage("a", 0);
    job.ReportVerbose("quiet");
    job.verbose = 1;
    job.ReportVerbose("loud");
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "loud\n"}));
    EXPECT_EQ(job.progress.cancelRequested, 1u);

    std::uint64_t reported = 0;
    job.SetProgressCallback([&](TransferProgress& p) { reported = p.doneBytes; });
    job.progress.doneBytes = 6ull << 30;
    job.ReportProgress();
    EXPECT_EQ(reported, 6ull << 30);

    job.getTotalBytes = 1;
    job.progress.errorDetail = "x";
    job.ResetProgress();
    EXPECT_EQ(job.getTotalBytes, 0u);
    EXPECT_EQ(job.progress, TransferProgress{});
}

}  // namespace
}  // namespace bxfr::job
