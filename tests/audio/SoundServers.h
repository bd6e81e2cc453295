#pragma once
// The capture tests that run once on each sound server the program meets: PulseAudio, and
// PipeWire with pipewire-pulse. Each test starts a server of its own.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "PulseTestSupport.h"
#include "support/Require.h"
#include "testkit/SoundServer.h"

namespace kftest {

inline std::string kindName(const ::testing::TestParamInfo<ServerKind>& info) {
    return info.param == ServerKind::PulseAudio ? "PulseAudio" : "PipeWire";
}

inline void PrintTo(ServerKind kind, std::ostream* os) {
    *os << (kind == ServerKind::PulseAudio ? "PulseAudio" : "PipeWire");
}

// A fixture for both servers; a server that cannot be started fails the test.
class OnEachServer : public ::testing::TestWithParam<ServerKind> {
  protected:
    // sinks: the first one is the default output; mic: the default source.
    std::unique_ptr<TestSoundServer> makeServer(std::vector<std::string> sinks,
                                                std::string mic = "kf_mic") {
        return makeSoundServer(GetParam(), std::move(sinks), std::move(mic));
    }
    void SetUp() override {
        const char* what = GetParam() == ServerKind::PulseAudio
                               ? "the pulseaudio daemon (package pulseaudio)"
                               : "pipewire, wireplumber, pipewire-pulse and dbus-daemon";
        KF_REQUIRE(soundServerAvailable(GetParam()), what);
    }
};

}  // namespace kftest
