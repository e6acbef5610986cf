#pragma once

// The words both front ends use when a server's certificate or SSH host key is not trusted, so
// that the desktop program and bxfr say the same thing.

#include <string>

#include "engine/connection.h"
#include "job/transfer_job.h"

namespace bxfr::progress {

// One sentence: why the certificate or host key was refused, in plain words.
std::string WhyNotTrusted(const engine::ServerCertificate& certificate);

// "Subject: ...\nIssuer: ...\nValid from ... to ...\nFingerprint: SHA256:..." for a certificate,
// "Key type: ...\nFingerprint: SHA256:..." for a host key; with "Trusted:" and "Presented:"
// fingerprints instead when the trusted one was replaced.
std::string CertificateDetails(const engine::ServerCertificate& certificate);

// What bxfr prints: the refusal, the details and how to trust the certificate or host key (for
// this run with --trust, for good with the FINGERPRINT key), or for a replaced one a warning
// that invites no careless yes. `transferFile` is the path as the user gave it; `job` names the
// server a known_hosts entry is kept under.
std::string UntrustedCertificateReport(const engine::ServerCertificate& certificate,
                                       const job::TransferJob& job, const std::string& transferFile);

}  // namespace bxfr::progress
