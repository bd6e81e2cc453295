// The audio library on PulseAudio through its six calls: the calls without a server, and the
// real server (the shared null sink; a private server, PulseAudio or PipeWire, for the tests
// that switch outputs or kill it).
#include "audio/PulseAudioLibrary.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>

#include "PulseTestSupport.h"
#include "SoundServers.h"
#include "audio/modBass.h"
#include "support/Require.h"

using modBass::PulseAudioLibrary;
using namespace kftest;

namespace {

constexpr std::uint32_t kFftBytes = modBass::kFftValues * sizeof(float);

using Spectrum = std::array<float, modBass::kFftValues>;

int argmax(const Spectrum& f) {
    return static_cast<int>(std::max_element(f.begin(), f.end()) - f.begin());
}

float channelMax(const Spectrum& f, int channel) {
    float m = 0.0f;
    for (int k = 0; k < 512; ++k)
        m = std::max(m, f[2 * k + channel]);
    return m;
}

// A one-channel tone at `bin` is the loudest value, and the other channel is near zero.
bool toneVisible(const Spectrum& f, int bin, int channel) {
    const int index = 2 * bin + channel;
    return argmax(f) == index && f[index] > 0.05f && channelMax(f, 1 - channel) < 1e-3f;
}

// Polls the FFT every 2 ms until pred holds or the timeout passes; returns when it first held.
template <class Pred>
std::optional<Clock::time_point> pollFft(PulseAudioLibrary& lib, modBass::HRECORD h,
                                         std::chrono::milliseconds timeout, Pred pred,
                                         Spectrum* last = nullptr) {
    const auto deadline = Clock::now() + timeout;
    Spectrum f{};
    while (Clock::now() < deadline) {
        f.fill(0.0f);
        if (lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest) ==
                static_cast<int>(kFftBytes) &&
            pred(f)) {
            if (last)
                *last = f;
            return Clock::now();
        }
        std::this_thread::sleep_for(2ms);
    }
    if (last)
        *last = f;
    return std::nullopt;
}

// Waits until the recording delivers data: at least one FFT window of fresh frames. A null sink
// that had no low-latency client renders up to 2 s ahead, so the first fragment of a new
// recording on it can take up to about 2 s (a property of module-null-sink, not of the backend).
bool waitForData(PulseAudioLibrary& lib, std::chrono::milliseconds timeout = 3000ms) {
    const auto start = lib.ring().framesWritten();
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (lib.ring().framesWritten() >= start + 1024)
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

bool keepRecording(modBass::HRECORD, const void*, std::uint32_t, void*) {
    return true;
}

struct CallbackLog {
    std::atomic<int> calls{0};
    std::atomic<int> badLength{0};
    std::atomic<modBass::HRECORD> handle{0};
    std::atomic<bool> stopAfterFirst{false};
};

bool logCallback(modBass::HRECORD handle, const void* buffer, std::uint32_t length, void* user) {
    auto* log = static_cast<CallbackLog*>(user);
    log->handle = handle;
    if (buffer == nullptr || length == 0 || length % 8 != 0)
        ++log->badLength;
    ++log->calls;
    return !log->stopAfterFirst;
}

std::string describe(const Spectrum& f) {
    char buf[160];
    const int i = argmax(f);
    std::snprintf(buf, sizeof buf, "largest F[%d]=%.4f (bin %d %s), left max %.5f, right max %.5f",
                  i, f[i], i / 2, i % 2 ? "right" : "left", channelMax(f, 0), channelMax(f, 1));
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The calls that need no server.

TEST(CaptureCalls, VersionHas0204InItsUpper16Bits) {
    PulseAudioLibrary lib;
    EXPECT_EQ(lib.BASS_GetVersion() >> 16, 0x0204u);
    auto sys = modBass::createSystemAudioLibrary();
    ASSERT_NE(sys, nullptr);
    EXPECT_EQ(sys->BASS_GetVersion() >> 16, 0x0204u);
    EXPECT_NE(dynamic_cast<PulseAudioLibrary*>(sys.get()), nullptr);
}

TEST(CaptureCalls, StartBeforeInitFailsWithNotInitialised) {
    PulseAudioLibrary lib;
    EXPECT_EQ(lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_INIT);
}

TEST(CaptureCalls, GetDataWithoutARecordingFailsAndLeavesTheBufferAlone) {
    PulseAudioLibrary lib;
    Spectrum f;
    f.fill(42.0f);
    EXPECT_EQ(lib.BASS_ChannelGetData(1, f.data(), modBass::kFftRequest), -1);
    EXPECT_EQ(lib.BASS_ChannelGetData(0, f.data(), modBass::kFftRequest), -1);
    for (float v : f)
        ASSERT_EQ(v, 42.0f);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_HANDLE);
}

TEST(CaptureCalls, FreeWithoutInitAndTwiceIsHarmless) {
    PulseAudioLibrary lib;
    EXPECT_FALSE(lib.BASS_RecordFree());
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_INIT);
    EXPECT_FALSE(lib.BASS_RecordFree());
}

TEST(CaptureNoServer, InitFailsWithDriverErrorWithinTwoSeconds) {
    ScopedEnv server("PULSE_SERVER", "unix:/nonexistent");
    PulseAudioLibrary lib;
    const auto t0 = Clock::now();
    EXPECT_FALSE(lib.BASS_RecordInit(-1));
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_DRIVER);
    EXPECT_LT(msSince(t0), 2500.0);
    EXPECT_EQ(lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_INIT);
    EXPECT_FALSE(lib.BASS_RecordFree());
}

// A socket that accepts connections and never says a word: the attempt is bounded.
TEST(CaptureNoServer, ASilentServerMakesInitFailWithinAboutTwoSeconds) {
    char dir[] = "/tmp/kf-capture-silent.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/native";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 8), 0);
    {
        ScopedEnv server("PULSE_SERVER", "unix:" + path);
        PulseAudioLibrary lib;
        const auto t0 = Clock::now();
        EXPECT_FALSE(lib.BASS_RecordInit(-1));
        const double ms = msSince(t0);
        EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_DRIVER);
        EXPECT_GE(ms, 1500.0);
        EXPECT_LT(ms, 3000.0);
    }
    ::close(fd);
    ::unlink(path.c_str());
    ::rmdir(dir);
}

// ---------------------------------------------------------------------------------------------
// The real server: the test program's own (PULSE_SERVER), with its null sink.

class CaptureRealServer : public ::testing::Test {
  protected:
    void SetUp() override {
        KF_REQUIRE(serverAnswers(), "a PulseAudio server answering (" + pulseServerDescription() +
                                        "): the test program starts its own");
    }
};

TEST_F(CaptureRealServer, InitAndStartSucceed) {
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_OK);
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u) << "error " << lib.BASS_ErrorGetCode();
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_OK);
    const auto st = lib.status();
    EXPECT_TRUE(st.serverUp);
    EXPECT_TRUE(st.streaming);
    PulseControl control;
    const std::string monitor = control.monitorOf(control.defaultSink());
    ASSERT_FALSE(monitor.empty()) << "the shared server has no default output";
    EXPECT_EQ(st.source, monitor);
    EXPECT_EQ(st.device, monitor);
    Spectrum f{};
    EXPECT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), 4096);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_OK);
    EXPECT_TRUE(lib.BASS_RecordFree());
}

TEST_F(CaptureRealServer, TheSystemLibraryIsThePulseAudioBackend) {
    auto lib = modBass::createSystemAudioLibrary();
    ASSERT_TRUE(lib->BASS_RecordInit(-1)) << "error " << lib->BASS_ErrorGetCode();
    EXPECT_NE(lib->BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
    lib.reset();  // the destructor frees
}

TEST_F(CaptureRealServer, TheRecordCallbackIsCalledWithEveryFragment) {
    CallbackLog log;
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1));
    const auto h = lib.BASS_RecordStart(44100, 2, 0, logCallback, &log);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(waitForData(lib)) << "no data from the server";
    const int first = log.calls;
    EXPECT_GT(first, 0);
    std::this_thread::sleep_for(500ms);
    const int calls = log.calls - first;
    EXPECT_GE(calls, 25) << "about 50 fragments of 10 ms expected in 500 ms";
    EXPECT_EQ(log.badLength, 0);
    EXPECT_EQ(log.handle, h);
    lib.BASS_RecordFree();
    const int afterFree = log.calls;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log.calls, afterFree) << "no callback after BASS_RecordFree";
}

TEST_F(CaptureRealServer, ACallbackReturningFalseStopsTheRecording) {
    CallbackLog log;
    log.stopAfterFirst = true;
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1));
    const auto h = lib.BASS_RecordStart(44100, 2, 0, logCallback, &log);
    ASSERT_NE(h, 0u);
    const auto deadline = Clock::now() + 3s;
    while (log.calls == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(log.calls, 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(log.calls, 1);
    Spectrum f;
    f.fill(3.0f);
    EXPECT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), -1);
    EXPECT_EQ(f[0], 3.0f);
    EXPECT_FALSE(lib.status().streaming);
    // A new recording may start again.
    log.stopAfterFirst = false;
    const auto h2 = lib.BASS_RecordStart(44100, 2, 0, logCallback, &log);
    EXPECT_NE(h2, 0u);
    EXPECT_NE(h2, h);
}

TEST_F(CaptureRealServer, WrongHandleOrRequestFailsAndLeavesTheBufferAlone) {
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1));
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    Spectrum f;
    f.fill(9.0f);
    EXPECT_EQ(lib.BASS_ChannelGetData(h + 1, f.data(), modBass::kFftRequest), -1);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_HANDLE);
    EXPECT_EQ(lib.BASS_ChannelGetData(h, f.data(), 4096), -1);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_ILLPARAM);
    EXPECT_EQ(lib.BASS_ChannelGetData(h, nullptr, modBass::kFftRequest), -1);
    for (float v : f)
        ASSERT_EQ(v, 9.0f);
}

TEST_F(CaptureRealServer, OnlyStereoAt44100IsRecorded) {
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1));
    EXPECT_EQ(lib.BASS_RecordStart(48000, 2, 0, keepRecording, nullptr), 0u);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_FORMAT);
    EXPECT_EQ(lib.BASS_RecordStart(44100, 1, 0, keepRecording, nullptr), 0u);
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_ALREADY);
}

TEST_F(CaptureRealServer, InitTwiceFailsWithAlreadyAndFreeTwiceIsHarmless) {
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1));
    EXPECT_FALSE(lib.BASS_RecordInit(-1));
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_ALREADY);
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(lib.BASS_RecordFree());
    EXPECT_FALSE(lib.BASS_RecordFree());
    Spectrum f;
    f.fill(1.0f);
    EXPECT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), -1);
    EXPECT_EQ(f[5], 1.0f);
    // And the library can be opened again.
    ASSERT_TRUE(lib.BASS_RecordInit(-1));
    EXPECT_NE(lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
    EXPECT_TRUE(lib.BASS_RecordFree());
}

TEST_F(CaptureRealServer, AMissingNamedSourceFailsWithDeviceError) {
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", "kleurflits_no_such_source");
    PulseAudioLibrary lib;
    const auto t0 = Clock::now();
    EXPECT_FALSE(lib.BASS_RecordInit(-1));
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_DEVICE);
    EXPECT_LT(msSince(t0), 2500.0);
    EXPECT_EQ(lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
    EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_INIT);
}

TEST_F(CaptureRealServer, AnExistingNamedSourceIsRecorded) {
    std::string monitor;
    {
        PulseAudioLibrary probe;
        ASSERT_TRUE(probe.BASS_RecordInit(-1));
        ASSERT_NE(probe.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
        monitor = probe.status().device;
    }
    ASSERT_FALSE(monitor.empty());
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", monitor);
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    ASSERT_NE(lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
    const auto st = lib.status();
    EXPECT_EQ(st.source, monitor);
    EXPECT_EQ(st.device, monitor);
}

namespace {

// Plays a one-channel tone into the default sink and measures how long until the FFT shows it.
void expectToneWithin100Ms(int bin, int channel) {
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(waitForData(lib)) << "no data from the server";

    TonePlayer tone(bin, channel == 0 ? 0.5f : 0.0f, channel == 1 ? 0.5f : 0.0f);
    const auto started = tone.waitStarted();
    ASSERT_TRUE(started.has_value()) << "tone player: " << tone.error();
    Spectrum f{};
    const auto seen = pollFft(
        lib, h, 1000ms, [&](const Spectrum& s) { return toneVisible(s, bin, channel); }, &f);
    ASSERT_TRUE(seen.has_value()) << "tone at bin " << bin << " not seen within 1 s; "
                                  << describe(f);
    const double latency = msSince(*started, *seen);
    std::cout << "[ latency  ] tone bin " << bin << (channel ? " right" : " left") << " seen "
              << latency << " ms after the play started\n";
    EXPECT_LE(latency, 100.0) << describe(f);
    // Once the whole window holds the tone: amplitude 0.5 reads 0.25.
    std::this_thread::sleep_for(60ms);
    ASSERT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), 4096);
    EXPECT_TRUE(toneVisible(f, bin, channel)) << describe(f);
    EXPECT_NEAR(f[2 * bin + channel], 0.25f, 0.02f) << describe(f);
    EXPECT_LT(channelMax(f, 1 - channel), 1e-3f) << describe(f);
}

}  // namespace

TEST_F(CaptureRealServer, ALeftOnlyToneShowsUpInItsBinWithin100Ms) {
    expectToneWithin100Ms(40, 0);
}

TEST_F(CaptureRealServer, ARightOnlyToneShowsUpInItsBinWithin100Ms) {
    expectToneWithin100Ms(93, 1);
}

TEST_F(CaptureRealServer, SilenceGivesEveryBinBelow1e4) {
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1));
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(waitForData(lib)) << "no data from the server";
    std::this_thread::sleep_for(30ms);  // more than one window of fresh data
    const auto written = lib.ring().framesWritten();
    for (int i = 0; i < 20; ++i) {
        Spectrum f;
        f.fill(1.0f);
        ASSERT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), 4096);
        for (int k = 0; k < modBass::kFftValues; ++k) {
            ASSERT_LT(f[k], 1e-4f) << "value " << k << " in read " << i << "; " << describe(f);
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(lib.ring().framesWritten(), written + 4410)
        << "the silence was recorded, not just absent";
}

// ---------------------------------------------------------------------------------------------
// A private server, PulseAudio or PipeWire with pipewire-pulse: what the default output plays
// past a silent default microphone, switching the default output, and the server dying mid-show.

class CapturePrivateServer : public OnEachServer {};

INSTANTIATE_TEST_SUITE_P(Servers, CapturePrivateServer,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire), kindName);

namespace {

// Plays a one-channel tone into the default output of the private server, whose default source
// is a silent microphone, and measures how long until the FFT shows it.
void expectToneOnTheDefaultOutput(TestSoundServer& server, int bin, int channel) {
    ScopedEnv env("PULSE_SERVER", server.server());
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", std::nullopt);
    {
        PulseControl control(server.server().c_str());
        ASSERT_EQ(control.defaultSource(), "kf_mic") << "the microphone is not the default";
        ASSERT_EQ(control.defaultSink(), "kf_a");
    }
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    auto st = lib.status();
    EXPECT_EQ(st.device, "kf_a.monitor");
    EXPECT_EQ(st.source, "kf_a.monitor");
    ASSERT_TRUE(waitForData(lib)) << "no data from the private server";

    TonePlayer tone(bin, channel == 0 ? 0.5f : 0.0f, channel == 1 ? 0.5f : 0.0f);
    const auto started = tone.waitStarted();
    ASSERT_TRUE(started.has_value()) << "tone player: " << tone.error();
    Spectrum f{};
    const auto seen = pollFft(
        lib, h, 2000ms, [&](const Spectrum& s) { return toneVisible(s, bin, channel); }, &f);
    st = lib.status();
    ASSERT_TRUE(seen.has_value()) << "tone at bin " << bin << " not heard within 2 s; "
                                  << describe(f) << "; recording " << st.device;
    std::cout << "[ latency  ] tone bin " << bin << (channel ? " right" : " left") << " heard "
              << msSince(*started, *seen) << " ms after the play started\n";
    std::this_thread::sleep_for(60ms);
    ASSERT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), 4096);
    EXPECT_TRUE(toneVisible(f, bin, channel)) << describe(f);
    EXPECT_NEAR(f[2 * bin + channel], 0.25f, 0.03f) << describe(f);
    EXPECT_EQ(lib.status().device, "kf_a.monitor");
}

}  // namespace

TEST_P(CapturePrivateServer, ALeftToneOnTheDefaultOutputIsHeardPastASilentDefaultMicrophone) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    expectToneOnTheDefaultOutput(*server, 40, 0);
}

TEST_P(CapturePrivateServer, ARightToneOnTheDefaultOutputIsHeardPastASilentDefaultMicrophone) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    expectToneOnTheDefaultOutput(*server, 93, 1);
}

// Without an output of the test's own: PulseAudio has nothing to monitor, a device error;
// pipewire-pulse keeps a dummy output (auto_null) then, and its monitor is recorded. Never the
// microphone.
TEST_P(CapturePrivateServer, WithoutAnyOutputInitFailsWithDeviceErrorOrRecordsTheDummyOutput) {
    auto server = makeServer({});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", std::nullopt);
    PulseControl control(server->server().c_str());
    const std::string sink = control.defaultSink();
    PulseAudioLibrary lib;
    const auto t0 = Clock::now();
    const bool ok = lib.BASS_RecordInit(-1);
    const double ms = msSince(t0);
    if (GetParam() == ServerKind::PulseAudio) {
        ASSERT_EQ(sink, "");
        EXPECT_FALSE(ok) << "recording " << lib.status().source;
        EXPECT_EQ(lib.BASS_ErrorGetCode(), modBass::BASS_ERROR_DEVICE);
        EXPECT_LT(ms, 2500.0);
    } else {
        ASSERT_EQ(sink, "auto_null");
        ASSERT_TRUE(ok) << "error " << lib.BASS_ErrorGetCode();
        ASSERT_NE(lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr), 0u);
        EXPECT_EQ(lib.status().device, control.monitorOf(sink));
        EXPECT_NE(lib.status().device, "kf_mic");
    }
}

// The silent microphone may still be named explicitly.
TEST_P(CapturePrivateServer, ANamedMicrophoneIsRecordedAndNotFollowed) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", "kf_mic");
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(lib.status().source, "kf_mic");
    EXPECT_EQ(lib.status().device, "kf_mic");
    ASSERT_TRUE(PulseControl(server->server().c_str()).setDefaultSink("kf_b"));
    std::this_thread::sleep_for(500ms);
    const auto st = lib.status();
    EXPECT_EQ(st.device, "kf_mic");
    EXPECT_EQ(st.follows, 0u);
}

// Moved in pavucontrol's Recording tab to another output's monitor, the recording stays there
// until the user changes the default output; then it follows again.
TEST_P(CapturePrivateServer, ARecordingTheUserMovedStaysThereUntilTheDefaultOutputChanges) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", std::nullopt);
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(lib.status().device, "kf_a.monitor");
    ASSERT_TRUE(waitForData(lib)) << "no data from the private server";
    PulseControl control(server->server().c_str());
    Spectrum f{};

    // A tone on the output that is not the default, heard once the recording is moved there.
    TonePlayer tone(60, 0.5f, 0.0f, "kf_b");
    ASSERT_TRUE(tone.waitStarted()) << tone.error();
    ASSERT_TRUE(control.moveRecording("KleurFlits capture", "kf_b.monitor"));
    ASSERT_TRUE(pollFft(
        lib, h, 3000ms, [&](const Spectrum& s) { return s[2 * 60] > 0.2f; }, &f))
        << "not heard after the move; " << describe(f) << "; recording " << lib.status().device;

    // It stays: two seconds on, well past the checks of the default output, still heard.
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), 4096);
    EXPECT_GT(f[2 * 60], 0.2f) << describe(f);
    EXPECT_EQ(lib.status().device, "kf_b.monitor");
    EXPECT_EQ(lib.status().follows, 0u) << "the recording was taken back";

    // The user changes the default output: the recording follows it again.
    ASSERT_TRUE(control.setDefaultSink("kf_b"));
    const auto deadline = Clock::now() + 2s;
    while (lib.status().defaultMonitor != "kf_b.monitor" && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(lib.status().defaultMonitor, "kf_b.monitor");
    // (The server may move the tone along with the default output, so what is recorded is
    // asked, not listened for.)
    ASSERT_TRUE(control.setDefaultSink("kf_a"));
    const auto followed = Clock::now() + 2s;
    while (lib.status().device != "kf_a.monitor" && Clock::now() < followed) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(lib.status().device, "kf_a.monitor");
}

// The server itself may move streams from the old default output to the new one (PulseAudio 16
// does), so each step plays its tone into an output that is not the default at that moment and
// only asks whether the new default output is heard.
TEST_P(CapturePrivateServer, CaptureFollowsTheDefaultOutputWithinASecond) {
    auto serverPtr = makeServer({"kf_a", "kf_b"});
    TestSoundServer& server = *serverPtr;
    ASSERT_TRUE(server.start()) << server.log();
    ScopedEnv env("PULSE_SERVER", server.server());
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", std::nullopt);

    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(lib.status().device, "kf_a.monitor");
    ASSERT_TRUE(waitForData(lib)) << "no data from the private server";
    PulseControl control(server.server().c_str());
    Spectrum f{};

    auto step = [&](const std::string& to, int bin) {
        const std::string other = to == "kf_a" ? "kf_b" : "kf_a";
        TonePlayer tone(bin, 0.5f, 0.0f, to);
        ASSERT_TRUE(tone.waitStarted()) << tone.error();
        // A witness on the monitor of `to` makes that null sink run at low latency and tells when
        // the tone really plays there, so what is timed below is the backend's following alone.
        ScopedEnv witnessSource("KLEURFLITS_AUDIO_SOURCE", to + ".monitor");
        PulseAudioLibrary witness;
        ASSERT_TRUE(witness.BASS_RecordInit(-1));
        const auto wh = witness.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
        ASSERT_NE(wh, 0u);
        ASSERT_TRUE(pollFft(
            witness, wh, 3000ms, [&](const Spectrum& s) { return s[2 * bin] > 0.2f; }, &f))
            << "the tone does not play on " << to << "; " << describe(f);
        // Still on the other output: the tone is not heard.
        const auto heard = pollFft(
            lib, h, 300ms, [&](const Spectrum& s) { return s[2 * bin] > 1e-3f; }, &f);
        ASSERT_FALSE(heard.has_value())
            << "heard " << to << " while recording " << lib.status().device << "; " << describe(f);

        const auto switched = Clock::now();
        ASSERT_TRUE(control.setDefaultSink(to));
        const auto seen = pollFft(
            lib, h, 2000ms,
            [&](const Spectrum& s) { return s[2 * bin] > 0.2f && channelMax(s, 1) < 1e-3f; }, &f);
        const auto st = lib.status();
        ASSERT_TRUE(seen.has_value())
            << "the new default output " << to << " not heard 2 s after the switch; " << describe(f)
            << "; recording " << st.device << ", default monitor " << st.defaultMonitor
            << ", follows " << st.follows;
        const double ms = msSince(switched, *seen);
        std::cout << "[ follow   ] the new default output " << to << " was heard " << ms
                  << " ms after the switch (reconnections so far " << st.follows << ")\n";
        EXPECT_LE(ms, 1000.0);
        EXPECT_EQ(st.device, to + ".monitor");
    };
    step("kf_b", 60);
    step("kf_a", 20);
    EXPECT_EQ(lib.status().serverLosses, 0u);
}

TEST_P(CapturePrivateServer, WhenTheServerDiesTheBandsFallSilentAndCaptureComesBack) {
    auto serverPtr = makeServer({"kf_a"});
    TestSoundServer& server = *serverPtr;
    ASSERT_TRUE(server.start()) << server.log();
    ScopedEnv env("PULSE_SERVER", server.server());
    ScopedEnv source("KLEURFLITS_AUDIO_SOURCE", std::nullopt);

    CallbackLog log;
    PulseAudioLibrary lib;
    ASSERT_TRUE(lib.BASS_RecordInit(-1)) << "error " << lib.BASS_ErrorGetCode();
    const auto h = lib.BASS_RecordStart(44100, 2, 0, logCallback, &log);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(waitForData(lib)) << "no data from the private server";
    Spectrum f{};
    {
        TonePlayer tone(30, 0.5f, 0.0f);
        ASSERT_TRUE(tone.waitStarted()) << tone.error();
        ASSERT_TRUE(pollFft(
            lib, h, 1000ms, [](const Spectrum& s) { return toneVisible(s, 30, 0); }, &f))
            << describe(f);

        server.kill();
        const auto killed = Clock::now();
        const auto silent = pollFft(
            lib, h, 1000ms,
            [](const Spectrum& s) { return *std::max_element(s.begin(), s.end()) < 1e-4f; }, &f);
        ASSERT_TRUE(silent.has_value()) << "the bands did not fall silent; " << describe(f);
        std::cout << "[ silence  ] silent " << msSince(killed, *silent)
                  << " ms after the server died\n";
    }
    // The show goes on: every request still succeeds and reads silence while the server is away.
    const auto awayUntil = Clock::now() + 1200ms;
    while (Clock::now() < awayUntil) {
        f.fill(1.0f);
        ASSERT_EQ(lib.BASS_ChannelGetData(h, f.data(), modBass::kFftRequest), 4096);
        ASSERT_LT(*std::max_element(f.begin(), f.end()), 1e-4f);
        std::this_thread::sleep_for(10ms);
    }
    auto st = lib.status();
    EXPECT_FALSE(st.serverUp);
    EXPECT_GE(st.serverLosses, 2u) << "retries while the server is away";

    ASSERT_TRUE(server.start()) << server.log();
    const auto back = Clock::now();
    const int callsBefore = log.calls;
    while (!lib.status().streaming && msSince(back) < 3000.0)
        std::this_thread::sleep_for(5ms);
    const double resumed = msSince(back);
    std::cout << "[ resume   ] recording again " << resumed << " ms after the server came back\n";
    EXPECT_LE(resumed, 2000.0);
    TonePlayer tone(30, 0.0f, 0.5f);
    ASSERT_TRUE(tone.waitStarted()) << tone.error();
    // The restarted null sink may render up to 2 s ahead before it heeds the new stream.
    const auto seen = pollFft(
        lib, h, 4500ms, [](const Spectrum& s) { return toneVisible(s, 30, 1); }, &f);
    ASSERT_TRUE(seen.has_value()) << describe(f);
    std::cout << "[ resume   ] the tone was heard again " << msSince(back, *seen)
              << " ms after the server came back\n";
    EXPECT_LE(msSince(back, *seen), 2000.0 + 2100.0);
    EXPECT_GT(log.calls, callsBefore) << "the record callback is called again";
    st = lib.status();
    EXPECT_GE(st.serverConnects, 2u);
    EXPECT_EQ(st.device, "kf_a.monitor");
    EXPECT_TRUE(lib.BASS_RecordFree());
}
