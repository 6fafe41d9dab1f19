#include "service/Key.h"

#include <gtest/gtest.h>

using namespace corvel;

namespace {
Key key(std::map<std::string, std::string> query) { return keyFromQuery("abc", query); }
} // namespace

TEST(Key, QualityAndUpDefaultsAndClamps) {
    EXPECT_EQ(key({}).quality, 2);
    EXPECT_EQ(key({{"q", "9"}}).quality, 4);
    EXPECT_EQ(key({{"q", "0"}}).quality, 1);
    EXPECT_EQ(key({{"q", "x"}}).quality, 2);
    EXPECT_EQ(key({{"q", "99999999999999"}}).quality, 4);
    EXPECT_EQ(key({}).up, "");
    EXPECT_EQ(key({{"up", "0"}}).up, "");
    EXPECT_EQ(key({{"up", "1"}}).up, "1");
    EXPECT_EQ(key({{"up", "bicubic"}}).up, "bicubic");
    Key plain = key({});
    EXPECT_FALSE(plain.hdr || plain.fi || plain.blacks || plain.tv);
    EXPECT_EQ(plain.tone, ToneParams());
    EXPECT_TRUE(key({{"fi", "1"}}).fi);
    EXPECT_FALSE(key({{"fi", "true"}}).fi); // exact "1" only
}

TEST(Key, TvAndAdaptiveKeys) {
    Key adaptive = key({{"tv", "1"}, {"abr", "3000"}, {"hdr", "1"}, {"fi", "1"}, {"up", "1"}, {"blacks", "1"}});
    EXPECT_TRUE(adaptive.tv);
    EXPECT_EQ(adaptive.abr, 3000);
    EXPECT_EQ(adaptive.seg, 4);
    EXPECT_FALSE(adaptive.hdr || adaptive.fi || adaptive.blacks);
    EXPECT_EQ(adaptive.up, "");
    EXPECT_EQ(adaptive.tone, ToneParams());

    EXPECT_EQ(key({{"tv", "1"}, {"seg", "2"}}).seg, 0); // seg only counts with abr
    EXPECT_EQ(key({{"tv", "1"}, {"abr", "1"}, {"seg", "9"}}).seg, 4);
    EXPECT_EQ(key({{"tv", "1"}, {"maxh", "100"}}).maxHeight, 144);
    EXPECT_EQ(key({{"tv", "1"}, {"audio", "-3"}}).audio, 0);
    EXPECT_TRUE(key({{"tv", "1"}, {"snd", "aac"}}).aac);
    EXPECT_TRUE(key({{"tv", "1"}, {"abr", "10"}, {"src", "pq"}}).srcPq);
    EXPECT_FALSE(key({{"tv", "1"}, {"src", "pq"}}).srcPq); // srcPq only in adaptive mode
    // Without tv=1 none of the TV keys is read.
    Key notTv = key({{"abr", "3000"}, {"maxh", "720"}, {"audio", "2"}, {"snd", "aac"}});
    EXPECT_EQ(notTv.abr, 0);
    EXPECT_EQ(notTv.maxHeight, 2160);
    EXPECT_EQ(notTv.audio, 0);
    EXPECT_FALSE(notTv.aac);
}

TEST(Key, ToneClamps) {
    EXPECT_EQ(key({{"hdr", "1"}, {"peak", "50"}}).tone.peak, 400);
    EXPECT_EQ(key({{"hdr", "1"}, {"peak", "0"}}).tone.peak, 406);
    EXPECT_EQ(key({{"hdr", "1"}}).tone.peak, 406);
    EXPECT_EQ(key({{"hdr", "1"}, {"tv", "1"}}).tone.peak, 1000);
    EXPECT_EQ(key({{"hdr", "1"}, {"peak", "5000"}}).tone.peak, 1400);
    EXPECT_EQ(key({{"hdr", "1"}, {"mid", "5"}}).tone.middleGrey, 10);
    EXPECT_FLOAT_EQ(key({{"hdr", "1"}, {"sat", "250"}}).tone.saturation, 2.0f);
    EXPECT_EQ(key({{"hdr", "1"}, {"con", "-4"}}).tone.contrast, 0);
    EXPECT_EQ(key({{"hdr", "1"}, {"str", "101"}}).tone.strength, 100);
    // Without hdr the tone keys are not read.
    EXPECT_EQ(key({{"peak", "1000"}, {"con", "150"}}).tone, ToneParams());
}

TEST(Key, EqualityComparesOnlyThePeakOfTheTone) {
    Key a = key({{"hdr", "1"}, {"con", "100"}});
    Key b = key({{"hdr", "1"}, {"con", "150"}, {"sat", "50"}, {"mid", "80"}, {"str", "10"}});
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == key({{"hdr", "1"}, {"peak", "1000"}}));
    EXPECT_FALSE(a == key({{"hdr", "1"}, {"q", "3"}}));
    EXPECT_EQ(key({{"tv", "1"}}).cacheKey(), "tv/abc");
    EXPECT_EQ(key({}).cacheKey(), "abc");
}

TEST(Key, RungSwitches) {
    Key a = key({{"tv", "1"}, {"abr", "3000"}});
    EXPECT_TRUE(isRungSwitch(a, key({{"tv", "1"}, {"abr", "1500"}})));
    EXPECT_FALSE(isRungSwitch(a, key({{"tv", "1"}, {"abr", "1500"}, {"seg", "2"}})));
    EXPECT_FALSE(isRungSwitch(a, a)); // the same key is no switch
    EXPECT_FALSE(isRungSwitch(a, keyFromQuery("other", {{"tv", "1"}, {"abr", "1500"}})));
    EXPECT_FALSE(isRungSwitch(key({}), key({{"q", "3"}})));
}

TEST(QuerySuffix, PiecesInOrder) {
    EXPECT_EQ(querySuffix(key({})), "?q=2&hdr=0");
    EXPECT_EQ(querySuffix(key({{"hdr", "1"}, {"con", "150"}})),
              "?q=2&hdr=1&sat=100&con=150&mid=50&peak=406&str=100");
    EXPECT_EQ(querySuffix(key({{"fi", "1"}, {"up", "neural-hb"}, {"blacks", "1"}, {"q", "3"}})),
              "?q=3&hdr=0&fi=1&up=neural-hb&blacks=1");
    EXPECT_EQ(querySuffix(key({{"tv", "1"}, {"snd", "aac"}, {"abr", "3000"}, {"src", "pq"}})),
              "?q=2&hdr=0&tv=1&audio=0&snd=aac&maxh=2160&abr=3000&seg=4&src=pq");
    EXPECT_EQ(querySuffix(key({{"hdr", "1"}, {"sat", "29"}})).substr(0, 22), "?q=2&hdr=1&sat=29&con=");
}

TEST(QuerySuffix, UpValuesThatWouldBreakTheListAreEncoded) {
    EXPECT_EQ(querySuffix(key({{"up", "a&b #\"c\n"}})), "?q=2&hdr=0&up=a%26b%20%23%22c%0A");
    EXPECT_EQ(encodeQueryValue("FSRCNNX-x2-8"), "FSRCNNX-x2-8");
    // A value the server decodes gives back the same key.
    EXPECT_EQ(key({{"up", "x y"}}).up, "x y");
}

TEST(KeyFromQuery, OverlongUpCountsAsAbsent) {
    // Every playlist URI repeats `up`: only values that could name a method
    // or a shader are taken.
    const std::string longest(kMaxUpBytes, 'a');
    EXPECT_EQ(keyFromQuery("abc", {{"up", longest}}).up, longest);
    EXPECT_EQ(keyFromQuery("abc", {{"up", longest + "a"}}).up, "");
    EXPECT_EQ(keyFromQuery("abc", {{"up", std::string(15000, 'x')}}), keyFromQuery("abc", {}));
    EXPECT_EQ(querySuffix(keyFromQuery("abc", {{"up", std::string(15000, '&')}})), "?q=2&hdr=0");
}
