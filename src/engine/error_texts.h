#pragma once

// The engine's words: internet error codes and their names, the string table of messages, and
// reporting an error to the job.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "engine/connection.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

// The 12xxx codes the adapters raise.
inline constexpr std::uint32_t kTimeout = 12002;
inline constexpr std::uint32_t kExtendedError = 12003;
inline constexpr std::uint32_t kNameNotResolved = 12007;
inline constexpr std::uint32_t kIncorrectUserName = 12013;
inline constexpr std::uint32_t kIncorrectPassword = 12014;
inline constexpr std::uint32_t kLoginFailure = 12015;
inline constexpr std::uint32_t kInvalidOperation = 12016;
inline constexpr std::uint32_t kConnectionAborted = 12030;
inline constexpr std::uint32_t kSecurityChannelError = 12157;
inline constexpr std::uint32_t kInvalidCertificate = 12169;
// Ours: the run would delete more than it should (the guard of DELETE=1); nothing was changed.
inline constexpr std::uint32_t kDeletionsRefused = 12901;

// What LastReply says of a text refused for holding CR, LF or NUL.
extern const char* const kInjectionRefusal;

// The platform library keeps the server's last reply per thread; so do we.
ServerReply& ThreadLastReply();

// "Name: the server's reply" or, when the server said nothing of use, "Name: the library's words".
std::string ErrorMessage(std::uint32_t code, const ServerReply& reply, const char* libraryDetail);

// String-table ids of the engine's messages.
enum MessageId : int {
    IDS_CONNECTING = 3,         // "Connecting to %s ..."
    IDS_BYTES_TO_TRANSFER = 4,  // "%lu bytes to transfer."
    IDS_SENDING = 5,            // "Sending %s in %s mode ..."
    IDS_RECEIVING = 6,          // "Receiving %s in %s mode ..."
    IDS_GETTING_AGAIN = 7,      // "Ooops ... getting %s again in %s mode ..."
    IDS_FAILED_SEND = 8,        // "Failed to send %s!"
    IDS_FAILED_RECEIVE = 9,     // "Failed to receive %s!"
    IDS_CREATING_FOLDER = 10,   // "Creating folder %s ..."
    IDS_FAILED_CREATE = 11,     // "Failed to create folder (Error %s)!"
    IDS_INIT_SET_FOLDER = 12,   // "INIT: Failed to set %s as the current folder"
    IDS_INIT_CREATE = 13,       // "INIT: Failed to create folder %s"
    IDS_SENDING_AS_IS = 14,     // "Sending %s ..." (SFTP, which has no transfer modes)
    IDS_RECEIVING_AS_IS = 15,   // "Receiving %s ..."
    IDS_ABOUT_MENU = 101,       // "&About BXFR Wizard..."
    IDS_ASCII_FIRST = 2000,     // holds the id of the first ASCII extension entry
};

// The compiled-in string table; empty when the id has no entry.
std::string LoadResourceString(int id);

using MessageArg = std::variant<std::string, std::uint64_t>;

// Expands a string-table template: "%s" takes the next argument as text, "%lu" as an
// unsigned number; argument text is inserted as it is, never interpreted.
std::string FormatResourceMessage(int id, const std::vector<MessageArg>& args = {});

// Short name of a 12xxx code; "Unknown Error" outside the table.
std::string WinInetErrorName(std::uint32_t code);

// Records `code` in the job's progress record and reports it as messages; `lastReply` is
// the server's last reply on this thread (stored in errorDetail when the server said anything).
void ReportError(job::TransferJob& job, std::uint32_t code, const ServerReply& lastReply);

// The one-line description of an error box. For 12003 it is the server's last reply on
// the calling thread, with "\n(code)" appended.
std::string DescribeError(std::uint32_t code, const ServerReply& lastReplyOnThisThread);

// What a failure was about, for FailureSentence: the server asked, and the file or folder.
struct FailureSubject {
    std::string server;
    std::uint16_t port = 0;
    std::string path;
    bool folder = false;
};

// Why a run failed in one sentence, with what to do next, for the error box, the Final page and
// bxfr alike. The code and the server's own words are not in it: they go to the details.
std::string FailureSentence(std::uint32_t code, const FailureSubject& subject);

// Text of an OS error number (errno here, GetLastError on Windows).
std::string SystemErrorText(std::uint32_t code);

}  // namespace bxfr::engine
