#include "job/ini_file.h"

#include <gtest/gtest.h>

#include "job/text_encoding.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace bxfr::job {
namespace {

const std::string kSample =
    "; written by hand\r\n"
    "[Main]\r\n"
    "Name = Some Value  \r\n"
    "Quoted=\"  padded  \"\r\n"
    "  ; indented comment=not a key\r\n"
    "Count=42xyz\r\n"
    "Neg=-7\r\n"
    "Empty=\r\n"
    "\r\n"
    "[Other]\r\n"
    "name=other\r\n";

TEST(IniFile, ReadsLikeTheProfileFunctions) {
    IniFile ini;
    ini.Parse(kSample);
    EXPECT_EQ(ini.Get("MAIN", "NAME"), "Some Value");
    EXPECT_EQ(ini.Get("main", "quoted"), "  padded  ");
    EXPECT_EQ(ini.Get("Other", "Name"), "other");
    EXPECT_EQ(ini.Get("Main", "Empty"), "");
    EXPECT_EQ(ini.Get("Main", "Missing"), std::nullopt);
    EXPECT_EQ(ini.Get("Nowhere", "Name"), std::nullopt);
    EXPECT_EQ(ini.Get("Main", "; indented comment"), std::nullopt);
    EXPECT_EQ(ini.GetInt("Main", "Count", 5), 42);
    EXPECT_EQ(ini.GetInt("Main", "Neg", 5), -7);
    EXPECT_EQ(ini.GetInt("Main", "Empty", 5), 0);
    EXPECT_EQ(ini.GetInt("Main", "Missing", 5), 5);
    EXPECT_EQ(ini.Get("Main", "Name", 4), "Some");

    IniFile lf;
    lf.Parse("[a]\nk=v\n[b]\nk=w");  // LF only, no final line break
    EXPECT_EQ(lf.Get("a", "k"), "v");
    EXPECT_EQ(lf.Get("b", "k"), "w");
}

TEST(IniFile, UpdatesInPlaceAndKeepsOtherLines) {
    IniFile ini;
    ini.Parse(kSample);
    ini.Set("MAIN", "name", "new");
    ini.Set("Main", "Added", "1");
    ini.Set("Third", "K", "v");
    ini.RemoveSection("other");
    EXPECT_EQ(ini.Serialize(),
              "; written by hand\r\n"
              "[Main]\r\n"
              "name=new\r\n"
              "Quoted=\"  padded  \"\r\n"
              "  ; indented comment=not a key\r\n"
              "Count=42xyz\r\n"
              "Neg=-7\r\n"
              "Empty=\r\n"
              "Added=1\r\n"
              "\r\n"
              "[Third]\r\n"
              "K=v\r\n");
}

TEST(IniFile, KeepsWindows1252BytesAndUtf8Text) {
    const std::string cp1252 = "[s]\r\nu=J\xFCrgen \x80\r\nraw=\x81\r\n";
    IniFile ini;
    ini.Parse(cp1252);
    EXPECT_EQ(ini.Get("s", "u"), "J\xC3\xBCrgen \xE2\x82\xAC");
    EXPECT_EQ(ini.GetBytes("s", "u"), "J\xFCrgen \x80");
    EXPECT_EQ(ini.Serialize(), cp1252);
    ini.Set("s", "new", "\xC3\xA9");  // é fits the code page
    EXPECT_EQ(ini.Serialize(), cp1252 + "new=\xE9\r\n");

    const std::string utf8 = "\xEF\xBB\xBF[s]\r\nu=J\xC3\xBCrgen\r\n";
    IniFile u;
    u.Parse(utf8);
    EXPECT_EQ(u.GetBytes("s", "u"), "J\xC3\xBCrgen");
    EXPECT_EQ(u.Serialize(), utf8);

    std::string back;
    EXPECT_TRUE(Utf8ToCp1252(Cp1252ToUtf8(std::string("\x80\x81\x9F\xA0\xFF", 5)), back));
    EXPECT_EQ(back, std::string("\x80\x81\x9F\xA0\xFF", 5));
    EXPECT_FALSE(Utf8ToCp1252("\xE2\x84\xA6", back));  // Ω has no Windows-1252 form
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));             // overlong
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));         // surrogate
    EXPECT_FALSE(IsValidUtf8("\xE2\x82"));             // truncated
}

TEST(IniFile, ReadRefusesWhatIsNotAnIniFile) {
    test::TempDir dir;
    IniFile ini;
    EXPECT_EQ(ini.Read((dir.path() / "missing.ini").string()), IniFile::ReadResult::Missing);
    EXPECT_EQ(ini.Read(dir.path().string()), IniFile::ReadResult::Unreadable);
    auto big = dir.path() / "big.ini";
    test::WriteFile(big, "[s]\r\nk=" + std::string(IniFile::kMaxLineBytes + 1, 'x') + "\r\n");
    EXPECT_EQ(ini.Read(big.string()), IniFile::ReadResult::TooLarge);
    test::WriteFile(big, std::string(IniFile::kMaxFileBytes + 1, '\n'));
    EXPECT_EQ(ini.Read(big.string()), IniFile::ReadResult::TooLarge);
}

}  // namespace
}  // namespace bxfr::job
