#pragma once

// Labels that act as web links, and the maker's addresses they point to.

class QLabel;

namespace bxfr::dialogs {

inline constexpr const char* kMakerUrl = "https://www.brindle-ftp.com/";
inline constexpr const char* kDownloadUrl = "https://www.brindle-ftp.com/download/";

// Makes the label a link to its own text: blue, underlined, a pointing hand over it, and a
// click opens the text (read afresh each time) with the desktop's handler. When `text` is
// given it becomes the label's text first.
void MakeHyperlink(QLabel* label, const char* text = nullptr);

}  // namespace bxfr::dialogs
