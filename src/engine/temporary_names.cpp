// The hidden names files are written under until they are whole.

#include "engine/temporary_names.h"

#include <cstdint>
#include <cstdio>

#include "engine/send_walk.h"

namespace bxfr::engine {
namespace {

constexpr std::size_t kMaxNameBytes = 255;

bool AnyRuleMatches(const std::string& name, const job::TransferJob& job) {
    for (const auto& rule : job.selectRules) {
        if (ExtensionTailMatches(name, rule.extension)) {
            return true;
        }
    }
    for (const auto& rule : job.chmodRules) {
        if (ExtensionTailMatches(name, rule.extension)) {
            return true;
        }
    }
    return false;
}

std::string HashOf(const std::string& text) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    char out[9];
    std::snprintf(out, sizeof out, "%08x", hash);
    return out;
}

// Cuts UTF-8 text to at most `bytes` without splitting a character.
std::string CutText(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

}  // namespace

std::string TemporaryName(const std::string& name, const job::TransferJob& job) {
    for (int variant = 0;; ++variant) {
        const std::string suffix = ".bxfr-part" + (variant == 0 ? std::string() : std::to_string(variant));
        std::string candidate = "." + name + suffix;
        if (candidate.size() > kMaxNameBytes) {
            const std::string hash = "-" + HashOf(name);
            candidate = "." + CutText(name, kMaxNameBytes - 1 - hash.size() - suffix.size()) + hash + suffix;
        }
        // A rule's extension is a tail of the name; a few variants get past any set of rules.
        if (!AnyRuleMatches(candidate, job) || variant >= 99) {
            return candidate;
        }
    }
}

std::string TemporaryPath(const std::string& path, const job::TransferJob& job) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return TemporaryName(path, job);
    }
    return path.substr(0, slash + 1) + TemporaryName(path.substr(slash + 1), job);
}

}  // namespace bxfr::engine
