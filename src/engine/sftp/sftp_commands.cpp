// SFTP's commands as curl takes them: script and permission commands turned into its quote set.

#include "engine/sftp/sftp_commands.h"

#include <utility>
#include <vector>

#include "engine/ftp/ftp_replies.h"

namespace bxfr::engine {

namespace {

// curl's quote set for SFTP, and which of each command's arguments are paths.
struct SftpVerb {
    const char* name;
    int arguments;
    // The first argument taken from the remote folder; the rest are too. A link's target stays
    // as written: a relative one is relative to the link.
    int firstPath;
};
constexpr SftpVerb kVerbs[] = {
    {"chmod", 2, 1},   {"chown", 2, 1},  {"chgrp", 2, 1}, {"atime", 2, 1}, {"mtime", 2, 1}, {"ln", 2, 1},
    {"symlink", 2, 1}, {"rename", 2, 0}, {"mkdir", 1, 0}, {"rmdir", 1, 0}, {"rm", 1, 0},    {"statvfs", 1, 0},
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

}  // namespace

bool SplitWords(const std::string& text, std::vector<std::string>& words) {
    // Shell-like, so that a name put in quotes can stand inside a word ("%s".bak); each word is
    // quoted again on its own before curl sees it.
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
            if (text[i] == '"' || text[i] == '\'') {
                const char quote = text[i++];
                for (;; ++i) {
                    if (i >= text.size()) return false;
                    if (text[i] == quote) break;
                    if (text[i] == '\\' && ++i >= text.size()) return false;
                    word += text[i];
                }
                ++i;
            } else {
                if (text[i] == '\\' && ++i >= text.size()) return false;
                word += text[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return true;
}

std::string SftpQuoted(const std::string& path) {
    std::string out = "\"";
    for (const char c : path) {
        if (c == '\\' || c == '"' || c == '\'') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::optional<std::string> SftpCommandFor(const std::string& command, const std::string& folder) {
    std::vector<std::string> words;
    if (!SplitWords(command, words) || words.empty()) return std::nullopt;
    const std::string verb = Lower(words.front());
    for (const SftpVerb& known : kVerbs) {
        if (verb != known.name) continue;
        if (static_cast<int>(words.size()) != known.arguments + 1) return std::nullopt;
        std::string out = verb;
        for (int i = 0; i < known.arguments; ++i) {
            const std::string& word = words[static_cast<std::size_t>(i) + 1];
            out += ' ';
            out += SftpQuoted(i >= known.firstPath ? ResolvePath(folder, word) : word);
        }
        return out;
    }
    return std::nullopt;
}

}  // namespace bxfr::engine
