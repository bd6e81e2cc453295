// The server connection against real servers of the test's own, PulseAudio and PipeWire: its
// state, the default output and its monitor by name, the change events, the named-source check.
#include "audio/PulseServer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "SoundServers.h"
#include "audio/PulseMainLoop.h"

using modBass::PulseMainLoop;
using modBass::PulseServer;
using namespace kftest;

namespace {

// What the server reported, on the loop's thread under its lock.
struct Reports final : PulseServer::Listener {
    int stateChanges = 0;
    int changes = 0;
    std::vector<PulseServer::DefaultOutput> outputs;

    void serverStateChanged() override { ++stateChanges; }
    void serverChanged() override { ++changes; }
    void defaultOutputIs(const PulseServer::DefaultOutput& output) override {
        outputs.push_back(output);
    }
    struct Latency {
        bool monitor;
        std::uint64_t us;
    };
    std::vector<Latency> latencies;
    void outputLatencyIs(bool monitor, std::uint64_t us) override {
        latencies.push_back({monitor, us});
    }
    int outputChanges = 0;
    void outputChanged() override { ++outputChanges; }
};

// A main loop and a server connection on it, as the capture has them.
class Connection {
  public:
    Connection() : server_(loop_, reports_) { started_ = loop_.start("kf-test-server"); }
    ~Connection() {
        if (started_) {
            PulseMainLoop::Lock lock(loop_);
            server_.drop();
        }
    }

    bool started() const { return started_; }
    PulseMainLoop& loop() { return loop_; }
    PulseServer& server() { return server_; }
    Reports& reports() { return reports_; }

    // Connects and waits until the connection is ready or has failed.
    PulseServer::State connect(std::chrono::milliseconds timeout = 3000ms) {
        PulseMainLoop::Lock lock(loop_);
        if (!server_.connect("kf-test")) {
            return server_.state();
        }
        loop_.wait(timeout, [&] {
            return server_.state() == PulseServer::State::Ready ||
                   server_.state() == PulseServer::State::Failed;
        });
        return server_.state();
    }

    // Asks for the default output and waits for the answer.
    std::optional<PulseServer::DefaultOutput> defaultOutput() {
        PulseMainLoop::Lock lock(loop_);
        const std::size_t before = reports_.outputs.size();
        server_.askDefaultOutput();
        if (!loop_.wait(2000ms, [&] { return reports_.outputs.size() > before; })) {
            return std::nullopt;
        }
        return reports_.outputs.back();
    }

    std::optional<Reports::Latency> latencyOf(const std::string& source) {
        PulseMainLoop::Lock lock(loop_);
        const std::size_t before = reports_.latencies.size();
        server_.askOutputLatency(source);
        if (!loop_.wait(2000ms, [&] { return reports_.latencies.size() > before; })) {
            return std::nullopt;
        }
        return reports_.latencies.back();
    }

    PulseServer::SourceCheck checkSource(const std::string& name) {
        PulseMainLoop::Lock lock(loop_);
        server_.checkSource(name);
        loop_.wait(2000ms,
                   [&] { return server_.sourceCheck() != PulseServer::SourceCheck::Pending; });
        return server_.sourceCheck();
    }

  private:
    PulseMainLoop loop_;
    Reports reports_;
    PulseServer server_;
    bool started_ = false;
};

}  // namespace

// Refused at once (connect() says so) or soon after (the state says so); never ready.
TEST(PulseServer, WhereNoServerListensTheConnectionFails) {
    ScopedEnv env("PULSE_SERVER", "unix:/nonexistent/kf-no-server");
    Connection c;
    ASSERT_TRUE(c.started());
    PulseMainLoop::Lock lock(c.loop());
    if (c.server().connect("kf-test")) {
        EXPECT_TRUE(c.loop().wait(
            2000ms, [&] { return c.server().state() == PulseServer::State::Failed; }));
        EXPECT_GE(c.reports().stateChanges, 1);
    } else {
        EXPECT_EQ(c.server().state(), PulseServer::State::None)
            << "a refused connection is dropped";
    }
    EXPECT_EQ(c.reports().outputs.size(), 0u);
}

class PulseServerOn : public OnEachServer {};
INSTANTIATE_TEST_SUITE_P(Servers, PulseServerOn,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire), kindName);

// The microphone is the server's default source; the monitor is what its default output plays.
TEST_P(PulseServerOn, NamesTheDefaultOutputAndItsMonitorByTheirRealNames) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Connection c;
    ASSERT_TRUE(c.started());
    ASSERT_EQ(c.connect(), PulseServer::State::Ready);
    const auto output = c.defaultOutput();
    ASSERT_TRUE(output.has_value()) << "no answer about the default output";
    EXPECT_EQ(output->sink, "kf_a");
    EXPECT_EQ(output->monitor, "kf_a.monitor");
}

TEST_P(PulseServerOn, ReportsANewDefaultOutputAsAServerChange) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Connection c;
    ASSERT_TRUE(c.started());
    ASSERT_EQ(c.connect(), PulseServer::State::Ready);
    {
        PulseMainLoop::Lock lock(c.loop());
        c.server().watchChanges();
    }
    ASSERT_TRUE(PulseControl(server->server().c_str()).setDefaultSink("kf_b"));
    {
        PulseMainLoop::Lock lock(c.loop());
        EXPECT_TRUE(c.loop().wait(2000ms, [&] { return c.reports().changes > 0; }))
            << "no change reported within 2 s of the switch";
    }
    const auto output = c.defaultOutput();
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(output->sink, "kf_b");
    EXPECT_EQ(output->monitor, "kf_b.monitor");
}

TEST_P(PulseServerOn, ChecksWhetherANamedSourceExists) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Connection c;
    ASSERT_TRUE(c.started());
    ASSERT_EQ(c.connect(), PulseServer::State::Ready);
    EXPECT_EQ(c.checkSource("kf_mic"), PulseServer::SourceCheck::Found);
    EXPECT_EQ(c.checkSource("kf_a.monitor"), PulseServer::SourceCheck::Found);
    EXPECT_EQ(c.checkSource("kleurflits_no_such_source"), PulseServer::SourceCheck::Missing);
}

// The delay follows an output's latency; a microphone has none to follow.
TEST_P(PulseServerOn, AsksAnOutputsLatencyThroughItsMonitorAndCallsAMicrophoneLive) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Connection c;
    ASSERT_TRUE(c.started());
    ASSERT_EQ(c.connect(), PulseServer::State::Ready);
    const auto output = c.latencyOf("kf_a.monitor");
    ASSERT_TRUE(output.has_value()) << "no answer about the output's latency";
    EXPECT_TRUE(output->monitor);
    const auto mic = c.latencyOf("kf_mic");
    ASSERT_TRUE(mic.has_value()) << "no answer about the microphone";
    EXPECT_FALSE(mic->monitor);
    EXPECT_EQ(mic->us, 0u);
}

// PulseAudio without a sink has no default output; pipewire-pulse then offers a dummy one.
TEST_P(PulseServerOn, WithoutAnyOutputTheAnswerNamesNoMonitorOrTheDummyOutputs) {
    auto server = makeServer({});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Connection c;
    ASSERT_TRUE(c.started());
    ASSERT_EQ(c.connect(), PulseServer::State::Ready);
    const auto output = c.defaultOutput();
    ASSERT_TRUE(output.has_value());
    if (GetParam() == ServerKind::PulseAudio) {
        EXPECT_EQ(output->sink, "");
        EXPECT_EQ(output->monitor, "");
    } else {
        EXPECT_EQ(output->sink, "auto_null");
        EXPECT_EQ(output->monitor, "auto_null.monitor");
    }
}

TEST_P(PulseServerOn, AServerThatDiesFailsTheConnectionAndSaysSo) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Connection c;
    ASSERT_TRUE(c.started());
    ASSERT_EQ(c.connect(), PulseServer::State::Ready);
    int changesBefore = 0;
    {
        PulseMainLoop::Lock lock(c.loop());
        changesBefore = c.reports().stateChanges;
    }
    server->kill();
    PulseMainLoop::Lock lock(c.loop());
    EXPECT_TRUE(
        c.loop().wait(2000ms, [&] { return c.server().state() == PulseServer::State::Failed; }));
    EXPECT_GT(c.reports().stateChanges, changesBefore);
    c.server().checkSource("kf_a.monitor");
    EXPECT_EQ(c.server().sourceCheck(), PulseServer::SourceCheck::Missing)
        << "a failed connection answers at once";
}
