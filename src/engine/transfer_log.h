#pragma once

// The log file: one dated line at a time.

#include <string>

namespace bxfr::engine {

// Appends "YYYY-MM-DD hh:mm:ss: message" (plus a line end when newLine is set) to the log,
// opening and closing it for every line. A log that cannot be opened loses the line silently.
void WriteLogLine(const std::string& message, int newLine, const std::string& logPath);

}  // namespace bxfr::engine
