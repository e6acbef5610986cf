#pragma once

// The words both front ends use when a server's certificate is not trusted, so that the
// desktop program and bxfr say the same thing.

#include <string>

#include "engine/ftp_client.h"

namespace bxfr::progress {

// One sentence: why the certificate was refused, in plain words.
std::string WhyNotTrusted(const engine::ServerCertificate& certificate);

// "Subject: ...\nIssuer: ...\nValid from ... to ...\nFingerprint: SHA256:..." (with "Trusted:" and
// "Presented:" fingerprints instead when a pinned certificate was replaced).
std::string CertificateDetails(const engine::ServerCertificate& certificate);

// What bxfr prints: the refusal, the details and how to trust the certificate (for this run with
// --trust, for good with the FINGERPRINT key), or for a replaced pin a warning that invites no
// careless yes. `transferFile` is the path as the user gave it.
std::string UntrustedCertificateReport(const engine::ServerCertificate& certificate,
                                       const std::string& transferFile);

}  // namespace bxfr::progress
