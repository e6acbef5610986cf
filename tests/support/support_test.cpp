#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/files.h"
#include "support/ftp_test_server.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace bxfr::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kTimeout(5000);

// A blocking-free client socket to 127.0.0.1 whose every read is bounded.
class Connection {
public:
    explicit Connection(std::uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        if (fd_ < 0) {
            throw std::runtime_error("socket failed");
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd_);
            throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
        }
    }
    ~Connection() { close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Send(const std::string& text) {
        const ssize_t sent = send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
        ASSERT_EQ(sent, static_cast<ssize_t>(text.size()));
    }

    // One line without its CRLF, or nothing if none came within the limit.
    std::optional<std::string> Line(milliseconds limit = kTimeout) {
        const auto deadline = steady_clock::now() + limit;
        for (;;) {
            const auto end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return line;
            }
            if (!Fill(deadline)) {
                return std::nullopt;
            }
        }
    }

    // A whole FTP reply, multi-line ones included: its last line.
    std::string Reply() {
        std::optional<std::string> line = Line();
        if (!line) {
            return "(no reply)";
        }
        if (line->size() > 3 && (*line)[3] == '-') {
            const std::string end = line->substr(0, 3) + " ";
            while (line && line->rfind(end, 0) != 0) {
                line = Line();
            }
        }
        return line ? *line : "(cut reply)";
    }

    std::string Command(const std::string& command) {
        Send(command + "\r\n");
        return Reply();
    }

    // Everything until the peer closes.
    std::string ReadAll() {
        const auto deadline = steady_clock::now() + kTimeout;
        while (Fill(deadline)) {
        }
        return std::move(buffer_);
    }

private:
    bool Fill(steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd entry{fd_, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t got = recv(fd_, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    int fd_;
    std::string buffer_;
};

// The port from a 227 reply: "(h1,h2,h3,h4,p1,p2)".
std::uint16_t PassivePort(const std::string& reply) {
    int h[4] = {};
    int p1 = 0;
    int p2 = 0;
    const auto open = reply.find('(');
    if (open == std::string::npos ||
        std::sscanf(reply.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h[0], &h[1], &h[2], &h[3], &p1, &p2) != 6) {
        return 0;
    }
    return static_cast<std::uint16_t>(p1 * 256 + p2);
}

TEST(SupportTest, FtpServerLogsInServesRootAndRecordsCommands) {
    FtpTestServer server;
    EXPECT_EQ(server.host(), "127.0.0.1");
    EXPECT_NE(server.port(), 0);
    EXPECT_TRUE(std::filesystem::is_directory(server.root()));
    WriteFile(server.root() / "sub" / "f.txt", "abc\r\n");
    EXPECT_EQ(ReadFile(server.root() / "sub" / "f.txt"), "abc\r\n");

    Connection control(server.port());
    EXPECT_EQ(control.Reply().substr(0, 3), "220");
    EXPECT_EQ(control.Command("USER user").substr(0, 3), "331");
    EXPECT_EQ(control.Command("PASS wrong").substr(0, 3), "530");
    EXPECT_EQ(control.Command("USER user").substr(0, 3), "331");
    EXPECT_EQ(control.Command("PASS secret").substr(0, 3), "230");
    EXPECT_EQ(control.Command("TYPE I").substr(0, 3), "200");
    EXPECT_EQ(control.Command("SIZE sub/f.txt"), "213 5");

    const std::string pasv = control.Command("PASV");
    ASSERT_EQ(pasv.substr(0, 3), "227") << pasv;
    Connection data(PassivePort(pasv));
    EXPECT_EQ(control.Command("RETR sub/f.txt").substr(0, 1), "1");
    EXPECT_EQ(data.ReadAll(), "abc\r\n");
    EXPECT_EQ(control.Reply().substr(0, 3), "226");
    EXPECT_EQ(control.Command("QUIT").substr(0, 3), "221");

    EXPECT_EQ(server.LoginCount(), 1);
    const std::vector<std::string> commands = server.Commands();
    const std::vector<std::string> start(commands.begin(),
                                         commands.begin() + std::min<std::size_t>(4, commands.size()));
    EXPECT_EQ(start, (std::vector<std::string>{"USER user", "PASS ****", "USER user", "PASS ****"}));
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "PASV"), 1);
}

TEST(SupportTest, FtpServerModes) {
    FtpServerOptions options;
    options.mlsd = false;
    options.anonymous = true;
    options.maxCons = 1;
    FtpTestServer server(options);

    Connection first(server.port());
    EXPECT_EQ(first.Reply().substr(0, 3), "220");
    EXPECT_EQ(first.Command("USER anonymous").substr(0, 3), "331");
    EXPECT_EQ(first.Command("PASS guest@").substr(0, 3), "230");
    EXPECT_EQ(first.Command("MLSD").substr(0, 3), "500");

    Connection second(server.port());
    EXPECT_EQ(second.Reply().substr(0, 3), "421");
    EXPECT_EQ(server.LoginCount(), 1);
}

TEST(SupportTest, SilentServerNeverGreets) {
    FtpServerOptions options;
    options.silent = true;
    FtpTestServer server(options);
    Connection control(server.port());
    EXPECT_FALSE(control.Line(milliseconds(1000)).has_value());
}

TEST(SupportTest, HostileServerListsEscapingNames) {
    FtpServerOptions options;
    options.hostile = true;
    FtpTestServer server(options);

    Connection control(server.port());
    EXPECT_EQ(control.Reply().substr(0, 3), "220");
    EXPECT_EQ(control.Command("USER anyone").substr(0, 3), "331");
    EXPECT_EQ(control.Command("PASS anything").substr(0, 3), "230");
    EXPECT_EQ(control.Command("CWD loop/loop").substr(0, 3), "250");
    EXPECT_EQ(control.Command("PWD"), "257 \"/loop/loop\" is the current directory.");

    const std::string pasv = control.Command("PASV");
    ASSERT_EQ(pasv.substr(0, 3), "227") << pasv;
    Connection data(PassivePort(pasv));
    EXPECT_EQ(control.Command("LIST").substr(0, 3), "150");
    const std::string listing = data.ReadAll();
    EXPECT_EQ(control.Reply().substr(0, 3), "226");
    EXPECT_NE(listing.find(" ../x\r\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find(" /etc/x\r\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("drwxr-xr-x"), std::string::npos) << listing;
    EXPECT_NE(listing.find(" loop\r\n"), std::string::npos) << listing;

    const std::vector<std::string> commands = server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "PASS ****"), commands.end());
    EXPECT_EQ(std::find(commands.begin(), commands.end(), "PASS anything"), commands.end());
}

TEST(SupportTest, HttpServerAnswersWithBodyAndRecordsPaths) {
    HttpTestServer server("An upgrade is available.");
    EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()) + "/");

    Connection web(server.port());
    web.Send("GET /upgrade.asp?v=3.02 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string answer = web.ReadAll();
    EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer;
    const auto body = answer.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(answer.substr(body + 4), "An upgrade is available.");
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"/upgrade.asp?v=3.02"});
}

TEST(SupportTest, TempDirIsRemovedWithItsFiles) {
    std::filesystem::path kept;
    {
        TempDir dir;
        kept = dir.path();
        WriteFile(dir.path() / "a" / "b" / "c.bin", std::string("\0x", 2));
        EXPECT_EQ(ReadFile(dir.path() / "a" / "b" / "c.bin"), std::string("\0x", 2));
        TempDir other;
        EXPECT_NE(other.path(), dir.path());
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_THROW(ReadFile(kept / "missing"), std::runtime_error);
}

}  // namespace
}  // namespace bxfr::test
