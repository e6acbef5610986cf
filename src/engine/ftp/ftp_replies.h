#pragma once

// The FTP control connection's text: paths as curl takes them, replies as servers send them.
// No curl here, so every piece can be fed hostile input on its own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/connection.h"

namespace bxfr::engine {

// "/a b/c" -> "/%2Fa%20b/c": the leading %2F makes curl send the path as an absolute one.
std::string UrlPath(const std::string& absolutePath);

// Joins `path` onto `folder` and folds "." and ".." the way a server would.
std::string ResolvePath(const std::string& folder, const std::string& path);

// `prefix` is upper case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The folder of a 257 reply: 257 "/a ""quoted"" b" is current directory.
std::string FolderOf257(const std::string& text);

inline bool IsRefusal(int replyCode) { return replyCode >= 400 && replyCode < 600; }
inline bool IsPositive(int replyCode) { return replyCode >= 100 && replyCode < 400; }
// A listing's end that says in words the folder could not be read, after an empty listing:
// vsftpd's "226 Transfer done (but failed to open directory).", Pure-FTPd's
// "226-Sorry, we were unable to read [/folder/]" ... "226 0 matches total".
inline bool IsFailedListing(const ServerReply& reply) {
    return reply.code == 226 && (reply.text.find("failed to open directory") != std::string::npos ||
                                 reply.text.find("we were unable to read [") != std::string::npos);
}

// What a FEAT reply offers that we use.
struct ServerFeatures {
    bool mlsd = false;
    bool utf8 = false;
    bool restStream = false;
    bool mfmt = false;
    bool mdtm = false;
};
ServerFeatures ParseFeatures(std::string_view featReply);

// The number after the code of a one-line reply ("213 1234"); nullopt when there is none.
std::optional<std::uint64_t> ReplyNumber(std::string_view reply);

// The size fact of an MLST reply (its second line: " size=12;type=file; /a/b").
std::optional<std::uint64_t> MlstSize(std::string_view reply);

// Collects the control-connection replies curl hands to its header callback, one line at a time.
class ReplyReader {
public:
    // Returns true when the line completed a reply, which is then in `reply`.
    bool Feed(std::string_view line, ServerReply& reply);
    void Reset();

private:
    bool inMultiLine_ = false;
    std::string code_;
    ServerReply pending_;
};

}  // namespace bxfr::engine
