// Text encodings of transfer files: UTF-8 checked, and converted to and from Windows-1252.

#include "job/text_encoding.h"

#include <cstdint>

namespace bxfr::job {

bool HoldsLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

namespace {

// Code points of 0x80..0x9F in Windows-1252; 0 where the code page has no character
// (those bytes are kept as the C1 control of the same value, as Windows does).
constexpr char32_t kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 sequence at `i`; returns false on a malformed one.
bool DecodeUtf8(const std::string& s, std::size_t& i, char32_t& c) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i);
    int extra = 0;
    if (b < 0x80) {
        c = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
        c = b & 0x1F;
        extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        c = b & 0x0F;
        extra = 2;
    } else if (b >= 0xF0 && b <= 0xF4) {
        c = b & 0x07;
        extra = 3;
    } else {
        return false;
    }
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= s.size() || (byte(i + k) & 0xC0) != 0x80) return false;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF))
        return false;
    i += extra + 1;
    return true;
}

}  // namespace

bool IsValidUtf8(const std::string& bytes) {
    std::size_t i = 0;
    char32_t c = 0;
    while (i < bytes.size()) {
        if (!DecodeUtf8(bytes, i, c)) return false;
    }
    return true;
}

std::string Cp1252ToUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char b : bytes) {
        char32_t c = b;
        if (b >= 0x80 && b <= 0x9F && kHigh[b - 0x80] != 0) c = kHigh[b - 0x80];
        AppendUtf8(out, c);
    }
    return out;
}

bool Utf8ToCp1252(const std::string& text, std::string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c = 0;
        if (!DecodeUtf8(text, i, c)) return false;
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || (c >= 0x80 && c <= 0x9F && kHigh[c - 0x80] == 0)) {
            out += static_cast<char>(c);
            continue;
        }
        bool found = false;
        for (int k = 0; k < 32; ++k) {
            if (kHigh[k] == c) {
                out += static_cast<char>(0x80 + k);
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

std::string DisplayText(const std::string& bytes) { return IsValidUtf8(bytes) ? bytes : Cp1252ToUtf8(bytes); }

std::string ShownText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        unsigned control = 0x100;
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
            control = c;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            control = static_cast<unsigned char>(text[++i]);  // U+0080 to U+009F: C1, e.g. CSI
        }
        if (control == 0x100) {
            shown += static_cast<char>(c);
        } else {
            shown += "\\x";
            shown += kHex[control >> 4];
            shown += kHex[control & 0xF];
        }
    }
    return shown;
}

}  // namespace bxfr::job
