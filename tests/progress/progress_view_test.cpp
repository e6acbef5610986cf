#include <gtest/gtest.h>

#include "progress/progress_view.h"
#include "progress/transfer_worker.h"

namespace bxfr::progress {
namespace {

using namespace std::chrono_literals;

ProgressState StateAt(std::uint64_t total, std::uint64_t done) {
    ProgressState state;
    state.totalBytes = total;
    state.doneBytes = done;
    state.start = std::chrono::steady_clock::time_point(100s);
    return state;
}

TEST(ProgressView, NoTotalShowsZeroCountsAndNothingElse) {
    const ProgressView view = ComputeView(StateAt(0, 0), false, std::chrono::steady_clock::time_point(200s));
    EXPECT_FALSE(view.hasTotal);
    EXPECT_EQ(view.percent, 0);
    EXPECT_EQ(view.byteLine, "Sent 0 Bytes of 0 Bytes ");
    EXPECT_TRUE(view.speedText.empty());
    EXPECT_TRUE(view.timeLeftLine.empty());
}

TEST(ProgressView, SpeedPercentAndTimeLeft) {
    // 1 MiB of 3 MiB in 4 s: 256 KB/s, 2 MiB left = 8 s.
    const ProgressView view =
        ComputeView(StateAt(3 * 1048576, 1048576), true, std::chrono::steady_clock::time_point(104s));
    EXPECT_EQ(view.percent, 33);
    EXPECT_EQ(view.speedText, " (256.00 KB/Sec)");
    EXPECT_EQ(view.byteLine, "Recieved 1024.00 KB of 3.00 MB  (256.00 KB/Sec)");
    EXPECT_EQ(view.timeLeftLine, "Estimated time left: 00:00:08");
}

TEST(ProgressView, NothingMovedYetGivesNoEstimate) {
    const ProgressView view =
        ComputeView(StateAt(1000, 0), false, std::chrono::steady_clock::time_point(101s));
    EXPECT_EQ(view.speedText, " (0.00 KB/Sec)");
    EXPECT_TRUE(view.timeLeftLine.empty());
    // A clock that has not moved past the start tells no speed at all.
    EXPECT_TRUE(
        ComputeView(StateAt(1000, 10), false, std::chrono::steady_clock::time_point(100s)).speedText.empty());
}

TEST(ProgressView, CountsOverFourGibibytesAreNotWrapped) {
    const std::uint64_t total = 6ULL << 30;
    const ProgressView view =
        ComputeView(StateAt(total, 5ULL << 30), false, std::chrono::steady_clock::time_point(110s));
    EXPECT_EQ(view.percent, 83);
    EXPECT_EQ(view.byteLine.substr(0, 24), "Sent 5.00 GB of 6.00 GB ");
}

TEST(ProgressView, DaysFoldIntoHours) {
    EXPECT_EQ(FormatTimeLeft(86400 + 3600 + 60 + 1), "25:01:01");
    EXPECT_EQ(FormatTimeLeft(0), "00:00:00");
}

TEST(ProgressOutcome, ErrorBoxCancelAndResult) {
    ProgressState state;
    EXPECT_EQ(OutcomeOf(state, false), TransferStatus::Completed);
    state.cancelRequested = true;
    EXPECT_EQ(OutcomeOf(state, false), TransferStatus::Cancelled);
    state.errorCode = 12002;
    EXPECT_TRUE(ShowsErrorBox(state, false));
    EXPECT_EQ(OutcomeOf(state, false), TransferStatus::Incomplete);
    // Ignored errors show no box; the cancel and the result decide.
    EXPECT_EQ(OutcomeOf(state, true), TransferStatus::Cancelled);
    state.cancelRequested = false;
    state.runResult = 1;
    EXPECT_EQ(OutcomeOf(state, true), TransferStatus::Failed);
}

TEST(ProgressOutcome, ServerReplyStandsInForAMissingName) {
    ProgressState state;
    state.errorCode = 12003;
    state.errorDetail = "550 Permission denied.";
    state.errorText = "Could not send the file";
    EXPECT_EQ(ErrorBoxText(state),
              "An error has occurred during transfer : Error 12003\n\n550 Permission denied.\n\nCould not "
              "send the file");
    state.errorCode = 12029;
    EXPECT_EQ(ErrorBoxText(state).rfind(
                  "An error has occurred during transfer : Error 12029\n\nCannot connect\n\n", 0),
              0u);
}

}  // namespace
}  // namespace bxfr::progress
