// What a progress display shows: percent, bytes, speed, time left and files at once.

#include "progress/progress_view.h"

#include <cstdio>

#include "engine/sizes.h"

namespace bxfr::progress {

std::string FormatTimeLeft(std::uint64_t seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>((seconds / 60) % 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

std::string ByteLine(const ProgressState& state, bool getMode, const std::string& speedText) {
    return std::string(getMode ? "Received " : "Sent ") + engine::FormatSize(state.doneBytes) + " of " +
           engine::FormatSize(state.totalBytes) + " " + speedText;
}

std::string FilesMovingText(const ProgressState& state) {
    return state.filesMoving > 1 ? std::to_string(state.filesMoving) + " files at once" : std::string();
}

std::string MovingFileBytes(const job::MovingFile& file) {
    if (file.size == 0) {
        return engine::FormatSize(file.doneBytes);
    }
    return engine::FormatSize(file.doneBytes) + " of " + engine::FormatSize(file.size);
}

std::string SummaryLine(const ProgressState& state, std::chrono::steady_clock::time_point now) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - state.start).count();
    const double elapsed = std::chrono::duration<double>(now - state.start).count();
    char speed[64];
    std::snprintf(speed, sizeof speed, "%.2f KB/Sec",
                  elapsed > 0 ? static_cast<double>(state.doneBytes) / 1024.0 / elapsed : 0.0);
    return "Summary: " + std::to_string(state.filesMoved) + " files moved, " +
           std::to_string(state.filesSkipped) + " skipped, " + std::to_string(state.filesFailed) +
           " failed; " + engine::FormatSize(state.doneBytes) + " in " +
           FormatTimeLeft(static_cast<std::uint64_t>(seconds)) + " (" + speed + " on average).";
}

ProgressView ComputeView(const ProgressState& state, bool getMode,
                         std::chrono::steady_clock::time_point now) {
    ProgressView view;
    view.hasTotal = state.totalBytes > 0;
    if (view.hasTotal) {
        const double percent =
            (100.0 / static_cast<double>(state.totalBytes)) * static_cast<double>(state.doneBytes);
        view.percent = percent > 100.0 ? 100 : static_cast<int>(percent);
        // The first seconds' speed says more about the login and the first file's start than
        // about the run: an estimate from it can read hundreds of hours.
        view.timeLeftLine = "Estimated time left: --:--";
        if (state.firstByte && now - *state.firstByte >= kSpeedSettles && state.doneBytes > 0) {
            const double elapsed = std::chrono::duration<double>(now - *state.firstByte).count();
            const double speed = static_cast<double>(state.doneBytes) / 1024.0 / elapsed;
            char text[64];
            std::snprintf(text, sizeof text, " (%.2f KB/Sec)", speed);
            view.speedText = text;
            const std::uint64_t left =
                state.totalBytes > state.doneBytes ? state.totalBytes - state.doneBytes : 0;
            const auto seconds = static_cast<std::uint64_t>(static_cast<double>(left) / 1024.0 / speed);
            view.timeLeftLine = "Estimated time left: " + FormatTimeLeft(seconds);
        }
    }
    view.byteLine = ByteLine(state, getMode, view.speedText);
    return view;
}

}  // namespace bxfr::progress
