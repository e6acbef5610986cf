#pragma once

// The desktop's trash for local files a run removes (the freedesktop.org trash on Linux).

#include <filesystem>
#include <string>

namespace bxfr::engine {

// Moves the file into the trash of its file system: the home trash ($XDG_DATA_HOME/Trash) when it
// sits on the same one, else $topdir/.Trash/$uid or $topdir/.Trash-$uid. False, with `why` saying
// why, when no trash takes it; the file is then where it was.
bool MoveToTrash(const std::filesystem::path& file, std::string& why);

}  // namespace bxfr::engine
