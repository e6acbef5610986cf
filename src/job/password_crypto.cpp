// The stored form of a transfer file's password: RC4 through OpenSSL's legacy provider, as
// hexadecimal.

#include "job/password_crypto.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstring>
#include <vector>

namespace bxfr::job {
namespace {

// The pass phrase is hashed with its terminating zero byte: 30 bytes in all.
constexpr char kPassPhrase[] = "Brindle FTP - passphrase 0001";
constexpr std::size_t kPassPhraseBytes = sizeof(kPassPhrase);
static_assert(kPassPhraseBytes == 30);

struct CtxFree {
    void operator()(OSSL_LIB_CTX* p) const { OSSL_LIB_CTX_free(p); }
};
struct ProviderUnload {
    void operator()(OSSL_PROVIDER* p) const { OSSL_PROVIDER_unload(p); }
};
struct MdFree {
    void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};
struct CipherFree {
    void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

struct PasswordCrypto::Impl {
    std::unique_ptr<OSSL_LIB_CTX, CtxFree> libctx;
    std::unique_ptr<OSSL_PROVIDER, ProviderUnload> legacy;
    std::unique_ptr<OSSL_PROVIDER, ProviderUnload> base;
    std::unique_ptr<EVP_MD, MdFree> md5;
    std::unique_ptr<EVP_CIPHER, CipherFree> rc4;
};

PasswordCrypto::PasswordCrypto(const char* moduleDir) : impl_(std::make_unique<Impl>()) {
    // A context of our own, so loading the legacy provider changes nothing for the rest of the process.
    impl_->libctx.reset(OSSL_LIB_CTX_new());
    if (!impl_->libctx) return;
    if (moduleDir) OSSL_PROVIDER_set_default_search_path(impl_->libctx.get(), moduleDir);
    impl_->legacy.reset(OSSL_PROVIDER_load(impl_->libctx.get(), "legacy"));
    impl_->base.reset(OSSL_PROVIDER_load(impl_->libctx.get(), "default"));
    if (!impl_->legacy || !impl_->base) return;
    impl_->md5.reset(EVP_MD_fetch(impl_->libctx.get(), "MD5", nullptr));
    impl_->rc4.reset(EVP_CIPHER_fetch(impl_->libctx.get(), "RC4", nullptr));
}

PasswordCrypto::~PasswordCrypto() {
    // Algorithms before providers before the context.
    impl_->rc4.reset();
    impl_->md5.reset();
    impl_->base.reset();
    impl_->legacy.reset();
}

int PasswordCrypto::CryptTransform(std::string& text, int encrypt, int testOnly) const {
    if (!impl_->md5 || !impl_->rc4) return 0;

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), impl_->md5.get(), nullptr) != 1 ||
        EVP_DigestUpdate(md.get(), kPassPhrase, kPassPhraseBytes) != 1 ||
        EVP_DigestFinal_ex(md.get(), digest.data(), &digestLength) != 1 || digestLength < 5)
        return 0;

    // A 40-bit key: the first five digest bytes, then eleven zero bytes of salt.
    std::array<unsigned char, 16> key{};
    std::memcpy(key.data(), digest.data(), 5);

    if (testOnly == 1) {
        text.clear();
        return 1;
    }

    std::vector<unsigned char> bytes;
    if (encrypt == 1) {
        bytes.assign(text.begin(), text.end());
    } else {
        bytes.reserve(text.size() / 2);
        for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
            int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
            // Non-hexadecimal pairs decode to whatever their digits give; keep them defined.
            bytes.push_back(static_cast<unsigned char>(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo)));
        }
    }

    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> cipher(EVP_CIPHER_CTX_new());
    if (!cipher ||
        EVP_CipherInit_ex(cipher.get(), impl_->rc4.get(), nullptr, nullptr, nullptr, encrypt == 1) != 1 ||
        EVP_CIPHER_CTX_set_key_length(cipher.get(), static_cast<int>(key.size())) != 1 ||
        EVP_CipherInit_ex(cipher.get(), nullptr, nullptr, key.data(), nullptr, encrypt == 1) != 1)
        return 0;
    std::vector<unsigned char> out(bytes.size() + 16);
    int outLength = 0, finalLength = 0;
    if (!bytes.empty() && EVP_CipherUpdate(cipher.get(), out.data(), &outLength, bytes.data(),
                                           static_cast<int>(bytes.size())) != 1)
        return 0;
    if (EVP_CipherFinal_ex(cipher.get(), out.data() + outLength, &finalLength) != 1) return 0;
    out.resize(static_cast<std::size_t>(outLength + finalLength));

    if (encrypt == 1) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::string hex;
        hex.reserve(out.size() * 2);
        for (unsigned char b : out) {
            hex += kDigits[b >> 4];
            hex += kDigits[b & 0x0F];
        }
        text = std::move(hex);
    } else {
        text.assign(out.begin(), out.end());
    }
    return 1;
}

bool PasswordCrypto::IsCryptoAvailable() const {
    std::string probe;
    return CryptTransform(probe, 0, 1) == 1;
}

int PasswordCrypto::EncryptPassword(std::string& text) const {
    if (text.empty()) return 1;
    return CryptTransform(text, 1, 0);
}

int PasswordCrypto::DecryptPassword(std::string& text) const {
    if (text.empty()) return 1;
    return CryptTransform(text, 0, 0);
}

const PasswordCrypto& DefaultPasswordCrypto() {
    static const PasswordCrypto crypto;
    return crypto;
}

}  // namespace bxfr::job
