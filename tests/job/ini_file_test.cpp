#include "job/ini_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/temp_dir.h"

namespace bxfr::job {
namespace {

const std::string kSample =
    "; written by hand\r\n[Main]\r\nName = Some Value  \r\nQuoted=\"  padded  \"\r\n"
    "  ; indented comment=not a key\r\nCount=42xyz\r\n\r\n[Other]\r\nname=other\r\n";

TEST(IniFile, ReadsLikeTheProfileFunctions) {
    IniFile ini;
    ini.Parse(kSample);
    EXPECT_EQ(ini.Get("MAIN", "NAME"), "Some Value");
    EXPECT_EQ(ini.Get("main", "quoted"), "  padded  ");
    EXPECT_EQ(ini.Get("Other", "Name"), "other");
    EXPECT_EQ(ini.Get("Main", "; indented comment"), std::nullopt);
    EXPECT_EQ(ini.GetInt("Main", "Count", 5), 42);
    EXPECT_EQ(ini.GetInt("Main", "Missing", 5), 5);
}

TEST(IniFile, UpdatesInPlaceAndKeepsOtherLines) {
    IniFile ini;
    ini.Parse(kSample);
    ini.Set("MAIN", "name", "new");
    ini.Set("Main", "Added", "1");
    ini.Set("Third", "K", "v");
    ini.RemoveSection("other");
    EXPECT_EQ(ini.Serialize(),
              "; written by hand\r\n[Main]\r\nname=new\r\nQuoted=\"  padded  \"\r\n"
              "  ; indented comment=not a key\r\nCount=42xyz\r\nAdded=1\r\n\r\n[Third]\r\nK=v\r\n");
}

TEST(IniFile, KeepsWindows1252BytesAndUtf8Text) {
    const std::string cp1252 = "[s]\r\nu=J\xFCrgen \x80\r\nraw=\x81\r\n";
    IniFile ini;
    ini.Parse(cp1252);
    EXPECT_EQ(ini.Get("s", "u"), "J\xC3\xBCrgen \xE2\x82\xAC");
    EXPECT_EQ(ini.Serialize(), cp1252);
    ini.Set("s", "new", "\xC3\xA9");  // é fits the code page
    EXPECT_EQ(ini.Serialize(), cp1252 + "new=\xE9\r\n");

    const std::string utf8 = "\xEF\xBB\xBF[s]\r\nu=J\xC3\xBCrgen\r\n";
    IniFile u;
    u.Parse(utf8);
    EXPECT_EQ(u.GetBytes("s", "u"), "J\xC3\xBCrgen");
    EXPECT_EQ(u.Serialize(), utf8);
}

TEST(IniFile, ReadRefusesWhatIsNotAnIniFile) {
    test::TempDir dir;
    IniFile ini;
    EXPECT_EQ(ini.Read((dir.path() / "missing.ini").string()), IniFile::ReadResult::Missing);
    EXPECT_EQ(ini.Read(dir.path().string()), IniFile::ReadResult::Unreadable);
    auto big = dir.path() / "big.ini";
    test::WriteFile(big, "[s]\r\nk=" + std::string(IniFile::kMaxLineBytes + 1, 'x') + "\r\n");
    EXPECT_EQ(ini.Read(big.string()), IniFile::ReadResult::TooLarge);
}

// Get drops blanks and a pair of quotes around a value; Set must write such a value so that it
// reads back (a transfer file's SERVER="host" ; comment was saved as "host", read back as host).
TEST(IniFile, SetValuesReadBackAsSet) {
    IniFile ini;
    const std::vector<std::string> values = {"\"host\"", "'x'", "  padded", "tail\t", "\"", "\"a", "plain"};
    for (std::size_t i = 0; i < values.size(); ++i) ini.Set("s", "k" + std::to_string(i), values[i]);
    IniFile again;
    again.Parse(ini.Serialize());
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(again.Get("s", "k" + std::to_string(i)), values[i]);
    EXPECT_NE(ini.Serialize().find("\r\nk6=plain\r\n"), std::string::npos);
}

}  // namespace
}  // namespace bxfr::job
