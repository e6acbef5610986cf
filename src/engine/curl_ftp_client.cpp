#include <curl/curl.h>

#include <memory>

#include "engine/curl_ftp_connection.h"
#include "engine/curl_sftp_connection.h"
#include "engine/curl_transfer_loop.h"
#include "engine/error_texts.h"
#include "engine/ftp_client.h"
#include "job/text_encoding.h"

namespace bxfr::engine {

namespace {

class CurlFtpClient : public FtpClient {
public:
    CurlFtpClient() { EnsureCurlInitialised(); }

    std::unique_ptr<FtpConnection> Connect(const FtpLoginParams& params) override {
        for (const std::string* text :
             {&params.server, &params.userName, &params.password, &params.proxy, &params.keyFile}) {
            if (job::HoldsLineBreak(*text)) {
                ThreadLastReply() = FtpReply{0, kInjectionRefusal};
                throw InternetError(kInvalidOperation,
                                    ErrorMessage(kInvalidOperation, ThreadLastReply(), nullptr));
            }
        }
        if (params.server.empty() || params.server.find_first_of(" /?#@\\\t") != std::string::npos) {
            ThreadLastReply() = FtpReply{};
            throw InternetError(kNameNotResolved, WinInetErrorName(kNameNotResolved));
        }
        // A reply from an earlier session must not pass for this one's.
        ThreadLastReply() = FtpReply{};
        if (params.protocol == job::Protocol::Sftp) {
            if (params.userName.empty()) {
                ThreadLastReply() =
                    FtpReply{0, "SFTP has no anonymous login: the account needs a user name."};
                throw InternetError(kIncorrectUserName,
                                    ErrorMessage(kIncorrectUserName, ThreadLastReply(), nullptr));
            }
            auto connection = std::make_unique<CurlSftpConnection>(params);
            connection->Login();
            return connection;
        }
        auto connection = std::make_unique<CurlFtpConnection>(params);
        connection->Login();
        return connection;
    }

    FtpReply LastReply() const override { return ThreadLastReply(); }

    std::string FetchUrl(const std::string& url, std::size_t maxBytes) override {
        if (job::HoldsLineBreak(url)) {
            throw InternetError(kInvalidOperation, WinInetErrorName(kInvalidOperation));
        }
        int status = 0;
        std::string text;
        try {
            return FetchUrlWithCurl(url, maxBytes, status, text);
        } catch (const InternetError&) {
            if (status != 0) {
                ThreadLastReply() = FtpReply{status, text};
            }
            throw;
        }
    }
};

}  // namespace

std::unique_ptr<FtpClient> MakeCurlFtpClient() { return std::make_unique<CurlFtpClient>(); }

}  // namespace bxfr::engine
