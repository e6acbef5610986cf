#include <gtest/gtest.h>

#include <stdexcept>

#include "progress/progress_view.h"
#include "progress/transfer_worker.h"
#include "progress/trust_text.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace bxfr::progress {
namespace {

using namespace std::chrono_literals;

// Fails the way no FTP client is expected to, counting its calls.
struct FailingClient : engine::Connector {
    std::unique_ptr<engine::Connection> Connect(const engine::LoginParams&) override {
        ++connects;
        throw std::runtime_error("disk on fire");
    }
    engine::ServerReply LastReply() const override { return {}; }
    int connects = 0;
};

// Refuses the server's host key the way the SFTP adapter does, before anything is authenticated.
struct HostKeyRefusingClient : FailingClient {
    std::unique_ptr<engine::Connection> Connect(const engine::LoginParams&) override {
        ++connects;
        throw engine::CertificateError(key, "host key not trusted");
    }
    engine::ServerCertificate key;
};

engine::ServerCertificate UnknownHostKey() {
    engine::ServerCertificate key;
    key.keyType = "ssh-ed25519";
    key.fingerprint = "SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0";
    key.whyUntrusted = "it is not in /root/.ssh/known_hosts";
    return key;
}

ProgressState RunToEnd(job::TransferJob& job, engine::Connector& client) {
    TransferWorker worker(job, client);
    worker.Start();
    EXPECT_TRUE(worker.WaitFinished(10s));
    worker.Join();
    return worker.Snapshot();
}

ProgressView ViewAt(std::uint64_t total, std::uint64_t done, bool receiving, std::chrono::seconds now) {
    ProgressState state;
    state.totalBytes = total;
    state.doneBytes = done;
    state.start = std::chrono::steady_clock::time_point(100s);
    if (done > 0) state.firstByte = state.start;
    return ComputeView(state, receiving, std::chrono::steady_clock::time_point(now));
}

TEST(ProgressView, SpeedPercentAndTimeLeft) {
    // 1 MiB of 3 MiB in 4 s: 256 KB/s, 2 MiB left = 8 s.
    const ProgressView view = ViewAt(3 * 1048576, 1048576, true, 104s);
    EXPECT_EQ(view.percent, 33);
    EXPECT_EQ(view.byteLine, "Received 1024.00 KB of 3.00 MB  (256.00 KB/Sec)");
    EXPECT_EQ(view.timeLeftLine, "Estimated time left: 00:00:08");
    EXPECT_EQ(FormatTimeLeft(86400 + 3600 + 60 + 1), "25:01:01");  // days fold into hours
}

TEST(ProgressView, NoEstimateUntilTheSpeedHasSettled) {
    EXPECT_TRUE(ViewAt(0, 0, false, 200s).timeLeftLine.empty());
    EXPECT_EQ(ViewAt(1000, 0, false, 200s).timeLeftLine, "Estimated time left: --:--");
    // A first second's trickle would promise hundreds of hours.
    EXPECT_EQ(ViewAt(1ULL << 32, 10, false, 101s).timeLeftLine, "Estimated time left: --:--");
    EXPECT_TRUE(ViewAt(1000, 10, false, 101s).speedText.empty());
}

TEST(ProgressView, CountsOverFourGibibytesAreNotWrapped) {
    const ProgressView view = ViewAt(6ULL << 30, 5ULL << 30, false, 110s);
    EXPECT_EQ(view.percent, 83);
    EXPECT_EQ(view.byteLine.substr(0, 24), "Sent 5.00 GB of 6.00 GB ");
}

TEST(ProgressOutcome, ErrorBoxCancelAndResult) {
    ProgressState state;
    EXPECT_EQ(OutcomeOf(state, false), TransferStatus::Completed);
    state.cancelRequested = true;
    EXPECT_EQ(OutcomeOf(state, false), TransferStatus::Cancelled);
    state.errorCode = 12002;
    EXPECT_TRUE(ShowsErrorBox(state, false));
    EXPECT_EQ(OutcomeOf(state, false), TransferStatus::Incomplete);
    EXPECT_EQ(OutcomeOf(state, true), TransferStatus::Cancelled);  // ignored errors: the cancel decides
    state.cancelRequested = false;
    state.runResult = 1;
    EXPECT_EQ(OutcomeOf(state, true), TransferStatus::Failed);
}

TEST(ProgressOutcome, ACancelAfterTheRunEndedChangesNothing) {
    job::TransferJob job;  // no server: the run returns at once, completed
    FailingClient client;
    TransferWorker worker(job, client);
    worker.Start();
    ASSERT_TRUE(worker.WaitFinished(10s));
    worker.RequestCancel();  // Cancel pressed before the dialog's next tick
    worker.Join();
    EXPECT_EQ(OutcomeOf(worker.Snapshot(), false), TransferStatus::Completed);
}

TEST(ProgressOutcome, AnUnexpectedFailureIsToldEverywhere) {
    test::TempDir dir;
    job::TransferJob job;
    job.SetServer("127.0.0.1");
    job.SetLogPath((dir.path() / "run.log").string());
    FailingClient client;
    const ProgressState state = RunToEnd(job, client);
    EXPECT_TRUE(ShowsErrorBox(state, false));
    EXPECT_EQ(ErrorDetails(state), "Error 12004 (Internal error): disk on fire");
    EXPECT_NE(state.logText.find("unexpected failure: disk on fire"), std::string::npos) << state.logText;
    EXPECT_NE(test::ReadFile(dir.path() / "run.log").find("unexpected failure: disk on fire"),
              std::string::npos);
    EXPECT_EQ(OutcomeOf(state, true), TransferStatus::Failed);
}

TEST(ProgressOutcome, AWindowsLocalPathIsRefusedBeforeConnecting) {
    job::TransferJob job;
    job.SetServer("127.0.0.1");
    job.getMode = 1;
    job.SetLocalPath("C:\\Site\\");
    FailingClient client;
    const ProgressState state = RunToEnd(job, client);
    EXPECT_EQ(client.connects, 0);
    EXPECT_TRUE(ShowsErrorBox(state, false));
    EXPECT_NE(ErrorDetails(state).find("C:\\Site\\ was written on Windows"), std::string::npos);
    EXPECT_NE(state.failure.find("C:\\Site\\"), std::string::npos) << state.failure;
    EXPECT_NE(state.logText.find("was written on Windows"), std::string::npos);
}

TEST(ProgressOutcome, TheDetailsKeepTheCodeAndTheServersWordsOnce) {
    ProgressState state;
    state.errorCode = 12014;
    state.errorText = "Incorrect password: 530 Login incorrect.";
    state.errorDetail = "530 Login incorrect.";
    EXPECT_EQ(ErrorDetails(state), "Error 12014: Incorrect password: 530 Login incorrect.");
    state.errorCode = 12003;
    state.errorText = "/www/a.bin";
    state.errorDetail = "550 Permission denied.";
    EXPECT_EQ(ErrorDetails(state), "Error 12003 (Extended error): /www/a.bin\n550 Permission denied.");
}

// An unknown host key: what it is and how to trust it, in SSH's words, not a certificate's.
TEST(TrustText, AnUnknownHostKeyTellsHowToTrustIt) {
    test::TempDir dir;
    job::TransferJob job;
    job.SetServer("sftp.example.com");
    job.protocol = job::Protocol::Sftp;
    job.SetPort(22);
    job.SetLogPath((dir.path() / "run.log").string());
    HostKeyRefusingClient client;
    client.key = UnknownHostKey();
    const ProgressState state = RunToEnd(job, client);
    ASSERT_TRUE(state.untrustedCertificate.has_value());
    const engine::ServerCertificate& key = *state.untrustedCertificate;
    EXPECT_TRUE(key.IsHostKey());
    EXPECT_EQ(client.connects, 1);

    const std::string report = UntrustedCertificateReport(key, job, "site.bxt");
    for (const std::string part : {"Nothing but the SSH handshake was sent; the password was not.",
                                   "bxfr --trust SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0 site.bxt",
                                   "add FINGERPRINT=SHA256:Bm5Tv6ZRXuQf8gQ4c9wTvlqC1dLMXP6VXaIuQPbsSf0 to "
                                   "the [BXFR] section of site.bxt"}) {
        EXPECT_NE(report.find(part), std::string::npos) << part << "\n" << report;
    }
    for (const char* certificateWord : {"Subject", "TLS", "certificate"}) {
        EXPECT_EQ(report.find(certificateWord), std::string::npos) << report;
    }
}

// A changed host key shows both fingerprints and where the old one was trusted, and offers no
// ready-made command that would accept the new one.
TEST(TrustText, AChangedHostKeyWarnsAndShowsBothFingerprints) {
    job::TransferJob job;
    job.SetServer("sftp.example.com");
    job.SetPort(2222);
    engine::ServerCertificate key = UnknownHostKey();
    const std::string old = "SHA256:" + std::string(43, 'Q');
    key.pinned = old;
    key.pinnedIn = "/root/.ssh/known_hosts line 3";
    const std::string why = WhyNotTrusted(key);
    EXPECT_EQ(why.rfind("WARNING: the server's host key has changed", 0), 0u) << why;
    EXPECT_NE(why.find("attacker"), std::string::npos) << why;
    EXPECT_EQ(CertificateDetails(key),
              "Key type: ssh-ed25519\nTrusted:   " + old +
                  "\n           (in /root/.ssh/known_hosts line 3)\nPresented: " + key.fingerprint + "\n");
    const std::string report = UntrustedCertificateReport(key, job, "site.bxt");
    EXPECT_NE(report.find("Do not trust the new host key unless"), std::string::npos) << report;
    EXPECT_NE(report.find("ssh-keygen -R \"[sftp.example.com]:2222\""), std::string::npos) << report;
    EXPECT_EQ(report.find("--trust " + key.fingerprint), std::string::npos) << "no ready-made yes";

    key.pinnedIn = "FINGERPRINT";
    EXPECT_NE(CertificateDetails(key).find(old + "\n           (the transfer file's FINGERPRINT)"),
              std::string::npos);
    const std::string pinned = UntrustedCertificateReport(key, job, "site.bxt");
    EXPECT_NE(pinned.find("replace FINGERPRINT in site.bxt"), std::string::npos) << pinned;
    EXPECT_EQ(pinned.find("ssh-keygen"), std::string::npos) << pinned;
}

}  // namespace
}  // namespace bxfr::progress
