#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "engine/fingerprints.h"
#include "engine/server_commands.h"
#include "engine/sftp/sftp_commands.h"
#include "engine/sftp/ssh_host_keys.h"
#include "engine/transfer_harness.h"
#include "engine/transfer_run.h"
#include "support/child_process.h"
#include "support/fault_proxy.h"
#include "support/proftpd_sftp_test_server.h"
#include "support/raises.h"
#include "support/scoped_env.h"
#include "support/sshd_test_server.h"
#include "support/temp_dir.h"

namespace bxfr::engine {
namespace {

using test::FaultProxy;
using test::FaultProxyOptions;
using test::SshdOptions;
using test::SshdTestServer;
using test::TempDir;
using namespace std::chrono_literals;

class Sftp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SshdTestServer::Available()) {
            GTEST_SKIP() << "sshd or the test account is missing, or the tests do not run as root";
        }
        // The user's own known_hosts must not decide any test.
        home_.emplace("HOME", dir.path().string());
    }

    // The job trusts the server's key through FINGERPRINT unless a test says otherwise.
    std::unique_ptr<Transfer> SftpTransfer(const SshdTestServer& server, const fs::path& local,
                                           const std::string& remote, int getMode, std::uint16_t port = 0) {
        auto transfer =
            std::make_unique<Transfer>("127.0.0.1", port != 0 ? port : server.port(), SshdTestServer::User(),
                                       SshdTestServer::Password(), local, remote, getMode);
        transfer->job.protocol = job::Protocol::Sftp;
        transfer->job.fingerprint = server.Fingerprint();
        return transfer;
    }

    static LoginParams LoginTo(const SshdTestServer& server) {
        LoginParams params;
        params.server = "127.0.0.1";
        params.port = server.port();
        params.protocol = job::Protocol::Sftp;
        params.userName = SshdTestServer::User();
        params.password = SshdTestServer::Password();
        params.connectTimeout = 10s;
        params.idleTimeout = 10s;
        return params;
    }

    // The refusal a login raises; fails the test when it logs in.
    static std::optional<CertificateError> KeyRefusal(const LoginParams& params) {
        return test::Raised<CertificateError>([&] { MakeConnector()->Connect(params); });
    }

    static bool Succeeds(Transfer& transfer) {
        return transfer.Run() == 0 && transfer.job.progress.errorCode == 0;
    }

    TempDir dir;
    std::optional<test::ScopedEnv> home_;
};

// The whole job over SFTP: a tree with blanks and UTF-8 names both ways on two connections,
// permission rules as chmod, the server's times, and no conversion of line ends.
TEST_F(Sftp, TreeGoesUpAndComesBackIdentical) {
    SshdTestServer server;
    const fs::path local = dir.path() / "site";
    Tree tree = SampleTree();
    tree["cgi-bin/run me.cgi"] = "#!/bin/sh\r\necho hi\r\n";
    tree["big.bin"] = BinaryBytes(300 * 1024);  // above the temporary-name threshold
    WriteTree(local, tree);
    const auto stamp = std::chrono::file_clock::now() - 48h;
    fs::last_write_time(local / "index.html", stamp);

    auto send = SftpTransfer(server, local, "www", 0);
    send->job.connections = 2;
    send->job.transferType = 0;  // automatic: .html would be ASCII over FTP
    send->job.verbose = 1;
    send->job.AddChmodRule(".cgi", "755");
    ASSERT_TRUE(Succeeds(*send)) << ::testing::PrintToString(send->messages);
    EXPECT_EQ(TreeOf(server.root() / "www"), TreeOf(local));
    EXPECT_EQ(send->Count("SFTP moves every file as it is"), 1);
    struct stat info {};
    ASSERT_EQ(stat((server.root() / "www/cgi-bin/run me.cgi").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755);
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(fs::last_write_time(server.root() / "www/index.html")),
              std::chrono::floor<std::chrono::seconds>(stamp));

    const fs::path back = dir.path() / "back";
    auto get = SftpTransfer(server, back, "www", 1);
    get->job.connections = 2;
    ASSERT_TRUE(Succeeds(*get)) << ::testing::PrintToString(get->messages);
    // SFTP has no transfer modes: no line names one.
    EXPECT_GT(send->Count("Sending "), 0);
    EXPECT_GT(get->Count("Receiving "), 0);
    for (const Transfer* run : {send.get(), get.get()})
        for (const auto& line : run->messages) EXPECT_EQ(line.find(" mode ..."), std::string::npos) << line;
    EXPECT_EQ(TreeOf(back, false), TreeOf(local, false));
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(fs::last_write_time(back / "index.html")),
              std::chrono::floor<std::chrono::seconds>(stamp));
}

TEST_F(Sftp, KeyLoginUsesThePassphraseAndNeverSendsItAsAPassword) {
    const fs::path key = dir.path() / "id_test";
    test::MakeSshKey(key, "open sesame");
    SshdTestServer server(SshdOptions{.hostKey = {}, .authorizedKey = key.string() + ".pub"});
    LoginParams params = LoginTo(server);
    params.fingerprint = server.Fingerprint();
    params.keyFile = key.string();
    params.password = "open sesame";
    auto connection = MakeConnector()->Connect(params);
    std::string folder;
    ASSERT_TRUE(connection->GetCurrentDirectory(folder));
    EXPECT_EQ(fs::path(folder), server.root());
    connection.reset();
    // As people write it in the transfer file (HOME is the test's folder).
    params.keyFile = "~/id_test";
    EXPECT_NO_THROW(MakeConnector()->Connect(params));
    params.keyFile = key.string();

    params.password = "wrong";
    const auto error = test::Raised<InternetError>([&] { MakeConnector()->Connect(params); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 12014u);
    EXPECT_NE(std::string(error->what()).find(key.string()), std::string::npos) << error->what();
    // Neither the good nor the wrong passphrase went out as a password.
    const auto log = server.Log();
    EXPECT_EQ(CountStartingWith(log, "Accepted publickey"), 2) << ::testing::PrintToString(log);
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(),
                      [](const std::string& line) { return line.find("password") != std::string::npos; }),
        0);
    params.keyFile = (dir.path() / "missing").string();
    const auto unread = test::Raised<InternetError>([&] { MakeConnector()->Connect(params); });
    ASSERT_TRUE(unread);
    EXPECT_NE(std::string(unread->what()).find("cannot be read"), std::string::npos) << unread->what();
}

TEST_F(Sftp, WrongPasswordIsARefusedLogin) {
    SshdTestServer server;
    LoginParams params = LoginTo(server);
    params.fingerprint = server.Fingerprint();
    params.password = "not it";
    const auto error = test::Raised<InternetError>([&] { MakeConnector()->Connect(params); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 12014u) << error->what();
    EXPECT_EQ(MakeConnector()->LastReply().code, 530);
}

// Unknown, known, changed and pinned host keys; nothing is authenticated before the key passes.
TEST_F(Sftp, HostKeyMustBeKnownOrPinned) {
    SshdTestServer server;
    LoginParams params = LoginTo(server);
    const fs::path knownHosts = dir.path() / "known_hosts";
    params.knownHosts = knownHosts.string();

    auto unknown = KeyRefusal(params);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->code(), 12169u);
    EXPECT_EQ(unknown->certificate().fingerprint, server.Fingerprint());
    EXPECT_EQ(unknown->certificate().keyType, "ssh-ed25519");
    EXPECT_FALSE(unknown->PinMismatch());

    WriteFile(knownHosts, "# mine\nother.example ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBBBB\n" +
                              server.KnownHostsLine() + "\n");
    MakeConnector()->Connect(params);

    const fs::path otherKey = dir.path() / "other_host_key";
    test::MakeSshKey(otherKey, "");
    SshdTestServer impostor(SshdOptions{.hostKey = otherKey, .authorizedKey = {}});
    WriteFile(knownHosts, "[127.0.0.1]:" + std::to_string(impostor.port()) + " " +
                              server.KnownHostsLine().substr(server.KnownHostsLine().find(' ') + 1) + "\n");
    LoginParams toImpostor = params;
    toImpostor.port = impostor.port();
    auto changed = KeyRefusal(toImpostor);
    ASSERT_TRUE(changed);
    EXPECT_TRUE(changed->PinMismatch());
    EXPECT_EQ(changed->certificate().pinned, server.Fingerprint());
    EXPECT_EQ(changed->certificate().fingerprint, impostor.Fingerprint());
    EXPECT_EQ(changed->certificate().pinnedIn, knownHosts.string() + " line 1");

    // A pin overrules the file, both ways.
    toImpostor.fingerprint = impostor.Fingerprint();
    MakeConnector()->Connect(toImpostor);
    params.fingerprint = impostor.Fingerprint();
    auto pinned = KeyRefusal(params);
    ASSERT_TRUE(pinned);
    EXPECT_EQ(pinned->certificate().pinnedIn, "FINGERPRINT");

    // A key known_hosts marks revoked stays refused, whatever pins it; no question can accept it.
    WriteFile(knownHosts, "@revoked [127.0.0.1]:" + std::to_string(impostor.port()) + " " +
                              impostor.KnownHostsLine().substr(impostor.KnownHostsLine().find(' ') + 1) +
                              "\n");
    const auto revoked = test::Raised<InternetError>([&] { MakeConnector()->Connect(toImpostor); });
    ASSERT_TRUE(revoked);
    EXPECT_EQ(revoked->code(), 12169u);
    EXPECT_NE(std::string(revoked->what()).find("revoked"), std::string::npos) << revoked->what();
    try {
        MakeConnector()->Connect(toImpostor);
    } catch (const CertificateError&) {
        ADD_FAILURE() << "a revoked key is no question to put to the user";
    } catch (const InternetError&) {
    }

    const std::vector<std::string> log = server.Log();
    EXPECT_EQ(CountStartingWith(log, "Accepted password"), 1) << ::testing::PrintToString(log);
    EXPECT_EQ(CountStartingWith(log, "Failed password"), 0);
    const std::vector<std::string> faked = impostor.Log();
    EXPECT_EQ(CountStartingWith(faked, "Accepted "), 1)
        << ::testing::PrintToString(faked);  // the pinned login
    EXPECT_EQ(CountStartingWith(faked, "Failed "), 0);
}

// A server with several host keys is asked for the one known_hosts lists, hashed as Debian's ssh
// writes it, not for libssh2's favourite, which would be "unknown".
TEST_F(Sftp, KnownServerWithSeveralKeysIsKnown) {
    SshdTestServer server(SshdOptions{.hostKey = {}, .authorizedKey = {}, .ecdsaToo = true});
    const fs::path knownHosts = dir.path() / "known_hosts";
    WriteFile(knownHosts, server.KnownHostsLine() + "\n");
    const std::string hash = "ssh-keygen -q -H -f '" + knownHosts.string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(hash.c_str()), 0);
    ASSERT_EQ(ReadFile(knownHosts).rfind("|1|", 0), 0u);
    LoginParams params = LoginTo(server);
    params.knownHosts = knownHosts.string();
    // No copy of the file, with its names in clear, may be left anywhere.
    const fs::path temporary = dir.path() / "tmp";
    fs::create_directories(temporary);
    const test::ScopedEnv tmpdir("TMPDIR", temporary.string());
    auto connection = MakeConnector()->Connect(params);
    EXPECT_NE(connection->Security().find(server.Fingerprint()), std::string::npos) << connection->Security();
    EXPECT_TRUE(fs::is_empty(temporary));

    // A server without a key of the listed type shows the one it has: a changed key, not an unknown one.
    SshdTestServer edOnly;
    WriteFile(knownHosts, "[127.0.0.1]:" + std::to_string(edOnly.port()) + " " +
                              ReadFile(fs::path(server.HostKey()).parent_path() / "ecdsa_key.pub"));
    params.port = edOnly.port();
    auto changed = KeyRefusal(params);
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->certificate().fingerprint, edOnly.Fingerprint());
    EXPECT_TRUE(changed->PinMismatch());
    EXPECT_EQ(changed->certificate().pinnedIn, knownHosts.string() + " line 1");
}

// A script runs as SFTP commands; one SFTP has nothing like fails under the script's rules.
TEST_F(Sftp, ScriptCommandsAreSftpCommands) {
    SshdTestServer server;
    const fs::path local = dir.path() / "site";
    WriteTree(local, {{"a file.txt", "a\n"}, {"b.txt", "b\n"}});
    auto send = SftpTransfer(server, local, "", 0);
    send->job.AddTranScript("chmod 600 %s");
    send->job.AddConnScript("mkdir \"made by script\"");
    ASSERT_TRUE(Succeeds(*send)) << ::testing::PrintToString(send->messages);
    EXPECT_TRUE(fs::is_directory(server.root() / "made by script"));
    struct stat info {};
    ASSERT_EQ(stat((server.root() / "a file.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600);

    auto refused = SftpTransfer(server, local, "", 0);
    refused->job.AddTranScript("SITE CHMOD 644 %s");
    refused->Run();
    EXPECT_EQ(refused->job.progress.errorCode, 12003u);
    EXPECT_GE(refused->Count("EXTENDED ERROR 500 : 500 SFTP has no command like \"SITE CHMOD 644"), 1)
        << ::testing::PrintToString(refused->messages);

    EXPECT_EQ(SftpCommandFor("rename old \"new name\"", "/site"), "rename \"/site/old\" \"/site/new name\"");
    EXPECT_EQ(SftpCommandFor("CHMOD 644 \"/abs/it's\"", "/site"), "chmod \"644\" \"/abs/it\\'s\"");
    // A quoted name inside a word, as a per-file command makes it.
    EXPECT_EQ(SftpCommandFor(FormatTranCommand("rename %s %s.bak", SftpQuoted("a \"b\"")), "/site"),
              "rename \"/site/a \\\"b\\\"\" \"/site/a \\\"b\\\".bak\"");
    EXPECT_EQ(SftpCommandFor("ln ../target link", "/site"), "ln \"../target\" \"/site/link\"");
    EXPECT_EQ(SftpCommandFor("SITE EXEC x", "/site"), std::nullopt);
    EXPECT_EQ(SftpCommandFor("rm", "/site"), std::nullopt);
}

// The server's refusals read as the engine's: a missing folder, a folder that may not be written.
TEST_F(Sftp, RefusalsNameWhatWasRefused) {
    SshdTestServer server;
    const fs::path local = dir.path() / "site";
    WriteTree(local, {{"a.txt", "a\n"}});
    auto missing = SftpTransfer(server, dir.path() / "back", "/no/such/folder", 1);
    EXPECT_THROW(missing->Run(), InternetError);
    EXPECT_EQ(missing->job.progress.errorCode, 12003u);
    EXPECT_GE(missing->Count("EXTENDED ERROR 550 : 550 "), 1) << ::testing::PrintToString(missing->messages);

    fs::create_directories(server.root() / "locked");
    server.HandOver();
    fs::permissions(server.root() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    auto locked = SftpTransfer(server, local, "locked", 0);
    const auto error = test::Raised<InternetError>([&] { locked->Run(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 12003u);
    EXPECT_NE(std::string(error->what()).find("550 Upload failed: Permission denied"), std::string::npos)
        << error->what();
    EXPECT_EQ(locked->Count("Attempt "), 0);  // a refusal is not tried again
}

// A connection cut in the middle of a file: logged in again, the file resumed, nothing lost.
TEST_F(Sftp, DroppedConnectionIsResumed) {
    SshdTestServer server;
    // Connection 2 (the run's) is cut once part of the file has gone; 3 finishes it.
    FaultProxy proxy(server.port(), FaultProxyOptions{.cutDataEvery = 2,
                                                      .cutAfterBytes = 1536 * 1024,
                                                      .reset = false,
                                                      .cutControlOn = "",
                                                      .delayMs = 0,
                                                      .raw = true});
    LoginParams first = LoginTo(server);
    first.port = proxy.port();
    first.fingerprint = server.Fingerprint();
    MakeConnector()->Connect(first);

    const fs::path local = dir.path() / "site";
    const Tree tree{{"large.bin", BinaryBytes(3 * 1024 * 1024)}};
    WriteTree(local, tree);
    auto send = SftpTransfer(server, local, "", 0, proxy.port());
    send->job.verbose = 1;
    send->job.AddConnScript("chmod 755 .");
    ASSERT_TRUE(Succeeds(*send)) << ::testing::PrintToString(send->messages);
    EXPECT_EQ(proxy.CutCount(), 1);
    EXPECT_EQ(send->Count("chmod 755 ."), 2) << "the connect script runs on the new login too";
    EXPECT_EQ(send->Count("Attempt 1 of 4 at "), 1) << ::testing::PrintToString(send->messages);
    EXPECT_EQ(send->Count("Resuming "), 1) << ::testing::PrintToString(send->messages);
    EXPECT_EQ(TreeOf(server.root()), tree);
    auto after = MakeConnector()->Connect(first);
    std::uint64_t size = 0;
    EXPECT_TRUE(after->FileSize("large.bin", size)) << after->LastReply().text;
    EXPECT_EQ(size, 3u * 1024 * 1024);
}

SshdOptions With(bool SshdOptions::*flag) {
    SshdOptions options;
    options.*flag = true;
    return options;
}

// Servers set up as hardening guides advise, and servers whose only host key is RSA: known
// from known_hosts, asked for with SHA-2 signatures, never called unknown or changed.
TEST_F(Sftp, HardenedAndRsaOnlyServersWork) {
    const Tree tree{{"a.txt", "a\n"}, {"sub/b.bin", BinaryBytes(200 * 1024)}};
    const fs::path local = dir.path() / "site";
    WriteTree(local, tree);
    for (const SshdOptions& options : {With(&SshdOptions::hardened), With(&SshdOptions::rsaOnly)}) {
        SshdTestServer server(options);
        const fs::path knownHosts = dir.path() / ".ssh" / "known_hosts";
        WriteFile(knownHosts, server.KnownHostsLine() + "\n");
        auto send = SftpTransfer(server, local, "up", 0);
        send->job.fingerprint.clear();  // known_hosts decides
        ASSERT_TRUE(Succeeds(*send)) << ::testing::PrintToString(send->messages);
        auto get = SftpTransfer(server, dir.path() / "back", "up", 1);
        get->job.fingerprint.clear();
        ASSERT_TRUE(Succeeds(*get)) << ::testing::PrintToString(get->messages);
        EXPECT_TRUE(TreeOf(dir.path() / "back") == TreeOf(local));
        fs::remove_all(dir.path() / "back");
        const std::vector<std::string> log = server.Log();
        const auto agreed = [&](const std::string& text) {
            return std::any_of(log.begin(), log.end(),
                               [&](const std::string& line) { return line.find(text) != std::string::npos; });
        };
        EXPECT_TRUE(options.hardened ? agreed("cipher: chacha20-poly1305@openssh.com") ||
                                           agreed("cipher: aes256-gcm@openssh.com")
                                     : agreed("host key algorithm: rsa-sha2-"))
            << ::testing::PrintToString(log);
    }
    // A server that signs only with SHA-1 is refused, and the message says why.
    SshdTestServer sha1(With(&SshdOptions::sha1RsaOnly));
    LoginParams params = LoginTo(sha1);
    const auto refused = test::Raised<InternetError>([&] { MakeConnector()->Connect(params); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), 12157u);
    EXPECT_NE(std::string(refused->what()).find("SHA-1"), std::string::npos) << refused->what();
}

// ProFTPD's own SFTP server, which is not OpenSSH: a tree both ways, an old copy replaced in
// one step.
TEST_F(Sftp, ProftpdSftpServerWorks) {
    if (!test::ProftpdSftpTestServer::Available()) GTEST_SKIP() << "ProFTPD is not unpacked";
    test::ProftpdSftpTestServer server;
    WriteFile(server.root() / "up" / "big.bin", "old copy");
    server.HandOver();
    const fs::path local = dir.path() / "site";
    WriteTree(local, {{"a b.txt", "a\n"}, {"sub/c.txt", "c"}, {"big.bin", BinaryBytes(300 * 1024)}});
    auto send = std::make_unique<Transfer>("127.0.0.1", server.port(), SshdTestServer::User(),
                                           SshdTestServer::Password(), local, "up", 0);
    send->job.protocol = job::Protocol::Sftp;
    send->job.fingerprint = server.Fingerprint();
    ASSERT_TRUE(Succeeds(*send)) << ::testing::PrintToString(send->messages);
    auto get = std::make_unique<Transfer>("127.0.0.1", server.port(), SshdTestServer::User(),
                                          SshdTestServer::Password(), dir.path() / "back", "up", 1);
    get->job.protocol = job::Protocol::Sftp;
    get->job.fingerprint = server.Fingerprint();
    ASSERT_TRUE(Succeeds(*get)) << ::testing::PrintToString(get->messages);
    EXPECT_TRUE(TreeOf(dir.path() / "back") == TreeOf(local));
    const std::vector<std::string> requests = server.Requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "EXTENDED posix-rename@openssh.com"), 1)
        << ::testing::PrintToString(requests);
}

// A re-upload cut short by a cancel leaves the old copy whole and no temporary behind; one that
// completes replaces the old copy in one step.
TEST_F(Sftp, CancelledReuploadKeepsTheOldCopy) {
    SshdTestServer server(With(&SshdOptions::logRequests));
    const std::string old = BinaryBytes(1024 * 1024);
    WriteFile(server.root() / "site.tar", old);
    server.HandOver();
    const fs::path local = dir.path() / "site";
    WriteTree(local, {{"site.tar", BinaryBytes(12 * 1024 * 1024).substr(3)}});
    auto cut = SftpTransfer(server, local, "", 0);
    cut->onProgress = [](job::TransferProgress& progress) {
        if (progress.doneBytes > 1024 * 1024) progress.cancelRequested = 1;
    };
    cut->Run();
    EXPECT_GE(cut->Count("Cancelled: "), 1) << ::testing::PrintToString(cut->messages);
    EXPECT_EQ(TreeOf(server.root()), (Tree{{"site.tar", old}}));

    auto whole = SftpTransfer(server, local, "", 0);
    ASSERT_TRUE(Succeeds(*whole)) << ::testing::PrintToString(whole->messages);
    EXPECT_EQ(TreeOf(server.root()), TreeOf(local));
    // The new copy took the old one's place in one step: never deleted first.
    EXPECT_EQ(server.RequestCount("posix-rename"), 1) << ::testing::PrintToString(server.Requests());
    EXPECT_EQ(server.RequestCount("remove"), 1);  // the cancelled run's temporary
}

TEST(KnownHosts, MatchesAsOpenSshDoes) {
    // ssh-ed25519 blobs: 4-byte length, the type, 4-byte length, 32 key bytes.
    const auto blob = [](char fill) {
        return std::string("\0\0\0\x0bssh-ed25519\0\0\0\x20", 19) + std::string(32, fill);
    };
    const std::string a = blob('a');
    const std::string b = blob('b');
    const std::string aText = "AAAAC3NzaC1lZDI1NTE5AAAAIGFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh";
    EXPECT_EQ(HostKeyType(a), "ssh-ed25519");
    EXPECT_EQ(HostKeyType(std::string_view("\0\0\0\xff", 4)), "");

    using Kind = KnownHostVerdict::Kind;
    const auto kind = [&](const std::string& file, const std::string& host, std::uint16_t port,
                          const std::string& key) {
        return LookUpKnownHost(file, "kh", host, port, key).kind;
    };
    EXPECT_EQ(kind("host.example ssh-ed25519 " + aText + "\n", "HOST.example", 22, a), Kind::Known);
    EXPECT_EQ(kind("host.example ssh-ed25519 " + aText + "\n", "host.example", 2222, a), Kind::Unknown);
    EXPECT_EQ(kind("[host.example]:2222 ssh-ed25519 " + aText + "\n", "host.example", 2222, a), Kind::Known);
    EXPECT_EQ(kind("*.example,!bad.example ssh-ed25519 " + aText + "\n", "bad.example", 22, a),
              Kind::Unknown);
    EXPECT_EQ(kind("*.example ssh-ed25519 " + aText + "\n", "www.example", 22, a), Kind::Known);
    // ssh-keygen -H of "host.example" with a salt of its choosing.
    EXPECT_EQ(kind("|1|FldEvehuCl54rg+iipwcrWKudvY=|wg5q8OFFGibQWj6F8JVQtM7lBQU= ssh-ed25519 " + aText + "\n",
                   "host.example", 22, a),
              Kind::Known);
    const KnownHostVerdict changed = LookUpKnownHost(
        "\n# comment\nhost.example ssh-ed25519 " + aText + "\r\n", "kh", "host.example", 22, b);
    EXPECT_EQ(changed.kind, Kind::Changed);
    EXPECT_EQ(changed.where, "kh line 3");
    EXPECT_EQ(changed.knownFingerprint, FingerprintOf(a));
    EXPECT_EQ(kind("host.example ssh-ed25519 " + aText + "\n@revoked * ssh-ed25519 " + aText + "\n",
                   "host.example", 22, a),
              Kind::Revoked);
    // What curl reads to ask for a known key type: the host's own lines, names in plain text.
    EXPECT_EQ(KnownHostLines("|1|FldEvehuCl54rg+iipwcrWKudvY=|wg5q8OFFGibQWj6F8JVQtM7lBQU= ssh-ed25519 " +
                                 aText + "\nother.example ssh-ed25519 " + aText +
                                 "\n@revoked host.example ssh-ed25519 " + aText + "\n",
                             "host.example", 22),
              "host.example ssh-ed25519 " + aText + "\n");
    EXPECT_EQ(KnownHostLines("[host.example]:2222 ssh-ed25519 " + aText + "\n", "host.example", 2222),
              "[host.example]:2222 ssh-ed25519 " + aText + "\n");
    EXPECT_EQ(kind("host.example ssh-ed25519 not-base64!\nhost.example ssh-rsa " + aText + "\n",
                   "host.example", 22, a),
              Kind::Unknown);
    // Only a key of another type known: a new type is as suspect as a new key.
    EXPECT_EQ(kind("host.example ecdsa-sha2-nistp256 AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAEYWJjZA==\n",
                   "host.example", 22, a),
              Kind::Changed);
}

}  // namespace
}  // namespace bxfr::engine
