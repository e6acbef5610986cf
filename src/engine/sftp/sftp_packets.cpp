// SFTP's packets: requests written, replies read with every length checked.

#include "engine/sftp/sftp_packets.h"

namespace bxfr::engine::sftp {

namespace {

constexpr std::uint32_t kAttrSize = 0x1;
constexpr std::uint32_t kAttrOwner = 0x2;
constexpr std::uint32_t kAttrPermissions = 0x4;
constexpr std::uint32_t kAttrTimes = 0x8;
constexpr std::uint32_t kAttrExtended = 0x80000000;

// Reads fields off a packet; running past its end is a protocol error, never a read past it.
class FieldReader {
public:
    explicit FieldReader(std::string_view bytes) : rest_(bytes) {}
    std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)[0]); }
    std::uint32_t U32() {
        const std::string_view b = Take(4);
        std::uint32_t value = 0;
        for (const char c : b) value = (value << 8) | static_cast<unsigned char>(c);
        return value;
    }
    std::uint64_t U64() {
        const std::uint64_t high = U32();
        return (high << 32) | U32();
    }
    std::string_view String() { return Take(U32()); }
    bool AtEnd() const { return rest_.empty(); }
    Attributes Attrs() {
        Attributes out;
        const std::uint32_t flags = U32();
        if (flags & kAttrSize) out.size = U64();
        // One field after the other: a function's arguments are read in no set order.
        if (flags & kAttrOwner) {
            const std::uint32_t uid = U32();
            out.owner.emplace(uid, U32());
        }
        if (flags & kAttrPermissions) out.permissions = U32();
        if (flags & kAttrTimes) {
            const std::uint32_t atime = U32();
            out.times.emplace(atime, U32());
        }
        if (flags & kAttrExtended) {
            // Pairs of strings no one here needs; each must still fit the packet.
            for (std::uint32_t count = U32(); count > 0; --count) {
                String();
                String();
            }
        }
        return out;
    }

private:
    std::string_view Take(std::size_t count) {
        if (count > rest_.size()) throw ProtocolError("the server sent a truncated SFTP reply");
        const std::string_view out = rest_.substr(0, count);
        rest_.remove_prefix(count);
        return out;
    }
    std::string_view rest_;
};

}  // namespace

bool ServerHello::Offers(std::string_view name) const {
    for (const auto& [extension, version] : extensions) {
        if (extension == name) return true;
    }
    return false;
}

PacketWriter::PacketWriter(std::uint8_t type, std::uint32_t id) {
    bytes_.assign(4, '\0');
    bytes_ += static_cast<char>(type);
    U32(id);
}

PacketWriter::PacketWriter(std::uint8_t type) {
    bytes_.assign(4, '\0');
    bytes_ += static_cast<char>(type);
}

PacketWriter& PacketWriter::U32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_ += static_cast<char>((value >> shift) & 0xFF);
    return *this;
}

PacketWriter& PacketWriter::U64(std::uint64_t value) {
    U32(static_cast<std::uint32_t>(value >> 32));
    return U32(static_cast<std::uint32_t>(value));
}

PacketWriter& PacketWriter::String(std::string_view value) {
    U32(static_cast<std::uint32_t>(value.size()));
    bytes_.append(value);
    return *this;
}

PacketWriter& PacketWriter::Attrs(const Attributes& a) {
    U32((a.size ? kAttrSize : 0) | (a.owner ? kAttrOwner : 0) | (a.permissions ? kAttrPermissions : 0) |
        (a.times ? kAttrTimes : 0));
    if (a.size) U64(*a.size);
    if (a.owner) U32(a.owner->first).U32(a.owner->second);
    if (a.permissions) U32(*a.permissions);
    if (a.times) U32(a.times->first).U32(a.times->second);
    return *this;
}

std::string PacketWriter::Take() {
    const auto length = static_cast<std::uint32_t>(bytes_.size() - 4);
    for (int i = 0; i < 4; ++i)
        bytes_[static_cast<std::size_t>(i)] = static_cast<char>(length >> (24 - 8 * i));
    return std::move(bytes_);
}

void ReplyReader::Feed(const char* data, std::size_t size) {
    // Consumed bytes are dropped in bulk, not one packet at a time.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, size);
}

std::optional<std::string_view> ReplyReader::NextPacket() {
    const std::string_view rest = std::string_view(buffer_).substr(start_);
    if (rest.size() < 4) return std::nullopt;
    const std::uint32_t length = FieldReader(rest).U32();
    if (length == 0 || length > kMaxPacket) {
        throw ProtocolError("the server sent an SFTP packet of " + std::to_string(length) + " bytes");
    }
    if (rest.size() - 4 < length) return std::nullopt;
    start_ += 4 + length;
    return rest.substr(4, length);
}

std::optional<Reply> ReplyReader::Next() {
    const std::optional<std::string_view> packet = NextPacket();
    if (!packet) return std::nullopt;
    return ParseReply(*packet);
}

std::optional<ServerHello> ReplyReader::NextHello() {
    const std::optional<std::string_view> packet = NextPacket();
    if (!packet) return std::nullopt;
    FieldReader in(*packet);
    if (in.U8() != kVersion) throw ProtocolError("the server did not start SFTP with its version");
    ServerHello hello;
    hello.version = in.U32();
    while (!in.AtEnd()) {
        std::string name(in.String());
        hello.extensions.emplace_back(std::move(name), std::string(in.String()));
    }
    return hello;
}

Reply ParseReply(std::string_view packet) {
    FieldReader in(packet);
    Reply reply;
    reply.type = in.U8();
    reply.id = in.U32();
    switch (reply.type) {
        case kStatus:
            reply.status = in.U32();
            // Servers of version 3 before its last draft end after the code.
            if (!in.AtEnd()) reply.message = in.String();
            break;
        case kHandle:
            reply.handle = in.String();
            if (reply.handle.empty() || reply.handle.size() > 256) {
                throw ProtocolError("the server sent a file handle of " +
                                    std::to_string(reply.handle.size()) + " bytes");
            }
            break;
        case kData:
            reply.data = in.String();
            break;
        case kName: {
            const std::uint32_t count = in.U32();
            for (std::uint32_t i = 0; i < count; ++i) {
                NameEntry entry;
                entry.name = in.String();
                entry.longName = in.String();
                entry.attributes = in.Attrs();
                reply.names.push_back(std::move(entry));
            }
            break;
        }
        case kAttrs:
            reply.attributes = in.Attrs();
            break;
        case kExtendedReply:
            reply.data = packet.substr(5);
            break;
        default:
            throw ProtocolError("the server sent an SFTP reply of unknown type " +
                                std::to_string(reply.type));
    }
    return reply;
}

std::string StatusName(std::uint32_t status) {
    switch (status) {
        case kOk:
            return "Success";
        case kEof:
            return "End of file";
        case kNoSuchFile:
            return "No such file";
        case kPermissionDenied:
            return "Permission denied";
        case kFailure:
            return "Failure";
        case kBadMessage:
            return "Bad message";
        case kNoConnection:
            return "No connection";
        case kConnectionLost:
            return "Connection lost";
        case kOpUnsupported:
            return "Operation unsupported";
        default:
            return "Status " + std::to_string(status);
    }
}

}  // namespace bxfr::engine::sftp
