#pragma once

// The archive attribute on Linux: whether a file changed since it was last sent, kept in an
// extended attribute.

#include <filesystem>

namespace bxfr::engine {

// A file "has its archive attribute set" when it changed since it was last sent. Linux files
// have no such bit: the size and modification time of the last send are kept in the user
// extended attribute "user.bxfr.archived", and a missing or different record means changed.
enum class ArchiveState { Set, Clear, Unsupported };

// Unsupported when the file system refuses extended attributes (the file then counts as changed).
ArchiveState ArchiveStateOf(const std::filesystem::path& file);

// Records the file as sent, leaving its times alone. False when the file system keeps no
// extended attributes; raises FileError when the file cannot be read or written.
bool ClearArchiveAttribute(const std::filesystem::path& file);

}  // namespace bxfr::engine
