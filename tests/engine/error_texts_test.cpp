#include "engine/error_texts.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "engine/sizes.h"
#include "engine/transfer_log.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;

struct Heard {
    std::vector<std::string> messages;
};

job::TransferJob JobReportingTo(Heard& heard) {
    job::TransferJob job;
    job.SetMessageCallback([&heard](const std::string& text, int newLine, job::TransferProgress&) {
        EXPECT_EQ(newLine, 1);
        heard.messages.push_back(text);
    });
    return job;
}

class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "bxfr-texts-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ErrorTextsTest, StringTableHoldsTheEngineMessagesAndTheAsciiList) {
    EXPECT_EQ(LoadResourceString(IDS_CONNECTING), "Connecting to %s ...");
    EXPECT_EQ(LoadResourceString(IDS_GETTING_AGAIN), "Ooops ... getting %s again in %s mode ...");
    EXPECT_EQ(LoadResourceString(IDS_INIT_SET_FOLDER), "INIT: Failed to set %s as the current folder");
    EXPECT_EQ(LoadResourceString(IDS_ABOUT_MENU), "&About BXFR Wizard...");
    EXPECT_EQ(LoadResourceString(IDS_ASCII_FIRST), "2001");
    EXPECT_EQ(LoadResourceString(2001), ".htm");
    EXPECT_EQ(LoadResourceString(2008), ".js");
    EXPECT_EQ(LoadResourceString(2009), "");
    EXPECT_EQ(LoadResourceString(2), "");
    EXPECT_EQ(LoadResourceString(14), "");
}

TEST(ErrorTextsTest, FormatterFollowsTheTemplateAndNeverTheArguments) {
    EXPECT_EQ(FormatResourceMessage(IDS_BYTES_TO_TRANSFER, {std::uint64_t{1536}}), "1536 bytes to transfer.");
    // Counts beyond 32 bits are shown whole.
    EXPECT_EQ(FormatResourceMessage(IDS_BYTES_TO_TRANSFER, {std::uint64_t{5368709120ULL}}),
              "5368709120 bytes to transfer.");
    EXPECT_EQ(FormatResourceMessage(IDS_CONNECTING, {std::string("ftp.%s%d%n.example")}),
              "Connecting to ftp.%s%d%n.example ...");
    EXPECT_EQ(FormatResourceMessage(IDS_SENDING, {std::string("C:/a b.txt"), std::string("BINARY")}),
              "Sending C:/a b.txt in BINARY mode ...");
    EXPECT_EQ(FormatResourceMessage(IDS_FAILED_CREATE, {std::string("12003")}),
              "Failed to create folder (Error 12003)!");
    // Missing arguments leave nothing behind; an unknown id gives an empty text.
    EXPECT_EQ(FormatResourceMessage(IDS_RECEIVING, {std::string("x")}), "Receiving x in  mode ...");
    EXPECT_EQ(FormatResourceMessage(9999, {std::string("x")}), "");
}

TEST(ErrorTextsTest, InternetErrorNames) {
    EXPECT_EQ(WinInetErrorName(12001), "Out of handles");
    EXPECT_EQ(WinInetErrorName(12002), "Timeout");
    EXPECT_EQ(WinInetErrorName(12014), "Incorrect password");
    EXPECT_EQ(WinInetErrorName(12031), "Connection reset");
    EXPECT_EQ(WinInetErrorName(12053), "Insert CDROM");
    EXPECT_EQ(WinInetErrorName(12112), "FTP no passive mode");
    EXPECT_EQ(WinInetErrorName(12171), "Failed due to security check");
    // Gaps inside the range and everything outside it.
    EXPECT_EQ(WinInetErrorName(12035), "Unknown Error");
    EXPECT_EQ(WinInetErrorName(12051), "Unknown Error");
    EXPECT_EQ(WinInetErrorName(12168), "Unknown Error");
    EXPECT_EQ(WinInetErrorName(12000), "Unknown Error");
    EXPECT_EQ(WinInetErrorName(12172), "Unknown Error");
    EXPECT_EQ(WinInetErrorName(5), "Unknown Error");
}

TEST(ErrorTextsTest, ReportErrorWritesTheCodeTheNameAndTheServerReply) {
    Heard heard;
    job::TransferJob job = JobReportingTo(heard);
    ReportError(job, 12014, FtpReply{530, "530 Login incorrect."});
    EXPECT_EQ(job.progress.errorCode, 12014u);
    EXPECT_EQ(job.progress.errorDetail, "530 Login incorrect.");
    ASSERT_EQ(heard.messages.size(), 2u);
    EXPECT_EQ(heard.messages[0], "ERROR 12014 : Incorrect password");
    EXPECT_EQ(heard.messages[1], "EXTENDED ERROR 530 : 530 Login incorrect.");

    // Without a server reply there is no extended line and the detail stays.
    heard.messages.clear();
    ReportError(job, 12002, FtpReply{});
    EXPECT_EQ(job.progress.errorCode, 12002u);
    EXPECT_EQ(job.progress.errorDetail, "530 Login incorrect.");
    ASSERT_EQ(heard.messages.size(), 1u);
    EXPECT_EQ(heard.messages[0], "ERROR 12002 : Timeout");

    // A reply text holding '%' is reported as it is.
    heard.messages.clear();
    ReportError(job, 12003, FtpReply{550, "550 100%s full"});
    ASSERT_EQ(heard.messages.size(), 2u);
    EXPECT_EQ(heard.messages[1], "EXTENDED ERROR 550 : 550 100%s full");

    // System errors give the system's text only.
    heard.messages.clear();
    ReportError(job, EACCES, FtpReply{550, "550 ignored"});
    EXPECT_EQ(job.progress.errorCode, static_cast<std::uint32_t>(EACCES));
    ASSERT_EQ(heard.messages.size(), 1u);
    EXPECT_EQ(heard.messages[0], std::system_category().message(EACCES));
    EXPECT_EQ(heard.messages[0], "Permission denied");
}

TEST(ErrorTextsTest, DescribeErrorForTheErrorBoxes) {
    EXPECT_EQ(DescribeError(12003, FtpReply{550, "550 No such file or directory."}),
              "550 No such file or directory.\n(550)");
    EXPECT_EQ(DescribeError(12003, FtpReply{0, "Refused"}), "Refused");
    EXPECT_EQ(DescribeError(12014, FtpReply{530, "530 Login incorrect."}), "Incorrect password");
    EXPECT_EQ(DescribeError(12035, FtpReply{}), "Unknown Error");
    EXPECT_EQ(DescribeError(ENOENT, FtpReply{}), "No such file or directory");
    EXPECT_EQ(SystemErrorText(ENOSPC), "No space left on device");
}

// "2026-03-04 09:05:03: "
constexpr std::size_t kStampLength = 21;

bool IsStamp(const std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd: ";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

TEST(TransferLogTest, LinesAreStampedAppendedAndWrittenLiterally) {
    ScratchFolder folder;
    const fs::path log = folder.path() / "run log.txt";
    const std::time_t before = std::time(nullptr);
    WriteLogLine("Connecting to ftp ...", 1, log.string());
    WriteLogLine("", 1, log.string());
    WriteLogLine("100%s done %d %n", 1, log.string());
    WriteLogLine("two\nlines", 1, log.string());
    WriteLogLine("no line end", 0, log.string());
    WriteLogLine("second run", 1, log.string());

    const std::string text = ReadAll(log);
    const std::vector<std::string> bodies = {
        "Connecting to ftp ...\n", "\n", "100%s done %d %n\n", "two\nlines\n", "no line end", "second run\n"};
    std::size_t at = 0;
    for (const auto& body : bodies) {
        ASSERT_LE(at + kStampLength + body.size(), text.size()) << text;
        EXPECT_TRUE(IsStamp(text.substr(at, kStampLength))) << text.substr(at, kStampLength);
        EXPECT_EQ(text.substr(at + kStampLength, body.size()), body);
        at += kStampLength + body.size();
    }
    EXPECT_EQ(at, text.size());

    // The stamp is the local time of the write.
    const auto dayOf = [](std::time_t when) {
        std::tm local{};
        localtime_r(&when, &local);
        char day[48];
        std::snprintf(day, sizeof day, "%i-%02i-%02i ", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday);
        return std::string(day);
    };
    const std::string stampedDay = text.substr(0, 11);
    EXPECT_TRUE(stampedDay == dayOf(before) || stampedDay == dayOf(std::time(nullptr))) << stampedDay;

    // A log that cannot be opened loses the line without a fuss.
    WriteLogLine("lost", 1, (folder.path() / "missing" / "log.txt").string());
    WriteLogLine("lost", 1, folder.path().string());
    EXPECT_FALSE(fs::exists(folder.path() / "missing"));
}

TEST(SizesTest, FormatSizeStepsUpToGigabytes) {
    EXPECT_EQ(FormatSize(0), "0 Bytes");
    EXPECT_EQ(FormatSize(1), "1.00 Bytes");
    EXPECT_EQ(FormatSize(1024), "1024.00 Bytes");
    EXPECT_EQ(FormatSize(1025), "1.00 KB");
    EXPECT_EQ(FormatSize(1536 * 1024), "1.50 MB");
    EXPECT_EQ(FormatSize(4294967295ULL), "4.00 GB");
    EXPECT_EQ(FormatSize(5ULL << 30), "5.00 GB");
    // GB is the last unit however large the count.
    EXPECT_EQ(FormatSize(3ULL << 40), "3072.00 GB");
}

TEST(SizesTest, LocalFileLengthCountsWholeFiles) {
    ScratchFolder folder;
    const fs::path small = folder.path() / "small.bin";
    std::ofstream(small, std::ios::binary) << "12345";
    EXPECT_EQ(LocalFileLength(small), 5u);

    // A sparse 5 GiB file counts in full, not modulo 4 GiB.
    const fs::path big = folder.path() / "big.bin";
    std::ofstream(big, std::ios::binary).put('x');
    fs::resize_file(big, 5ULL << 30);
    EXPECT_EQ(LocalFileLength(big), 5ULL << 30);

    EXPECT_EQ(LocalFileLength(folder.path() / "missing.bin"), 0u);
    EXPECT_EQ(LocalFileLength(folder.path()), 0u);
    if (geteuid() != 0) {
        const fs::path locked = folder.path() / "locked.bin";
        std::ofstream(locked, std::ios::binary) << "abc";
        fs::permissions(locked, fs::perms::none);
        EXPECT_EQ(LocalFileLength(locked), 0u);
    }
}

}  // namespace
}  // namespace bxfr::engine
