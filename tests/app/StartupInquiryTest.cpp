// Start-up's questions to the compute runtime asked in a child process: the
// answers come back exactly, the runtime stays out of this process, and a
// child that fails leaves the questions to this process.
#include "app/StartupInquiry.h"

#include "compute/ComputeContext.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

using namespace corvel;

namespace {

// The answers of a pick that fills every field, with values whose decimal
// forms do not read back exactly unless written in full.
void oddPick(ServiceOptions& o) {
    o.upscaler = "neural";
    o.neuralMs = 0.1 + 0.2;
    o.studentMs.reset();
    o.mediumMs = 1.0 / 3.0;
    o.neuralBudgetMs = 1e-300;
    o.neuralFallback = "ravu-lite";
}

} // namespace

TEST(RunApart, TextComesBackWholeAndFailuresAreNone) {
    // More than a pipe holds: the parent reads while the child writes.
    const std::string big(1 << 20, 'x');
    EXPECT_EQ(runApart([&] { return big; }), big);
    EXPECT_EQ(runApart([] { return std::string(); }), std::string());
    // Run elsewhere: the child's process id is not ours.
    const auto pid = runApart([] { return std::to_string(::getpid()); });
    ASSERT_TRUE(pid.has_value());
    EXPECT_NE(*pid, std::to_string(::getpid()));

    EXPECT_FALSE(runApart([]() -> std::string { throw std::runtime_error("no"); }).has_value());
    EXPECT_FALSE(runApart([]() -> std::string {
                     std::raise(SIGKILL); // a crashed driver, say
                     return "never";
                 }).has_value());
}

TEST(StartupAnswers, EncodeDecodeKeepsEveryFieldExactly) {
    StartupAnswers answers;
    answers.device = true;
    oddPick(answers.picked);
    const auto back = decodeAnswers(encodeAnswers(answers));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(back->device);
    EXPECT_EQ(back->picked.upscaler, "neural");
    EXPECT_EQ(back->picked.neuralMs, 0.1 + 0.2);
    EXPECT_FALSE(back->picked.studentMs.has_value());
    EXPECT_EQ(back->picked.mediumMs, 1.0 / 3.0);
    EXPECT_EQ(back->picked.neuralBudgetMs, 1e-300);
    EXPECT_EQ(back->picked.neuralFallback, "ravu-lite");

    StartupAnswers none; // no device, no upscaler: empty names survive
    none.picked.upscaler.clear();
    const auto empty = decodeAnswers(encodeAnswers(none));
    ASSERT_TRUE(empty.has_value());
    EXPECT_FALSE(empty->device);
    EXPECT_EQ(empty->picked.upscaler, "");
    EXPECT_FALSE(empty->picked.neuralMs.has_value());
    EXPECT_EQ(empty->picked.neuralBudgetMs, 14.0);

    const std::string good = encodeAnswers(answers);
    EXPECT_FALSE(decodeAnswers(good.substr(0, good.size() - 1)).has_value()); // cut short
    EXPECT_FALSE(decodeAnswers("").has_value());
    EXPECT_FALSE(decodeAnswers("2\nx\n-\n-\n-\n14\n\n").has_value());
    EXPECT_FALSE(decodeAnswers("1\nx\n1.5ms\n-\n-\n14\n\n").has_value());
    EXPECT_FALSE(decodeAnswers("1\nx\n-\n-\n-\n-\n\n").has_value()); // the budget is never none
}

// One process-wide test: the first answer is noted in the compute context.
TEST(StartupInquiry, ThePickRunsApartAndTheRuntimeStaysOut) {
    ASSERT_FALSE(compute::ComputeContext::loaded());
    ServiceOptions options;
    const pid_t self = ::getpid();
    pid_t pickedIn = 0;
    const bool device = askComputeApart(options, true, [&](ServiceOptions& o) {
        oddPick(o);
        pickedIn = ::getpid();
        o.neuralFallback = std::to_string(pickedIn);
    });
    EXPECT_EQ(pickedIn, 0) << "the pick ran in this process";
    EXPECT_NE(options.neuralFallback, std::to_string(self));
    EXPECT_FALSE(options.neuralFallback.empty());
    EXPECT_EQ(options.upscaler, "neural");
    EXPECT_EQ(options.neuralMs, 0.1 + 0.2);
    EXPECT_FALSE(options.studentMs.has_value());
    EXPECT_EQ(options.mediumMs, 1.0 / 3.0);
    EXPECT_EQ(options.neuralBudgetMs, 1e-300);
    // The child's answer is what this process would have found, and asking
    // again here answers from the note without loading the runtime.
    EXPECT_FALSE(compute::ComputeContext::loaded());
    EXPECT_EQ(compute::ComputeContext::available(), device);
    EXPECT_FALSE(compute::ComputeContext::loaded());

    // Without the pick the options stay as they were.
    ServiceOptions plain;
    plain.upscaler = "bicubic";
    askComputeApart(plain, false, [](ServiceOptions&) { ADD_FAILURE() << "picked without being asked"; });
    EXPECT_EQ(plain.upscaler, "bicubic");
    EXPECT_FALSE(plain.neuralMs.has_value());
    EXPECT_FALSE(compute::ComputeContext::loaded());

    // A child that fails (here: the pick throws only in a child) leaves the
    // questions to this process, with the same answers.
    ServiceOptions here;
    askComputeApart(here, true, [self](ServiceOptions& o) {
        if (::getpid() != self) throw std::runtime_error("the child fails");
        oddPick(o);
    });
    EXPECT_EQ(here.upscaler, "neural");
    EXPECT_EQ(here.mediumMs, 1.0 / 3.0);
    EXPECT_EQ(here.neuralFallback, "ravu-lite");
}
