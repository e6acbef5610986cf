#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bxfr::test {

// A helper server script run with the test python: started with posix_spawn,
// its output in logFile, stopped with SIGTERM (then SIGKILL) and reaped.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& logFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until readyFile holds a port; throws std::runtime_error with the
    // log's tail if the child exits first or the time runs out.
    std::uint16_t WaitForPort(const std::filesystem::path& readyFile,
                              std::chrono::milliseconds limit = std::chrono::seconds(15));

    void Stop();

private:
    bool Exited();
    [[noreturn]] void Fail(const std::string& why);

    pid_t pid_ = -1;
    std::filesystem::path logFile_;
};

// A script from tests/support in the source tree.
std::filesystem::path SupportScript(const std::string& name);

// The lines of a log file written by a helper script; none if it is missing.
std::vector<std::string> ReadLines(const std::filesystem::path& path);

}  // namespace bxfr::test
