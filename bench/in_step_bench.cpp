// The lamps against the ear: the running program with an iCP12 simulator on a private
// PulseAudio server of this run's own, once with a deep output as the default (a pipe sink whose
// far end, a speaker of this process, plays its FIFO in real time) and once with a null sink,
// which plays at once. For each of 40 tone bursts: the time the burst's lamp is switched on
// minus the time the burst is heard (the speaker plays it; on the null sink, a low-latency
// recorder of its monitor hears it). Both on the one clock of this process.
//
//   kf_in_step_bench --program PATH --dir DIR [--bursts N]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/Icp12Sim.h"
#include "probe/Process.h"
#include "probe/Traces.h"
#include "testkit/FifoSpeaker.h"
#include "testkit/LampTones.h"
#include "testkit/PulseControl.h"
#include "testkit/ReferenceRecorder.h"
#include "testkit/SignalPlayer.h"
#include "testkit/SoundServer.h"

namespace {

using namespace std::chrono_literals;
using probe::Clock;

int run(const std::string& program, const std::string& dir, int bursts, bool deep) {
    auto server = kftest::makeSoundServer(kftest::ServerKind::PulseAudio, {"kf_null"});
    if (!server->start()) {
        std::printf("  the sound server did not start\n%s\n", server->log().c_str());
        return 1;
    }
    ::setenv("PULSE_SERVER", server->server().c_str(), 1);
    kftest::FifoSpeaker speaker;
    kftest::ReferenceRecorder monitor;
    std::string error;
    if (deep) {
        if (!speaker.start(server->server(), "kf_deep", error) ||
            !kftest::PulseControl(server->server().c_str()).setDefaultSink("kf_deep")) {
            std::printf("  the deep output: %s\n", error.c_str());
            return 1;
        }
    } else if (!monitor.start("kf_null.monitor", error)) {
        std::printf("  reference recorder: %s\n", error.c_str());
        return 1;
    }
    kf::boardsim::Icp12Sim icp;
    const std::string log = dir + (deep ? "/program-deep.log" : "/program-shallow.log");
    const pid_t pid = probe::spawn({program},
                                   {{"KLEURFLITS_SERIAL_PORTS", icp.slavePath()},
                                    {"QT_QPA_PLATFORM", "offscreen"},
                                    {"PULSE_SERVER", server->server()}},
                                   log);
    if (!icp.waitForState([](const kf::boardsim::Icp12State& s) { return s.frameCount >= 50; },
                          30s)) {
        std::printf("  the program sends no frames (%s)\n", log.c_str());
        probe::terminate(pid, 15s);
        return 1;
    }
    std::this_thread::sleep_for(1s);
    speaker.clear();
    monitor.clear();
    const kftest::BurstPlan plan = kftest::lampBursts(bursts);
    // What the server reports for the output while it plays, sampled every 200 ms.
    std::vector<double> reported;
    std::atomic<bool> playing{true};
    std::thread sampler([&] {
        kftest::PulseControl control(server->server().c_str());
        while (playing) {
            if (const auto us = control.sinkLatencyUs(deep ? "kf_deep" : "kf_null")) {
                reported.push_back(static_cast<double>(*us) / 1000.0);
            }
            std::this_thread::sleep_for(200ms);
        }
    });
    if (!kftest::playBursts(plan, error)) {
        std::printf("  playback: %s\n", error.c_str());
    }
    playing = false;
    sampler.join();
    std::this_thread::sleep_for(1s);  // the deep output's last burst is still in its FIFO
    const auto heard = deep ? speaker.onsets() : monitor.onsets();
    probe::terminate(pid, 20s);
    int missed = 0;
    const auto v = probe::switchOnsAgainst(heard, probe::icp12Commands(icp.chunks()),
                                           kftest::lampOfBurst, &missed);
    std::printf("  %-44s %zu of %d\n",
                deep ? "deep output: bursts heard" : "null sink: bursts heard", heard.size(),
                bursts);
    std::printf("  %-44s median %.1f ms (%zu reads during the show)\n",
                "  latency the server reports", probe::median(reported), reported.size());
    std::printf(
        "  %-44s median %+.1f / p95 %+.1f ms (%zu bursts, %d missed)   goal: median "
        "within ±10, p95 ≤ 20\n",
        "  lamp on minus heard", probe::median(v), probe::percentile(v, 0.95), v.size(), missed);
    return v.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string program;
    std::string dir = "/tmp";
    int bursts = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--program") {
            program = argv[i + 1];
        } else if (a == "--dir") {
            dir = argv[i + 1];
        } else if (a == "--bursts") {
            bursts = std::atoi(argv[i + 1]);
        }
    }
    if (program.empty() || !kftest::soundServerAvailable(kftest::ServerKind::PulseAudio)) {
        std::fprintf(stderr,
                     "usage: kf_in_step_bench --program PATH --dir DIR [--bursts N] (needs "
                     "pulseaudio)\n");
        return 2;
    }
    const int deep = run(program, dir, bursts, true);
    const int shallow = run(program, dir, bursts, false);
    return deep != 0 || shallow != 0 ? 1 : 0;
}
