#pragma once

// The stored form of a transfer file's password: RC4 under a fixed key, as hexadecimal.

#include <memory>
#include <string>

namespace bxfr::job {

// The stored form of a password: RC4 under a fixed 40-bit key, as upper-case hexadecimal.
// All operations change `text` only on success and return 1, else 0.
class PasswordCrypto {
public:
    // `moduleDir` overrides where the cipher providers are looked for (tests point it at an
    // empty folder to get an unusable provider); null = the system's own.
    explicit PasswordCrypto(const char* moduleDir = nullptr);
    ~PasswordCrypto();
    PasswordCrypto(const PasswordCrypto&) = delete;
    PasswordCrypto& operator=(const PasswordCrypto&) = delete;

    int CryptTransform(std::string& text, int encrypt, int testOnly) const;
    bool IsCryptoAvailable() const;
    int EncryptPassword(std::string& text) const;
    int DecryptPassword(std::string& text) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process's provider, loaded on first use.
const PasswordCrypto& DefaultPasswordCrypto();

inline bool IsCryptoAvailable() { return DefaultPasswordCrypto().IsCryptoAvailable(); }
inline int EncryptPassword(std::string& text) { return DefaultPasswordCrypto().EncryptPassword(text); }
inline int DecryptPassword(std::string& text) { return DefaultPasswordCrypto().DecryptPassword(text); }

}  // namespace bxfr::job
