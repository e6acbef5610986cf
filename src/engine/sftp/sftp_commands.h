#pragma once

// SFTP's commands as curl takes them (its quote set), for scripts and permission rules. No
// curl here.

#include <optional>
#include <string>
#include <vector>

namespace bxfr::engine {

// Words as curl reads a command's arguments: bare, or in quotes with \ escapes; false for an
// unclosed quote.
bool SplitWords(const std::string& text, std::vector<std::string>& words);

// What SFTP offers for a script's command; nothing when it has nothing like it.
// "chmod 644 a b" -> "chmod \"644\" \"/site/a b\"" with paths taken from `folder`.
std::optional<std::string> SftpCommandFor(const std::string& command, const std::string& folder);

// One argument of an SFTP command: quoted, with \ " and ' escaped.
std::string SftpQuoted(const std::string& text);

}  // namespace bxfr::engine
