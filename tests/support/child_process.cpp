#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "support/temp_dir.h"

extern "C" char** environ;

namespace bxfr::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kPollInterval(20);
constexpr std::size_t kLogTail = 4000;

std::string Tail(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() > kLogTail) {
        text.erase(0, text.size() - kLogTail);
    }
    return text;
}

// posix_spawn file actions released whatever happens.
class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& logFile)
    : logFile_(logFile) {
    std::vector<char*> args;
    std::vector<std::string> storage(argv);
    for (std::string& arg : storage) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    FileActions actions;
    const std::string log = logFile.string();
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);

    const int rc = posix_spawn(&pid_, args[0], actions.get(), nullptr, args.data(), environ);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv.at(0) + ": " + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Exited() {
    if (pid_ <= 0) {
        return true;
    }
    int status = 0;
    const pid_t rc = waitpid(pid_, &status, WNOHANG);
    if (rc == pid_ || (rc < 0 && errno == ECHILD)) {
        pid_ = -1;
        return true;
    }
    return false;
}

void ChildProcess::Stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    const auto deadline = steady_clock::now() + std::chrono::seconds(5);
    while (!Exited() && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

void ChildProcess::Fail(const std::string& why) {
    Stop();
    throw std::runtime_error(why + "; its log ends:\n" + Tail(logFile_));
}

std::uint16_t ChildProcess::WaitForPort(const std::filesystem::path& readyFile, milliseconds limit) {
    const auto deadline = steady_clock::now() + limit;
    while (steady_clock::now() < deadline) {
        // The script renames a finished file into place, so one read sees all of it.
        std::ifstream in(readyFile);
        long port = 0;
        if (in >> port) {
            if (port <= 0 || port > 65535) {
                Fail("test server wrote a bad port " + std::to_string(port));
            }
            return static_cast<std::uint16_t>(port);
        }
        if (Exited()) {
            Fail("test server exited before it listened");
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    Fail("test server did not listen within " + std::to_string(limit.count()) + " ms");
}

std::filesystem::path SupportScript(const std::string& name) {
    return std::filesystem::path(BXFR_SOURCE_DIR) / "tests" / "support" / name;
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    // A line still being written has no newline yet and is left for the next read.
    while (std::getline(in, line)) {
        if (in.eof()) {
            break;
        }
        lines.push_back(line);
    }
    return lines;
}

ProgramResult RunProgram(std::vector<std::string> args, const std::string& input,
                         const std::function<void(const std::string&, pid_t)>& onOutput,
                         std::chrono::seconds limit) {
    const TempDir io;
    const std::string in = (io.path() / "in").string(), err = (io.path() / "err").string();
    std::ofstream(in, std::ios::binary) << input;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    ProgramResult result;
    if (spawned != 0) {
        close(out[0]);
        return result;
    }
    pollfd fd{out[0], POLLIN, 0};
    const auto deadline = steady_clock::now() + limit;
    for (char buffer[4096];;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left <= milliseconds(0) || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            kill(pid, SIGKILL);
            result.err = args[0] + " did not end in time\n";
            break;
        }
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.out.append(buffer, static_cast<std::size_t>(n));
        if (onOutput) onOutput(result.out, pid);
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream errors(err, std::ios::binary);
    result.err += std::string((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
    return result;
}

}  // namespace bxfr::test
