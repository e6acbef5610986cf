// The one factory: checks what the user typed, then hands the login to the protocol's adapter.

#include "engine/adapters/adapters.h"

#include <memory>

#include "engine/curl/curl_web_request.h"
#include "engine/error_texts.h"
#include "engine/ftp/ftp_adapter.h"
#include "engine/sftp/sftp_adapter.h"
#include "job/server_address.h"
#include "job/text_encoding.h"

namespace bxfr::engine {

namespace {

class ProtocolConnector : public Connector {
public:
    std::unique_ptr<Connection> Connect(const LoginParams& params) override {
        for (const std::string* text :
             {&params.server, &params.userName, &params.password, &params.proxy, &params.keyFile}) {
            if (job::HoldsLineBreak(*text)) {
                ThreadLastReply() = ServerReply{0, kInjectionRefusal};
                throw InternetError(kInvalidOperation,
                                    ErrorMessage(kInvalidOperation, ThreadLastReply(), nullptr));
            }
        }
        if (params.server.empty() || params.server.find_first_of(" /?#@\\\t") != std::string::npos) {
            ThreadLastReply() = ServerReply{};
            throw InternetError(kNameNotResolved, WinInetErrorName(kNameNotResolved));
        }
        // A pin says the user expects an encrypted, checked server: never log in in clear.
        if (params.protocol == job::Protocol::Ftp && !params.fingerprint.empty()) {
            ThreadLastReply() = ServerReply{
                0, "The transfer file trusts one server's certificate (FINGERPRINT=" + params.fingerprint +
                       ") but connects without encryption (PROTOCOL=ftp), which would send the password in "
                       "clear. Set PROTOCOL=ftpes or ftps, or remove FINGERPRINT."};
            throw InternetError(kSecurityChannelError,
                                ErrorMessage(kSecurityChannelError, ThreadLastReply(), nullptr));
        }
        if (!params.proxy.empty() && !job::ParseProxyAddress(params.proxy)) {
            ThreadLastReply() =
                ServerReply{0, "The proxy \"" + params.proxy +
                                   "\" is not host:port (an HTTP proxy, reached with CONNECT) "
                                   "or socks5://host:port (a SOCKS5 proxy)."};
            throw InternetError(12029, ErrorMessage(12029, ThreadLastReply(), nullptr));
        }
        // A reply from an earlier session must not pass for this one's.
        ThreadLastReply() = ServerReply{};
        try {
            if (params.protocol == job::Protocol::Sftp) {
                return OpenSftpConnection(params);
            }
            return OpenFtpConnection(params);
        } catch (const CertificateError& error) {
            // The question names the server and port it is about.
            ServerCertificate certificate = error.certificate();
            certificate.host = params.server;
            certificate.port = params.port;
            throw CertificateError(certificate, error.what());
        }
    }

    ServerReply LastReply() const override { return ThreadLastReply(); }
};

}  // namespace

std::unique_ptr<Connector> MakeConnector() { return std::make_unique<ProtocolConnector>(); }

std::unique_ptr<WebRequest> MakeWebRequest() { return MakeCurlWebRequest(); }

}  // namespace bxfr::engine
