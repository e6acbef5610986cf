#include "engine/adapters/adapters.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/error_texts.h"
#include "engine/transfer_harness.h"
#include "job/transfer_job.h"
#include "support/fault_proxy.h"
#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/http_test_server.h"
#include "support/scoped_env.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using std::chrono::steady_clock;
using test::FtpServerOptions;
using test::FtpTestServer;
using test::ReadFile;
using test::WriteFile;

// A port on 127.0.0.1 that nothing listens on.
std::uint16_t UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// The code of the InternetError the call throws; 0 if it throws none.
std::uint32_t ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const InternetError& error) {
        return error.code();
    }
    return 0;
}

std::uint32_t ConnectError(Connector& client, const LoginParams& params) {
    return ErrorOf([&] { client.Connect(params); });
}

void Put(Connection& connection, const std::string& name, const std::string& bytes) {
    std::size_t offset = 0;
    connection.PutFile(name, job::TransferTypeBinary,
                       [&](char* buffer, std::size_t size) {
                           const std::size_t count = std::min(size, bytes.size() - offset);
                           std::copy_n(bytes.data() + offset, count, buffer);
                           offset += count;
                           return count;
                       },
                       {});
}

std::string Get(Connection& connection, const std::string& name) {
    std::string bytes;
    connection.GetFile(name, job::TransferTypeBinary,
                       [&](const char* data, std::size_t size) { bytes.append(data, size); }, {});
    return bytes;
}

TEST(CurlFtpClientTest, LoginRefusalsCarryTheirOwnCodes) {
    FtpTestServer server;
    auto client = MakeConnector();
    LoginParams wrong = LoginTo(server);
    wrong.password = "not the password";
    EXPECT_EQ(ConnectError(*client, wrong), 12014u);
    EXPECT_EQ(client->LastReply().text, "530 Authentication failed.");

    const FtpTestServer odd({.hostile = true});
    LoginParams nobody = LoginTo(odd);
    nobody.userName = "nobody";
    EXPECT_EQ(ConnectError(*client, nobody), 12013u);
    EXPECT_EQ(client->LastReply().code, 530);

    LoginParams closed = LoginTo(server);
    closed.port = UnusedPort();
    EXPECT_EQ(ConnectError(*client, closed), 12029u);
    EXPECT_EQ(client->LastReply().code, 0);

    // A server whose one session is taken answers 421.
    FtpServerOptions options;
    options.maxCons = 1;
    FtpTestServer full(options);
    auto first = client->Connect(LoginTo(full));
    EXPECT_EQ(client->LastReply().text, "230 Login successful.");
    EXPECT_EQ(ConnectError(*client, LoginTo(full)), 12015u);
    EXPECT_EQ(client->LastReply().code, 421);
    std::string folder;
    EXPECT_TRUE(first->GetCurrentDirectory(folder));
}

TEST(CurlFtpClientTest, RawCommandsAndTheirReplies) {
    FtpTestServer server;
    auto client = MakeConnector();
    auto connection = client->Connect(LoginTo(server));
    Put(*connection, "page.htm", "<p>");

    // Multi-line replies arrive whole.
    ASSERT_TRUE(connection->Command("SITE HELP", false, nullptr));
    const ServerReply help = connection->LastReply();
    EXPECT_EQ(help.code, 214);
    EXPECT_EQ(help.text.substr(0, 4), "214-");
    EXPECT_EQ(help.text.substr(help.text.rfind('\n') + 1), "214 Help SITE command successful.");

    std::string data;
    ASSERT_TRUE(connection->Command("NLST", true, &data));
    EXPECT_EQ(data, "page.htm\n");
    EXPECT_EQ(connection->LastReply().code, 226);

    // Refusals: false, 12003 and the server's words, on the connection and the client.
    EXPECT_FALSE(connection->Command("FOO bar", false, &data));
    EXPECT_EQ(connection->LastError(), 12003u);
    EXPECT_EQ(client->LastReply().text, "500 Command \"FOO\" not understood.");
    EXPECT_FALSE(connection->SetCurrentDirectory("/no such folder"));
    EXPECT_EQ(connection->LastError(), 12003u);
    EXPECT_EQ(DescribeError(12003, client->LastReply()), connection->LastReply().text + "\n(550)");

    // A script that moves the folder moves the folder relative names are taken from.
    ASSERT_TRUE(connection->CreateDirectory("sub"));
    ASSERT_TRUE(connection->Command("CWD sub", false, nullptr));
    std::string folder;
    connection->GetCurrentDirectory(folder);
    EXPECT_EQ(folder, "/sub");
    // A script that switches the type cannot make the next binary file travel as ASCII.
    ASSERT_TRUE(connection->Command("TYPE A", false, nullptr));
    Put(*connection, "after-type.bin", "a\nb");
    EXPECT_EQ(ReadFile(server.root() / "sub" / "after-type.bin"), "a\nb");
    EXPECT_EQ(server.LoginCount(), 1);
}

TEST(CurlFtpClientTest, LineBreaksInPathsAndCommandsAreNeverSent) {
    FtpTestServer server;
    auto client = MakeConnector();
    auto connection = client->Connect(LoginTo(server));
    ASSERT_TRUE(connection->CreateDirectory("victim"));

    for (const std::string& text : {std::string("victim\r\nRMD victim"), std::string("x\nRMD victim"),
                                    std::string("x\0RMD victim", 12)}) {
        EXPECT_FALSE(connection->SetCurrentDirectory(text));
        EXPECT_EQ(connection->LastError(), 12016u);
        EXPECT_EQ(connection->LastReply().code, 0);
        EXPECT_FALSE(connection->CreateDirectory(text));
        std::vector<RemoteEntry> entries;
        EXPECT_FALSE(connection->List(text, entries));
        EXPECT_FALSE(connection->Command("NOOP " + text, false, nullptr));
        EXPECT_EQ(connection->LastError(), 12016u);
        EXPECT_EQ(ErrorOf([&] { Put(*connection, text, "evil"); }), 12016u);
        EXPECT_EQ(ErrorOf([&] { Get(*connection, text); }), 12016u);
    }
    EXPECT_TRUE(fs::is_directory(server.root() / "victim"));
    for (const auto& line : server.Commands()) {
        for (const char* verb : {"RMD", "NOOP", "STOR"}) {
            EXPECT_NE(line.rfind(verb, 0), 0u) << line;
        }
    }

    LoginParams params = LoginTo(server);
    params.password = "pass\r\nDELE x";
    EXPECT_EQ(ConnectError(*client, params), 12016u);
}

TEST(CurlFtpClientTest, CallbackExceptionsReachTheCallerAndTheConnectionGoesOn) {
    FtpTestServer server;
    auto client = MakeConnector();
    auto connection = client->Connect(LoginTo(server));
    struct DiskFull {};
    std::size_t calls = 0;
    EXPECT_THROW(connection->PutFile("cut.bin", job::TransferTypeBinary,
                                     [&](char* buffer, std::size_t size) -> std::size_t {
                                         if (++calls == 3) {
                                             throw DiskFull{};
                                         }
                                         std::fill_n(buffer, size, 'c');
                                         return size;
                                     },
                                     {}),
                 DiskFull);
    const std::string whole(3 * 1024 * 1024, 'w');
    WriteFile(server.root() / "whole.bin", whole);
    std::size_t received = 0;
    EXPECT_THROW(connection->GetFile("whole.bin", job::TransferTypeBinary,
                                     [&](const char*, std::size_t size) {
                                         received += size;
                                         if (received > 100000) {
                                             throw FileError(28, "local.bin");
                                         }
                                     },
                                     {}),
                 FileError);

    // The next calls work.
    Put(*connection, "ok.txt", "fine");
    EXPECT_EQ(ReadFile(server.root() / "ok.txt"), "fine");
    EXPECT_TRUE(Get(*connection, "/whole.bin") == whole);
}

TEST(CurlFtpClientTest, SilentStalledAndDroppingServersFailWithTheirCodes) {
    auto client = MakeConnector();
    FtpServerOptions options;
    options.silent = true;
    const FtpTestServer silent(options);
    LoginParams params = LoginTo(silent);
    params.connectTimeout = seconds(2);
    params.idleTimeout = seconds(2);
    auto start = steady_clock::now();
    EXPECT_EQ(ConnectError(*client, params), 12002u);
    EXPECT_LT(steady_clock::now() - start, seconds(8));

    const FtpTestServer stalling({.hostile = true});
    params = LoginTo(stalling);
    params.idleTimeout = seconds(2);
    auto connection = client->Connect(params);
    start = steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { Get(*connection, "stall.bin"); }), 12002u);
    EXPECT_EQ(connection->LastError(), 12002u);
    EXPECT_LT(steady_clock::now() - start, seconds(8));

    // A data connection dropped half way is an error, not a shorter file.
    options = {};
    options.dropDataAfterBytes = 100000;
    const FtpTestServer dropping(options);
    connection = client->Connect(LoginTo(dropping));
    WriteFile(dropping.root() / "cut.bin", std::string(1024 * 1024, 'd'));
    std::size_t received = 0;
    EXPECT_EQ(ErrorOf([&] {
                  connection->GetFile("cut.bin", job::TransferTypeBinary,
                                      [&](const char*, std::size_t size) { received += size; }, {});
              }),
              12030u);
    EXPECT_LT(received, 1024u * 1024u);
    // The session is set up again for the next call.
    std::vector<RemoteEntry> entries;
    ASSERT_TRUE(connection->List("/", entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "cut.bin");
}

TEST(CurlFtpClientTest, ProxyTunnelCarriesPlainFtpAndBothFormsOfTls) {
    const test::TunnelProxy proxy;
    for (const auto& [form, protocol] :
         {std::pair{"", job::Protocol::Ftp}, std::pair{"explicit", job::Protocol::Ftpes},
          std::pair{"implicit", job::Protocol::Ftps}}) {
        SCOPED_TRACE(form);
        const FtpTestServer server({.tls = form});
        auto client = MakeConnector();
        LoginParams params = LoginTo(server);
        params.proxy = "127.0.0.1:" + std::to_string(proxy.port());
        params.protocol = protocol;
        if (!*form) {
            LoginParams closed = params;
            closed.proxy = "127.0.0.1:" + std::to_string(UnusedPort());
            EXPECT_NE(ConnectError(*client, closed), 0u);
        } else {
            // The certificate is checked through the tunnel as well: unpinned, it is refused.
            EXPECT_THROW(client->Connect(params), CertificateError);
            params.fingerprint = server.Fingerprint();
        }
        const std::size_t before = proxy.Tunnels().size();
        auto connection = client->Connect(params);
        Put(*connection, "tunnelled.bin", std::string(300000, 't'));
        EXPECT_EQ(Get(*connection, "tunnelled.bin"), std::string(300000, 't'));
        EXPECT_EQ(server.LoginCount(), 1);
        // The control connection and each data connection went through the tunnel.
        const auto requests = proxy.Tunnels();
        ASSERT_GE(requests.size(), before + 3);
        EXPECT_EQ(requests[before], "connect 127.0.0.1 " + std::to_string(server.port()));
    }
    for (const auto& request : proxy.Tunnels()) {
        EXPECT_EQ(request.rfind("connect 127.0.0.1 ", 0), 0u) << request;
    }
}

TEST(CurlFtpClientTest, FetchUrlReadsTheFirstBytesOfAPage) {
    // The web request honours the usual proxy variables; this one must stay on this machine.
    const test::ScopedEnv direct("no_proxy", "*");
    test::HttpTestServer web("An upgrade is available." + std::string(5000, '.'));
    auto request = MakeWebRequest();
    const std::string base = web.url();
    EXPECT_EQ(request->Fetch(base + "upgrade.asp?product=bxfr&version=3.02", 1024),
              "An upgrade is available." + std::string(1000, '.'));
    EXPECT_EQ(request->Fetch(base + "upgrade.asp", 10), "An upgrade");
    EXPECT_EQ(ErrorOf([&] { request->Fetch(base + "missing.asp", 1024); }), 12003u);
    const std::string closed = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";
    EXPECT_EQ(ErrorOf([&] { request->Fetch(closed, 1024); }), 12029u);
    EXPECT_THROW(request->Fetch("file:///etc/passwd", 1024), InternetError);
}

}  // namespace
}  // namespace bxfr::engine
