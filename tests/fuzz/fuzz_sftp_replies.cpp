// What an SFTP server sends on its channel: the byte stream cut into packets and each packet
// read as a reply, whole or as it trickles in.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/sftp/sftp_packets.h"
#include "fuzz_check.h"

namespace {

using namespace bxfr::engine::sftp;
using bxfr::fuzz::Require;

// Every reply the stream holds, fed `step` bytes at a time; false when the reader refused it.
bool ReadAll(const std::string& stream, std::size_t step, std::vector<Reply>& replies, bool hello) {
    ReplyReader reader;
    try {
        for (std::size_t at = 0; at < stream.size(); at += step) {
            reader.Feed(stream.data() + at, std::min(step, stream.size() - at));
            if (hello && reader.NextHello()) hello = false;
            while (!hello) {
                std::optional<Reply> reply = reader.Next();
                if (!reply) break;
                replies.push_back(std::move(*reply));
            }
            Require(reader.Buffered() <= stream.size(), "the reader holds no more than it was given");
        }
    } catch (const ProtocolError&) {
        return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte: how the stream trickles in, and whether it opens with the version.
    const std::size_t step = 1 + data[0] % 61;
    const bool hello = data[0] >= 128;
    const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<Reply> whole;
    std::vector<Reply> trickled;
    const bool wholeRead = ReadAll(stream, stream.size() + 1, whole, hello);
    const bool trickledRead = ReadAll(stream, step, trickled, hello);
    Require(whole.size() == trickled.size() || !wholeRead || !trickledRead,
            "the same stream gives the same replies however it arrives");
    for (std::size_t i = 0; i < std::min(whole.size(), trickled.size()); ++i) {
        Require(whole[i].id == trickled[i].id && whole[i].type == trickled[i].type &&
                    whole[i].data == trickled[i].data && whole[i].names.size() == trickled[i].names.size(),
                "a reply reads the same whole or in pieces");
    }
    for (const Reply& reply : whole) {
        Require(reply.data.size() <= kMaxPacket && reply.names.size() <= kMaxPacket / 12,
                "nothing in a reply is longer than its packet");
        Require(reply.type != kHandle || (!reply.handle.empty() && reply.handle.size() <= 256),
                "a handle is short and not empty");
    }
    return 0;
}
