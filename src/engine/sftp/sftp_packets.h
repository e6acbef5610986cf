#pragma once

// SFTP version 3 on the wire: the requests we write and the replies we read. Every byte a
// server sends is untrusted: the reader checks each length before it trusts it. No SSH here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bxfr::engine::sftp {

enum PacketType : std::uint8_t {
    kInit = 1,
    kVersion = 2,
    kOpen = 3,
    kClose = 4,
    kRead = 5,
    kWrite = 6,
    kLstat = 7,
    kFstat = 8,
    kSetstat = 9,
    kFsetstat = 10,
    kOpendir = 11,
    kReaddir = 12,
    kRemove = 13,
    kMkdir = 14,
    kRmdir = 15,
    kRealpath = 16,
    kStat = 17,
    kRename = 18,
    kReadlink = 19,
    kSymlink = 20,
    kStatus = 101,
    kHandle = 102,
    kData = 103,
    kName = 104,
    kAttrs = 105,
    kExtended = 200,
    kExtendedReply = 201,
};

enum StatusCode : std::uint32_t {
    kOk = 0,
    kEof = 1,
    kNoSuchFile = 2,
    kPermissionDenied = 3,
    kFailure = 4,
    kBadMessage = 5,
    kNoConnection = 6,
    kConnectionLost = 7,
    kOpUnsupported = 8,
};

enum OpenFlags : std::uint32_t {
    kOpenRead = 0x01,
    kOpenWrite = 0x02,
    kOpenAppend = 0x04,
    kOpenCreate = 0x08,
    kOpenTruncate = 0x10,
};

// The largest packet either side sends (OpenSSH's own limit); a longer one is a broken stream.
inline constexpr std::uint32_t kMaxPacket = 256 * 1024 + 1024;

// A server that breaks the protocol: the connection cannot be trusted any further.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Attributes {
    std::optional<std::uint64_t> size;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> owner;  // uid, gid
    std::optional<std::uint32_t> permissions;                      // with the file type bits
    std::optional<std::pair<std::uint32_t, std::uint32_t>> times;  // atime, mtime
    bool IsFolder() const { return permissions && (*permissions & 0170000) == 0040000; }
    bool IsLink() const { return permissions && (*permissions & 0170000) == 0120000; }
};

struct NameEntry {
    std::string name;
    std::string longName;
    Attributes attributes;
};

struct Reply {
    std::uint8_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t status = kOk;  // kStatus
    std::string message;         // kStatus: the server's words
    std::string handle;          // kHandle
    std::string data;            // kData, kExtendedReply (its bytes, unparsed)
    std::vector<NameEntry> names;
    Attributes attributes;  // kAttrs
};

// The server's version packet: its version and the extensions it offers, by name.
struct ServerHello {
    std::uint32_t version = 0;
    std::vector<std::pair<std::string, std::string>> extensions;
    bool Offers(std::string_view name) const;
};

// One request, built field by field; Take() gives it framed with its length.
class PacketWriter {
public:
    PacketWriter(std::uint8_t type, std::uint32_t id);
    // kInit, which has a version where the others have their id.
    explicit PacketWriter(std::uint8_t type);
    PacketWriter& U32(std::uint32_t value);
    PacketWriter& U64(std::uint64_t value);
    PacketWriter& String(std::string_view value);
    PacketWriter& Attrs(const Attributes& attributes);
    std::string Take();

private:
    std::string bytes_;
};

// Cuts the channel's byte stream into replies as bytes arrive.
class ReplyReader {
public:
    void Feed(const char* data, std::size_t size);
    // The next whole reply, if one has arrived; raises ProtocolError for a malformed one.
    std::optional<Reply> Next();
    // The first packet of a session, which must be the version.
    std::optional<ServerHello> NextHello();
    std::size_t Buffered() const { return buffer_.size() - start_; }

private:
    std::optional<std::string_view> NextPacket();
    std::string buffer_;
    std::size_t start_ = 0;
};

// Reads one reply's body (the packet after its length).
Reply ParseReply(std::string_view packet);

// The text for a status code when the server gave none.
std::string StatusName(std::uint32_t status);

}  // namespace bxfr::engine::sftp
