#pragma once

// File lengths and times, and sizes as the user reads them.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace bxfr::engine {

// Length of a local file; 0 when it cannot be read.
std::uint64_t LocalFileLength(const std::filesystem::path& path);

// A local file's modification time in whole seconds since 1970 UTC; none when it cannot be read.
std::optional<std::int64_t> LocalSeconds(const std::filesystem::path& path);

// "0 Bytes", "1024.00 Bytes", "1.00 KB", ... up to "GB".
std::string FormatSize(std::uint64_t bytes);

}  // namespace bxfr::engine
