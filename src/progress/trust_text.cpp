// The words both front ends use for an untrusted certificate or host key: why, and the details.

#include "progress/trust_text.h"

namespace bxfr::progress {
namespace {

// Where a replaced host key was trusted, on a line of its own under the fingerprint, so that the
// two fingerprints stay short lines one above the other.
std::string TrustedWhere(const engine::ServerCertificate& key) {
    if (key.pinnedIn.empty()) return {};
    if (key.pinnedIn == "FINGERPRINT") return "\n           (the transfer file's FINGERPRINT)";
    return "\n           (in " + key.pinnedIn + ")";
}

// The name OpenSSH files a server's key under: "[host]:port" off port 22, quoted for the shell.
std::string KnownHostsName(const job::TransferJob& job) {
    if (job.port == 22) return job.server;
    return "\"[" + job.server + "]:" + std::to_string(job.port) + "\"";
}

std::string WhyHostKeyNotTrusted(const engine::ServerCertificate& key) {
    if (!key.pinned.empty()) {
        return "WARNING: the server's host key has changed since it was trusted. Servers do get new "
               "keys when they are reinstalled, but this is also exactly what an attacker between you "
               "and the server would cause.";
    }
    return "The server's host key is not known: " + key.whyUntrusted + ".";
}

std::string HostKeyDetails(const engine::ServerCertificate& key) {
    const std::string text = "Key type: " + key.keyType + "\n";
    if (!key.pinned.empty()) {
        return text + "Trusted:   " + key.pinned + TrustedWhere(key) + "\nPresented: " + key.fingerprint +
               "\n";
    }
    return text + "Fingerprint: " + key.fingerprint + "\n";
}

std::string HostKeyReport(const engine::ServerCertificate& key, const job::TransferJob& job,
                          const std::string& transferFile) {
    std::string text = WhyHostKeyNotTrusted(key) + "\n" + HostKeyDetails(key) +
                       "Nothing but the SSH handshake was sent; the password was not.\n";
    if (!key.pinned.empty()) {
        text +=
            "Do not trust the new host key unless the server's administrator confirms that it was "
            "replaced and gives you its fingerprint. Then ";
        if (key.pinnedIn == "FINGERPRINT") {
            return text + "replace FINGERPRINT in " + transferFile +
                   ", or run once with --trust and the confirmed fingerprint.\n";
        }
        return text + "remove the old key from known_hosts:\n  ssh-keygen -R " + KnownHostsName(job) +
               "\nand trust the new one: once with --trust and the confirmed fingerprint, or for good as "
               "FINGERPRINT in " +
               transferFile + ".\n";
    }
    return text +
           "If this fingerprint is the one the server's administrator gives you, trust the host key:\n"
           "  for this run:  bxfr --trust " +
           key.fingerprint + " " + transferFile + "\n  for good:      add FINGERPRINT=" + key.fingerprint +
           " to the [BXFR] section of " + transferFile + "\n";
}

}  // namespace

std::string WhyNotTrusted(const engine::ServerCertificate& certificate) {
    if (certificate.IsHostKey()) return WhyHostKeyNotTrusted(certificate);
    if (!certificate.pinned.empty()) {
        return "The server presented a different certificate from the one trusted for this transfer. "
               "Servers do replace their certificates, but this is also exactly what an attacker "
               "between you and the server would cause.";
    }
    return "The server's certificate is not trusted: " + certificate.whyUntrusted + ".";
}

std::string CertificateDetails(const engine::ServerCertificate& certificate) {
    if (certificate.IsHostKey()) return HostKeyDetails(certificate);
    std::string text = "Subject: " + certificate.subject + "\nIssuer: " + certificate.issuer +
                       "\nValid from " + certificate.validFrom + " to " + certificate.validUntil + "\n";
    if (!certificate.pinned.empty()) {
        return text + "Trusted:   " + certificate.pinned + "\nPresented: " + certificate.fingerprint + "\n";
    }
    return text + "Fingerprint: " + certificate.fingerprint + "\n";
}

std::string UntrustedCertificateReport(const engine::ServerCertificate& certificate,
                                       const job::TransferJob& job, const std::string& transferFile) {
    if (certificate.IsHostKey()) return HostKeyReport(certificate, job, transferFile);
    std::string text = WhyNotTrusted(certificate) + "\n" + CertificateDetails(certificate) +
                       "Nothing but the TLS handshake was sent; the password was not.\n";
    if (!certificate.pinned.empty()) {
        return text +
               "Do not trust the new certificate unless the server's administrator confirms that it "
               "was replaced and gives you its fingerprint. Then replace FINGERPRINT in " +
               transferFile + ", or run once with --trust and the confirmed fingerprint.\n";
    }
    return text +
           "If this fingerprint is the one the server's administrator gives you, trust the certificate:\n"
           "  for this run:  bxfr --trust " +
           certificate.fingerprint + " " + transferFile +
           "\n  for good:      add FINGERPRINT=" + certificate.fingerprint + " to the [BXFR] section of " +
           transferFile + "\n";
}

}  // namespace bxfr::progress
