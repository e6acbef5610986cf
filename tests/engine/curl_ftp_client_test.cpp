#include "engine/ftp_client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "engine/error_texts.h"
#include "job/transfer_job.h"

namespace bxfr::engine {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using std::chrono::steady_clock;

extern "C" char** environ;

// pyftpdlib on 127.0.0.1 with a free port, a temporary root, and the modes these tests need.
constexpr const char* kServerScript = R"PY(
import socket, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib import handlers
from pyftpdlib.servers import FTPServer

root, log, mode, cut, maxcons = sys.argv[1], sys.argv[2], sys.argv[3].split(","), int(sys.argv[4]), int(sys.argv[5])

if "http" in mode:
    import functools, http.server
    page = functools.partial(http.server.SimpleHTTPRequestHandler, directory=root)
    web = http.server.HTTPServer(("127.0.0.1", 0), page)
    print(web.server_address[1], flush=True)
    web.serve_forever()

if "proxy" in mode:
    # An HTTP proxy that only tunnels: CONNECT host:port, then bytes both ways.
    import socketserver, threading
    class Tunnel(socketserver.StreamRequestHandler):
        def handle(self):
            request = self.rfile.readline().decode("latin-1").split()
            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                pass
            with open(log, "a") as out:
                out.write(" ".join(request[:2]) + "\n")
            host, port = request[1].rsplit(":", 1)
            if request[0] != "CONNECT" or host != "127.0.0.1":
                self.wfile.write(b"HTTP/1.1 403 Forbidden\r\n\r\n")
                return
            upstream = socket.create_connection((host, int(port)))
            self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            self.wfile.flush()
            def pump(source, sink):
                try:
                    while True:
                        data = source.recv(65536)
                        if not data:
                            break
                        sink.sendall(data)
                except OSError:
                    pass
                try:
                    sink.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
            back = threading.Thread(target=pump, args=(upstream, self.connection), daemon=True)
            back.start()
            pump(self.connection, upstream)
            back.join()
            upstream.close()
    class ProxyServer(socketserver.ThreadingTCPServer):
        daemon_threads = True
    proxy = ProxyServer(("127.0.0.1", 0), Tunnel)
    print(proxy.server_address[1], flush=True)
    proxy.serve_forever()

if "silent" in mode:
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    held = []
    while True:
        held.append(listener.accept()[0])

class Handler(handlers.FTPHandler):
    auth_failed_timeout = 0
    use_sendfile = False
    def pre_process_command(self, line, cmd, arg):
        with open(log, "a", encoding="utf-8", errors="replace") as out:
            out.write(line + "\n")
        return super().pre_process_command(line, cmd, arg)
    def ftp_RETR(self, file):
        if "stall" in mode:
            self.respond("150 Here it comes, some day.")
            return
        return super().ftp_RETR(file)

if "nomlsd" in mode:
    Handler.proto_cmds = {k: v for k, v in handlers.FTPHandler.proto_cmds.items() if k not in ("MLSD", "MLST")}
if "rawascii" in mode:
    handlers.DTPHandler._posix_ascii_data_wrapper = lambda self, chunk: chunk
    handlers.FileProducer._posix_ascii_data_wrapper = lambda self, chunk: chunk
if cut > 0:
    class CutProducer(handlers.FileProducer):
        def more(self):
            sent = getattr(self, "sent", 0)
            if sent >= cut:
                return b""
            data = super().more()[: cut - sent]
            self.sent = sent + len(data)
            return data
    handlers.FileProducer = CutProducer

authorizer = DummyAuthorizer()
authorizer.add_user("tester", "secret word", root, perm="elradfmwMT")
Handler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), Handler)
if maxcons > 0:
    server.max_cons = maxcons + 1  # the listening socket counts too
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)PY";

class FtpTestServer {
public:
    struct Options {
        bool mlsd = true;
        bool rawAscii = false;
        bool silent = false;
        bool stallRetr = false;
        bool http = false;   // a plain web server on the root instead
        bool proxy = false;  // an HTTP CONNECT proxy instead; the command log lists its requests
        std::size_t dropDataAfter = 0;
        int maxConnections = 0;
    };

    FtpTestServer() : FtpTestServer(Options{}) {}
    explicit FtpTestServer(const Options& options) {
        std::string pattern = (fs::temp_directory_path() / "bxfr-ftp-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        base_ = pattern;
        fs::create_directory(root());
        std::ofstream(base_ / "server.py") << kServerScript;
        std::string mode = "plain";
        mode += options.mlsd ? "" : ",nomlsd";
        mode += options.rawAscii ? ",rawascii" : "";
        mode += options.silent ? ",silent" : "";
        mode += options.stallRetr ? ",stall" : "";
        mode += options.http ? ",http" : "";
        mode += options.proxy ? ",proxy" : "";
        Start(mode, options.dropDataAfter, options.maxConnections);
    }

    ~FtpTestServer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    FtpTestServer(const FtpTestServer&) = delete;
    FtpTestServer& operator=(const FtpTestServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string userName() const { return "tester"; }
    std::string password() const { return "secret word"; }
    fs::path root() const { return base_ / "root"; }

    // The command lines the server received, in order.
    std::vector<std::string> commandLog() const {
        std::vector<std::string> lines;
        std::ifstream in(base_ / "commands.log");
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    // A port on 127.0.0.1 that nothing listens on.
    static std::uint16_t UnusedPort() {
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

private:
    void Start(const std::string& mode, std::size_t cut, int maxConnections) {
        int out[2];
        if (pipe(out) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string errors = (base_ / "server.err").string();
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string script = (base_ / "server.py").string();
        const std::string rootText = root().string();
        const std::string logText = (base_ / "commands.log").string();
        const std::string cutText = std::to_string(cut);
        const std::string consText = std::to_string(maxConnections);
        std::vector<char*> argv = {const_cast<char*>(BXFR_TEST_PYTHON), const_cast<char*>(script.c_str()),
                                   const_cast<char*>(rootText.c_str()), const_cast<char*>(logText.c_str()),
                                   const_cast<char*>(mode.c_str()),     const_cast<char*>(cutText.c_str()),
                                   const_cast<char*>(consText.c_str()), nullptr};
        const int spawned = posix_spawn(&pid_, BXFR_TEST_PYTHON, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            close(out[0]);
            pid_ = -1;
            throw std::system_error(spawned, std::generic_category(), "posix_spawn");
        }
        // The server prints its port once it listens; wait for that line, not for a fixed time.
        std::string line;
        const auto deadline = steady_clock::now() + seconds(15);
        while (line.find('\n') == std::string::npos && steady_clock::now() < deadline) {
            pollfd ready{out[0], POLLIN, 0};
            if (poll(&ready, 1, 200) <= 0) {
                continue;
            }
            char buffer[64];
            const ssize_t got = read(out[0], buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            line.append(buffer, static_cast<std::size_t>(got));
        }
        close(out[0]);
        port_ = static_cast<std::uint16_t>(std::atoi(line.c_str()));
        if (port_ == 0) {
            throw std::runtime_error("the test FTP server did not start");
        }
    }

    fs::path base_;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

FtpLoginParams LoginFor(const FtpTestServer& server, bool passive = true) {
    FtpLoginParams params;
    params.server = "127.0.0.1";
    params.port = server.port();
    params.userName = server.userName();
    params.password = server.password();
    params.passive = passive;
    params.connectTimeout = seconds(10);
    params.idleTimeout = seconds(10);
    return params;
}

void Put(FtpConnection& connection, const std::string& name, int type, const std::string& bytes,
         std::size_t piece = 1 << 20) {
    std::size_t offset = 0;
    connection.PutFile(name, type, [&](char* buffer, std::size_t size) {
        const std::size_t count = std::min({size, piece, bytes.size() - offset});
        std::copy_n(bytes.data() + offset, count, buffer);
        offset += count;
        return count;
    });
}

std::string Get(FtpConnection& connection, const std::string& name, int type) {
    std::string bytes;
    connection.GetFile(name, type, [&](const char* data, std::size_t size) { bytes.append(data, size); });
    return bytes;
}

std::vector<std::string> Messages(const std::function<void(job::TransferJob&)>& report) {
    std::vector<std::string> messages;
    job::TransferJob job;
    job.SetMessageCallback(
        [&](const std::string& text, int, job::TransferProgress&) { messages.push_back(text); });
    report(job);
    return messages;
}

const FtpEntry* Find(const std::vector<FtpEntry>& entries, const std::string& name) {
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const FtpEntry& entry) { return entry.name == name; });
    return found == entries.end() ? nullptr : &*found;
}

std::size_t CountCommands(const std::vector<std::string>& log, const std::string& verb) {
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& line) {
        return line.compare(0, verb.size() + 1, verb + " ") == 0 || line == verb;
    }));
}

TEST(CurlFtpClientTest, LoginGoodAndBadPassword) {
    FtpTestServer server;
    auto client = MakeCurlFtpClient();

    auto connection = client->Connect(LoginFor(server));
    EXPECT_EQ(client->LastReply().code, 230);
    EXPECT_EQ(client->LastReply().text, "230 Login successful.");
    std::string folder;
    ASSERT_TRUE(connection->GetCurrentDirectory(folder));
    EXPECT_EQ(folder, "/");
    connection.reset();

    FtpLoginParams wrong = LoginFor(server);
    wrong.password = "not the password";
    try {
        client->Connect(wrong);
        FAIL() << "a wrong password was accepted";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12014u);
    }
    const FtpReply reply = client->LastReply();
    EXPECT_EQ(reply.code, 530);
    EXPECT_EQ(reply.text, "530 Authentication failed.");
    const auto messages = Messages([&](job::TransferJob& job) { ReportError(job, 12014, reply); });
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "ERROR 12014 : Incorrect password");
    EXPECT_EQ(messages[1], "EXTENDED ERROR 530 : 530 Authentication failed.");
    EXPECT_EQ(DescribeError(12014, reply), "Incorrect password");

    // A closed port on this machine cannot be connected to.
    FtpLoginParams closed = LoginFor(server);
    closed.port = FtpTestServer::UnusedPort();
    try {
        client->Connect(closed);
        FAIL() << "connected to a closed port";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12029u);
        EXPECT_EQ(WinInetErrorName(error.code()), "Cannot connect");
    }
    EXPECT_EQ(client->LastReply().code, 0);
}

void CheckFoldersAndListing(FtpTestServer& server, const std::string& listVerb) {
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server));
    const std::string blanks = "with  two blanks ";
    const std::string utf8 = "Grüße 日本";

    ASSERT_TRUE(connection->CreateDirectory(blanks)) << connection->LastReply().text;
    EXPECT_EQ(connection->LastError(), 0u);
    ASSERT_TRUE(connection->CreateDirectory(blanks + "/" + utf8));
    ASSERT_TRUE(connection->CreateDirectory("/top"));
    EXPECT_TRUE(fs::is_directory(server.root() / blanks / utf8));

    // Creating an existing folder is the server's refusal, with its reply.
    EXPECT_FALSE(connection->CreateDirectory("/top"));
    EXPECT_EQ(connection->LastError(), 12003u);
    EXPECT_EQ(connection->LastReply().code, 550);

    ASSERT_TRUE(connection->SetCurrentDirectory(blanks));
    std::string folder;
    connection->GetCurrentDirectory(folder);
    EXPECT_EQ(folder, "/" + blanks);
    Put(*connection, "a file.txt", job::TransferTypeBinary, "12345");
    Put(*connection, utf8 + "/ü.bin", job::TransferTypeBinary, std::string(70000, 'x'));
    EXPECT_EQ(ReadFile(server.root() / blanks / "a file.txt"), "12345");
    EXPECT_EQ(ReadFile(server.root() / blanks / utf8 / "ü.bin").size(), 70000u);

    std::vector<FtpEntry> entries;
    ASSERT_TRUE(connection->List("", entries));
    ASSERT_EQ(entries.size(), 2u);
    const FtpEntry* file = Find(entries, "a file.txt");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->isFolder);
    EXPECT_EQ(file->length, 5u);
    const FtpEntry* sub = Find(entries, utf8);
    ASSERT_NE(sub, nullptr);
    EXPECT_TRUE(sub->isFolder);

    ASSERT_TRUE(connection->List("/" + blanks + "/" + utf8, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "ü.bin");
    EXPECT_EQ(entries[0].length, 70000u);

    ASSERT_TRUE(connection->List("/", entries));
    EXPECT_NE(Find(entries, "top"), nullptr);
    EXPECT_NE(Find(entries, blanks), nullptr);

    // Relative names, ".." and the folder of a listing are taken from the current folder.
    ASSERT_TRUE(connection->SetCurrentDirectory(".."));
    connection->GetCurrentDirectory(folder);
    EXPECT_EQ(folder, "/");

    // A folder that is not there: the call fails with the server's reply.
    EXPECT_FALSE(connection->SetCurrentDirectory("/no such folder"));
    EXPECT_EQ(connection->LastError(), 12003u);
    EXPECT_EQ(connection->LastReply().code, 550);
    EXPECT_EQ(DescribeError(12003, client->LastReply()), connection->LastReply().text + "\n(550)");
    connection->GetCurrentDirectory(folder);
    EXPECT_EQ(folder, "/");
    EXPECT_FALSE(connection->List("/no such folder", entries));
    EXPECT_EQ(connection->LastError(), 12003u);
    EXPECT_TRUE(entries.empty());

    const auto log = server.commandLog();
    EXPECT_GE(CountCommands(log, listVerb), 3u);
    EXPECT_EQ(CountCommands(log, listVerb == "MLSD" ? "LIST" : "MLSD"), 0u);
    // One login for everything.
    EXPECT_EQ(CountCommands(log, "USER"), 1u);
}

TEST(CurlFtpClientTest, FoldersAndListingsWithMlsd) {
    FtpTestServer server;
    CheckFoldersAndListing(server, "MLSD");
}

TEST(CurlFtpClientTest, FoldersAndListingsWithListWhenMlsdIsMissing) {
    FtpTestServer::Options options;
    options.mlsd = false;
    FtpTestServer server(options);
    CheckFoldersAndListing(server, "LIST");
}

TEST(CurlFtpClientTest, BinaryFilesMoveByteExactOnOneConnection) {
    FtpTestServer server;
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server));

    std::string bytes(20 * 1024 * 1024, '\0');
    std::mt19937 random(42);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
    // CR LF pairs and lone CRs must survive a binary transfer untouched.
    bytes.replace(1000, 5, "\r\n\r\r\n");
    Put(*connection, "big.bin", job::TransferTypeBinary, bytes, 8192);
    EXPECT_EQ(connection->LastReply().code, 226);
    ASSERT_EQ(fs::file_size(server.root() / "big.bin"), bytes.size());
    EXPECT_TRUE(ReadFile(server.root() / "big.bin") == bytes);
    const std::string back = Get(*connection, "/big.bin", job::TransferTypeBinary);
    ASSERT_EQ(back.size(), bytes.size());
    EXPECT_TRUE(back == bytes);

    // An empty file is a file too.
    Put(*connection, "empty", job::TransferTypeBinary, "");
    EXPECT_TRUE(fs::exists(server.root() / "empty"));
    EXPECT_EQ(Get(*connection, "empty", job::TransferTypeBinary), "");

    // Many files: absolute paths, no folder change per file and no second login.
    for (int i = 0; i < 20; ++i) {
        Put(*connection, "f" + std::to_string(i), job::TransferTypeBinary, "x");
    }
    const auto log = server.commandLog();
    EXPECT_EQ(CountCommands(log, "CWD"), 0u);
    EXPECT_EQ(CountCommands(log, "USER"), 1u);
    EXPECT_EQ(CountCommands(log, "STOR"), 22u);
    EXPECT_LE(CountCommands(log, "TYPE"), 1u);

    // A missing remote file is the server's refusal.
    try {
        Get(*connection, "missing.bin", job::TransferTypeBinary);
        FAIL() << "received a missing file";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12003u);
        EXPECT_EQ(connection->LastError(), 12003u);
        EXPECT_EQ(connection->LastReply().code, 550);
    }
}

TEST(CurlFtpClientTest, ActiveModeMovesFilesToo) {
    FtpTestServer server;
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server, false));
    Put(*connection, "active.bin", job::TransferTypeBinary, std::string(100000, 'a'));
    EXPECT_EQ(Get(*connection, "active.bin", job::TransferTypeBinary), std::string(100000, 'a'));
    std::vector<FtpEntry> entries;
    ASSERT_TRUE(connection->List("/", entries));
    EXPECT_NE(Find(entries, "active.bin"), nullptr);
    const auto log = server.commandLog();
    EXPECT_GE(CountCommands(log, "EPRT") + CountCommands(log, "PORT"), 3u);
    EXPECT_EQ(CountCommands(log, "EPSV") + CountCommands(log, "PASV"), 0u);
}

TEST(CurlFtpClientTest, AsciiTypeConvertsLineEndsBothWays) {
    FtpTestServer::Options options;
    options.rawAscii = true;  // the server stores and sends the wire bytes as they are
    FtpTestServer server(options);
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server));

    // LF and CRLF on disk both become one CRLF on the wire; a lone CR stays.
    Put(*connection, "up.txt", job::TransferTypeAscii, "one\ntwo\r\nthree\rfour\n");
    EXPECT_EQ(ReadFile(server.root() / "up.txt"), "one\r\ntwo\r\nthree\rfour\r\n");

    // The CR of a CRLF may end one piece and its LF start the next.
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text += "line " + std::to_string(i) + (i % 3 == 0 ? "\r\n" : "\n");
    }
    std::string wire;
    for (const char c : text) {
        if (c == '\n' && (wire.empty() || wire.back() != '\r')) {
            wire += '\r';
        }
        wire += c;
    }
    Put(*connection, "pieces.txt", job::TransferTypeAscii, text, 7);
    EXPECT_TRUE(ReadFile(server.root() / "pieces.txt") == wire);

    // Receiving turns CRLF into LF.
    WriteFile(server.root() / "down.txt", "x\r\ny\r\n\r\nz");
    EXPECT_EQ(Get(*connection, "down.txt", job::TransferTypeAscii), "x\ny\n\nz");
    std::string unix;
    for (int i = 0; i < 20000; ++i) {
        unix += "line " + std::to_string(i) + "\n";
    }
    std::string crlf;
    for (const char c : unix) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    WriteFile(server.root() / "long.txt", crlf);
    EXPECT_TRUE(Get(*connection, "long.txt", job::TransferTypeAscii) == unix);
    // Binary leaves it alone.
    EXPECT_TRUE(Get(*connection, "long.txt", job::TransferTypeBinary) == crlf);

    const auto log = server.commandLog();
    EXPECT_GE(CountCommands(log, "TYPE"), 2u);
}

TEST(CurlFtpClientTest, RawCommandsAndTheirReplies) {
    FtpTestServer server;
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server));
    Put(*connection, "page.htm", job::TransferTypeBinary, "<p>");

    std::string data = "stale";
    ASSERT_TRUE(connection->Command("SITE CHMOD 640 page.htm", false, &data));
    EXPECT_EQ(connection->LastReply().code, 200);
    EXPECT_EQ(connection->LastReply().text, "200 SITE CHMOD successful.");
    EXPECT_EQ(connection->LastError(), 0u);
    EXPECT_EQ(data, "");
    EXPECT_EQ(fs::status(server.root() / "page.htm").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // Multi-line replies arrive whole.
    ASSERT_TRUE(connection->Command("SITE HELP", false, nullptr));
    const FtpReply help = connection->LastReply();
    EXPECT_EQ(help.code, 214);
    EXPECT_EQ(help.text.substr(0, 4), "214-");
    EXPECT_EQ(help.text.substr(help.text.rfind('\n') + 1), "214 Help SITE command successful.");

    // A command with a reply body on the data connection.
    ASSERT_TRUE(connection->Command("NLST", true, &data));
    EXPECT_EQ(data, "page.htm\n");
    EXPECT_EQ(connection->LastReply().code, 226);

    // Refusals: false, 12003 and the server's words.
    EXPECT_FALSE(connection->Command("FOO bar", false, &data));
    EXPECT_EQ(connection->LastError(), 12003u);
    EXPECT_EQ(connection->LastReply().code, 500);
    EXPECT_EQ(connection->LastReply().text, "500 Command \"FOO\" not understood.");
    EXPECT_EQ(client->LastReply().text, connection->LastReply().text);
    const auto messages = Messages(
        [&](job::TransferJob& job) { ReportError(job, connection->LastError(), client->LastReply()); });
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "ERROR 12003 : Extended error");
    EXPECT_EQ(messages[1], "EXTENDED ERROR 500 : 500 Command \"FOO\" not understood.");
    EXPECT_FALSE(connection->Command("RETR nothing-here", true, &data));
    EXPECT_EQ(connection->LastError(), 12003u);
    EXPECT_EQ(connection->LastReply().code, 550);

    // A script that moves the folder moves the folder relative names are taken from.
    ASSERT_TRUE(connection->CreateDirectory("sub"));
    ASSERT_TRUE(connection->Command("CWD sub", false, nullptr));
    EXPECT_EQ(connection->LastReply().code, 250);
    std::string folder;
    connection->GetCurrentDirectory(folder);
    EXPECT_EQ(folder, "/sub");
    Put(*connection, "in-sub.txt", job::TransferTypeBinary, "s");
    EXPECT_TRUE(fs::exists(server.root() / "sub" / "in-sub.txt"));

    // A script that switches the type cannot make the next binary file travel as ASCII.
    ASSERT_TRUE(connection->Command("TYPE A", false, nullptr));
    Put(*connection, "after-type.bin", job::TransferTypeBinary, "a\nb");
    EXPECT_EQ(ReadFile(server.root() / "sub" / "after-type.bin"), "a\nb");

    // Everything ran on the first connection.
    EXPECT_EQ(CountCommands(server.commandLog(), "USER"), 1u);
}

TEST(CurlFtpClientTest, LineBreaksInPathsAndCommandsAreNeverSent) {
    FtpTestServer server;
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server));
    ASSERT_TRUE(connection->CreateDirectory("victim"));

    const std::vector<std::string> hostile = {"victim\r\nRMD victim", "x\nRMD victim",
                                              std::string("x\0RMD victim", 12)};
    for (const auto& text : hostile) {
        EXPECT_FALSE(connection->SetCurrentDirectory(text));
        EXPECT_EQ(connection->LastError(), 12016u);
        EXPECT_EQ(connection->LastReply().code, 0);
        EXPECT_FALSE(connection->LastReply().text.empty());
        EXPECT_FALSE(connection->CreateDirectory(text));
        EXPECT_EQ(connection->LastError(), 12016u);
        std::vector<FtpEntry> entries;
        EXPECT_FALSE(connection->List(text, entries));
        EXPECT_FALSE(connection->Command("NOOP " + text, false, nullptr));
        EXPECT_EQ(connection->LastError(), 12016u);
        EXPECT_FALSE(connection->Command("LIST " + text, true, nullptr));
        try {
            Put(*connection, text, job::TransferTypeBinary, "evil");
            FAIL() << "sent a file whose name holds a line break";
        } catch (const InternetError& error) {
            EXPECT_EQ(error.code(), 12016u);
        }
        EXPECT_THROW(Get(*connection, text, job::TransferTypeBinary), InternetError);
    }
    const auto messages =
        Messages([&](job::TransferJob& job) { ReportError(job, 12016, connection->LastReply()); });
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "ERROR 12016 : Invalid operation");
    EXPECT_EQ(messages[1].substr(0, 19), "EXTENDED ERROR 0 : ");

    EXPECT_TRUE(fs::is_directory(server.root() / "victim"));
    const auto log = server.commandLog();
    EXPECT_EQ(CountCommands(log, "RMD"), 0u);
    EXPECT_EQ(CountCommands(log, "NOOP"), 0u);
    EXPECT_EQ(CountCommands(log, "STOR"), 0u);

    FtpLoginParams params = LoginFor(server);
    params.password = "pass\r\nDELE x";
    try {
        client->Connect(params);
        FAIL() << "logged in with a line break in the password";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12016u);
    }
}

TEST(CurlFtpClientTest, CallbackExceptionsReachTheCallerAndTheConnectionGoesOn) {
    FtpTestServer server;
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server));
    struct DiskFull {};
    std::size_t calls = 0;
    EXPECT_THROW(connection->PutFile("cut.bin", job::TransferTypeBinary,
                                     [&](char* buffer, std::size_t size) -> std::size_t {
                                         if (++calls == 3) {
                                             throw DiskFull{};
                                         }
                                         std::fill_n(buffer, size, 'c');
                                         return size;
                                     }),
                 DiskFull);

    WriteFile(server.root() / "whole.bin", std::string(3 * 1024 * 1024, 'w'));
    std::size_t received = 0;
    EXPECT_THROW(connection->GetFile("whole.bin", job::TransferTypeBinary,
                                     [&](const char*, std::size_t size) {
                                         received += size;
                                         if (received > 100000) {
                                             throw FileError(28, "local.bin");
                                         }
                                     }),
                 FileError);

    // The next call works, in the same folder.
    ASSERT_TRUE(connection->CreateDirectory("next"));
    ASSERT_TRUE(connection->SetCurrentDirectory("next"));
    Put(*connection, "ok.txt", job::TransferTypeBinary, "fine");
    EXPECT_EQ(ReadFile(server.root() / "next" / "ok.txt"), "fine");
    EXPECT_EQ(Get(*connection, "/whole.bin", job::TransferTypeBinary).size(), 3u * 1024 * 1024);
    ASSERT_TRUE(connection->Command("SITE CHMOD 600 ok.txt", false, nullptr));
}

TEST(CurlFtpClientTest, SilentServerTimesOut) {
    FtpTestServer::Options options;
    options.silent = true;
    FtpTestServer server(options);
    auto client = MakeCurlFtpClient();
    FtpLoginParams params = LoginFor(server);
    params.connectTimeout = seconds(2);
    params.idleTimeout = seconds(2);
    const auto start = steady_clock::now();
    try {
        client->Connect(params);
        FAIL() << "a server that never greets let us in";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12002u);
    }
    EXPECT_LT(steady_clock::now() - start, seconds(8));
    const auto messages =
        Messages([&](job::TransferJob& job) { ReportError(job, 12002, client->LastReply()); });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "ERROR 12002 : Timeout");
}

TEST(CurlFtpClientTest, StalledDataConnectionTimesOut) {
    FtpTestServer::Options options;
    options.stallRetr = true;
    FtpTestServer server(options);
    auto client = MakeCurlFtpClient();
    FtpLoginParams params = LoginFor(server);
    params.idleTimeout = seconds(2);
    auto connection = client->Connect(params);
    WriteFile(server.root() / "slow.bin", "never sent");
    const auto start = steady_clock::now();
    try {
        Get(*connection, "slow.bin", job::TransferTypeBinary);
        FAIL() << "a stalled transfer ended well";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12002u);
        EXPECT_EQ(connection->LastError(), 12002u);
    }
    EXPECT_LT(steady_clock::now() - start, seconds(8));
}

TEST(CurlFtpClientTest, DroppedDataConnectionIsAnErrorNotATruncatedFile) {
    FtpTestServer::Options options;
    options.dropDataAfter = 100000;
    FtpTestServer server(options);
    auto client = MakeCurlFtpClient();
    auto connection = client->Connect(LoginFor(server));
    WriteFile(server.root() / "cut.bin", std::string(1024 * 1024, 'd'));
    std::size_t received = 0;
    try {
        connection->GetFile("cut.bin", job::TransferTypeBinary,
                            [&](const char*, std::size_t size) { received += size; });
        FAIL() << "a file cut short was taken as complete";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12030u);
        EXPECT_EQ(WinInetErrorName(error.code()), "Connection aborted");
    }
    EXPECT_LT(received, 1024u * 1024u);
    // The session is set up again for the next call.
    std::vector<FtpEntry> entries;
    ASSERT_TRUE(connection->List("/", entries));
    EXPECT_NE(Find(entries, "cut.bin"), nullptr);
}

TEST(CurlFtpClientTest, ProxyIsAnHttpConnectTunnel) {
    FtpTestServer server;
    FtpTestServer::Options options;
    options.proxy = true;
    FtpTestServer proxy(options);
    auto client = MakeCurlFtpClient();
    FtpLoginParams params = LoginFor(server);
    params.proxy = "127.0.0.1:" + std::to_string(proxy.port());
    auto connection = client->Connect(params);
    EXPECT_EQ(client->LastReply().text, "230 Login successful.");
    Put(*connection, "through.bin", job::TransferTypeBinary, std::string(300000, 't'));
    EXPECT_EQ(ReadFile(server.root() / "through.bin"), std::string(300000, 't'));
    std::vector<FtpEntry> entries;
    ASSERT_TRUE(connection->List("/", entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].length, 300000u);

    // The control connection and each data connection went through the tunnel.
    const auto requests = proxy.commandLog();
    const std::string target = "CONNECT 127.0.0.1:" + std::to_string(server.port());
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0], target);
    for (const auto& request : requests) {
        EXPECT_EQ(request.rfind("CONNECT 127.0.0.1:", 0), 0u) << request;
    }
    EXPECT_EQ(CountCommands(server.commandLog(), "USER"), 1u);

    // A proxy that is not there.
    params.proxy = "127.0.0.1:" + std::to_string(FtpTestServer::UnusedPort());
    EXPECT_THROW(client->Connect(params), InternetError);
}

TEST(CurlFtpClientTest, FetchUrlReadsTheFirstBytesOfAPage) {
    FtpTestServer::Options options;
    options.http = true;
    FtpTestServer web(options);
    // The web request honours the usual proxy variables; this one must stay on this machine.
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(name);
    }
    WriteFile(web.root() / "upgrade.asp", "An upgrade is available." + std::string(5000, '.'));
    auto client = MakeCurlFtpClient();
    const std::string base = "http://127.0.0.1:" + std::to_string(web.port()) + "/";
    EXPECT_EQ(client->FetchUrl(base + "upgrade.asp?product=bxfr&version=3.02", 1024),
              "An upgrade is available." + std::string(1000, '.'));
    EXPECT_EQ(client->FetchUrl(base + "upgrade.asp", 10), "An upgrade");
    try {
        client->FetchUrl(base + "missing.asp", 1024);
        FAIL() << "a missing page was read";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12003u);
    }
    try {
        client->FetchUrl("http://127.0.0.1:" + std::to_string(FtpTestServer::UnusedPort()) + "/", 1024);
        FAIL() << "read a page from a closed port";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12029u);
    }
    EXPECT_THROW(client->FetchUrl("file:///etc/passwd", 1024), InternetError);
}

TEST(CurlFtpClientTest, ServerFullRefusesTheLogin) {
    FtpTestServer::Options options;
    options.maxConnections = 1;
    FtpTestServer server(options);
    auto client = MakeCurlFtpClient();
    auto first = client->Connect(LoginFor(server));
    try {
        client->Connect(LoginFor(server));
        FAIL() << "a second connection got in";
    } catch (const InternetError& error) {
        EXPECT_EQ(error.code(), 12015u);
    }
    EXPECT_EQ(client->LastReply().code, 421);
    std::string folder;
    EXPECT_TRUE(first->GetCurrentDirectory(folder));
}

}  // namespace
}  // namespace bxfr::engine
