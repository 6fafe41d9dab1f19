#include "common/EnhanceError.h"
#include "compute/ComputeContext.h"
#include "compute/ProgramBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <fstream>
#include <string>

using namespace corvel;
using namespace corvel::compute;

namespace {

// Anonymous resident memory of this process, kB.
long rssAnonKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
    return -1;
}

// A kernel no cache holds yet: the runtime's cache knows a program by its
// preprocessed text, so what differs is in the code, not a comment.
std::string freshSource() {
    static std::random_device random;
    return "__kernel void add(__global float* a, float b) { a[get_global_id(0)] += b * " +
           std::to_string(random() % 1000000) + ".0f + " + std::to_string(random() % 1000000) +
           ".0f; }\n";
}

struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(ProgramBuilder, RequestsSurviveTheTripAndMalformedOnesAreRefused) {
    const BuildRequest request{"1", "-DX=12 -cl-fast-relaxed-math",
                               {"// 3\n7\nkernel", "", std::string("a\0b", 3)}};
    const std::string bytes = encodeBuildRequest(request);
    const std::optional<BuildRequest> back = decodeBuildRequest(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->device, request.device);
    EXPECT_EQ(back->options, request.options);
    EXPECT_EQ(back->sources, request.sources);
    // Every cut-short request, and one with a byte more, is refused.
    for (size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(decodeBuildRequest(bytes.substr(0, n))) << n;
    EXPECT_FALSE(decodeBuildRequest(bytes + "x"));
    // Counts and sizes that are not what they claim (device "0", no options).
    EXPECT_TRUE(decodeBuildRequest("1\n00\n1\n11\na"));
    EXPECT_FALSE(decodeBuildRequest("1\n00\n1\n0"));                // no sources
    EXPECT_FALSE(decodeBuildRequest("1\n00\n1\nx1\na"));           // not a number
    EXPECT_FALSE(decodeBuildRequest("1\n00\n1\n1-1\n"));           // a negative size
    EXPECT_FALSE(decodeBuildRequest("1\n00\n1\n199999999999\n"));  // past the end
    EXPECT_FALSE(decodeBuildRequest("1\n00\n2\n65"));               // too many sources
    // One request, one encoding: no sign, no leading zero.
    EXPECT_FALSE(decodeBuildRequest("+1\n00\n1\n11\na"));
    EXPECT_FALSE(decodeBuildRequest("1\n00\n1\n101\na"));
    EXPECT_FALSE(decodeBuildRequest("1\n00\n2\n01\n11\na"));
}

TEST(ProgramBuilder, KeysNameWhatIsBuiltWhereTheCacheIs) {
    const BuildRequest request{"0", "-DA=1", {"one", "two"}};
    const std::string key = buildKey(request, "cpu\n3.1");
    EXPECT_EQ(key.size(), 16u);
    EXPECT_EQ(buildKey(request, "cpu\n3.1"), key);
    EXPECT_NE(buildKey(request, "cpu\n3.2"), key);
    EXPECT_NE(buildKey({"0", "-DA=2", {"one", "two"}}, "cpu\n3.1"), key);
    EXPECT_NE(buildKey({"0", "-DA=1", {"one", "twp"}}, "cpu\n3.1"), key);
    // The same text split differently is another program.
    EXPECT_NE(buildKey({"0", "-DA=1", {"onet", "wo"}}, "cpu\n3.1"), key);
    test::TempDir cache;
    ScopedEnv where("POCL_CACHE_DIR", cache.path());
    EXPECT_NE(buildKey(request, "cpu\n3.1"), key);
}

// A program the kernel cache does not hold is compiled by the child: this
// process's build finds it cached and keeps none of the compiler's state,
// and the mark says so for the next build. Without the builder the same kind
// of build compiles here, and the compiler's state stays.
TEST(ProgramBuilder, ACacheMissIsCompiledByTheChildNotByThisProcess) {
    auto context = ComputeContext::create("cpu");
    if (context->isGpu()) GTEST_SKIP() << "no CPU device";
    ASSERT_FALSE(programBuilderPath().empty());
    test::TempDir marks;
    ScopedEnv markHome("CORVEL_ENHANCE_PROGRAM_MARKS", marks.path());

    const std::string apart = freshSource();
    ScopedEnv toStderr("CORVEL_ENHANCE_LOG_STDERR", "1");
    testing::internal::CaptureStderr();
    const long before = rssAnonKb();
    cl_program program = context->program("apart", {apart.c_str()});
    const long grown = rssAnonKb() - before;
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(context->kernel(program, "add"));
    EXPECT_LT(grown, 40 * 1024) << "kB";
    EXPECT_NE(said.find("compute: program apart built for the kernel cache by the program builder in "),
              std::string::npos)
        << said;
    // Marked: a second process-wide build (a new context) goes straight to
    // the cache, without a child or a line.
    testing::internal::CaptureStderr();
    auto again = ComputeContext::create("cpu");
    EXPECT_TRUE(again->kernel(again->program("apart", {apart.c_str()}), "add"));
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("program builder"), std::string::npos);
    int markCount = 0;
    for (const auto& entry : std::filesystem::directory_iterator(marks.path()))
        markCount += entry.is_regular_file();
    EXPECT_EQ(markCount, 1);

    ScopedEnv noBuilder("CORVEL_ENHANCE_PROGRAM_BUILDER", "none");
    EXPECT_TRUE(programBuilderPath().empty());
    const std::string here = freshSource();
    const long beforeHere = rssAnonKb();
    context->program("here", {here.c_str()});
    EXPECT_GT(rssAnonKb() - beforeHere, 40 * 1024) << "kB (the compiler kept nothing: the check above proves little)";
}

// The child only warms the cache: a build it cannot do (a broken program, no
// builder at the named place) leaves no mark and the service's own build
// answers as it always did.
TEST(ProgramBuilder, FailuresLeaveTheBuildAsItWas) {
    auto context = ComputeContext::create("cpu");
    if (context->isGpu()) GTEST_SKIP() << "no CPU device";
    test::TempDir marks;
    ScopedEnv markHome("CORVEL_ENHANCE_PROGRAM_MARKS", marks.path());
    const std::string broken = "__kernel void k(__global int* a) { a[0] = undeclared" +
                               std::to_string(getpid()) + "; }";
    EXPECT_FALSE(buildApart({"0", "", {broken}}));
    try {
        context->program("broken", {broken.c_str()});
        FAIL();
    } catch (const EnhanceError& e) {
        EXPECT_NE(e.description().find("did not build"), std::string::npos) << e.description();
    }
    EXPECT_TRUE(std::filesystem::is_empty(marks.path()));

    ScopedEnv missing("CORVEL_ENHANCE_PROGRAM_BUILDER", marks.file("no-such-builder"));
    EXPECT_TRUE(programBuilderPath().empty());
    const std::string fine = freshSource();
    EXPECT_FALSE(buildApart({"0", "", {fine}}));
    EXPECT_TRUE(context->kernel(context->program("fine", {fine.c_str()}), "add"));
}
