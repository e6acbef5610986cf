#include "job/command_line.h"

#include <gtest/gtest.h>

namespace bxfr::job {
namespace {

void ExpectParsed(const CommandLine& got, const std::string& path, bool transferNow, bool editOnly) {
    EXPECT_EQ(got.path, path);
    EXPECT_EQ(got.transferNow, transferNow) << path;
    EXPECT_EQ(got.editOnly, editOnly) << path;
}

TEST(CommandLine, OneTextRule) {
    ExpectParsed(ParseCommandLine("\"My Jobs\\a b.bxt\" /t"), "My Jobs\\a b.bxt", true, false);
    ExpectParsed(ParseCommandLine("job.bxt /e"), "job.bxt", false, true);
    // "/e" before "/t" sets both; behind "/t" it is cut away with it.
    ExpectParsed(ParseCommandLine("job.bxt /e /t"), "job.bxt", true, true);
    ExpectParsed(ParseCommandLine("job.bxt /t /e"), "job.bxt", true, false);
    // Switches are case-sensitive and found anywhere but at position 0, also inside a path.
    ExpectParsed(ParseCommandLine("job.bxt /T"), "job.bxt /T", false, false);
    ExpectParsed(ParseCommandLine("/home/me/transfers/a.bxt"), "/home/m", true, false);
    ExpectParsed(ParseCommandLine("/tmp/a.bxt"), "/tmp/a.bxt", false, false);
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
        const char* line;
        int loadResult;
        const TransferJob& job;
        D want;
    } cases[] = {
        {"", 0, automatic, D::WizardWithoutFile},      {"a.bxt", 0, plain, D::WizardWithFile},
        {"a.bxt", 0, automatic, D::DirectTransfer},    {"a.bxt /t", 0, plain, D::DirectTransfer},
        {"a.bxt /e", 0, automatic, D::WizardWithFile}, {"a.bxt /t", 2, automatic, D::WizardWithoutFile},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecideStartup(ParseCommandLine(c.line), c.loadResult, c.job), c.want)
            << c.line << " / " << c.loadResult;
}

}  // namespace
}  // namespace bxfr::job
