#pragma once

#include <filesystem>
#include <string>

namespace bxfr::test {

// Writes bytes as they stand, creating the parent folders; throws on failure.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// The whole file as bytes; throws if it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

}  // namespace bxfr::test
