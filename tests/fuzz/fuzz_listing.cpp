// A server's LIST or MLSD reply, whole and line by line, and the walk's refusal of names that
// cannot be one entry of a folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/entry_names.h"
#include "engine/ftp/ftp_listing.h"
#include "engine/get_walk.h"
#include "fuzz_check.h"
#include "job/transfer_job.h"

namespace {

using bxfr::fuzz::Require;

// Written apart from the engine's check, so the two must agree.
bool SafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && !bxfr::fuzz::HoldsControlByte(name);
}

void CheckEntries(std::string_view body, bool mlsd) {
    static const bxfr::job::TransferJob job = [] {
        bxfr::job::TransferJob j;
        j.getMode = 1;
        j.remotePath = "/base";
        j.localPath = "/nonexistent-bxfr-fuzz/base";
        return j;
    }();
    for (const auto& entry : bxfr::engine::ParseListing(body, mlsd)) {
        Require(entry.name != "." && entry.name != "..", "a listing never yields . or ..");
        const std::string why = bxfr::engine::UnsafeEntryName(entry.name);
        Require(why.empty() == SafeName(entry.name), "the walk refuses exactly the unsafe names");
        if (!why.empty()) {
            continue;
        }
        std::string refusal;
        const auto local = bxfr::engine::LocalNameForRemote(job, "/base/" + entry.name, refusal);
        if (local) {
            Require(*local == std::filesystem::path(job.localPath) / entry.name,
                    "an accepted name lands directly in the local folder");
        } else {
            Require(!refusal.empty(), "a refused local name says why");
        }
    }
}

void CheckLine(std::string_view line) {
    bxfr::engine::RemoteEntry entry;
    if (bxfr::engine::ParseListLine(line, entry)) {
        Require(!entry.name.empty(), "a LIST entry has a name");
    }
    if (bxfr::engine::ParseMlsdLine(line, entry)) {
        Require(!entry.name.empty(), "an MLSD entry has a name");
        Require(!entry.isFolder || entry.length == 0, "an MLSD folder has no length");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    CheckEntries(body, false);
    CheckEntries(body, true);
    for (const auto line : bxfr::fuzz::SplitOn(body, '\n')) {
        CheckLine(line);
    }
    return 0;
}
