#pragma once

// What a progress display shows: percent, bytes, speed, time left and files at once.

#include <chrono>
#include <optional>
#include <string>

#include "progress/transfer_worker.h"

namespace bxfr::progress {

// The texts a progress display shows for one state at one moment.
struct ProgressView {
    bool hasTotal = false;
    int percent = 0;
    std::string speedText;     // " (%.2f KB/Sec)", empty when no speed can be told yet
    std::string byteLine;      // "Sent 1.00 KB of 2.00 KB (3.00 KB/Sec)"
    std::string timeLeftLine;  // "Estimated time left: hh:mm:ss", "--:--" until the speed has settled
};

// The speed is told once bytes have moved for this long.
inline constexpr std::chrono::seconds kSpeedSettles{2};

ProgressView ComputeView(const ProgressState& state, bool getMode, std::chrono::steady_clock::time_point now);

// "Sent <done> of <total> <speedText>", or "Received ..." for a get.
std::string ByteLine(const ProgressState& state, bool getMode, const std::string& speedText);

// "4 files at once" while several connections move files; empty otherwise.
std::string FilesMovingText(const ProgressState& state);

// "1.20 MB of 2.86 MB" for one moving file, or its bytes alone when its size is not known.
std::string MovingFileBytes(const job::MovingFile& file);

// The run's last line: files moved, skipped and failed, bytes, time and average speed.
std::string SummaryLine(const ProgressState& state, std::chrono::steady_clock::time_point now);

// "%02i:%02i:%02i" with whole days folded into the hours.
std::string FormatTimeLeft(std::uint64_t seconds);

}  // namespace bxfr::progress
