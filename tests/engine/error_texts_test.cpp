#include "engine/error_texts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <tuple>
#include <vector>

#include "engine/sizes.h"
#include "engine/transfer_log.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

TEST(ErrorTextsTest, FormatterFollowsTheTemplateAndNeverTheArguments) {
    EXPECT_EQ(FormatResourceMessage(IDS_BYTES_TO_TRANSFER, {std::uint64_t{5368709120ULL}}),
              "5368709120 bytes to transfer.");
    EXPECT_EQ(FormatResourceMessage(IDS_CONNECTING, {std::string("ftp.%s%d%n.example")}),
              "Connecting to ftp.%s%d%n.example ...");
}

TEST(ErrorTextsTest, ReportErrorWritesTheCodeTheNameAndTheServerReply) {
    std::vector<std::string> heard;
    job::TransferJob job;
    job.SetMessageCallback(
        [&](const std::string& text, int, job::TransferProgress&) { heard.push_back(text); });
    ReportError(job, 12014, ServerReply{530, "530 100%s wrong"});
    EXPECT_EQ(job.progress.errorCode, 12014u);
    EXPECT_EQ(job.progress.errorDetail, "530 100%s wrong");
    // Without a server reply there is no extended line; system errors give the system's text.
    ReportError(job, 12035, ServerReply{});
    ReportError(job, EACCES, ServerReply{550, "550 ignored"});
    EXPECT_EQ(heard, (std::vector<std::string>{"ERROR 12014 : Incorrect password",
                                               "EXTENDED ERROR 530 : 530 100%s wrong",
                                               "ERROR 12035 : Unknown Error", "Permission denied"}));

    EXPECT_EQ(DescribeError(12003, ServerReply{550, "550 No such file."}), "550 No such file.\n(550)");
    EXPECT_EQ(DescribeError(12014, ServerReply{530, "530 Login incorrect."}), "Incorrect password");
}

TEST(ErrorTextsTest, EachCommonFailureHasOneSentenceWithTheNextStep) {
    const FailureSubject site{"ftp.example.com", 2121, "/www", true};
    const FailureSubject file{"ftp.example.com", 2121, "/www/a.bin", false};
    for (const auto& [code, subject, names] :
         std::vector<std::tuple<std::uint32_t, FailureSubject, std::string>>{
             {12013, site, "user name"},
             {12014, site, "password"},
             {12007, site, "ftp.example.com"},
             {12029, site, "ftp.example.com port 2121"},
             {12169, site, "fingerprint"},
             {12003, site, "folder /www"},
             {12003, file, "/www/a.bin"},
             {12157, site, "connection security"},
             {12002, site, "passive mode"},
             {EACCES, file, "/www/a.bin could not be used (Permission denied)"}}) {
        const std::string sentence = FailureSentence(code, subject);
        EXPECT_NE(sentence.find(names), std::string::npos) << sentence;
        // One sentence, without the code: that and the server's words are the details' job.
        EXPECT_EQ(sentence.find(". "), std::string::npos) << sentence;
        EXPECT_EQ(sentence.find(std::to_string(code)), std::string::npos) << sentence;
        EXPECT_EQ(sentence.find("details"), std::string::npos) << sentence;
    }
}

TEST(TransferLogTest, LinesAreStampedAppendedAndWrittenLiterally) {
    test::TempDir folder;
    const fs::path log = folder.path() / "run log.txt";
    WriteLogLine("100%s done %d %n", 1, log.string());
    WriteLogLine("no line end", 0, log.string());
    WriteLogLine("second run", 1, log.string());
    const std::string text = test::ReadFile(log);
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: )";
    EXPECT_TRUE(std::regex_match(
        text, std::regex(stamp + "100%s done %d %n\n" + stamp + "no line end" + stamp + "second run\n")))
        << text;

    // A log that cannot be opened loses the line without a fuss.
    WriteLogLine("lost", 1, (folder.path() / "missing" / "log.txt").string());
    EXPECT_FALSE(fs::exists(folder.path() / "missing"));
}

TEST(SizesTest, SizesAboveFourGigabytesAreWhole) {
    EXPECT_EQ(FormatSize(5ULL << 30), "5.00 GB");

    // A sparse 5 GiB file counts in full, not modulo 4 GiB.
    test::TempDir folder;
    const fs::path big = folder.path() / "big.bin";
    std::ofstream(big, std::ios::binary).put('x');
    fs::resize_file(big, 5ULL << 30);
    EXPECT_EQ(LocalFileLength(big), 5ULL << 30);
    EXPECT_EQ(LocalFileLength(folder.path() / "missing.bin"), 0u);
}

}  // namespace
}  // namespace bxfr::engine
