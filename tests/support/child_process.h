#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
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

struct ProgramResult {
    int exitCode = -1;  // 128 + the signal when one ended it; -1 when it could not be started
    std::string out, err;
};

// Runs a program (looked up on PATH) to its end in a session of its own, so it has no terminal,
// with `input` on stdin. `onOutput` sees stdout as it grows and may signal the child. A program
// still running after `limit` is killed (exit code 137, and stderr says so).
ProgramResult RunProgram(std::vector<std::string> args, const std::string& input = "",
                         const std::function<void(const std::string&, pid_t)>& onOutput = {},
                         std::chrono::seconds limit = std::chrono::seconds(60));

// A script from tests/support in the source tree.
std::filesystem::path SupportScript(const std::string& name);

// The lines of a log file written by a helper script; none if it is missing.
std::vector<std::string> ReadLines(const std::filesystem::path& path);

}  // namespace bxfr::test
