// What the curl adapters share: curl's results as internet error codes, and the transfer loop on a
// multi handle.

#include "engine/curl/curl_transfer_loop.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "engine/connection.h"
#include "engine/error_texts.h"
#include "job/server_address.h"

namespace bxfr::engine {

namespace {

constexpr std::uint32_t kInternalError = 12004;

// How curl's results read as the internet error codes the engine reports. Login refusals
// are told apart by the adapter, which knows which command the server refused.
struct CurlCodeEntry {
    CURLcode result;
    std::uint32_t code;
};

constexpr CurlCodeEntry kCurlCodes[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, 12006},
    {CURLE_URL_MALFORMAT, 12005},
    {CURLE_COULDNT_RESOLVE_PROXY, 12165},
    {CURLE_COULDNT_RESOLVE_HOST, 12007},
    {CURLE_COULDNT_CONNECT, 12029},
    {CURLE_WEIRD_SERVER_REPLY, 12003},
    {CURLE_REMOTE_ACCESS_DENIED, 12003},
    {CURLE_FTP_ACCEPT_FAILED, 12029},
    {CURLE_FTP_WEIRD_PASS_REPLY, 12015},
    {CURLE_FTP_ACCEPT_TIMEOUT, 12002},
    {CURLE_FTP_WEIRD_PASV_REPLY, 12112},
    {CURLE_FTP_WEIRD_227_FORMAT, 12112},
    {CURLE_FTP_CANT_GET_HOST, 12029},
    {CURLE_FTP_COULDNT_SET_TYPE, 12003},
    {CURLE_PARTIAL_FILE, 12030},
    {CURLE_FTP_COULDNT_RETR_FILE, 12003},
    {CURLE_QUOTE_ERROR, 12003},
    {CURLE_HTTP_RETURNED_ERROR, 12003},
    {CURLE_WRITE_ERROR, 12004},
    {CURLE_UPLOAD_FAILED, 12003},
    {CURLE_READ_ERROR, 12004},
    {CURLE_OUT_OF_MEMORY, 12001},
    {CURLE_OPERATION_TIMEDOUT, 12002},
    {CURLE_FTP_PORT_FAILED, 12003},
    {CURLE_FTP_COULDNT_USE_REST, 12003},
    {CURLE_RANGE_ERROR, 12003},
    {CURLE_SSL_CONNECT_ERROR, 12157},
    {CURLE_BAD_DOWNLOAD_RESUME, 12003},
    {CURLE_ABORTED_BY_CALLBACK, 12017},
    {CURLE_BAD_FUNCTION_ARGUMENT, 12009},
    {CURLE_TOO_MANY_REDIRECTS, 12048},
    {CURLE_UNKNOWN_OPTION, 12009},
    {CURLE_GOT_NOTHING, 12031},
    {CURLE_SEND_ERROR, 12030},
    {CURLE_RECV_ERROR, 12031},
    {CURLE_PEER_FAILED_VERIFICATION, 12169},
    {CURLE_USE_SSL_FAILED, 12157},
    {CURLE_LOGIN_DENIED, 12015},
    {CURLE_REMOTE_DISK_FULL, 12003},
    {CURLE_REMOTE_FILE_EXISTS, 12003},
    {CURLE_SSL_CACERT_BADFILE, 12045},
    {CURLE_REMOTE_FILE_NOT_FOUND, 12003},
    {CURLE_FTP_PRET_FAILED, 12003},
    {CURLE_FTP_BAD_FILE_LIST, 12027},
    {CURLE_PROXY, 12165},
};

// The longest we sleep between two looks at a transfer. curl's own wait in curl_easy_perform
// can sit out a whole second when a reply arrives faster than it looks for it (seen on
// loopback and fast LANs, once per data connection or so); waking up this often bounds that.
constexpr int kMaxWaitMs = 5;

}  // namespace

void SetTunnelProxy(CURL* easy, const std::string& proxy, std::string& url) {
    if (proxy.empty()) {
        // Direct means direct: a proxy from the environment would turn FTP into HTTP.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        return;
    }
    const std::optional<job::ProxyAddress> address = job::ParseProxyAddress(proxy);
    if (!address) {
        url = proxy;  // the factory refuses such a setting before any connection
        curl_easy_setopt(easy, CURLOPT_PROXY, url.c_str());
        return;
    }
    const std::string host =
        address->host.find(':') != std::string::npos ? "[" + address->host + "]" : address->host;
    // A SOCKS5 proxy is asked for the server by name: the name may mean nothing on this side.
    url = (address->socks ? "socks5h://" : "http://") + host + ":" + std::to_string(address->port);
    curl_easy_setopt(easy, CURLOPT_PROXY, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, address->socks ? 0L : 1L);
}

std::uint32_t InternetCodeFor(CURLcode result) {
    if (result == CURLE_OK) {
        return 0;
    }
    const auto* entry = std::find_if(std::begin(kCurlCodes), std::end(kCurlCodes),
                                     [result](const CurlCodeEntry& e) { return e.result == result; });
    return entry == std::end(kCurlCodes) ? kInternalError : entry->code;
}

void EnsureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURLcode RunTransferOn(CURLM* multi, CURL* easy, curl_socket_t& socket) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    CURLcode result = CURLE_OK;
    long replyBytes = 0;
    for (bool done = false; !done;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        // A reply just read often lets curl take its next step at once (connect the data
        // connection after EPSV), without a socket to wake it: ask again before sleeping.
        long bytes = 0;
        const bool replied =
            curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &bytes) == CURLE_OK && bytes != replyBytes;
        replyBytes = bytes;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                done = true;
            }
        }
        if (done) {
            break;
        }
        if (running == 0) {
            // Ended without saying how: treat as a failed transfer rather than wait for ever.
            result = CURLE_RECV_ERROR;
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, replied ? 0 : kMaxWaitMs, nullptr) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
    }
    // Asked before the handle leaves the multi handle: only its connection cache still knows
    // whether the connection lives.
    if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK) {
        socket = CURL_SOCKET_BAD;
    }
    curl_multi_remove_handle(multi, easy);
    return result;
}

int ReportFileProgress(const std::function<void(std::uint64_t)>* report, std::uint64_t restartAt,
                       curl_off_t now, std::uint64_t& last, std::exception_ptr& error) {
    if (report == nullptr || !*report) {
        return 0;
    }
    const std::uint64_t moved = restartAt + static_cast<std::uint64_t>(now);
    if (moved == last) {
        return 0;
    }
    last = moved;
    try {
        (*report)(moved);
    } catch (...) {
        error = std::current_exception();
        return 1;
    }
    return 0;
}

Slist MakeSlist(std::initializer_list<std::string> items) {
    curl_slist* list = nullptr;
    for (const auto& item : items) {
        curl_slist* grown = curl_slist_append(list, item.c_str());
        if (grown == nullptr) {
            curl_slist_free_all(list);
            throw InternetError(12001, "Out of handles");
        }
        list = grown;
    }
    return Slist(list);
}

}  // namespace bxfr::engine
