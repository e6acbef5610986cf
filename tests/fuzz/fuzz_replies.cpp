// The control connection's replies as curl hands them over, one line at a time, and what the
// engine reads out of them: FEAT, SIZE, MLST, PWD; and the paths it builds from a server's folder.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/ftp/ftp_replies.h"
#include "fuzz_check.h"

namespace {

using bxfr::fuzz::Require;

void CheckReply(const bxfr::engine::ServerReply& reply) {
    Require(reply.code >= 0 && reply.code <= 999, "a reply code has three digits");
    Require(reply.text.size() >= 3 && std::to_string(1000 + reply.code).substr(1) == reply.text.substr(0, 3),
            "a reply's text starts with its code");
    const std::size_t lastLine = reply.text.rfind('\n');
    if (lastLine != std::string::npos) {
        Require(reply.text.compare(lastLine + 1, 3, reply.text, 0, 3) == 0,
                "a multi-line reply ends on a line with its code");
    }
    bxfr::engine::ParseFeatures(reply.text);
    bxfr::engine::MlstSize(reply.text);
    if (const auto number = bxfr::engine::ReplyNumber(reply.text)) {
        Require(reply.text.find(std::to_string(*number)) != std::string::npos,
                "a reply number is in the reply");
    }
    Require(bxfr::engine::FolderOf257(reply.text).size() <= reply.text.size(),
            "a 257 folder is in its reply");
}

std::string Unescaped(std::string_view url) {
    std::string out;
    for (std::size_t i = 0; i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size()) {
            out += static_cast<char>(std::stoi(std::string(url.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += url[i];
        }
    }
    return out;
}

// What a walk does with a folder a server named: joins names onto it and sends it as a URL.
void CheckPath(const std::string& folder, const std::string& path) {
    const std::string resolved = bxfr::engine::ResolvePath(folder, path);
    Require(!resolved.empty() && resolved.front() == '/', "a resolved path is absolute");
    Require(resolved == "/" || resolved.back() != '/', "a resolved path has no trailing slash");
    Require(resolved.find("//") == std::string::npos, "a resolved path has no empty part");
    for (const auto part : bxfr::fuzz::SplitOn(std::string_view(resolved).substr(1), '/')) {
        Require(part != "." && part != "..", "a resolved path has no dot parts");
    }
    Require(bxfr::engine::ResolvePath("/", resolved) == resolved, "a resolved path resolves to itself");
    const std::string url = bxfr::engine::UrlPath(resolved);
    Require(url.rfind("/%2F", 0) == 0, "a URL path starts as an absolute one");
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        Require(byte > 0x20 && byte < 0x7F, "a URL path holds printable ASCII only");
    }
    Require(Unescaped(std::string_view(url).substr(4)) == resolved.substr(1), "a URL path decodes back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    bxfr::engine::ReplyReader reader;
    bxfr::engine::ServerReply reply;
    std::string lastFolder = "/";
    for (const auto line : bxfr::fuzz::SplitOn(input, '\n')) {
        if (reader.Feed(std::string(line) + "\n", reply)) {
            CheckReply(reply);
            if (reply.code == 257) {
                const std::string folder = bxfr::engine::FolderOf257(reply.text);
                CheckPath(lastFolder, folder);
                lastFolder = bxfr::engine::ResolvePath(lastFolder, folder);
            }
        }
        bxfr::engine::ReplyNumber(line);
        CheckPath(lastFolder, std::string(line));
    }
    bxfr::engine::ParseFeatures(input);
    bxfr::engine::MlstSize(input);
    return 0;
}
