// bxfr: runs one transfer file from a terminal or a script, the way the direct transfer does.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "engine/adapters/adapters.h"
#include "engine/connection.h"
#include "job/transfer_file.h"
#include "job/transfer_job.h"
#include "progress/progress_view.h"
#include "progress/transfer_worker.h"
#include "progress/trust_text.h"

namespace {

using namespace bxfr;

volatile std::sig_atomic_t interrupts = 0;

void OnInterrupt(int) {
    interrupts = interrupts + 1;
    if (interrupts >= 2) {
        constexpr char text[] = "\nbxfr: stopped at once\n";
        [[maybe_unused]] auto written = write(STDERR_FILENO, text, sizeof text - 1);
        _exit(app::kExitCancelled);
    }
}

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void Error(const std::string& text) { std::cerr << "bxfr: " << text << std::endl; }

std::string StripLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// Reads a line from the controlling terminal with echo off; false when there is none.
bool PromptPassword(const std::string& prompt, std::string& password) {
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return false;
    }
    [[maybe_unused]] auto written = write(tty, prompt.data(), prompt.size());
    termios saved{};
    const bool haveTermios = tcgetattr(tty, &saved) == 0;
    if (haveTermios) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    std::string line;
    char c = 0;
    bool gotLine = false;
    while (true) {
        const ssize_t n = read(tty, &c, 1);
        if (n <= 0 || interrupts > 0) {
            break;
        }
        if (c == '\n') {
            gotLine = true;
            break;
        }
        line += c;
    }
    if (haveTermios) {
        tcsetattr(tty, TCSAFLUSH, &saved);
    }
    written = write(tty, "\n", 1);
    close(tty);
    password = StripLineEnd(line);
    return gotLine;
}

// With a key file the secret is the key's passphrase, which never leaves this computer.
std::string PasswordPromptText(const job::TransferJob& job) {
    if (!job.keyFile.empty()) return "Passphrase for key " + job.keyFile + ": ";
    return "Password for " + (job.userName.empty() ? "anonymous" : job.userName) + " at " + job.server + ": ";
}

int TerminalWidth() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

// Cuts a UTF-8 text to at most `width` characters, never inside a character.
std::string FitToWidth(const std::string& text, int width) {
    int count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) {
            if (count == width) {
                return text.substr(0, i);
            }
            ++count;
        }
    }
    return text;
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\t') {
            c = ' ';
        }
    }
    return text;
}

void DrawStatusLine(const progress::ProgressState& state, bool getMode) {
    const progress::ProgressView view =
        progress::ComputeView(state, getMode, std::chrono::steady_clock::now());
    std::string line = view.byteLine;
    if (view.hasTotal) {
        line += " " + std::to_string(view.percent) + "%";
    }
    if (!view.timeLeftLine.empty()) {
        line += "  " + view.timeLeftLine.substr(view.timeLeftLine.rfind(' ') + 1) + " left";
    }
    if (const std::string moving = progress::FilesMovingText(state); !moving.empty()) {
        line += "  " + moving;
    }
    // The files that move now: the last message may name one that ended a while ago.
    if (!state.moving.empty()) {
        for (const job::MovingFile& file : state.moving) {
            line += "  " + OneLine(file.name);
        }
    } else if (!state.lastMessage.empty()) {
        line += "  " + OneLine(state.lastMessage);
    }
    std::cout << '\r' << FitToWidth(line, TerminalWidth() - 1) << "\x1b[K" << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
    std::string usageError;
    const auto options = app::ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc), usageError);
    if (!options) {
        Error(usageError);
        std::cerr << "Try 'bxfr --help' for more information." << std::endl;
        return app::kExitUsage;
    }
    if (options->help) {
        std::cout << app::UsageText();
        return app::kExitCompleted;
    }
    if (options->version) {
        std::cout << "bxfr (Brindle FTP Wizard) " << BXFR_VERSION << std::endl;
        return app::kExitCompleted;
    }

    job::TransferJob job;
    job.reportProgress = 1;  // chunked moves, so the status line and Ctrl-C act within a file
    std::error_code ec;
    const std::filesystem::path path(options->transferFile);
    if (!std::filesystem::exists(path, ec)) {
        Error("cannot open the transfer file " + options->transferFile + ": no such file");
        return app::kExitNotLoaded;
    }
    std::string problem;
    if (job::LoadTransferFile(options->transferFile, job, job::DefaultPasswordCrypto(), &problem) !=
        job::kTransferFileLoaded) {
        Error(options->transferFile + " is not a valid transfer file" +
              (problem.empty() ? "" : ": " + problem));
        return app::kExitNotLoaded;
    }
    if (options->trust) {
        job.fingerprint = *options->trust;
    }
    if (options->logPath) {
        job.logPath = *options->logPath;
    }
    if (options->limitKiB) {
        job.speedLimit = *options->limitKiB;
    }
    if (options->connections) {
        job.connections = *options->connections;
    }
    if (options->verbose) {
        job.verbose = 1;
    }
    job.dryRun = options->dryRun;
    job.allowMassDelete = options->allowMassDelete;

    InstallInterruptHandler();
    if (options->passwordStdin) {
        std::string line;
        if (!std::getline(std::cin, line)) {
            Error(std::string("--password-stdin: no ") + (job.keyFile.empty() ? "password" : "passphrase") +
                  " on standard input");
            return app::kExitFailed;
        }
        job.password = StripLineEnd(line);
    } else if (job.promptPassword == 1) {
        std::string password;
        const std::string prompt = PasswordPromptText(job);
        if (!PromptPassword(prompt, password)) {
            if (interrupts > 0) {
                return app::kExitCancelled;
            }
            Error(std::string("the transfer file asks for ") +
                  (job.keyFile.empty() ? "a password" : "the passphrase of its key file") +
                  ", but there is no terminal to ask on; give it with --password-stdin");
            return app::kExitFailed;
        }
        job.password = password;
    }

    // A dry run's plan is its output: every line of it is printed, even on a terminal.
    const bool statusLine = !options->quiet && !job.dryRun && isatty(STDOUT_FILENO) == 1;
    const bool printMessages = !options->quiet && !statusLine;
    auto client = engine::MakeConnector();
    progress::TransferWorker worker(job, *client);
    worker.SetKeepLogText(false);
    if (printMessages) {
        worker.SetMessageListener([](const std::string& text, int newLine) {
            std::cout << text;
            if (newLine == 1) {
                std::cout << '\n';
            }
            std::cout << std::flush;
        });
    }
    const bool getMode = job.getMode == 1;
    const bool ignoreErrors = job.ignoreErrors != 0;
    worker.Start();
    bool cancelSent = false;
    while (!worker.WaitFinished(std::chrono::milliseconds(200))) {
        if (interrupts > 0 && !cancelSent) {
            cancelSent = true;
            worker.RequestCancel();
            if (statusLine) {
                std::cout << std::endl;
            }
            Error("cancelling; press Ctrl-C again to stop at once");
        }
        if (statusLine) {
            DrawStatusLine(worker.Snapshot(), getMode);
        }
    }
    worker.Join();
    const progress::ProgressState state = worker.Snapshot();
    if (statusLine) {
        // The totals stay on screen; the file that was moving last is of no interest now.
        progress::ProgressState last = state;
        last.lastMessage.clear();
        last.moving.clear();
        DrawStatusLine(last, getMode);
        // The worker's last message is the run's summary.
        std::cout << std::endl << OneLine(state.lastMessage) << std::endl;
    }

    if (state.untrustedCertificate) {
        std::string report =
            progress::UntrustedCertificateReport(*state.untrustedCertificate, job, options->transferFile);
        report.pop_back();
        Error(report);
        return app::kExitFailed;
    }
    const progress::TransferStatus status = progress::OutcomeOf(state, ignoreErrors);
    switch (status) {
        case progress::TransferStatus::Incomplete:
            Error(state.failure);
            Error(progress::ErrorDetails(state));
            return app::ExitCodeOf(status);
        case progress::TransferStatus::Cancelled:
            Error("the transfer was cancelled");
            return app::ExitCodeOf(status);
        case progress::TransferStatus::Failed:
            Error("the transfer failed" + (state.errorText.empty() ? std::string() : ": " + state.errorText));
            return app::ExitCodeOf(status);
        case progress::TransferStatus::Completed:
            break;
    }
    if (state.errorCode != 0) {
        Error("errors were ignored; the last was error " + std::to_string(state.errorCode) +
              (state.errorText.empty() ? std::string() : ": " + state.errorText));
    }
    if (!job.logPath.empty() && !options->quiet && !job.dryRun) {
        std::cout << "Log: " << job.logPath << std::endl;
    }
    return app::kExitCompleted;
}
