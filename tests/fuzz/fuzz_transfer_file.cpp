// A transfer file from a mail attachment or a download: read it, save what was read, read
// that again. The save must succeed and give back the job that was saved.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_check.h"
#include "job/transfer_file.h"
#include "job/transfer_job.h"

namespace {

namespace fs = std::filesystem;
using bxfr::fuzz::Require;

fs::path& Folder() {
    static fs::path folder;
    return folder;
}

void RemoveFolder() {
    std::error_code ignored;
    fs::remove_all(Folder(), ignored);
}

// Names the settings that came back changed, for whoever looks at a crash.
void ReportDifferences(const bxfr::job::TransferJob& a, const bxfr::job::TransferJob& b) {
    const auto text = [](const char* name, const std::string& x, const std::string& y) {
        if (x != y) std::fprintf(stderr, "%s: [%s] became [%s]\n", name, x.c_str(), y.c_str());
    };
    const auto number = [](const char* name, long long x, long long y) {
        if (x != y) std::fprintf(stderr, "%s: %lld became %lld\n", name, x, y);
    };
    text("server", a.server, b.server);
    text("remotePath", a.remotePath, b.remotePath);
    text("remotePathAsEntered", a.remotePathAsEntered, b.remotePathAsEntered);
    text("localPathAsEntered", a.localPathAsEntered, b.localPathAsEntered);
    text("userName", a.userName, b.userName);
    text("password", a.password, b.password);
    text("logPath", a.logPath, b.logPath);
    text("proxy", a.proxy, b.proxy);
    number("accessType", a.accessType, b.accessType);
    number("port", a.port, b.port);
    number("passive", a.passive, b.passive);
    number("getMode", a.getMode, b.getMode);
    number("ignoreErrors", a.ignoreErrors, b.ignoreErrors);
    number("verbose", a.verbose, b.verbose);
    number("archiveOnly", a.archiveOnly, b.archiveOnly);
    number("checkUpgrade", a.checkUpgrade, b.checkUpgrade);
    number("singleFile", a.singleFile, b.singleFile);
    number("transferType", a.transferType, b.transferType);
    number("selectMode", a.selectMode, b.selectMode);
    number("autoTransfer", a.autoTransfer, b.autoTransfer);
    number("promptPassword", a.promptPassword, b.promptPassword);
    number("retries", a.retries, b.retries);
    number("tempNameMinimum", a.tempNameMinimum, b.tempNameMinimum);
    number("selectRules", a.selectRules != b.selectRules, 0);
    number("chmodRules", a.chmodRules != b.chmodRules, 0);
    number("scripts",
           a.connScript != b.connScript || a.tranScript != b.tranScript || a.discScript != b.discScript, 0);
    number("script ids", a.nextConnScriptId + a.nextTranScriptId + a.nextDiscScriptId,
           b.nextConnScriptId + b.nextTranScriptId + b.nextDiscScriptId);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every save syncs its file: in memory that costs little, on a disk it slows the run a hundredfold.
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "bxfr-fuzz-XXXXXX").string();
    Require(mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
    Folder() = pattern;
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path read = Folder() / "read.bxt";
    const fs::path saved = Folder() / "saved.bxt";
    {
        std::ofstream out(read, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    bxfr::job::TransferJob job;
    const int loaded = bxfr::job::LoadTransferFile(read.string(), job);
    Require(loaded == bxfr::job::kTransferFileLoaded || loaded == bxfr::job::kTransferFileInvalid,
            "a load says loaded or invalid");

    // A fresh file each time: a save updates an existing file in place.
    std::error_code ignored;
    fs::remove(saved, ignored);
    Require(bxfr::job::SaveTransferFile(saved.string(), job) == bxfr::job::kTransferFileLoaded,
            "what was read can be saved");
    bxfr::job::TransferJob again;
    const int reloaded = bxfr::job::LoadTransferFile(saved.string(), again);
    if (loaded == bxfr::job::kTransferFileLoaded) {
        Require(reloaded == bxfr::job::kTransferFileLoaded, "a saved valid job reads back as valid");
    }
    // A password asked for at each run is never stored, even when the file held one.
    bxfr::job::TransferJob expected = job;
    if (expected.promptPassword == 1) {
        expected.password.clear();
    }
    if (!(again == expected)) {
        ReportDifferences(expected, again);
        Require(false, "a saved job reads back equal");
    }
    return 0;
}
