// The check each TLS connection makes of the server's certificate, and its description for the
// trust question.

#include "engine/ftp/certificate_trust.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>

#include "engine/fingerprints.h"

namespace bxfr::engine {

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) return {};
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    return BioText(bio.get());
}

std::string TimeText(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string DerOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0) return {};
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

bool IsAddress(const std::string& host) {
    return host.find(':') != std::string::npos || std::all_of(host.begin(), host.end(), [](char c) {
               return c == '.' || std::isdigit(static_cast<unsigned char>(c));
           });
}

bool NamesHost(X509* certificate, const std::string& host) {
    if (IsAddress(host)) return X509_check_ip_asc(certificate, host.c_str(), 0) == 1;
    return X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr) == 1;
}

// The verifier's findings in words a user can weigh.
std::string ReasonFor(int error) {
    switch (error) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "it is self-signed: no authority this computer trusts vouches for it";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return "it was issued by an authority this computer does not know";
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "it has expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "it is not valid yet";
        case X509_V_ERR_CERT_REVOKED:
            return "it has been revoked";
        default:
            return std::string("it could not be verified (") + X509_verify_cert_error_string(error) + ")";
    }
}

ServerCertificate Describe(X509* certificate) {
    ServerCertificate described;
    described.fingerprint = FingerprintOf(DerOf(certificate));
    described.subject = NameText(X509_get_subject_name(certificate));
    described.issuer = NameText(X509_get_issuer_name(certificate));
    described.validFrom = TimeText(X509_get0_notBefore(certificate));
    described.validUntil = TimeText(X509_get0_notAfter(certificate));
    return described;
}

// Replaces OpenSSL's verification of the server's chain, so the handshake itself fails, before
// any FTP command is sent over it, when the certificate is not the one to trust.
int VerifyPeer(X509_STORE_CTX* store, void* arg) {
    auto* check = static_cast<PeerCheck*>(arg);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf == nullptr) {
        check->refused = true;
        return 0;
    }
    ServerCertificate presented = Describe(leaf);
    bool trusted = false;
    if (!check->pin.empty()) {
        // A pin stands for itself: authorities, dates and names do not matter.
        trusted = presented.fingerprint == check->pin;
        if (trusted) {
            X509_STORE_CTX_set_error(store, X509_V_OK);
        } else {
            presented.pinned = check->pin;
            presented.whyUntrusted = "it is not the certificate trusted for this transfer";
            X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        }
    } else if (X509_verify_cert(store) != 1) {
        presented.whyUntrusted = ReasonFor(X509_STORE_CTX_get_error(store));
    } else if (!NamesHost(leaf, check->host)) {
        presented.whyUntrusted = "it was issued for another host name than " + check->host;
        X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
    } else {
        trusted = true;
    }
    check->refused = !trusted;
    check->presented = std::move(presented);
    return trusted ? 1 : 0;
}

int CheckIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// What the server did with each handshake, which no reply tells: whether the session was
// resumed, and why it broke one off.
void NoteTlsEvent(const SSL* ssl, int where, int value) {
    auto* check = static_cast<PeerCheck*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), CheckIndex()));
    if (check == nullptr) return;
    if ((where & SSL_CB_HANDSHAKE_DONE) != 0) {
        check->resumed = SSL_session_reused(ssl) == 1;
    }
    if ((where & SSL_CB_ALERT) != 0 && (where & SSL_CB_READ) != 0 && (value >> 8) == SSL3_AL_FATAL) {
        check->alert = SSL_alert_desc_string_long(value);
    }
}

}  // namespace

void InstallPeerCheck(void* sslContext, PeerCheck* check) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    // Peer verification on, whatever the caller set: a failed check must end the handshake.
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(context, &VerifyPeer, check);
    SSL_CTX_set_ex_data(context, CheckIndex(), check);
    SSL_CTX_set_info_callback(context, &NoteTlsEvent);
}

std::string DescribeTlsSession(void* ssl) {
    auto* session = static_cast<SSL*>(ssl);
    if (session == nullptr) return {};
    const char* cipher = SSL_get_cipher_name(session);
    return std::string("TLS: ") + SSL_get_version(session) + ", cipher " + (cipher ? cipher : "?");
}

}  // namespace bxfr::engine
