// The time and size values a server sends: MDTM and SIZE answers, MLSD "modify" and "size" facts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/ftp/ftp_listing.h"
#include "engine/ftp/ftp_replies.h"
#include "fuzz_check.h"

namespace {

using bxfr::fuzz::Require;

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A time whose fields are all in range prints back exactly as it was read.
bool Canonical(std::string_view text) {
    if (text.size() < 14) {
        return false;
    }
    const auto field = [text](std::size_t at, std::size_t length) {
        return std::stoi(std::string(text.substr(at, length)));
    };
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int year = field(0, 4);
    const int month = field(4, 2);
    const int day = field(6, 2);
    const int days = kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
    return day <= days && field(12, 2) < 60;
}

void CheckTime(std::string_view text) {
    const auto seconds = bxfr::engine::ParseFtpTime(text);
    if (!seconds) {
        return;
    }
    const std::string printed = bxfr::engine::FormatFtpTime(*seconds);
    Require(printed.size() == 14, "a time prints as fourteen digits");
    Require(bxfr::engine::ParseFtpTime(printed) == seconds, "a printed time reads back the same");
    if (Canonical(text)) {
        Require(printed == text.substr(0, 14), "a time in range prints as it was read");
    }
}

void CheckSize(std::string_view text) {
    const auto number = bxfr::engine::ReplyNumber("213 " + std::string(text));
    if (!number) {
        return;
    }
    std::string digits(text);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\r')) {
        digits.pop_back();
    }
    const std::size_t first = digits.find_first_not_of('0');
    Require(std::to_string(*number) == (first == std::string::npos ? "0" : digits.substr(first)),
            "a SIZE answer reads as its digits");
}

void CheckFacts(std::string_view value) {
    // A fact's value ends at ';' or at the blank before the name.
    if (value.find_first_of("; \r\n") != std::string_view::npos) {
        return;
    }
    bxfr::engine::RemoteEntry entry;
    const std::string v(value);
    Require(bxfr::engine::ParseMlsdLine("type=file;modify=" + v + "; name", entry),
            "an MLSD file line parses");
    Require(entry.modified == bxfr::engine::ParseFtpTime(value), "an MLSD modify fact reads as MDTM would");
    Require(bxfr::engine::ParseMlsdLine("type=file;size=" + v + "; name", entry), "an MLSD file line parses");
    if (const auto number = bxfr::engine::ReplyNumber("213 " + v)) {
        Require(entry.length == *number, "an MLSD size fact reads as SIZE would");
    }
    const std::string mlst = "250-Listing\n type=file;size=" + v + "; /a/b\n250 End";
    if (const auto size = bxfr::engine::MlstSize(mlst)) {
        Require(*size == entry.length, "an MLST size reads as the MLSD one");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckTime(input);
    CheckSize(input);
    CheckFacts(input);
    // MDTM's answer as the connection reads it: the time after "213 ".
    const std::string reply = "213 " + std::string(input);
    CheckTime(std::string_view(reply).substr(4));
    return 0;
}
