// The FTP control connection's text: paths as curl takes them, and servers' replies read.

#include "engine/ftp/ftp_replies.h"

#include <cctype>
#include <charconv>
#include <vector>

#include "engine/ftp/ftp_listing.h"

namespace bxfr::engine {

namespace {

bool IsUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

}  // namespace

std::string UrlPath(const std::string& absolutePath) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "/%2F";
    for (std::size_t i = 1; i < absolutePath.size(); ++i) {
        const auto c = static_cast<unsigned char>(absolutePath[i]);
        if (c == '/' || IsUnreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string ResolvePath(const std::string& folder, const std::string& path) {
    const std::string joined = !path.empty() && path.front() == '/' ? path : folder + "/" + path;
    std::vector<std::string_view> parts;
    std::string_view rest(joined);
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (const auto part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

std::string FolderOf257(const std::string& text) {
    const std::size_t open = text.find('"');
    if (open == std::string::npos) {
        return {};
    }
    std::string folder;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                folder += '"';
                ++i;
                continue;
            }
            return folder;
        }
        folder += text[i];
    }
    return {};
}

ServerFeatures ParseFeatures(std::string_view featReply) {
    ServerFeatures features;
    while (!featReply.empty()) {
        const std::size_t end = featReply.find('\n');
        std::string_view line = featReply.substr(0, end);
        featReply = end == std::string_view::npos ? std::string_view() : featReply.substr(end + 1);
        while (!line.empty() && line.front() == ' ') {
            line.remove_prefix(1);
        }
        features.mlsd = features.mlsd || StartsWithNoCase(line, "MLST") || StartsWithNoCase(line, "MLSD");
        features.utf8 = features.utf8 || StartsWithNoCase(line, "UTF8");
        features.restStream = features.restStream || StartsWithNoCase(line, "REST STREAM");
        features.mfmt = features.mfmt || StartsWithNoCase(line, "MFMT");
        features.mdtm = features.mdtm || StartsWithNoCase(line, "MDTM");
    }
    return features;
}

std::optional<std::uint64_t> ReplyNumber(std::string_view reply) {
    if (reply.size() < 5 || reply[3] != ' ') {
        return std::nullopt;
    }
    std::string_view digits = reply.substr(4);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\r')) {
        digits.remove_suffix(1);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> MlstSize(std::string_view reply) {
    const std::size_t first = reply.find('\n');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view line = reply.substr(first + 1);
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && line.front() == ' ') {
        line.remove_prefix(1);
    }
    // MLST names the whole path after the facts; the line parses as one MLSD entry.
    std::string facts(line.substr(0, line.find(' ')));
    for (char& c : facts) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    RemoteEntry entry;
    if (facts.find("size=") == std::string::npos || !ParseMlsdLine(line, entry) || entry.isFolder) {
        return std::nullopt;
    }
    return entry.length;
}

bool ReplyReader::Feed(std::string_view line, ServerReply& reply) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (inMultiLine_) {
        pending_.text += '\n';
        pending_.text += line;
        if (line.size() >= 3 && line.substr(0, 3) == code_ && (line.size() == 3 || line[3] == ' ')) {
            inMultiLine_ = false;
            reply = std::move(pending_);
            return true;
        }
        return false;
    }
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) ||
        !std::isdigit(static_cast<unsigned char>(line[2]))) {
        return false;  // curl's own informational headers, not a server reply
    }
    ServerReply started;
    started.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    started.text = std::string(line);
    if (line.size() > 3 && line[3] == '-') {
        inMultiLine_ = true;
        code_ = std::string(line.substr(0, 3));
        pending_ = std::move(started);
        return false;
    }
    reply = std::move(started);
    return true;
}

void ReplyReader::Reset() {
    inMultiLine_ = false;
    pending_ = ServerReply{};
}

}  // namespace bxfr::engine
