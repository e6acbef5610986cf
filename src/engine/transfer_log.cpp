// The log file: one dated line at a time.

#include "engine/transfer_log.h"

#include <cstdio>
#include <ctime>
#include <memory>

namespace bxfr::engine {

namespace {

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::tm LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

}  // namespace

void WriteLogLine(const std::string& message, int newLine, const std::string& logPath) {
    const std::tm now = LocalTimeNow();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%i-%02i-%02i %02i:%02i:%02i: ", now.tm_year + 1900, now.tm_mon + 1,
                  now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    std::string line = stamp;
    line += message;
    if (newLine != 0) {
        line += kLineEnd;
    }
    // Binary append: the line end is chosen above, and a message's own bytes stay as they are.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(logPath.c_str(), "ab"));
    if (!file) {
        return;
    }
    std::fwrite(line.data(), 1, line.size(), file.get());
}

}  // namespace bxfr::engine
