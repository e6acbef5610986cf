#pragma once

// The libcurl pieces the FTP adapter, the SFTP adapter and the web request share: handle ownership, the
// transfer loop on a multi handle, and curl's results as internet error codes.

#include <curl/curl.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

namespace bxfr::engine {

void EnsureCurlInitialised();

struct EasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct SlistCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistCleanup>;

// Raises InternetError 12001 when curl cannot allocate.
Slist MakeSlist(std::initializer_list<std::string> items);

// Sets the user's proxy on `easy` as a tunnel: an HTTP proxy's CONNECT, or SOCKS5; none means
// direct, whatever the environment says. `url` keeps the text curl points to.
void SetTunnelProxy(CURL* easy, const std::string& proxy, std::string& url);

// The 12xxx code a curl result reads as; 0 for CURLE_OK.
std::uint32_t InternetCodeFor(CURLcode result);

// Runs one transfer of `easy` on `multi`, whose connection cache keeps the control connection
// between transfers. `socket` receives the connection's socket as the transfer ends, or
// CURL_SOCKET_BAD when curl closed it.
CURLcode RunTransferOn(CURLM* multi, CURL* easy, curl_socket_t& socket);

// Hands the moving file's count (restartAt plus curl's `now`) to `report` when it grew, for a
// transfer-info callback. Returns 1, curl's abort, when `report` threw; the exception is in `error`.
int ReportFileProgress(const std::function<void(std::uint64_t)>* report, std::uint64_t restartAt,
                       curl_off_t now, std::uint64_t& last, std::exception_ptr& error);

}  // namespace bxfr::engine
