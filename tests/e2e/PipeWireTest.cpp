// The program on a PipeWire desktop: a private PipeWire with pipewire-pulse, two outputs and a
// silent microphone as the default input. What is played on the default output lights the lamps.

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <thread>

#include "e2e/ProgramTest.h"
#include "e2e/Wire.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/PipeWireServer.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::lampTone;
using kftest::SignalPlayer;

class OnPipeWire : public Program {};

TEST_F(OnPipeWire, ALeftToneOnTheDefaultOutputLightsTheLeftBand4LampPastTheSilentMicrophone) {
    KF_REQUIRE(kftest::PipeWireServer::available(),
               "pipewire, wireplumber, pipewire-pulse and dbus-daemon");
    kftest::PipeWireServer server({"kf_a", "kf_b"}, "kf_mic");
    ASSERT_TRUE(server.start()) << server.log();
    {
        kftest::PulseControl control(server.server().c_str());
        ASSERT_EQ(control.defaultSource(), "kf_mic");
        ASSERT_EQ(control.defaultSink(), "kf_a");
    }
    Icp12Sim icp;
    start({&icp}, {{"PULSE_SERVER", server.server()}, {"KLEURFLITS_AUDIO_SOURCE", std::nullopt}});
    ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 20s))
        << icp.summary();

    // 301 Hz (bin 7) on the left only, on the default output.
    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left), server.server());
    ASSERT_TRUE(tone->waitStarted());
    ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.lit() == kLamp3.mask(); }, 10s))
        << icp.summary();
    // A steady second of that one lamp and no other.
    const Icp12State a = icp.state();
    std::this_thread::sleep_for(1s);
    const Icp12State b = icp.state();
    EXPECT_EQ(b.lit(), kLamp3.mask()) << icp.summary();
    const auto ons = onsBetween(a, b);
    EXPECT_GE(ons[2], 50u);
    for (std::size_t i = 0; i < 8; ++i) {
        if (i != 2) {
            EXPECT_LE(ons[i], ons[2] / 20) << "output " << i + 1;
        }
    }

    terminate();
    tone.reset();
    expectIcp12LeftDark(icp, "iCP12");
}

}  // namespace
}  // namespace kfe2e
