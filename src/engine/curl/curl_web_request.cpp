// The upgrade check's web request on libcurl: one GET, the first bytes of the page.

#include "engine/curl/curl_web_request.h"

#include <curl/curl.h>

#include <algorithm>

#include "engine/curl/curl_transfer_loop.h"
#include "engine/error_texts.h"
#include "job/text_encoding.h"

namespace bxfr::engine {

namespace {

struct FetchState {
    std::string body;
    std::size_t maxBytes = 0;
};

std::size_t CollectPage(char* data, std::size_t size, std::size_t count, void* user) {
    auto* state = static_cast<FetchState*>(user);
    const std::size_t length = size * count;
    const std::size_t room = state->maxBytes - state->body.size();
    state->body.append(data, std::min(room, length));
    // Stopping early is how we read only the first bytes of the page.
    return state->body.size() >= state->maxBytes ? 0 : length;
}

std::string FetchWithCurl(const std::string& url, std::size_t maxBytes, int& refusalStatus,
                          std::string& refusalText) {
    EasyHandle easy(curl_easy_init());
    if (!easy) {
        throw InternetError(12001, WinInetErrorName(12001));
    }
    FetchState state;
    state.maxBytes = maxBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Brindle FTP");
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectPage);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);
    const CURLcode result = maxBytes == 0 ? CURLE_OK : curl_easy_perform(h);
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && state.body.size() >= maxBytes)) {
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        if (result == CURLE_HTTP_RETURNED_ERROR) {
            refusalStatus = static_cast<int>(status);
            refusalText = errorText;
        }
        const std::uint32_t code = InternetCodeFor(result);
        std::string message = WinInetErrorName(code);
        if (errorText[0] != '\0') {
            message += std::string(": ") + errorText;
        }
        throw InternetError(code, message);
    }
    return state.body;
}

class CurlWebRequest : public WebRequest {
public:
    CurlWebRequest() { EnsureCurlInitialised(); }

    std::string Fetch(const std::string& url, std::size_t maxBytes) override {
        if (job::HoldsLineBreak(url)) {
            throw InternetError(kInvalidOperation, WinInetErrorName(kInvalidOperation));
        }
        int status = 0;
        std::string text;
        try {
            return FetchWithCurl(url, maxBytes, status, text);
        } catch (const InternetError&) {
            if (status != 0) {
                ThreadLastReply() = ServerReply{status, text};
            }
            throw;
        }
    }
};

}  // namespace

std::unique_ptr<WebRequest> MakeCurlWebRequest() { return std::make_unique<CurlWebRequest>(); }

}  // namespace bxfr::engine
