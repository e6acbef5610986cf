#include "engine/ftp/ftp_listing.h"
#include "engine/ftp/ftp_replies.h"

#include <gtest/gtest.h>

namespace bxfr::engine {
namespace {

void ExpectEntry(const std::string& line, const std::string& name, bool folder, std::uint64_t length,
                 bool link = false, bool (*parse)(std::string_view, RemoteEntry&) = ParseListLine) {
    RemoteEntry entry;
    ASSERT_TRUE(parse(line, entry)) << line;
    EXPECT_EQ(entry.name, name) << line;
    EXPECT_EQ(entry.isFolder, folder) << line;
    EXPECT_EQ(entry.length, length) << line;
    EXPECT_EQ(entry.isLink, link) << line;
}

TEST(FtpListingTest, UnixLinesFromRealServers) {
    ExpectEntry("-rw-r--r--    1 1000     1000         4711 Mar 04 09:05 report.txt", "report.txt", false,
                4711);
    ExpectEntry("drwxr-xr-x    2 ftp      ftp          4096 Jan  1  2019 pub", "pub", true, 4096);
    ExpectEntry("-rw-r--r--   1 owner    group         123 Dec 31 23:59 index.html\r", "index.html", false,
                123);
    // Names with blanks at the end, and names that look like dates.
    ExpectEntry("-rw-r--r--   1 u g 10 Jan 10 10:10 trailing ", "trailing ", false, 10);
    ExpectEntry("-rw-r--r--   1 u g 10 Jan 10 2020 Jan 10 12:00 notes", "Jan 10 12:00 notes", false, 10);
    // Sizes beyond 4 GiB are kept whole.
    ExpectEntry("-rw-r--r--   1 u g 5368709120 Jun  7  2023 disk.img", "disk.img", false, 5368709120ULL);
    // No group column (some embedded servers); ls --time-style=long-iso.
    ExpectEntry("-rw-r--r--   1 owner        77 Apr 01 08:00 nogroup.bin", "nogroup.bin", false, 77);
    ExpectEntry("-rw-r--r-- 1 u g 2048 2024-02-03 14:15 iso date.txt", "iso date.txt", false, 2048);
    // Symbolic links: the name is the part before the arrow.
    ExpectEntry("lrwxrwxrwx   1 u g 11 Jan  2 03:04 my link -> /some where/else", "my link", false, 11, true);
    // Device files carry "major, minor" in place of a size.
    ExpectEntry("crw-rw-rw-   1 root root 1, 3 Jan  2 03:04 null", "null", false, 0);
}

TEST(FtpListingTest, DosAndIisLines) {
    ExpectEntry("01-31-20  03:04PM       <DIR>          aspnet_client", "aspnet_client", true, 0);
    ExpectEntry("12-11-20  10:21AM                  689 name with  blanks.txt", "name with  blanks.txt",
                false, 689);
    ExpectEntry("02-03-2024  23:00          6442450944 backup.vhd", "backup.vhd", false, 6442450944ULL);
}

TEST(FtpListingTest, LinesThatAreNoEntries) {
    RemoteEntry entry;
    for (const char* line :
         {"total 48", "", "garbage that is no listing", "-rw-r--r--   1 u g notanumber Jan 10 10:10 x",
          "-rw-r--r--   1 u g 10 Jan 10 10:10"}) {
        EXPECT_FALSE(ParseListLine(line, entry)) << line;
    }
}

TEST(FtpListingTest, MlsdFacts) {
    ExpectEntry("type=file;size=5368709120;modify=20240101120000;perm=r; big file.iso", "big file.iso", false,
                5368709120ULL, false, ParseMlsdLine);
    ExpectEntry("Type=dir;Sizd=4096;Modify=20240101120000; sub dir\r\n", "sub dir", true, 0, false,
                ParseMlsdLine);
    ExpectEntry("type=OS.unix=symlink;size=9; link", "link", false, 9, true, ParseMlsdLine);
    // A name may hold ';', '=' and leading blanks: everything after the first blank is the name.
    ExpectEntry("type=file;size=1;  a;b=c.txt", " a;b=c.txt", false, 1, false, ParseMlsdLine);
    RemoteEntry entry;
    for (const char* line : {"type=cdir;perm=el; /home/user", "type=pdir;perm=el; ..", "nofacts"}) {
        EXPECT_FALSE(ParseMlsdLine(line, entry)) << line;
    }
}

TEST(FtpListingTest, WholeListingsDropDotsAndBlankLines) {
    const auto list = ParseListing(
        "total 8\r\n"
        "drwxr-xr-x   2 u g 4096 Jan  1 00:00 .\r\n"
        "drwxr-xr-x   2 u g 4096 Jan  1 00:00 ..\r\n"
        "-rw-r--r--   1 u g 1 Jan  1 00:00 a\r\n"
        "\r\n"
        "drwxr-xr-x   2 u g 4096 Jan  1 00:00 b c\n"
        "-rw-r--r--   1 u g 2 Jan  1 00:00 last",
        false);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "a");
    EXPECT_TRUE(list[1].isFolder && list[1].name == "b c");
    EXPECT_EQ(list[2].name, "last");

    const auto mlsd =
        ParseListing("type=cdir;perm=el; .\r\ntype=pdir; ..\r\ntype=file;size=3; x\r\ntype=dir; y\r\n", true);
    ASSERT_EQ(mlsd.size(), 2u);
    EXPECT_TRUE(mlsd[0].name == "x" && mlsd[1].isFolder);

    // Empty listings that end well but say the folder was not read (Pure-FTPd 1.0.50's words).
    EXPECT_TRUE(IsFailedListing(
        {226, "226-Sorry, we were unable to read [/a/]\n226-Options: -l \n226 0 matches total"}));
    EXPECT_FALSE(IsFailedListing({226, "226-Options: -l \n226 0 matches total"}));
}

TEST(FtpListingTest, MdtmAndModifyTimes) {
    EXPECT_EQ(ParseFtpTime("19700101000000"), 0);
    EXPECT_EQ(ParseFtpTime("20261207040836\r\n"), 1796616516);
    EXPECT_EQ(ParseFtpTime("20240101120000.123"), ParseFtpTime("20240101120000"));
    for (const char* bad : {"", "2024010112000", "202401011200000", "20241301000000", "20240100000000",
                            "20240101240000", "2024010112000x", "20240101120000.", "20240101120000.1a"}) {
        EXPECT_EQ(ParseFtpTime(bad), std::nullopt) << bad;
    }
    // Every time read prints back in the same form; a leap second after 9999 would not.
    EXPECT_EQ(FormatFtpTime(*ParseFtpTime("99991231235959")), "99991231235959");
    EXPECT_EQ(ParseFtpTime("99991231235960"), std::nullopt);
    EXPECT_EQ(FormatFtpTime(*ParseFtpTime("20161231235960")), "20170101000000");
}

}  // namespace
}  // namespace bxfr::engine
