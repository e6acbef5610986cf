// SSH host keys: their type and fingerprint, and reading what known_hosts says of a server.

#include "engine/sftp/ssh_host_keys.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "engine/fingerprints.h"

namespace bxfr::engine {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

// Plain base64 as known_hosts writes it; nothing on a character outside the alphabet.
bool DecodeBase64(std::string_view text, std::string& out) {
    out.clear();
    std::uint32_t bits = 0;
    int count = 0;
    std::size_t padding = 0;
    for (const char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=') {
            ++padding;
            continue;
        } else
            return false;
        if (padding > 0) return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (count == 1 || padding > 2) return false;
    if (count == 2) out += static_cast<char>(bits >> 4);
    if (count == 3) {
        out += static_cast<char>(bits >> 10);
        out += static_cast<char>(bits >> 2);
    }
    return true;
}

// OpenSSH's glob: '*' any run, '?' one character.
bool Glob(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// "|1|salt|hash": the HMAC-SHA1 of the name under the salt.
bool HashedNameMatches(std::string_view field, const std::string& name) {
    const std::size_t bar = field.find('|', 3);
    if (bar == std::string_view::npos) return false;
    std::string salt, hash;
    if (!DecodeBase64(field.substr(3, bar - 3), salt) || !DecodeBase64(field.substr(bar + 1), hash) ||
        hash.size() != 20) {
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha1(), salt.data(), static_cast<int>(salt.size()),
             reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest, &length) == nullptr) {
        return false;
    }
    return length == hash.size() &&
           std::equal(hash.begin(), hash.end(), reinterpret_cast<const char*>(digest));
}

bool HostFieldMatches(std::string_view field, const std::string& name) {
    if (field.substr(0, 3) == "|1|") return HashedNameMatches(field, name);
    bool matched = false;
    while (!field.empty()) {
        const std::size_t comma = field.find(',');
        std::string_view pattern = field.substr(0, comma);
        field = comma == std::string_view::npos ? std::string_view() : field.substr(comma + 1);
        const bool negated = !pattern.empty() && pattern.front() == '!';
        if (negated) pattern.remove_prefix(1);
        if (Glob(Lower(pattern), name)) {
            if (negated) return false;
            matched = true;
        }
    }
    return matched;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// One usable line of a known_hosts file.
struct KnownLine {
    std::string_view marker;  // "" or "@revoked"
    std::string_view type;
    std::string_view base64;
    std::string blob;
    std::size_t number = 0;
};

// Calls `use` for each line that lists a readable key for `name`, until it returns false.
template <typename Use>
void ForEachKnownLine(std::string_view fileText, const std::string& name, Use use) {
    std::size_t lineNumber = 0;
    while (!fileText.empty()) {
        ++lineNumber;
        const std::size_t end = fileText.find('\n');
        std::string_view line = fileText.substr(0, end);
        fileText = end == std::string_view::npos ? std::string_view() : fileText.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::vector<std::string_view> words = Words(line);
        if (words.empty() || words.front().front() == '#') continue;
        KnownLine known;
        known.number = lineNumber;
        if (words.front().front() == '@') {
            known.marker = words.front();
            words.erase(words.begin());
        }
        // A certificate authority vouches for certificates, which this client does not take.
        if (words.size() < 3 || known.marker == "@cert-authority") continue;
        if (!known.marker.empty() && known.marker != "@revoked") continue;
        if (!HostFieldMatches(words[0], name)) continue;
        if (!DecodeBase64(words[2], known.blob) || HostKeyType(known.blob) != words[1]) continue;
        known.type = words[1];
        known.base64 = words[2];
        if (!use(known)) return;
    }
}

std::string NameFor(const std::string& host, std::uint16_t port) {
    return port == 22 ? Lower(host) : "[" + Lower(host) + "]:" + std::to_string(port);
}

}  // namespace

std::string HostKeyType(std::string_view blob) {
    if (blob.size() < 4) return {};
    const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
    const std::size_t length =
        (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
    if (length == 0 || length > 64 || length > blob.size() - 4) return {};
    std::string type(blob.substr(4, length));
    const bool printable = std::all_of(type.begin(), type.end(), [](char c) { return c > ' ' && c < 127; });
    return printable ? type : std::string();
}

std::string UserHomeFolder() {
#ifdef _WIN32
    const char* home = std::getenv("USERPROFILE");
#else
    const char* home = std::getenv("HOME");
#endif
    return home == nullptr ? std::string() : std::string(home);
}

std::string DefaultKnownHostsFile() {
    const std::string home = UserHomeFolder();
    return home.empty() ? std::string() : home + "/.ssh/known_hosts";
}

std::string KnownHostLines(std::string_view fileText, const std::string& host, std::uint16_t port) {
    std::string lines;
    ForEachKnownLine(fileText, NameFor(host, port), [&](const KnownLine& known) {
        if (known.marker.empty()) {
            lines += (port == 22 ? host : "[" + host + "]:" + std::to_string(port)) + " " +
                     std::string(known.type) + " " + std::string(known.base64) + "\n";
        }
        return true;
    });
    return lines;
}

KnownHostVerdict LookUpKnownHost(std::string_view fileText, const std::string& fileName,
                                 const std::string& host, std::uint16_t port, std::string_view blob) {
    const std::string type = HostKeyType(blob);
    KnownHostVerdict verdict;
    KnownHostVerdict otherType;
    std::string knownAt;
    bool revoked = false;
    ForEachKnownLine(fileText, NameFor(host, port), [&](const KnownLine& known) {
        const std::string where = fileName + " line " + std::to_string(known.number);
        if (known.marker == "@revoked") {
            if (known.blob == blob) {
                verdict = {KnownHostVerdict::Kind::Revoked, {}, where};
                revoked = true;
                return false;
            }
            return true;
        }
        // Read on to the end even so: a later line may revoke the key.
        if (known.blob == blob) {
            if (knownAt.empty()) knownAt = where;
        } else if (known.type == type && verdict.kind == KnownHostVerdict::Kind::Unknown) {
            verdict = {KnownHostVerdict::Kind::Changed, FingerprintOf(known.blob), where};
        } else if (otherType.kind == KnownHostVerdict::Kind::Unknown) {
            otherType = {KnownHostVerdict::Kind::Changed, FingerprintOf(known.blob), where};
        }
        return true;
    });
    if (revoked) return verdict;
    if (!knownAt.empty()) return {KnownHostVerdict::Kind::Known, {}, knownAt};
    // Only keys of other types are known: a server that shows a new type is as suspect as one
    // that shows a new key (an attacker would offer whatever type the client takes).
    return verdict.kind == KnownHostVerdict::Kind::Changed ? verdict : otherType;
}

}  // namespace bxfr::engine
