// File lengths and times, and sizes as the user reads them.

#include "engine/sizes.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace bxfr::engine {

std::uint64_t LocalFileLength(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return 0;
    }
    // Counts only what the user could actually send: a file that cannot be opened counts 0.
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return 0;
    }
    const std::uintmax_t length = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(length);
}

std::optional<std::int64_t> LocalSeconds(const std::filesystem::path& path) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(path, error);
    if (error) return std::nullopt;
    return std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(written))
        .time_since_epoch()
        .count();
}

std::string FormatSize(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"Bytes", "KB", "MB", "GB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value > 1024.0 && unit + 1 < std::size(kUnits)) {
        value *= 1.0 / 1024.0;
        ++unit;
    }
    char text[64];
    if (value == 0.0) {
        std::snprintf(text, sizeof text, "0 %s", kUnits[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.2f %s", value, kUnits[unit]);
    }
    return text;
}

}  // namespace bxfr::engine
