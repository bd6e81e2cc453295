// The instruments every latency figure rests on, against a private server: what the player
// plays, the reference recorder hears, each onset once, in the order and spacing played.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "audio/PulseTestSupport.h"
#include "testkit/ReferenceRecorder.h"
#include "testkit/SignalPlayer.h"

namespace kftest {
namespace {

using namespace std::chrono_literals;

class TestKit : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.start()) << server_.log();
        ASSERT_TRUE(ref_.start("kit_out.monitor", error_)) << error_;
    }

    static double msBetween(ReferenceRecorder::Clock::time_point a,
                            ReferenceRecorder::Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    }

    PrivateServer server_{{"kit_out"}};
    ScopedEnv env_{"PULSE_SERVER", server_.server()};
    ReferenceRecorder ref_{0.25F, 100ms};
    std::string error_;
};

TEST_F(TestKit, EveryBurstIsHeardOnceAndTheGapsAreTheOnesPlayed) {
    BurstPlan plan;
    plan.freqs = {689.06, 1507.32};
    plan.count = 6;
    plan.onMs = 100;
    plan.gapMs = 200;
    ASSERT_TRUE(playBursts(plan, error_)) << error_;
    const auto onsets = ref_.onsets();
    ASSERT_EQ(onsets.size(), 6u);
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        // 300 ms apart as played; the null sink renders in real time, a fragment or a busy
        // moment either way.
        EXPECT_NEAR(msBetween(onsets[i - 1], onsets[i]), 300.0, 100.0) << "burst " << i;
    }
    for (const auto age : ref_.ages()) {
        EXPECT_LE(age, 50ms) << "an onset waited longer than any fragment the server grants";
    }
}

TEST_F(TestKit, EachClickIsHeardOnceAndItsWriteIsToldOnce) {
    constexpr int kClicks = 5;
    std::vector<long long> clickBlocks;
    auto options = SignalPlayer::Options::timing("clicks", clicksLength(kClicks));
    options.written = [&](long long first, SignalPlayer::Clock::time_point) {
        for (int k = 0; k < kClicks; ++k) {
            if (clickStart(k) >= first && clickStart(k) < first + 441) {
                clickBlocks.push_back(first);
            }
        }
    };
    SignalPlayer player(clicks(kClicks), std::move(options));
    ASSERT_TRUE(player.waitFinished()) << player.error();
    EXPECT_EQ(clickBlocks.size(), static_cast<std::size_t>(kClicks));
    EXPECT_EQ(player.played(), clicksLength(kClicks));
    const auto onsets = ref_.onsets();
    ASSERT_EQ(onsets.size(), static_cast<std::size_t>(kClicks));
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        EXPECT_NEAR(msBetween(onsets[i - 1], onsets[i]), 250.0, 100.0) << "click " << i;
    }
}

// A player without a server says why and never claims to have started.
TEST(TestKitPlayer, WithoutAServerItFailsWithAReason) {
    SignalPlayer player(sineAtBin(7, 0.5F, 0.5F), std::optional<std::string>("unix:/nonexistent"));
    EXPECT_FALSE(player.waitStarted(2s));
    EXPECT_TRUE(player.failed());
    EXPECT_FALSE(player.error().empty());
}

}  // namespace
}  // namespace kftest
