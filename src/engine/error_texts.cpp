// The engine's words: error messages and names, the string table and its templates, and
// reporting an error to the job.

#include "engine/error_texts.h"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <utility>

namespace bxfr::engine {

const char* const kInjectionRefusal =
    "Refused before sending: the text holds a line break or NUL character, which would smuggle "
    "another command into the FTP control connection.";

ServerReply& ThreadLastReply() {
    thread_local ServerReply reply;
    return reply;
}

std::string ErrorMessage(std::uint32_t code, const ServerReply& reply, const char* libraryDetail) {
    std::string message = WinInetErrorName(code);
    if (!reply.text.empty() &&
        (code == kExtendedError || (reply.code >= 400 && reply.code < 600) || reply.code == 0)) {
        message += ": " + reply.text;
    } else if (libraryDetail != nullptr && *libraryDetail != '\0') {
        message += ": ";
        message += libraryDetail;
    }
    return message;
}

namespace {

struct StringEntry {
    int id;
    const char* text;
};

constexpr StringEntry kStringTable[] = {
    {IDS_CONNECTING, "Connecting to %s ..."},
    {IDS_BYTES_TO_TRANSFER, "%lu bytes to transfer."},
    {IDS_SENDING, "Sending %s in %s mode ..."},
    {IDS_RECEIVING, "Receiving %s in %s mode ..."},
    {IDS_GETTING_AGAIN, "Ooops ... getting %s again in %s mode ..."},
    {IDS_FAILED_SEND, "Failed to send %s!"},
    {IDS_FAILED_RECEIVE, "Failed to receive %s!"},
    {IDS_CREATING_FOLDER, "Creating folder %s ..."},
    {IDS_FAILED_CREATE, "Failed to create folder (Error %s)!"},
    {IDS_INIT_SET_FOLDER, "INIT: Failed to set %s as the current folder"},
    {IDS_INIT_CREATE, "INIT: Failed to create folder %s"},
    {IDS_SENDING_AS_IS, "Sending %s ..."},
    {IDS_RECEIVING_AS_IS, "Receiving %s ..."},
    {IDS_ABOUT_MENU, "&About BXFR Wizard..."},
    {IDS_ASCII_FIRST, "2001"},
    {2001, ".htm"},
    {2002, ".html"},
    {2003, ".txt"},
    {2004, ".vrml"},
    {2005, ".css"},
    {2006, ".wrl"},
    {2007, ".ram"},
    {2008, ".js"},
};

struct NameEntry {
    std::uint32_t code;
    const char* name;
};

constexpr NameEntry kInternetErrorNames[] = {
    {12001, "Out of handles"},
    {12002, "Timeout"},
    {12003, "Extended error"},
    {12004, "Internal error"},
    {12005, "Invalid URL"},
    {12006, "Unrecognized scheme"},
    {12007, "Name not resolved"},
    {12008, "Protocol not found"},
    {12009, "Invalid option"},
    {12010, "Bad option length"},
    {12011, "Option not settable"},
    {12012, "Shutdown"},
    {12013, "Incorrect user name"},
    {12014, "Incorrect password"},
    {12015, "Login failure"},
    {12016, "Invalid operation"},
    {12017, "Operation cancelled"},
    {12018, "Incorrect handle type"},
    {12019, "Incorrect handle state"},
    {12020, "Not proxy request"},
    {12021, "Registry value not found"},
    {12022, "Bad Registry parameter"},
    {12023, "No direct access"},
    {12024, "No context"},
    {12025, "No callback"},
    {12026, "Request pending"},
    {12027, "Incorrect format"},
    {12028, "Item not found"},
    {12029, "Cannot connect"},
    {12030, "Connection aborted"},
    {12031, "Connection reset"},
    {12032, "Force retry"},
    {12033, "Invalid proxy request"},
    {12034, "Need UI"},
    {12036, "Handle exists"},
    {12037, "Sec cert date invalid"},
    {12038, "Sec cert CN invalid"},
    {12039, "HTTP to HTTPS on redir"},
    {12040, "HTTPS to HTTP on redir"},
    {12041, "Mixed security"},
    {12042, "Chg post is non secure"},
    {12043, "Post is non secure"},
    {12044, "Client auth cert needed"},
    {12045, "Invalid CA"},
    {12046, "Client auth not setup"},
    {12047, "Async thread failed"},
    {12048, "Redirect scheme change"},
    {12049, "Dialog pending"},
    {12050, "Retry Dialog"},
    {12052, "HTTPS HTTP submit redir"},
    {12053, "Insert CDROM"},
    {12110, "FTP transfer in progress"},
    {12111, "FTP dropped"},
    {12112, "FTP no passive mode"},
    {12157, "Security Channel Error"},
    {12158, "Unable to cache file"},
    {12159, "TCPIP not installed"},
    {12163, "Disconnected"},
    {12164, "Server unreachable"},
    {12165, "Proxy server unreachable"},
    {12166, "Bad auto-proxy script"},
    {12167, "Unable to download script"},
    {12169, "Invalid certificate"},
    {12170, "Certificate Revoked"},
    {12171, "Failed due to security check"},
    {12901, "Deletions refused"},
};

std::string ArgumentText(const MessageArg* arg) {
    if (arg == nullptr) {
        return {};
    }
    if (const auto* text = std::get_if<std::string>(arg)) {
        return *text;
    }
    return std::to_string(std::get<std::uint64_t>(*arg));
}

// The directive rules of the string table's templates: only "%s" and "%lu" take an argument,
// any other "%x" gives x. Arguments are copied, never read as templates themselves.
std::string Expand(const std::string& pattern, const std::vector<MessageArg>& args) {
    std::string out;
    std::size_t next = 0;
    const auto take = [&]() -> const MessageArg* { return next < args.size() ? &args[next++] : nullptr; };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c != '%' || i + 1 == pattern.size()) {
            out += c;
            continue;
        }
        const char directive = pattern[++i];
        if (directive == 's') {
            out += ArgumentText(take());
        } else if (directive == 'l') {
            if (i + 1 == pattern.size()) {
                break;
            }
            const char after = pattern[++i];
            if (after == 'u') {
                out += ArgumentText(take());
            } else {
                out += after;
            }
        } else {
            out += directive;
        }
    }
    return out;
}

}  // namespace

std::string LoadResourceString(int id) {
    const auto* entry = std::find_if(std::begin(kStringTable), std::end(kStringTable),
                                     [id](const StringEntry& e) { return e.id == id; });
    return entry == std::end(kStringTable) ? std::string() : std::string(entry->text);
}

std::string FormatResourceMessage(int id, const std::vector<MessageArg>& args) {
    const std::string pattern = LoadResourceString(id);
    if (pattern.empty()) {
        return {};
    }
    return Expand(pattern, args);
}

std::string WinInetErrorName(std::uint32_t code) {
    const auto* entry = std::find_if(std::begin(kInternetErrorNames), std::end(kInternetErrorNames),
                                     [code](const NameEntry& e) { return e.code == code; });
    return entry == std::end(kInternetErrorNames) ? std::string("Unknown Error") : std::string(entry->name);
}

std::string FailureSentence(std::uint32_t code, const FailureSubject& subject) {
    const std::string where = subject.server + " port " + std::to_string(subject.port);
    switch (code) {
        case kIncorrectUserName:
            return "The server did not accept the user name: check it on the Server page.";
        case kIncorrectPassword:
        case kLoginFailure:
            return "The server did not accept the user name and password: check them on the Server page.";
        case kNameNotResolved:
            return "The server name " + subject.server +
                   " could not be found: check it on the Server page and that this computer is online.";
        case 12029:
            return "Nothing answers at " + where +
                   ": check the server name and port on the Server page, and that the server is running.";
        case kInvalidCertificate:
            return "The server's certificate or host key is not trusted, so nothing was sent: trust it only "
                   "once its fingerprint is confirmed by the server's administrator.";
        case kSecurityChannelError:
            return "No secure connection could be made with " + subject.server +
                   ": check the connection security on the Server page; the server may not offer it.";
        case kTimeout:
            return "The server stopped answering: try again later, or switch passive mode on or off if it "
                   "happens again.";
        case kConnectionAborted:
        case 12031:
            return "The connection to the server was lost: try again.";
        case 12017:
            return "The transfer was cancelled.";
        case kDeletionsRefused:
            return "Nothing was changed: the transfer would delete more files than is safe; the log says how "
                   "many, and how to allow it.";
        case kExtendedError:
            if (subject.folder) {
                return "The folder " + subject.path +
                       " is not on the server, or this account may not use it: check the remote folder.";
            }
            if (!subject.path.empty()) {
                return "The server refused " + subject.path +
                       ": check that it exists and that this account may use it.";
            }
            return "The server refused a command: its reply is in the details and the log.";
        default:
            break;
    }
    if (code < 12000) {
        return "The local " + (subject.path.empty() ? std::string("file") : subject.path) +
               " could not be used (" + SystemErrorText(code) +
               "): check that it exists and that you may use it.";
    }
    return "The transfer stopped on an error (" + WinInetErrorName(code) +
           "): the details and the log tell more.";
}

std::string SystemErrorText(std::uint32_t code) {
    return std::system_category().message(static_cast<int>(code));
}

void ReportError(job::TransferJob& job, std::uint32_t code, const ServerReply& lastReply) {
    job.progress.errorCode = code;
    if (code < 12000) {
        job.ReportMessage(SystemErrorText(code));
        return;
    }
    job.ReportMessage(Expand("ERROR %lu : %s", {std::uint64_t{code}, WinInetErrorName(code)}));
    if (lastReply.code == 0 && lastReply.text.empty()) {
        return;
    }
    job.progress.errorDetail = lastReply.text;
    job.ReportMessage(
        Expand("EXTENDED ERROR %lu : %s",
               {static_cast<std::uint64_t>(lastReply.code < 0 ? 0 : lastReply.code), lastReply.text}));
}

std::string DescribeError(std::uint32_t code, const ServerReply& lastReplyOnThisThread) {
    if (code == 12003) {
        std::string text = lastReplyOnThisThread.text;
        if (lastReplyOnThisThread.code != 0) {
            text += "\n(" + std::to_string(lastReplyOnThisThread.code) + ")";
        }
        return text;
    }
    if (code >= 12000) {
        return WinInetErrorName(code);
    }
    return SystemErrorText(code);
}

}  // namespace bxfr::engine
