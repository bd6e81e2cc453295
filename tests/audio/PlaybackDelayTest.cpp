// How far behind the newest frame the analysis looks: the output's latency plus the user's own,
// followed a frame's worth at a time, capped at a second; and the variable that sets the user's.
#include "audio/PlaybackDelay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "PulseTestSupport.h"

using modBass::PlaybackDelay;
using Kind = PlaybackDelay::Latency::Kind;

namespace {

PlaybackDelay::Latency output(std::int64_t us) {
    return {Kind::Output, us};
}

// What was written to a notices file.
std::string contents(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
        s += buf;
    }
    return s;
}

}  // namespace

TEST(PlaybackDelay, TakesTheFirstLatencyAtOnceAndGlidesToTheNextAFrameAtATime) {
    PlaybackDelay delay;
    EXPECT_EQ(delay.next({Kind::Unknown, 0}), 0) << "nothing known: the newest frames";
    EXPECT_EQ(delay.next(output(250000)), 11025) << "250 ms of an output, taken at once";
    EXPECT_EQ(delay.next({Kind::Unknown, 0}), 11025) << "while the server is asked again";
    // To a shallow output: never more than 441 frames (10 ms) per analysis.
    int previous = delay.current();
    int steps = 0;
    while (delay.next(output(2000)) != 88) {
        EXPECT_LE(previous - delay.current(), PlaybackDelay::kStepFrames);
        EXPECT_LT(delay.current(), previous);
        previous = delay.current();
        ASSERT_LT(++steps, 100);
    }
    EXPECT_EQ(steps, 24) << "11025 - 88 frames at 441 a step";
    EXPECT_EQ(delay.next(output(2100)), 92) << "a small change is followed in one step";
}

TEST(PlaybackDelay, AMicrophoneIsHeardLiveWhateverTheUserAdded) {
    PlaybackDelay delay(100);
    EXPECT_EQ(delay.next(output(0)), 4410) << "100 ms of the user's on a shallow output";
    for (int i = 0; i < 10; ++i) {
        delay.next({Kind::Live, 0});
    }
    EXPECT_EQ(delay.current(), 0);
    delay.reset();
    EXPECT_EQ(delay.next(output(40000)), 1764 + 4410) << "after a reset taken at once";
}

TEST(PlaybackDelay, MoreThanASecondIsCappedAndSaidOnce) {
    std::FILE* notices = std::tmpfile();
    ASSERT_NE(notices, nullptr);
    PlaybackDelay delay(300, notices);
    EXPECT_EQ(delay.next(output(700000)), PlaybackDelay::kMaxFrames) << "700 + 300 ms is the cap";
    EXPECT_EQ(contents(notices), "");
    delay.reset();
    EXPECT_EQ(delay.next(output(900000)), PlaybackDelay::kMaxFrames);
    delay.next(output(2000000));
    const std::string said = contents(notices);
    EXPECT_NE(said.find("1200 ms"), std::string::npos) << said;
    EXPECT_NE(said.find("at most 1000 ms"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line: " << said;
    std::fclose(notices);
}

TEST(PlaybackDelayVariable, TakesWholeMillisecondsFromZeroToASecond) {
    EXPECT_EQ(PlaybackDelay::parseUserMs("0"), 0);
    EXPECT_EQ(PlaybackDelay::parseUserMs("100"), 100);
    EXPECT_EQ(PlaybackDelay::parseUserMs("1000"), 1000);
    for (const char* bad :
         {"", "1001", "-5", "+5", " 5", "5 ", "12ms", "1.5", "abc", "99999999999999999999"}) {
        EXPECT_FALSE(PlaybackDelay::parseUserMs(bad).has_value()) << '"' << bad << '"';
    }
}

TEST(PlaybackDelayVariable, ABadValueIsNamedOnceAndAddsNothing) {
    std::FILE* notices = std::tmpfile();
    ASSERT_NE(notices, nullptr);
    {
        kftest::ScopedEnv unset("KLEURFLITS_DELAY_MS", std::nullopt);
        EXPECT_EQ(PlaybackDelay::userMsFromEnvironment(notices), 0);
    }
    {
        kftest::ScopedEnv good("KLEURFLITS_DELAY_MS", "250");
        EXPECT_EQ(PlaybackDelay::userMsFromEnvironment(notices), 250);
    }
    EXPECT_EQ(contents(notices), "");
    kftest::ScopedEnv bad("KLEURFLITS_DELAY_MS", "2s");
    EXPECT_EQ(PlaybackDelay::userMsFromEnvironment(notices), 0);
    const std::string said = contents(notices);
    EXPECT_NE(said.find("KLEURFLITS_DELAY_MS=\"2s\""), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line: " << said;
    std::fclose(notices);
}
