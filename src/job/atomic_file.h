#pragma once

// Replacing a file in one rename, so that no reader ever sees half of it.

#include <filesystem>
#include <string_view>

namespace bxfr::job {

// Replaces the file with `bytes` in one rename, so a reader sees the old file or the new one,
// never half of either; false (and the old file untouched) when any step fails. `ownerOnly`
// makes the file 0600; otherwise it keeps the old file's mode, or a new one gets 0666 less
// the umask. A link is followed: the file it points to is replaced and the link stays.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes, bool ownerOnly);

}  // namespace bxfr::job
