#include "job/password_crypto.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace bxfr::job {
namespace {

// The stored form computed without our code: MD5 of the 30 pass-phrase bytes, its first five
// bytes and eleven zero bytes as the RC4 key, upper-case hexadecimal out.
const char* kReferenceScript = R"(
import hashlib, sys
key = hashlib.md5(b"Brindle FTP - passphrase 0001\0").digest()[:5] + bytes(11)
for arg in sys.argv[1:]:
    S = list(range(256)); j = 0
    for i in range(256):
        j = (j + S[i] + key[i % 16]) & 0xFF
        S[i], S[j] = S[j], S[i]
    i = j = 0; out = bytearray()
    for b in bytes.fromhex(arg):
        i = (i + 1) & 0xFF; j = (j + S[i]) & 0xFF
        S[i], S[j] = S[j], S[i]
        out.append(b ^ S[(S[i] + S[j]) & 0xFF])
    print(out.hex().upper())
)";

// One line of the reference script's output per clear text; empty when python cannot run.
std::vector<std::string> ReferenceCiphertexts(const std::vector<std::string>& clear) {
    test::TempDir dir;
    auto script = dir.path() / "rc4.py";
    test::WriteFile(script, kReferenceScript);
    std::vector<std::string> args{BXFR_TEST_PYTHON, script.string()};
    for (const auto& c : clear) {
        args.emplace_back();
        for (unsigned char b : c) args.back() += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    const auto run = test::RunProgram(args);
    std::vector<std::string> lines;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    return run.exitCode == 0 ? lines : std::vector<std::string>{};
}

TEST(PasswordCrypto, MatchesTheStoredFormOfTheWindowsProgram) {
    ASSERT_TRUE(IsCryptoAvailable()) << "the legacy OpenSSL provider is needed for RC4";
    // Derived once with the reference script above; a file saved on Windows holds the same text.
    std::string text = "secret";
    ASSERT_EQ(EncryptPassword(text), 1);
    EXPECT_EQ(text, "B2415CBFE44E");

    const std::vector<std::string> clear = {"a", "p\xE4sswort", std::string(300, 'x'),
                                            std::string("\0\xFF;", 3)};
    auto reference = ReferenceCiphertexts(clear);
    if (reference.empty()) GTEST_SKIP() << "python not available for the reference vectors";
    ASSERT_EQ(reference.size(), clear.size());
    for (std::size_t i = 0; i < clear.size(); ++i) {
        std::string t = clear[i];
        ASSERT_EQ(EncryptPassword(t), 1);
        EXPECT_EQ(t, reference[i]) << i;
    }
}

TEST(PasswordCrypto, DecodingIsLenientAndBounded) {
    std::string lower = "b2415cbfe44e7", notHex = "zz;Q\xFF!";  // an odd digit is left over
    ASSERT_EQ(DecryptPassword(lower) + DecryptPassword(notHex), 2);
    EXPECT_EQ(lower, "secret");
    EXPECT_EQ(notHex.size(), 3u);  // a clear text decodes into some bytes, never past its length
}

TEST(PasswordCrypto, WithoutAProviderNothingChanges) {
    test::TempDir empty;
    PasswordCrypto none(empty.path().c_str());
    EXPECT_FALSE(none.IsCryptoAvailable());
    std::string text = "secret";
    EXPECT_EQ(none.EncryptPassword(text), 0);
    EXPECT_EQ(none.DecryptPassword(text), 0);
    EXPECT_EQ(text, "secret");
    // The process's own provider is not disturbed by the failed one.
    ASSERT_EQ(EncryptPassword(text), 1);
    EXPECT_EQ(text, "B2415CBFE44E");
}

}  // namespace
}  // namespace bxfr::job
