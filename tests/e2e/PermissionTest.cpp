// The program run by an ordinary user who is not in the group dialout: a serial device only
// root and its group may open is named once with the remedy; a board the user may open lights
// as usual.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "audio/PulseTestSupport.h"
#include "e2e/AsNobody.h"
#include "e2e/ProgramTest.h"
#include "e2e/Wire.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp4;
using kftest::lampTone;
using kftest::SignalPlayer;

class AsOrdinaryUser : public Program {};

TEST_F(AsOrdinaryUser, APortItMayNotOpenIsNamedOnceAndTheBoardItMayOpenLights) {
    KF_REQUIRE(kftest::PrivateServer::available(), "the pulseaudio daemon (package pulseaudio)");
    KF_REQUIRE(std::filesystem::exists("/usr/bin/setpriv"), "setpriv (package util-linux)");
    kftest::PrivateServer server({"kf_null"});
    startForOthers(server);

    Icp12Sim barred;
    Icp12Sim allowed;
    openToOthers(std::filesystem::path(allowed.slavePath()).parent_path());
    // As a serial device is: root's and its group's; and one the user was given.
    ASSERT_EQ(::chmod(barred.devicePath().c_str(), 0660), 0);
    ASSERT_EQ(::chmod(allowed.devicePath().c_str(), 0666), 0);

    start({&barred, &allowed}, {{"PULSE_SERVER", server.server()}, {"HOME", "/nonexistent"}},
          kNobody);
    const std::string named = "no permission to open " + barred.slavePath();
    ASSERT_TRUE(run_->waitForOutput(named, 20s));

    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp4, Ear::Left), server.server());
    ASSERT_TRUE(tone->waitStarted());
    EXPECT_TRUE(
        allowed.waitForState([](const Icp12State& s) { return s.lit() == kLamp4.mask(); }, 10s))
        << allowed.summary();
    tone.reset();
    EXPECT_EQ(barred.receivedCount(), 0U);

    terminate();
    expectIcp12LeftDark(allowed, "the board the user may open");
    const std::string output = run_->output();
    EXPECT_EQ(occurrences(output, named), 1U) << output;
    EXPECT_EQ(occurrences(output, "no permission"), 1U) << output;
    EXPECT_NE(output.find("sudo adduser $USER dialout"), std::string::npos);
}

}  // namespace
}  // namespace kfe2e
