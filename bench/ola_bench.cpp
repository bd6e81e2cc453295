// The DMX output's figures.
//
// 1. Onset to lamp: the running program with an iCP12 simulator and KLEURFLITS_OLA_UNIVERSE set,
//    a private olad, and tone bursts into the default sink. For each burst: the time from the
//    onset (as a low-latency recorder of the sink's monitor hears it) to the iCP12's "on"
//    command for the burst's lamp, and to the first update of the universe, as a second OLA
//    client sees it, with the lamp's channel at 255. Both on the one clock of this process.
// 2. CPU: the output alone (the frame's hand-over and the writer thread with its olad
//    connection) fed 100 frames a second, for every frame new lamps and for lamps that do not
//    change, as a share of one core.
//
//   kf_ola_bench --program PATH --dir DIR [--source NAME] [--bursts N] [--cpu-seconds S]
//
// Needs a PulseAudio server (PULSE_SERVER) whose default sink's monitor is --source, and olad.

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/Icp12Sim.h"
#include "devices/OlaOutput.h"
#include "probe/Process.h"
#include "probe/Traces.h"
#include "support/Olad.h"
#include "testkit/LampTones.h"
#include "testkit/ReferenceRecorder.h"
#include "testkit/SignalPlayer.h"

namespace {

using namespace std::chrono_literals;
using probe::Clock;

struct Options {
    std::string program;
    std::string dir = "/tmp";
    std::string source = "kf_null.monitor";
    int bursts = 40;
    int cpuSeconds = 20;
};

using probe::Events;
using probe::Latencies;
using probe::latencies;

int onsetToLamp(const Options& o) {
    kftest::OladServer olad;
    if (!olad.start()) {
        std::printf("  olad did not start (%s)\n", olad.logPath().c_str());
        return 1;
    }
    kftest::DmxWatcher watcher(olad.rpcPort(), 1);
    if (!watcher.waitRegistered()) {
        std::printf("  the watching client could not register for universe 1\n");
        return 1;
    }
    kf::boardsim::Icp12Sim icp;
    const pid_t pid = probe::spawn({o.program},
                                   {{"KLEURFLITS_SERIAL_PORTS", icp.slavePath()},
                                    {"QT_QPA_PLATFORM", "offscreen"},
                                    {"KLEURFLITS_OLA_UNIVERSE", "1"},
                                    {"KLEURFLITS_OLA_PORT", std::to_string(olad.rpcPort())}},
                                   o.dir + "/program-ola.log");
    if (!icp.waitForState([](const kf::boardsim::Icp12State& s) { return s.frameCount >= 50; },
                          30s)) {
        std::printf("  the program sends no frames (%s/program-ola.log)\n", o.dir.c_str());
        probe::terminate(pid, 15s);
        return 1;
    }
    std::this_thread::sleep_for(1s);

    kftest::ReferenceRecorder ref;
    std::string error;
    if (!ref.start(o.source, error)) {
        std::printf("  reference recorder: %s\n", error.c_str());
        probe::terminate(pid, 15s);
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    const kftest::BurstPlan plan = kftest::lampBursts(o.bursts);
    const std::size_t updates0 = watcher.count();
    if (!kftest::playBursts(plan, error)) {
        std::printf("  playback: %s\n", error.c_str());
    }
    std::this_thread::sleep_for(500ms);
    const auto onsets = ref.onsets();
    ref.stop();
    const std::size_t n = std::min<std::size_t>(onsets.size(), static_cast<std::size_t>(o.bursts));
    std::vector<int> lamps;
    for (std::size_t i = 0; i < n; ++i) {
        lamps.push_back(kftest::lampOfBurst(static_cast<int>(i)));
    }
    const std::vector<Clock::time_point> ons(onsets.begin(),
                                             onsets.begin() + static_cast<std::ptrdiff_t>(n));

    const auto commands = probe::icp12Commands(icp.chunks());
    const Latencies icpL = latencies(ons, lamps, [&](int lamp) {
        Events e;
        for (const auto& c : commands) {
            if (c.output == lamp) {
                e.emplace_back(c.time, c.on);
            }
        }
        return e;
    });
    const auto updates = watcher.updates();
    const Latencies dmxL = latencies(ons, lamps, [&](int lamp) {
        Events e;
        for (std::size_t i = updates0 > 0 ? updates0 - 1 : 0; i < updates.size(); ++i) {
            e.emplace_back(updates[i].at, updates[i].channel(static_cast<unsigned>(lamp)) == 255);
        }
        return e;
    });
    std::printf("  %-52s %zu of %d\n", "onsets heard", onsets.size(), o.bursts);
    std::printf("  %-52s %s\n", "onset -> first iCP12 \"on\" command",
                probe::latencyText(icpL).c_str());
    std::printf("  %-52s %s\n", "onset -> DMX channel at 255 (second OLA client)",
                probe::latencyText(dmxL).c_str());
    std::vector<double> behind;
    for (std::size_t i = 0, j = 0; i < icpL.ms.size() && j < dmxL.ms.size(); ++i, ++j) {
        behind.push_back(dmxL.ms[j] - icpL.ms[i]);
    }
    if (icpL.ms.size() == dmxL.ms.size()) {
        std::printf("  %-52s median %.1f / p95 %.1f ms\n", "DMX behind the iCP12, per burst",
                    probe::median(behind), probe::percentile(behind, 0.95));
    }
    std::printf("  %-52s %s\n", "program end on SIGTERM", probe::terminate(pid, 20s).c_str());
    const auto last = watcher.last();
    std::printf("  %-52s %s\n", "universe 1 after the end",
                last ? kftest::lampText(*last).c_str() : "nothing");
    return icpL.ms.empty() || dmxL.ms.empty() ? 1 : 0;
}

double processCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The output fed 100 frames a second for `seconds`; the share of one core this process used
// meanwhile (the hand-over on this thread and everything of the writer thread).
double cpuAt100Fps(std::uint16_t port, int seconds, bool changing) {
    kf::OlaSettings s;
    s.rpcPort = port;
    kf::OlaOutput out(s);
    while (!out.connected()) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(200ms);
    const double cpu0 = processCpuSeconds();
    const auto t0 = Clock::now();
    auto next = t0;
    std::uint32_t n = 0;
    const int frames = seconds * 100;
    for (int f = 0; f < frames; ++f) {
        next += 10ms;
        std::this_thread::sleep_until(next);
        if (changing) {
            ++n;
        }
        out.frame(n & 0xFFu, (n >> 8) & 0xFFu);
    }
    const double wall = probe::ms(Clock::now() - t0) / 1000.0;
    const double cpu = processCpuSeconds() - cpu0;
    double writer = 0.0;
    for (const auto& [name, seconds] : probe::threadCpu(::getpid())) {
        writer += name == "kf-ola" ? seconds : 0.0;
    }
    std::printf("  %-52s %.3f %% (%llu sends in %.1f s)\n",
                changing ? "CPU, new lamps every frame" : "CPU, the same lamps every frame",
                100.0 * cpu / wall, static_cast<unsigned long long>(out.sends()), wall);
    // /proc's thread times count in 10 ms ticks: coarse, but they say where the time went.
    std::printf("  %-52s %.2f s of %.1f s\n", "  of it the writer thread (kf-ola)", writer, wall);
    return 100.0 * cpu / wall;
}

// The same loop without the output: what the 100 Hz sleeping loop itself costs.
double loopAlone(int seconds) {
    const double cpu0 = processCpuSeconds();
    const auto t0 = Clock::now();
    auto next = t0;
    for (int f = 0; f < seconds * 100; ++f) {
        next += 10ms;
        std::this_thread::sleep_until(next);
    }
    const double wall = probe::ms(Clock::now() - t0) / 1000.0;
    return 100.0 * (processCpuSeconds() - cpu0) / wall;
}

int cpu(const Options& o) {
    kftest::OladServer olad;
    if (!olad.start()) {
        std::printf("  olad did not start\n");
        return 1;
    }
    const double base = loopAlone(o.cpuSeconds / 2);
    std::printf("  %-52s %.3f %%\n", "CPU, the 100 Hz loop alone (no output)", base);
    const double changing = cpuAt100Fps(olad.rpcPort(), o.cpuSeconds, true);
    const double same = cpuAt100Fps(olad.rpcPort(), o.cpuSeconds, false);
    std::printf("  %-52s %.3f %% / %.3f %% (goal <= 0.3 %%: %s)\n",
                "CPU of the output, new / same lamps, loop subtracted", changing - base,
                same - base, changing - base <= 0.3 ? "met" : "MISSED");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const std::string v = argv[i + 1];
        if (a == "--program") {
            o.program = v;
        } else if (a == "--dir") {
            o.dir = v;
        } else if (a == "--source") {
            o.source = v;
        } else if (a == "--bursts") {
            o.bursts = std::atoi(v.c_str());
        } else if (a == "--cpu-seconds") {
            o.cpuSeconds = std::atoi(v.c_str());
        }
    }
    if (!kftest::oladAvailable()) {
        std::printf("kf_ola_bench: olad is missing (scripts/setup --tests installs it)\n");
        return 1;
    }
    int status = 0;
    std::printf("== DMX output: CPU at 100 frames a second\n");
    status |= cpu(o);
    if (!o.program.empty()) {
        std::printf("== DMX output: onset to lamp, %d tone bursts\n", o.bursts);
        status |= onsetToLamp(o);
    }
    return status;
}
