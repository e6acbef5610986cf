#include "progress/trust_text.h"

namespace bxfr::progress {

std::string WhyNotTrusted(const engine::ServerCertificate& certificate) {
    if (!certificate.pinned.empty()) {
        return "The server presented a different certificate from the one trusted for this transfer. "
               "Servers do replace their certificates, but this is also exactly what an attacker "
               "between you and the server would cause.";
    }
    return "The server's certificate is not trusted: " + certificate.whyUntrusted + ".";
}

std::string CertificateDetails(const engine::ServerCertificate& certificate) {
    std::string text = "Subject: " + certificate.subject + "\nIssuer: " + certificate.issuer +
                       "\nValid from " + certificate.validFrom + " to " + certificate.validUntil + "\n";
    if (!certificate.pinned.empty()) {
        return text + "Trusted:   " + certificate.pinned + "\nPresented: " + certificate.fingerprint + "\n";
    }
    return text + "Fingerprint: " + certificate.fingerprint + "\n";
}

std::string UntrustedCertificateReport(const engine::ServerCertificate& certificate,
                                       const std::string& transferFile) {
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
