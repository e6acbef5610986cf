#pragma once

// The send side of a run: walking local folders, and which files the masks and rules select.

#include <filesystem>
#include <functional>
#include <string>

#include "job/transfer_job.h"

namespace bxfr::engine {

// The tail a rule's extension is matched against: ".htm" gives "htm", "*.htm" gives ".htm",
// a text without a dot is used whole. Compared with the name's end ignoring case.
bool ExtensionTailMatches(const std::string& name, const std::string& extension);

// The selection rules, then in archive mode the archive test. `archiveUnsupported`, when
// given, is set when the file system keeps no archive record (the file then counts as changed).
bool IsLocalFileSelected(const job::TransferJob& job, const std::filesystem::path& localFile,
                         bool* archiveUnsupported = nullptr);

// A wildcard of '*' and '?' matched against a name ignoring case; "*.*" matches every name.
bool MaskMatches(const std::string& name, const std::string& mask);

using LocalWalkCallback = std::function<int(const std::filesystem::path& path)>;
// Hears about what the walk passes over: unreadable folders, links to folders, and anything
// that is not a regular file.
using LocalRefusal = std::function<void(const std::filesystem::path& path, const std::string& why)>;

// Files mode (filesMode 1) calls the callback for every file below the folder whose name
// matches the mask; folders mode (0) calls it for every folder, parents before children.
// Entries are visited in name order; symbolic links to folders are not followed, and files
// mode visits regular files only (links to them included).
// Returns 0 when the folder cannot be read or a callback returned 0, else 1.
int WalkLocalFolder(const std::filesystem::path& folder, const std::string& mask,
                    const LocalWalkCallback& callback, int filesMode, const LocalRefusal& refused = {});

// True when the name holds a line break or another control character: none of them can
// travel on the control connection (FTP URLs refuse them too).
bool HoldsControlCharacter(const std::string& text);

}  // namespace bxfr::engine
