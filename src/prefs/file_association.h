#pragma once

// The ".bxt" file association: transfer files opened with the program, with Transfer Now and Edit.

#include <filesystem>
#include <string>

namespace bxfr::prefs {

// What one registration did. The program ignores it; tests look at it.
enum class AssociationResult {
    Written,         // at least one file or value was new or changed
    Unchanged,       // everything was already in place, nothing was touched
    OwnedElsewhere,  // another type or ProgID holds ".bxt": nothing at all was written
    Failed,          // no data folder, a path the shell files cannot hold, or a failed write
};

// Makes ".bxt" transfer files open with the program, with the verbs "Transfer Now" (/t) and
// "Edit" (/e). Run on every start. On Linux it writes the user's desktop entry, MIME package
// and icons under the XDG data home, each only when its bytes differ, and refreshes the MIME
// and desktop caches when something changed. On Windows it writes the per-user classes key.
// Never takes ".bxt" from another program. Never throws; failures are silent.
AssociationResult RegisterFileAssociation(const std::filesystem::path& program) noexcept;

// The same for the running program.
void RegisterFileAssociation() noexcept;

// $XDG_DATA_HOME when it is absolute, else $HOME/.local/share; empty when neither is known.
std::filesystem::path UserDataHome();

// One argument of a desktop entry's Exec line: in double quotes, with the quoting escapes and
// then the escapes of the entry's string values applied ("\\\\" for one backslash, "%%").
std::string QuoteExecArgument(const std::string& argument);

}  // namespace bxfr::prefs
