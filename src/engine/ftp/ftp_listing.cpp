// FTP listings: the Unix and DOS forms of LIST, MLSD facts, and FTP's time form.

#include "engine/ftp/ftp_listing.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>

namespace bxfr::engine {

namespace {

struct Token {
    std::string_view text;
    std::size_t end;  // offset just past the token in the line
};

std::vector<Token> SplitBlanks(std::string_view line, std::size_t maxTokens) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (tokens.size() < maxTokens) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        tokens.push_back({line.substr(start, i - start), i});
    }
    return tokens;
}

bool AllDigits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::optional<std::uint64_t> Number(std::string_view text) {
    if (!AllDigits(text)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool IsMonth(std::string_view text) {
    static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    if (text.size() != 3) {
        return false;
    }
    for (const auto month : kMonths) {
        bool same = true;
        for (std::size_t i = 0; i < 3; ++i) {
            same = same && std::tolower(static_cast<unsigned char>(text[i])) == month[i];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

bool IsDay(std::string_view text) {
    const auto day = Number(text);
    return day && *day >= 1 && *day <= 31 && text.size() <= 2;
}

// "12:05" (this year) or "2019" (older files).
bool IsTimeOrYear(std::string_view text) {
    if (text.size() == 4 && AllDigits(text)) {
        return true;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2) {
        return false;
    }
    return AllDigits(text.substr(0, colon)) && text.size() - colon - 1 == 2 &&
           AllDigits(text.substr(colon + 1));
}

// "2019-03-04" as some servers print it (ls --time-style=long-iso).
bool IsIsoDate(std::string_view text) {
    return text.size() == 10 && text[4] == '-' && text[7] == '-' && AllDigits(text.substr(0, 4)) &&
           AllDigits(text.substr(5, 2)) && AllDigits(text.substr(8, 2));
}

bool IsUnixMode(std::string_view text) {
    if (text.size() < 10) {
        return false;
    }
    static constexpr std::string_view kTypes = "-dlcbpsD";
    if (kTypes.find(text[0]) == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 1; i < 10; ++i) {
        if (std::string_view("rwxsStTlL-").find(text[i]) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// The name starts one blank after the date: ls pads the columns before it, never the name.
std::string_view NameAfter(std::string_view line, std::size_t tokenEnd) {
    if (tokenEnd >= line.size()) {
        return {};
    }
    return line.substr(tokenEnd + 1);
}

bool ParseUnix(std::string_view line, RemoteEntry& entry) {
    const auto tokens = SplitBlanks(line, 12);
    if (tokens.size() < 5 || !IsUnixMode(tokens[0].text)) {
        return false;
    }
    // Owner and group may be missing or be numbers, so find the date and take the size before it.
    for (std::size_t i = 2; i + 1 < tokens.size(); ++i) {
        std::size_t nameFrom = 0;
        if (IsMonth(tokens[i].text) && i + 2 < tokens.size() && IsDay(tokens[i + 1].text) &&
            IsTimeOrYear(tokens[i + 2].text)) {
            nameFrom = tokens[i + 2].end;
        } else if (IsIsoDate(tokens[i].text) && IsTimeOrYear(tokens[i + 1].text) &&
                   tokens[i + 1].text.find(':') != std::string_view::npos) {
            nameFrom = tokens[i + 1].end;
        } else {
            continue;
        }
        const auto size = Number(tokens[i - 1].text);
        const bool device = tokens[0].text[0] == 'c' || tokens[0].text[0] == 'b';
        if (!size && !device) {
            continue;
        }
        std::string_view name = NameAfter(line, nameFrom);
        if (name.empty()) {
            return false;
        }
        entry = RemoteEntry{};
        const char type = tokens[0].text[0];
        entry.isFolder = type == 'd' || type == 'D';
        entry.isLink = type == 'l';
        entry.length = size && !device ? *size : 0;
        if (entry.isLink) {
            const std::size_t arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) {
                name = name.substr(0, arrow);
            }
        }
        entry.name = std::string(name);
        return !entry.name.empty();
    }
    return false;
}

// "01-31-20  03:04PM       <DIR>          name" and "2020-01-31  15:04   1234 name".
bool ParseDos(std::string_view line, RemoteEntry& entry) {
    const auto tokens = SplitBlanks(line, 3);
    if (tokens.size() < 3) {
        return false;
    }
    const std::string_view date = tokens[0].text;
    if (date.size() < 8 || !std::isdigit(static_cast<unsigned char>(date[0])) ||
        (date.find('-') == std::string_view::npos && date.find('/') == std::string_view::npos)) {
        return false;
    }
    std::string_view time = tokens[1].text;
    if (time.size() > 2) {
        const std::string_view suffix = time.substr(time.size() - 2);
        if (suffix == "AM" || suffix == "PM" || suffix == "am" || suffix == "pm") {
            time.remove_suffix(2);
        }
    }
    if (!IsTimeOrYear(time) || time.find(':') == std::string_view::npos) {
        return false;
    }
    entry = RemoteEntry{};
    std::size_t pos = tokens[2].end;
    if (tokens[2].text == "<DIR>") {
        entry.isFolder = true;
        while (pos < line.size() && line[pos] == ' ') {
            ++pos;
        }
    } else {
        const auto size = Number(tokens[2].text);
        if (!size) {
            return false;
        }
        entry.length = *size;
        ++pos;
    }
    if (pos >= line.size()) {
        return false;
    }
    entry.name = std::string(line.substr(pos));
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::optional<std::int64_t> ParseFtpTime(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    const std::size_t dot = text.find('.');
    if (dot != std::string_view::npos) {
        if (!AllDigits(text.substr(dot + 1))) {
            return std::nullopt;
        }
        text = text.substr(0, dot);
    }
    if (text.size() != 14 || !AllDigits(text)) {
        return std::nullopt;
    }
    const auto field = [text](std::size_t at, std::size_t length) {
        return static_cast<unsigned>(*Number(text.substr(at, length)));
    };
    const unsigned month = field(4, 2);
    const unsigned day = field(6, 2);
    const unsigned hour = field(8, 2);
    const unsigned minute = field(10, 2);
    const unsigned second = field(12, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    const std::int64_t seconds =
        DaysFromCivil(field(0, 4), month, day) * 86400 + hour * 3600 + minute * 60 + second;
    // A leap second at the end of 9999 would be a time that no longer prints in this form.
    constexpr std::int64_t kLastPrintable = 253402300799;  // 9999-12-31 23:59:59
    if (seconds > kLastPrintable) {
        return std::nullopt;
    }
    return seconds;
}

std::string FormatFtpTime(std::int64_t unixSeconds) {
    std::int64_t days = unixSeconds / 86400;
    std::int64_t rest = unixSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days (the inverse of DaysFromCivil).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    char out[32];
    std::snprintf(out, sizeof out, "%04lld%02u%02u%02u%02u%02u", static_cast<long long>(year), month, day,
                  static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                  static_cast<unsigned>(rest % 60));
    return out;
}

bool ParseListLine(std::string_view line, RemoteEntry& entry) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    if (line.empty()) {
        return false;
    }
    return ParseUnix(line, entry) || ParseDos(line, entry);
}

bool ParseMlsdLine(std::string_view line, RemoteEntry& entry) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 1 >= line.size()) {
        return false;
    }
    std::string_view facts = line.substr(0, blank);
    entry = RemoteEntry{};
    entry.name = std::string(line.substr(blank + 1));
    bool typed = false;
    while (!facts.empty()) {
        const std::size_t semicolon = facts.find(';');
        const std::string_view fact = facts.substr(0, semicolon);
        facts = semicolon == std::string_view::npos ? std::string_view() : facts.substr(semicolon + 1);
        const std::size_t equals = fact.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = fact.substr(0, equals);
        const std::string_view value = fact.substr(equals + 1);
        if (EqualsNoCase(key, "type")) {
            typed = true;
            if (EqualsNoCase(value, "cdir") || EqualsNoCase(value, "pdir")) {
                return false;
            }
            entry.isFolder = EqualsNoCase(value, "dir");
            entry.isLink = EqualsNoCase(value, "OS.unix=symlink") ||
                           (value.size() >= 13 && EqualsNoCase(value.substr(0, 13), "OS.unix=slink"));
        } else if (EqualsNoCase(key, "size")) {
            if (const auto size = Number(value)) {
                entry.length = *size;
            }
        } else if (EqualsNoCase(key, "modify")) {
            entry.modified = ParseFtpTime(value);
        }
    }
    // A folder's "sizd" is the size of its directory record, not of anything we would move.
    if (entry.isFolder) {
        entry.length = 0;
    }
    return typed;
}

std::vector<RemoteEntry> ParseListing(std::string_view body, bool mlsd) {
    std::vector<RemoteEntry> entries;
    while (!body.empty()) {
        const std::size_t end = body.find('\n');
        const std::string_view line = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        RemoteEntry entry;
        const bool parsed = mlsd ? ParseMlsdLine(line, entry) : ParseListLine(line, entry);
        if (parsed && entry.name != "." && entry.name != "..") {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

}  // namespace bxfr::engine
