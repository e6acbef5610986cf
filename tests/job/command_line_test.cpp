#include "job/command_line.h"

#include <gtest/gtest.h>

namespace bxfr::job {
namespace {

void ExpectParsed(const CommandLine& got, const std::string& path, bool transferNow, bool editOnly) {
    EXPECT_EQ(got.path, path);
    EXPECT_EQ(got.transferNow, transferNow) << path;
    EXPECT_EQ(got.editOnly, editOnly) << path;
}

TEST(CommandLine, ArgumentVectorRule) {
    ExpectParsed(ParseArguments({"/home/me/transfers/a.bxt", "/t"}), "/home/me/transfers/a.bxt", true, false);
    ExpectParsed(ParseArguments({"\"My", "Jobs/a.bxt\"", "/e"}), "My Jobs/a.bxt", false, true);
    ExpectParsed(ParseArguments({"a.bxt", "/t", "/e"}), "a.bxt", true, false);
    ExpectParsed(ParseArguments({"/t"}), "/t", false, false);
}

TEST(CommandLine, StartupDecisionMatrix) {
    TransferJob plain;
    TransferJob automatic;
    automatic.autoTransfer = 1;
    using D = StartupDecision;
    struct Case {
        std::vector<std::string> args;
        int loadResult;
        const TransferJob& job;
        D want;
    } cases[] = {
        {{}, 0, automatic, D::WizardWithoutFile},
        {{"a.bxt"}, 0, plain, D::WizardWithFile},
        {{"a.bxt"}, 0, automatic, D::DirectTransfer},
        {{"a.bxt", "/t"}, 0, plain, D::DirectTransfer},
        {{"a.bxt", "/e"}, 0, automatic, D::WizardWithFile},
        {{"a.bxt", "/t"}, 2, automatic, D::WizardWithoutFile},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecideStartup(ParseArguments(c.args), c.loadResult, c.job), c.want)
            << c.args.size() << " / " << c.loadResult;
}

}  // namespace
}  // namespace bxfr::job
