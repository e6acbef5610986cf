// The times channel: a connect-only login whose commands we write and read ourselves, so that
// many MDTMs go out in one write and their replies come back in one round trip.

#include "engine/ftp/ftp_time_channel.h"

#include <chrono>
#include <map>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

#include "engine/ftp/curl_ftp_connection.h"
#include "engine/ftp/ftp_listing.h"
#include "job/text_encoding.h"

namespace bxfr::engine {
namespace {

// Waits until the socket can be read (or written), at most `milliseconds`.
void WaitOn(curl_socket_t socket, bool write, int milliseconds) {
#ifdef _WIN32
    WSAPOLLFD entry{socket, static_cast<SHORT>(POLLIN | (write ? POLLOUT : 0)), 0};
    WSAPoll(&entry, 1, milliseconds);
#else
    pollfd entry{socket, static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
    poll(&entry, 1, milliseconds);
#endif
}

}  // namespace

std::shared_ptr<TimeChannel> TimeChannel::For(const LoginParams& params) {
    static std::mutex registryLock;
    static std::map<std::string, std::weak_ptr<TimeChannel>> registry;
    const std::string key = std::to_string(static_cast<int>(params.protocol)) + '\n' + params.server + '\n' +
                            std::to_string(params.port) + '\n' + params.userName + '\n' + params.proxy +
                            '\n' + params.fingerprint;
    const std::lock_guard guard(registryLock);
    std::shared_ptr<TimeChannel> channel = registry[key].lock();
    if (!channel) {
        channel = std::make_shared<TimeChannel>(params);
        registry[key] = channel;
    }
    return channel;
}

TimeChannel::TimeChannel(const LoginParams& params) : params_(params) {}

TimeChannel::~TimeChannel() {
    if (opener_.joinable()) opener_.join();
}

void TimeChannel::Open() {
    std::call_once(started_, [this] {
        opener_ = std::thread([this] {
            const std::lock_guard guard(lock_);
            LogIn();
        });
    });
}

bool TimeChannel::LogIn() {
    if (login_ || broken_) {
        return !broken_;
    }
    try {
        login_ = std::make_unique<CurlFtpConnection>(params_);
        if (login_->OpenForQueries()) {
            return true;
        }
    } catch (const std::exception&) {
    }
    broken_ = true;
    login_.reset();
    return false;
}

bool TimeChannel::Fill(const std::string& folder, std::vector<RemoteEntry>& entries) {
    std::vector<std::string> commands;
    std::vector<RemoteEntry*> asked;
    const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (auto& entry : entries) {
        // A name the server made up to break the line is never written to it.
        if (entry.isFolder || entry.isLink || entry.modified || job::HoldsLineBreak(entry.name) ||
            entry.name.find('\0') != std::string::npos) {
            continue;
        }
        commands.push_back("MDTM " + base + entry.name);
        asked.push_back(&entry);
    }
    if (commands.empty()) {
        return true;
    }
    const std::lock_guard guard(lock_);
    if (!LogIn()) {
        return false;
    }
    try {
        std::vector<ServerReply> replies;
        if (!login_->Pipeline(commands, replies)) {
            broken_ = true;
            login_.reset();
            return false;
        }
        for (std::size_t i = 0; i < replies.size(); ++i) {
            if (replies[i].code == 213 && replies[i].text.size() > 4) {
                asked[i]->modified = ParseFtpTime(std::string_view(replies[i].text).substr(4));
            }
        }
        return true;
    } catch (const std::exception&) {
        broken_ = true;
        login_.reset();
        return false;
    }
}

// Logs in and stops there: the channel's commands are written to the socket by Pipeline.
bool CurlFtpConnection::OpenForQueries() {
    CURL* h = easy_.get();
    const std::string url = baseUrl_ + "/";
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    closing_ = true;  // its replies are nobody's last reply
    return curl_easy_perform(h) == CURLE_OK;
}

bool CurlFtpConnection::Pipeline(const std::vector<std::string>& commands,
                                 std::vector<ServerReply>& replies) {
    CURL* h = easy_.get();
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) {
        return false;
    }
    std::string out;
    for (const auto& command : commands) out += command + "\r\n";
    std::size_t written = 0;
    std::string in;
    ReplyReader reader;
    auto deadline = std::chrono::steady_clock::now() + params_.idleTimeout;
    while (replies.size() < commands.size()) {
        if (params_.stopRequested && params_.stopRequested()) {
            return false;
        }
        if (written < out.size()) {
            std::size_t sent = 0;
            const CURLcode result = curl_easy_send(h, out.data() + written, out.size() - written, &sent);
            if (result != CURLE_OK && result != CURLE_AGAIN) {
                return false;
            }
            written += sent;
        }
        char buffer[16384];
        std::size_t got = 0;
        const CURLcode result = curl_easy_recv(h, buffer, sizeof buffer, &got);
        if (result == CURLE_AGAIN) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            WaitOn(socket, written < out.size(), 100);
            continue;
        }
        if (result != CURLE_OK || got == 0) {
            return false;
        }
        deadline = std::chrono::steady_clock::now() + params_.idleTimeout;
        in.append(buffer, got);
        for (std::size_t end = in.find('\n'); end != std::string::npos; end = in.find('\n')) {
            ServerReply reply;
            if (reader.Feed(std::string_view(in).substr(0, end + 1), reply)) {
                // A server that ends the session answers no more of what was sent.
                if (reply.code == 421) {
                    return false;
                }
                replies.push_back(std::move(reply));
            }
            in.erase(0, end + 1);
        }
    }
    return true;
}

}  // namespace bxfr::engine
