#pragma once

// Text encodings of transfer files: UTF-8 and Windows-1252, and line breaks that may not stand in
// a value.

#include <string>
#include <string_view>

namespace bxfr::job {

// CR, LF or NUL: text holding one cannot stand on one line of a file or of an FTP command.
bool HoldsLineBreak(std::string_view text);

bool IsValidUtf8(const std::string& bytes);
// Windows-1252 bytes to UTF-8.
std::string Cp1252ToUtf8(const std::string& bytes);
// UTF-8 to Windows-1252; false when a character has no Windows-1252 form.
bool Utf8ToCp1252(const std::string& text, std::string& out);
// Text to show for bytes that came from a file as they are (a user name or password written
// on Windows): UTF-8 stays, anything else is read as Windows-1252.
std::string DisplayText(const std::string& bytes);
// Text that may hold a server's words, as it can be shown on a terminal, in a log or a window:
// control characters other than line feed and tab (C0, DEL and C1) become "\x1B", so that a
// hostile name cannot drive the terminal.
std::string ShownText(std::string_view text);

}  // namespace bxfr::job
