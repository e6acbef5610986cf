#include "engine/ftp_listing.h"

#include <gtest/gtest.h>

namespace bxfr::engine {
namespace {

FtpEntry Parsed(const std::string& line) {
    FtpEntry entry;
    EXPECT_TRUE(ParseListLine(line, entry)) << line;
    return entry;
}

void ExpectEntry(const std::string& line, const std::string& name, bool folder, std::uint64_t length,
                 bool link = false) {
    const FtpEntry entry = Parsed(line);
    EXPECT_EQ(entry.name, name) << line;
    EXPECT_EQ(entry.isFolder, folder) << line;
    EXPECT_EQ(entry.length, length) << line;
    EXPECT_EQ(entry.isLink, link) << line;
}

TEST(FtpListingTest, UnixLinesFromRealServers) {
    // vsftpd, ProFTPD, pure-ftpd, pyftpdlib: with owner and group, time or year.
    ExpectEntry("-rw-r--r--    1 1000     1000         4711 Mar 04 09:05 report.txt", "report.txt", false,
                4711);
    ExpectEntry("drwxr-xr-x    2 ftp      ftp          4096 Jan  1  2019 pub", "pub", true, 4096);
    ExpectEntry("-rw-r--r--   1 owner    group         123 Dec 31 23:59 index.html\r", "index.html", false,
                123);
    ExpectEntry("-rwxr-xr-x   1 root     root       1 Feb 29  2024 run.sh", "run.sh", false, 1);
    // Names with blanks, inside and at the end, and names that look like dates.
    ExpectEntry("-rw-r--r--   1 u g 10 Jan 10 10:10 my file  name.txt", "my file  name.txt", false, 10);
    ExpectEntry("-rw-r--r--   1 u g 10 Jan 10 10:10 trailing ", "trailing ", false, 10);
    ExpectEntry("-rw-r--r--   1 u g 10 Jan 10 2020 Jan 10 12:00 notes", "Jan 10 12:00 notes", false, 10);
    // Sizes beyond 4 GiB are kept whole.
    ExpectEntry("-rw-r--r--   1 u g 5368709120 Jun  7  2023 disk.img", "disk.img", false, 5368709120ULL);
    ExpectEntry("-rw-r--r--   1 u g 18446744073709551615 Jun  7  2023 huge", "huge", false,
                18446744073709551615ULL);
    // No group column (some embedded servers), numeric owner, ACL marks after the mode.
    ExpectEntry("-rw-r--r--   1 owner        77 Apr 01 08:00 nogroup.bin", "nogroup.bin", false, 77);
    ExpectEntry("-rw-r--r--+  1 u g 12 Apr 01 08:00 acl.txt", "acl.txt", false, 12);
    ExpectEntry("drwxr-xr-x@  3 u staff 96 Apr 01 08:00 mac folder", "mac folder", true, 96);
    // UTF-8 names are bytes to the parser.
    ExpectEntry("-rw-r--r--   1 u g 3 May 5 05:05 Grüße – 日本.txt", "Grüße – 日本.txt", false, 3);
    // ls --time-style=long-iso.
    ExpectEntry("-rw-r--r-- 1 u g 2048 2024-02-03 14:15 iso date.txt", "iso date.txt", false, 2048);
    // Symbolic links: the name is the part before the arrow.
    ExpectEntry("lrwxrwxrwx   1 u g 11 Jan  2 03:04 latest -> release-1.2", "latest", false, 11, true);
    ExpectEntry("lrwxrwxrwx   1 u g 11 Jan  2 03:04 my link -> /some where/else", "my link", false, 11, true);
    // Device files carry "major, minor" in place of a size.
    ExpectEntry("crw-rw-rw-   1 root root 1, 3 Jan  2 03:04 null", "null", false, 0);
}

TEST(FtpListingTest, DosAndIisLines) {
    ExpectEntry("01-31-20  03:04PM       <DIR>          aspnet_client", "aspnet_client", true, 0);
    ExpectEntry("12-11-20  10:21AM                  689 iisstart.htm", "iisstart.htm", false, 689);
    ExpectEntry("12-11-20  10:21AM                  689 name with  blanks.txt", "name with  blanks.txt",
                false, 689);
    ExpectEntry("02-03-2024  11:00       <DIR>          Program Files", "Program Files", true, 0);
    ExpectEntry("02-03-2024  23:00          6442450944 backup.vhd", "backup.vhd", false, 6442450944ULL);
}

TEST(FtpListingTest, LinesThatAreNoEntries) {
    FtpEntry entry;
    EXPECT_FALSE(ParseListLine("total 48", entry));
    EXPECT_FALSE(ParseListLine("", entry));
    EXPECT_FALSE(ParseListLine("\r", entry));
    EXPECT_FALSE(ParseListLine("garbage that is no listing", entry));
    EXPECT_FALSE(ParseListLine("-rw-r--r--   1 u g notanumber Jan 10 10:10 x", entry));
    EXPECT_FALSE(ParseListLine("-rw-r--r--   1 u g 10 Jan 10 10:10", entry));
}

TEST(FtpListingTest, MlsdFacts) {
    FtpEntry entry;
    ASSERT_TRUE(ParseMlsdLine("type=file;size=5368709120;modify=20240101120000;perm=r; big file.iso", entry));
    EXPECT_EQ(entry.name, "big file.iso");
    EXPECT_FALSE(entry.isFolder);
    EXPECT_EQ(entry.length, 5368709120ULL);

    ASSERT_TRUE(ParseMlsdLine("Type=dir;Sizd=4096;Modify=20240101120000; sub dir\r\n", entry));
    EXPECT_EQ(entry.name, "sub dir");
    EXPECT_TRUE(entry.isFolder);
    EXPECT_EQ(entry.length, 0u);

    ASSERT_TRUE(ParseMlsdLine("type=OS.unix=symlink;size=9; link", entry));
    EXPECT_TRUE(entry.isLink);
    ASSERT_TRUE(ParseMlsdLine("type=OS.unix=slink:/target;size=9; other", entry));
    EXPECT_TRUE(entry.isLink);
    EXPECT_EQ(entry.name, "other");

    // A name may hold ';', '=' and leading blanks: everything after the first blank is the name.
    ASSERT_TRUE(ParseMlsdLine("type=file;size=1;  a;b=c.txt", entry));
    EXPECT_EQ(entry.name, " a;b=c.txt");

    EXPECT_FALSE(ParseMlsdLine("type=cdir;perm=el; /home/user", entry));
    EXPECT_FALSE(ParseMlsdLine("type=pdir;perm=el; ..", entry));
    EXPECT_FALSE(ParseMlsdLine("size=10; untyped", entry));
    EXPECT_FALSE(ParseMlsdLine("nofacts", entry));
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
    EXPECT_EQ(list[1].name, "b c");
    EXPECT_TRUE(list[1].isFolder);
    EXPECT_EQ(list[2].name, "last");
    EXPECT_EQ(list[2].length, 2u);

    const auto mlsd =
        ParseListing("type=cdir;perm=el; .\r\ntype=pdir; ..\r\ntype=file;size=3; x\r\ntype=dir; y\r\n", true);
    ASSERT_EQ(mlsd.size(), 2u);
    EXPECT_EQ(mlsd[0].name, "x");
    EXPECT_TRUE(mlsd[1].isFolder);
}

}  // namespace
}  // namespace bxfr::engine
