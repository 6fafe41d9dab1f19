#include "common/Env.h"
#include "common/Fmt.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace corvel;

TEST(Fmt, RoundsLikePrintf) {
    EXPECT_EQ(fmt(0, 12.6), "13");
    EXPECT_EQ(fmt(1, 3.0), "3.0");
    EXPECT_EQ(fmt(2, 2.5), "2.50");
    EXPECT_EQ(fmt(1, -0.04), "-0.0");
    EXPECT_EQ(fmt(3, 1234567.0), "1234567.000");
}

TEST(ParseInt, AcceptsOnlyWholeDecimalText) {
    EXPECT_EQ(parseInt("8080"), 8080);
    EXPECT_EQ(parseInt("+8080"), 8080);
    EXPECT_EQ(parseInt("-12"), -12);
    EXPECT_EQ(parseInt("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "+", "-", "abc", "12a", " 12", "12 ", "1.0", "0x10",
                            "9223372036854775808", "--1"}) {
        EXPECT_FALSE(parseInt(bad).has_value()) << bad;
    }
}

TEST(ParseInt, WithinBoundsOnly) {
    EXPECT_EQ(parseIntIn("1", 1, 16), 1);
    EXPECT_EQ(parseIntIn("16", 1, 16), 16);
    // Out of range, text that is no number, and numbers beyond int (which a
    // narrowing cast would have wrapped into range) are all refused.
    for (const char* bad : {"0", "17", "-1", "", " 2", "2x", "4294967297"}) {
        EXPECT_FALSE(parseIntIn(bad, 1, 16).has_value()) << bad;
    }
}

TEST(EnvIntIn, UnsetEmptyOrOutOfBoundsGiveNone) {
    const char* name = "CORVEL_TEST_ENV_INT_IN";
    ::unsetenv(name);
    EXPECT_FALSE(envIntIn(name, 1, 16, "test", "the default").has_value());
    ::setenv(name, "", 1);
    EXPECT_FALSE(envIntIn(name, 1, 16, "test", "the default").has_value());
    ::setenv(name, "8", 1);
    EXPECT_EQ(envIntIn(name, 1, 16, "test", "the default"), 8);
    for (const char* bad : {"0", "17", "eight", " 8"}) {
        ::setenv(name, bad, 1);
        EXPECT_FALSE(envIntIn(name, 1, 16, "test", "the default").has_value()) << bad;
    }
    ::unsetenv(name);
}

TEST(ParseDouble, AcceptsFiniteDecimalsOnly) {
    EXPECT_DOUBLE_EQ(*parseDouble("12.6"), 12.6);
    EXPECT_DOUBLE_EQ(*parseDouble("-3"), -3.0);
    EXPECT_DOUBLE_EQ(*parseDouble(".5"), 0.5);
    EXPECT_DOUBLE_EQ(*parseDouble("1e3"), 1000.0);
    for (const char* bad : {"", "abc", "1.5x", " 1", "nan", "inf", "-infinity", "0x1p3", "1e999"}) {
        EXPECT_FALSE(parseDouble(bad).has_value()) << bad;
    }
}

TEST(Env, EmptyCountsAsAbsentButRawSeesIt) {
    unsetenv("ENHANCE_TEST_VAR");
    EXPECT_EQ(env("ENHANCE_TEST_VAR", "fallback"), "fallback");
    EXPECT_FALSE(rawEnv("ENHANCE_TEST_VAR").has_value());
    setenv("ENHANCE_TEST_VAR", "", 1);
    EXPECT_EQ(env("ENHANCE_TEST_VAR", "fallback"), "fallback");
    EXPECT_EQ(rawEnv("ENHANCE_TEST_VAR"), "");
    setenv("ENHANCE_TEST_VAR", "value", 1);
    EXPECT_EQ(env("ENHANCE_TEST_VAR", "fallback"), "value"); // read afresh each call
    unsetenv("ENHANCE_TEST_VAR");
}
