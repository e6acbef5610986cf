#pragma once

// One transfer run against a test server, and trees of files to compare, for the engine's tests.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/adapters/adapters.h"
#include "engine/connection.h"
#include "engine/transfer_run.h"
#include "job/transfer_job.h"
#include "support/files.h"
#include "support/ftp_test_server.h"

namespace bxfr::engine {

namespace fs = std::filesystem;
using test::FtpTestServer;
using test::ReadFile;
using test::WriteFile;

using Tree = std::map<std::string, std::string>;

inline int CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

inline std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    const auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : it - lines.begin();
}

// A passive login to the test server, bounded in time.
inline LoginParams LoginTo(const FtpTestServer& server, job::Protocol protocol = job::Protocol::Ftp,
                           const std::string& fingerprint = "") {
    LoginParams params;
    params.server = server.host();
    params.port = server.port();
    params.protocol = protocol;
    params.fingerprint = fingerprint;
    params.userName = server.userName();
    params.password = server.password();
    params.passive = true;
    params.connectTimeout = params.idleTimeout = std::chrono::seconds(10);
    return params;
}

// One run against the test server, binary and passive with chunked progress unless a test
// changes the job; the hooks let a test act as the progress dialog does, e.g. by cancelling.
struct Transfer {
    job::TransferJob job;
    std::unique_ptr<Connector> client = MakeConnector();
    std::unique_ptr<WebRequest> web = MakeWebRequest();
    std::vector<std::string> messages;
    std::vector<std::uint64_t> progressDone;
    std::function<void(const std::string&, job::TransferProgress&)> onMessage;
    std::function<void(job::TransferProgress&)> onProgress;

    Transfer(const FtpTestServer& server, const fs::path& local, const std::string& remote = "",
             int getMode = 0, std::uint16_t port = 0)
        : Transfer(server.host(), port != 0 ? port : server.port(), server.options().user,
                   server.options().password, local, remote, getMode) {}

    Transfer(const std::string& host, std::uint16_t port, const std::string& user,
             const std::string& password, const fs::path& local, const std::string& remote, int getMode) {
        job.SetRemotePath(remote);
        job.getMode = getMode;
        job.transferType = 1;
        job.SetServer(host);
        job.SetPort(port);
        job.SetUserName(user);
        job.SetPassword(password);
        job.passive = 1;
        job.reportProgress = 1;
        // One connection unless a test asks for more: counts of logins and commands stay exact.
        job.connections = 1;
        job.SetLocalPath(local.string());
        job.SetMessageCallback([this](const std::string& text, int, job::TransferProgress& progress) {
            messages.push_back(text);
            if (onMessage) onMessage(text, progress);
        });
        job.SetProgressCallback([this](job::TransferProgress& progress) {
            progressDone.push_back(progress.doneBytes);
            if (onProgress) onProgress(progress);
        });
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    int Run() { return RunTransfer(job, *client, *web); }
    bool Has(const std::string& text) const { return IndexOf(messages, text) >= 0; }
    int Count(const std::string& prefix) const { return CountStartingWith(messages, prefix); }
};

// Every byte value, a CRLF across the first chunk boundary and a lone CR at the end.
inline std::string BinaryBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    if (size > 8193) bytes.replace(8191, 2, "\r\n");
    if (size > 0) bytes.back() = '\r';
    return bytes;
}

// Relative name -> bytes for every file below the folder; folders end in '/' and hold "".
inline Tree TreeOf(const fs::path& root, bool withFolders = true) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).generic_string();
        if (!entry.is_directory()) {
            tree[name] = ReadFile(entry.path());
        } else if (withFolders) {
            tree[name + "/"] = "";
        }
    }
    return tree;
}

inline void WriteTree(const fs::path& root, const Tree& tree) {
    for (const auto& [name, bytes] : tree) {
        if (name.ends_with('/')) {
            fs::create_directories(root / name);
        } else {
            WriteFile(root / name, bytes);
        }
    }
}

inline std::uint64_t BytesIn(const Tree& tree) {
    std::uint64_t total = 0;
    for (const auto& [name, bytes] : tree) total += bytes.size();
    return total;
}

inline Tree SampleTree() {
    return {
        {"index.html", "<html>\n<body>hello</body>\n</html>\n"},
        {"with blank.txt", "a name with a blank in it\n"},
        {"empty.dat", ""},
        {"sub dir/odd #1 %41+&;.txt", "characters a URL would read\n"},
        {"sub dir/caf\xc3\xa9.txt", "a UTF-8 name\n"},
        {"sub dir/ lead%s.txt", "a leading blank, and a conversion no message may expand\n"},
        {"sub/mixed.bin", BinaryBytes(3 * 8192 + 77)},
        {"sub/deeper/exact.bin", BinaryBytes(2 * 8192)},
        {"hollow/", ""},
    };
}

}  // namespace bxfr::engine
