// INI text read and written the way the Windows profile functions do it.

#include "job/ini_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "job/atomic_file.h"
#include "job/text_encoding.h"

namespace bxfr::job {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The section name of a header line "[name]", if the line is one.
std::optional<std::string> SectionName(const std::string& line) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    auto close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

bool IsComment(const std::string& line) {
    std::string t = Trim(line);
    return !t.empty() && t.front() == ';';
}

// Splits a key line; false for anything else.
bool SplitKey(const std::string& line, std::string& key, std::string& value) {
    if (IsComment(line) || SectionName(line)) return false;
    auto eq = line.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(line.substr(0, eq));
    value = line.substr(eq + 1);
    return true;
}

// Cuts at `maxLength` bytes without splitting a UTF-8 sequence.
std::string CutUtf8(std::string s, std::size_t maxLength) {
    if (s.size() <= maxLength) return s;
    std::size_t end = maxLength;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    s.resize(end);
    return s;
}

// Get drops the blanks around a value and one pair of matching quotes: a value that has
// either goes into quotes of its own, so that it reads back as it was set.
std::string Stored(const std::string& value) {
    const bool padded = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
    const bool quoted =
        value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
    return padded || quoted ? "\"" + value + "\"" : value;
}

}  // namespace

IniFile::ReadResult IniFile::Read(const std::string& path) {
    lines_.clear();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return ReadResult::Missing;
    if (!std::filesystem::is_regular_file(path, ec)) return ReadResult::Unreadable;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) return ReadResult::Unreadable;
    if (size > kMaxFileBytes) return ReadResult::TooLarge;
    std::ifstream in(path, std::ios::binary);
    if (!in) return ReadResult::Unreadable;
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(size));
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return ReadResult::Unreadable;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\n') {
            if (i - lineStart > kMaxLineBytes) return ReadResult::TooLarge;
            lineStart = i + 1;
        }
    }
    Parse(bytes);
    return ReadResult::Ok;
}

void IniFile::Parse(const std::string& raw) {
    lines_.clear();
    std::string bytes = raw;
    bom_ = bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (bom_) bytes.erase(0, 3);
    cp1252_ = !IsValidUtf8(bytes);
    if (cp1252_) bytes = Cp1252ToUtf8(bytes);
    std::size_t start = 0;
    while (start < bytes.size()) {
        auto nl = bytes.find('\n', start);
        std::string line = bytes.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(std::move(line));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
}

std::size_t IniFile::FindSection(const std::string& section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        auto name = SectionName(lines_[i]);
        if (name && EqualsNoCase(*name, section)) return i;
    }
    return lines_.size();
}

std::size_t IniFile::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size() && !SectionName(lines_[i])) ++i;
    return i;
}

std::optional<std::string> IniFile::Get(const std::string& section, const std::string& key,
                                        std::size_t maxLength) const {
    std::size_t header = FindSection(section);
    if (header == lines_.size()) return std::nullopt;
    std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        std::string k, v;
        if (!SplitKey(lines_[i], k, v) || !EqualsNoCase(k, key)) continue;
        // A value ends at a NUL or a stray CR, as it would for the C-string profile functions;
        // it could not be written back otherwise.
        v.resize(std::min(v.size(), v.find_first_of(std::string("\0\r", 2))));
        v = Trim(v);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        return CutUtf8(v, maxLength);
    }
    return std::nullopt;
}

std::string IniFile::GetString(const std::string& section, const std::string& key,
                               std::size_t maxLength) const {
    return Get(section, key, maxLength).value_or(std::string());
}

std::optional<std::string> IniFile::GetBytes(const std::string& section, const std::string& key,
                                             std::size_t maxLength) const {
    auto v = Get(section, key, std::string::npos);
    if (!v || !cp1252_) return v ? std::optional<std::string>(CutUtf8(*v, maxLength)) : std::nullopt;
    std::string bytes;
    if (!Utf8ToCp1252(*v, bytes)) return v;
    if (bytes.size() > maxLength) bytes.resize(maxLength);
    return bytes;
}

int IniFile::GetInt(const std::string& section, const std::string& key, int fallback) const {
    auto v = Get(section, key);
    if (!v) return fallback;
    std::size_t i = 0;
    bool negative = false;
    if (i < v->size() && ((*v)[i] == '-' || (*v)[i] == '+')) negative = (*v)[i++] == '-';
    long long n = 0;
    for (; i < v->size() && std::isdigit(static_cast<unsigned char>((*v)[i])); ++i)
        n = std::min<long long>(n * 10 + ((*v)[i] - '0'), 0x7fffffffLL);
    return static_cast<int>(negative ? -n : n);
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
    std::string line = key + "=" + Stored(value);
    std::size_t header = FindSection(section);
    if (header == lines_.size()) {
        lines_.push_back("[" + section + "]");
        lines_.push_back(line);
        return;
    }
    std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        std::string k, v;
        if (SplitKey(lines_[i], k, v) && EqualsNoCase(k, key)) {
            lines_[i] = line;
            return;
        }
    }
    // After the section's last non-blank line, so blank separators stay between sections.
    std::size_t at = end;
    while (at > header + 1 && Trim(lines_[at - 1]).empty()) --at;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
}

void IniFile::RemoveSection(const std::string& section) {
    std::size_t header = FindSection(section);
    if (header == lines_.size()) return;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                 lines_.begin() + static_cast<std::ptrdiff_t>(SectionEnd(header)));
}

std::string IniFile::Serialize() const {
    std::string text;
    for (const auto& line : lines_) {
        text += line;
        text += "\r\n";
    }
    std::string out;
    if (cp1252_ && Utf8ToCp1252(text, out)) return out;
    return bom_ ? "\xEF\xBB\xBF" + text : text;
}

bool IniFile::WriteAtomically(const std::string& path, bool ownerOnly) const {
    return WriteFileAtomically(path, Serialize(), ownerOnly);
}

}  // namespace bxfr::job
