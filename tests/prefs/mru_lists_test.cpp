#include "prefs/mru_lists.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <filesystem>
#include <vector>

#include "prefs/user_settings.h"
#include "support/temp_dir.h"

namespace bxfr::prefs {
namespace {

namespace fs = std::filesystem;

// Every test gets a user key of its own in a fresh folder.
class MruLists : public ::testing::Test {
protected:
    MruLists() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(dir.path().string()));
    }
    static std::vector<std::string> Paths() {
        std::vector<std::string> paths;
        for (int i = 0; i < kMruSize; ++i) paths.push_back(ReadMru(i));
        return paths;
    }
    fs::path KeyFile() const { return OpenUserKey()->fileName().toStdString(); }
    test::TempDir dir;
};

TEST_F(MruLists, TransferFileOrder) {
    for (const char* path : {"/a.bxt", "/b.bxt", "/c.bxt"}) AddToMru(path);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/c.bxt", "/b.bxt", "/a.bxt", ""}));
    AddToMru("/a.bxt");  // the third moves up, the others keep their order
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/a.bxt", "/c.bxt", "/b.bxt", ""}));
    AddToMru("/A.bxt");  // letter case counts
    AddToMru("/e.bxt");  // a fifth pushes the oldest out
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/e.bxt", "/A.bxt", "/a.bxt", "/c.bxt"}));
    RemoveFromMru("/A.bxt");
    RemoveFromMru("/nowhere.bxt");
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/e.bxt", "/a.bxt", "/c.bxt", ""}));
}

TEST_F(MruLists, ServerOrderAndPasswords) {
    AddServerMru("ftp.one", "ann", "old");
    AddServerMru("ftp.one", "bob", "pw");  // another user is another entry
    AddServerMru("ftp.two", "", "");
    // A known pair moves up and takes the password last used with it, also from the top.
    AddServerMru("ftp.one", "ann", "new");
    EXPECT_EQ(ReadServerMru(0), (ServerMruEntry{"ftp.one", "ann", "new"}));
    AddServerMru("ftp.one", "ann", "newer");
    EXPECT_EQ(ReadServerMru(0), (ServerMruEntry{"ftp.one", "ann", "newer"}));
    EXPECT_EQ(ReadServerMru(1), (ServerMruEntry{"ftp.two", "", ""}));
    EXPECT_EQ(ReadServerMru(2), (ServerMruEntry{"ftp.one", "bob", "pw"}));
    EXPECT_TRUE(ReadServerMru(3).server.empty());
    // Stored encrypted, the bytes of a name from a file written on Windows come back as they were.
    AddServerMru("ftp.de", "J\xFCrgen", "p\xE4ss;\t");
    EXPECT_EQ(ReadServerMru(0), (ServerMruEntry{"ftp.de", "J\xFCrgen", "p\xE4ss;\t"}));
    ClearServerMru();
    for (int i = 0; i < kMruSize; ++i) EXPECT_EQ(ReadServerMru(i), ServerMruEntry{});
}

TEST_F(MruLists, WithoutACipherNoPasswordIsKept) {
    test::TempDir noModules;
    const job::PasswordCrypto none(noModules.path().c_str());
    AddServerMru("ftp.one", "ann", "secret", none);
    EXPECT_EQ(ReadServerMru(0, none), (ServerMruEntry{"ftp.one", "ann", ""}));
    const auto key = OpenUserKey();
    EXPECT_EQ(key->value("SMRU0/Pass").toString(), QString());
}

TEST_F(MruLists, TheKeyHoldingPasswordsIsForItsOwnerOnly) {
    AddServerMru("ftp.one", "ann", "secret");
    const fs::path file = KeyFile();
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask, fs::perms(0600));
    // A file left readable by an older version is put right on the next use.
    fs::permissions(file, fs::perms(0644));
    ReadServerMru(0);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask, fs::perms(0600));
    AddServerMru("ftp.two", "bob", "pw");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask, fs::perms(0600));
    EXPECT_EQ(ReadServerMru(1).password, "secret");
}

}  // namespace
}  // namespace bxfr::prefs
