// Linked into every test program that plays or records sound: the process gets a PulseAudio
// server of its own, with one null sink as the default output, for all its tests. No test hears
// another test's tones, none plays into the speakers of the machine it runs on, and ctest in a
// build folder needs no server started beforehand. A server that does not start fails the
// whole program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "audio/PulseTestSupport.h"

namespace {

class OwnSoundServer : public testing::Environment {
  public:
    void SetUp() override {
        server_ = std::make_unique<kftest::PrivateServer>(std::vector<std::string>{"kf_null"});
        ASSERT_TRUE(server_->start())
            << "a PulseAudio server of the test's own did not start (Debian package "
               "pulseaudio, scripts/setup --tests installs it): "
            << server_->log();
        ::setenv("PULSE_SERVER", server_->server().c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("PULSE_SERVER");
        server_.reset();
    }

  private:
    std::unique_ptr<kftest::PrivateServer> server_;
};

[[maybe_unused]] testing::Environment* const registered =
    testing::AddGlobalTestEnvironment(new OwnSoundServer);

}  // namespace
