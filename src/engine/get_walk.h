#pragma once

// The get side of a run: walking the remote tree, selecting its files, and the local names they
// are written to.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "engine/connection.h"
#include "job/transfer_job.h"

namespace bxfr::engine {

// Every run of '/' becomes one '/'.
void CollapseSlashes(std::string& text);

// Cuts the (slash-collapsed) folder off the front of the (slash-collapsed) path when the
// folder is not longer than the path.
void StripFolderPrefix(std::string& path, const std::string& folder);

// The selection rules applied to a remote path; there is no archive test.
bool IsRemoteFileSelected(const job::TransferJob& job, const std::string& remoteName);

// The local name a received remote file is written to, below the local base folder. Empty,
// with `refusal` saying why, when a part of the name would leave the base folder.
std::optional<std::filesystem::path> LocalNameForRemote(const job::TransferJob& job,
                                                        const std::string& remoteFile, std::string& refusal);

// Creates the folder and its parents; true when it exists afterwards.
bool MakeLocalFolder(const std::filesystem::path& path);

// Called for every file below the folder with its full remote path and its listing entry;
// returns nonzero to go on. `refused` hears about names the walk will not follow.
using RemoteWalkCallback = std::function<int(const std::string& path, const RemoteEntry& entry)>;
using RemoteRefusal = std::function<void(const std::string& path, const std::string& why)>;
// Called when a folder cannot be listed, with the number of the attempt; says what next.
enum RemoteListDecision : int { kListStop = 0, kListSkip = 1, kListRetry = 2 };
using RemoteListFailure = std::function<int(const std::string& folder, int attempt)>;
// Called for every folder the walk enters, with its full remote path.
using RemoteFolderSeen = std::function<void(const std::string& path)>;

// Walks the remote tree below the folder on one connection, by listing absolute paths, so
// the connection's current folder does not change. A link is asked for its size: a link to a
// file is walked as that file, a link to a folder is refused. Returns 0 when a folder cannot
// be listed (and `listFailed` said stop) or a callback returned 0, else 1.
int WalkRemoteFolder(Connection& connection, const std::string& folder, const RemoteWalkCallback& callback,
                     const RemoteRefusal& refused = {}, const RemoteListFailure& listFailed = {},
                     const RemoteFolderSeen& folderSeen = {}, bool withTimes = false);

// With `withTimes`, files get their exact times where the server tells them for a folder at once
// (Connection::FillTimes). One folder of such a walk, with times, `depth` levels below its
// start: its subfolders go to `folderSeen` (within the depth limit) instead of being walked.
int ListRemoteLevel(Connection& connection, const std::string& folder, int depth,
                    const RemoteWalkCallback& callback, const RemoteRefusal& refused = {},
                    const RemoteListFailure& listFailed = {}, const RemoteFolderSeen& folderSeen = {});

// The listing entry of one remote file; none when it is missing or a folder. `listed` is set
// when its folder could be listed.
std::optional<RemoteEntry> RemoteEntryOn(Connection& connection, const std::string& remoteName,
                                         bool* listed = nullptr);

// The length of one remote file as its folder's listing reports it; 0 when it is missing or a folder.
std::uint64_t RemoteFileLengthOn(Connection& connection, const std::string& remoteName);

}  // namespace bxfr::engine
