// The probe of the running program: frame rate and frame intervals from the iCP12 trace,
// CPU use and peak memory from /proc, and onset-to-lamp latency of tone bursts against the
// peer visualiser cava, all timed on one steady clock in this process (the board simulators,
// the reference recorder and the reader of cava's FIFO).
//
//   kf_probe --program PATH --dir DIR [--source NAME] [--steady S] [--bursts N] [--noise S]
//            [--noise-on offscreen,xcb] [--bare-io PATH]
//   kf_probe --program PATH --dir DIR --soak S
//   kf_probe --program PATH --dir DIR --hotplug S   (a port appears and is probed every 5 s)
//
// Needs a PulseAudio server (PULSE_SERVER) whose default sink is the null sink whose monitor
// is --source; the program records the monitor of the default output. The noise run is made
// once per Qt platform --noise-on names (offscreen by default); xcb needs DISPLAY, an X server
// such as Xvfb.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/ArduinoSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"
#include "probe/Cava.h"
#include "probe/Process.h"
#include "probe/Traces.h"
#include "testkit/LampTones.h"
#include "testkit/ReferenceRecorder.h"
#include "testkit/SignalPlayer.h"

namespace {

using namespace std::chrono_literals;
using probe::Clock;
namespace bs = kf::boardsim;

struct Options {
    std::string program;
    std::string dir = "/tmp";
    std::string source = "kf_null.monitor";
    int steadySeconds = 30;
    int bursts = 50;
    int noiseSeconds = 60;
    int soakSeconds = 0;
    int hotplugSeconds = 0;
    std::vector<std::string> noisePlatforms = {"offscreen"};
    std::string bareIo;  // kf_bare_io, run in the program's place after each noise run if given
};

// The figures table: one row per figure, with its goal and whether it was met.
struct Row {
    std::string figure;
    std::string value;
    std::string goal;
    std::string verdict;
};
std::vector<Row> rows;

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}
void row(std::string figure, std::string value, std::string goal = "",
         std::optional<bool> met = {}) {
    std::printf("  %-58s %s\n", figure.c_str(), value.c_str());
    std::fflush(stdout);
    rows.push_back({std::move(figure), std::move(value), std::move(goal),
                    met ? (*met ? "met" : "MISSED") : ""});
}

void say(const char* text) {
    std::printf("kf_probe: %s\n", text);
    std::fflush(stdout);
}

// The program under test with its boards.
struct Running {
    pid_t pid = -1;
    std::vector<bs::Icp12Sim*> icp12;
    std::vector<bs::ArduinoSim*> arduino;
};

pid_t startProgram(const Options& o, const std::vector<const bs::BoardSim*>& boards,
                   const std::string& log, const std::string& platform = "offscreen") {
    std::string ports;
    for (const auto* b : boards) {
        ports += (ports.empty() ? "" : ":") + b->slavePath();
    }
    return probe::spawn({o.program},
                        {{"KLEURFLITS_SERIAL_PORTS", ports}, {"QT_QPA_PLATFORM", platform}},
                        o.dir + "/" + log);
}

bool waitForFrames(const Running& r, unsigned frames, Clock::duration timeout) {
    for (auto* s : r.icp12) {
        if (!s->waitForState([&](const bs::Icp12State& st) { return st.frameCount >= frames; },
                             timeout)) {
            return false;
        }
    }
    for (auto* s : r.arduino) {
        if (!s->waitForState([&](const bs::ArduinoState& st) { return st.patternCount >= frames; },
                             timeout)) {
            return false;
        }
    }
    return true;
}

struct Window {
    Clock::time_point from;
    Clock::time_point to;
    double cpu = 0.0;     // seconds
    std::string threads;  // where the CPU went, per thread name
};

Window measure(pid_t pid, std::chrono::seconds length) {
    Window w;
    const auto t0 = probe::threadCpu(pid);
    const double c0 = probe::cpuSeconds(pid);
    w.from = Clock::now();
    std::this_thread::sleep_for(length);
    const double c1 = probe::cpuSeconds(pid);
    w.to = Clock::now();
    const auto t1 = probe::threadCpu(pid);
    w.cpu = c1 - c0;
    const double secs = probe::ms(w.to - w.from) / 1000.0;
    for (const auto& [name, cpu] : t1) {
        double before = 0.0;
        for (const auto& [n0, c] : t0) {
            before = n0 == name ? c : before;
        }
        if (cpu - before > 0.0) {
            char b[96];
            std::snprintf(b, sizeof b, "%s%s %.2f %%", w.threads.empty() ? "" : ", ", name.c_str(),
                          100.0 * (cpu - before) / secs);
            w.threads += b;
        }
    }
    return w;
}

double percentOfCore(double cpu, const Window& w) {
    return 100.0 * cpu / (probe::ms(w.to - w.from) / 1000.0);
}

void frameRows(const char* what, const probe::FrameFigures& f) {
    row(std::string(what) + ": frames per second",
        fmt("%.2f", f.perSecond) + " (" + std::to_string(f.frames) + " frames)", "100 ± 1",
        std::fabs(f.perSecond - 100.0) <= 1.0);
    row(std::string(what) + ": frame interval p99 / median / max",
        fmt("%.2f", f.p99IntervalMs) + " / " + fmt("%.2f", f.medianIntervalMs) + " / " +
            fmt("%.2f ms", f.maxIntervalMs),
        "p99 ≤ 12 ms", f.p99IntervalMs <= 12.0);
}

using probe::Events;
using probe::Latencies;
using probe::latencies;
using probe::latencyText;

bs::ArduinoOptions arduinoOf(bs::ArduinoType type) {
    bs::ArduinoOptions a;
    a.type = type;
    return a;
}

int steadyAndBursts(const Options& o) {
    bs::Icp12Sim icp;
    bs::ArduinoSim ardu(arduinoOf(bs::ArduinoType::ET));
    Running r{startProgram(o, {&icp, &ardu}, "program-bursts.log"), {&icp}, {&ardu}};
    say("program started with an iCP12 and an Arduino ET simulator; waiting for its frames");
    if (!waitForFrames(r, 50, 30s)) {
        say("the program sends no frames (see program-bursts.log)");
        probe::terminate(r.pid, 15s);
        return 1;
    }
    std::this_thread::sleep_for(1s);

    // 1. The program alone at 100 frames per second, silence playing.
    say(("steady run: " + std::to_string(o.steadySeconds) + " s").c_str());
    const Window w = measure(r.pid, std::chrono::seconds(o.steadySeconds));
    const long hwm = probe::statusKb(r.pid, "VmHWM");
    const auto commands = probe::icp12Commands(icp.chunks());
    frameRows("steady, 1 iCP12 + 1 Arduino",
              probe::frameFigures(probe::frameStarts(commands, w.from, w.to)));
    std::size_t patterns = 0;
    for (const auto& m : ardu.state().messages) {
        patterns += (m.command == 1 && m.time >= w.from && m.time <= w.to) ? 1 : 0;
    }
    row("steady: Arduino \"1/P/\" messages per second",
        fmt("%.2f", static_cast<double>(patterns) / (probe::ms(w.to - w.from) / 1000.0)));
    const double cpu = percentOfCore(w.cpu, w);
    row("steady: CPU use of one core", fmt("%.2f %%", cpu), "≤ 3 %", cpu <= 3.0);
    row("steady: CPU by thread", w.threads);
    row("steady: peak resident memory (VmHWM)", fmt("%.1f MB", hwm / 1024.0), "≤ 60 MB",
        hwm > 0 && hwm / 1024.0 <= 60.0);

    // 2. Tone bursts, the program and cava recording the same monitor as the reference.
    kftest::ReferenceRecorder ref;
    std::string error;
    if (!ref.start(o.source, error)) {
        say(("reference recorder: " + error).c_str());
        probe::terminate(r.pid, 15s);
        return 1;
    }
    probe::CavaPeer cava(o.dir, o.source, 16, true);
    if (!cava.start("latency", error) || !cava.waitForFrames(30, 10s)) {
        say(("cava does not deliver frames: " + error + " (see cava-latency.log)").c_str());
    }
    std::this_thread::sleep_for(1s);
    const kftest::BurstPlan plan = kftest::lampBursts(o.bursts);
    say(("tone bursts: " + std::to_string(plan.count) + " × 200 ms, 300 ms apart").c_str());
    const auto fragments0 = ref.fragments();
    const auto playStart = Clock::now();
    if (!kftest::playBursts(plan, error)) {
        say(("playback: " + error).c_str());
    }
    const auto playTime = Clock::now() - playStart;
    std::this_thread::sleep_for(500ms);
    const auto onsets = ref.onsets();
    const auto cavaFrames = cava.frames();
    const std::string cavaEnd = cava.stop();
    const double fragMs = probe::ms(playTime) / static_cast<double>(ref.fragments() - fragments0);
    ref.stop();
    row("reference recorder: fragsize granted / mean fragment period",
        std::to_string(ref.fragsize()) + " B / " + fmt("%.2f ms", fragMs));
    row("reference recorder: onsets seen",
        std::to_string(onsets.size()) + " of " + std::to_string(plan.count));
    const std::size_t n =
        std::min<std::size_t>(onsets.size(), static_cast<std::size_t>(plan.count));
    std::vector<int> outputs;
    for (std::size_t i = 0; i < n; ++i) {
        outputs.push_back(kftest::lampOfBurst(static_cast<int>(i)));
    }
    const std::vector<Clock::time_point> ons(onsets.begin(),
                                             onsets.begin() + static_cast<std::ptrdiff_t>(n));

    const auto all = probe::icp12Commands(icp.chunks());
    const auto icpEvents = [&](int output) {
        Events e;
        for (const auto& c : all) {
            if (c.output == output) {
                e.emplace_back(c.time, c.on);
            }
        }
        return e;
    };
    const auto ardMessages = ardu.state().messages;
    const auto ardEvents = [&](int output) {
        Events e;
        for (const auto& m : ardMessages) {
            if (m.command == 1 && m.valid) {
                const int p = std::atoi(m.argument.c_str());
                e.emplace_back(m.time, (p >> (output - 1)) & 1);
            }
        }
        return e;
    };
    const Latencies li = latencies(ons, outputs, icpEvents);
    const Latencies la = latencies(ons, outputs, ardEvents);

    // cava: the bar of each frequency is the one highest during its bursts; it "rises" when
    // it exceeds its value before the onset by 1 % of full scale.
    std::vector<int> barOf(plan.freqs.size(), -1);
    for (std::size_t fi = 0; fi < plan.freqs.size(); ++fi) {
        std::vector<double> sum(16, 0.0);
        for (std::size_t i = fi; i < n; i += plan.freqs.size()) {
            for (const auto& f : cavaFrames) {
                if (f.time >= ons[i] + 50ms && f.time <= ons[i] + 190ms) {
                    for (int b = 0; b < 16; ++b) {
                        sum[static_cast<std::size_t>(b)] += f.bars[static_cast<std::size_t>(b)];
                    }
                }
            }
        }
        const auto top = std::max_element(sum.begin(), sum.end());
        if (*top > 0.0) {
            barOf[fi] = static_cast<int>(top - sum.begin());
        }
    }
    Latencies lc;
    for (std::size_t i = 0; i < n; ++i) {
        const int bar = barOf[i % plan.freqs.size()];
        if (bar < 0) {
            ++lc.missed;
            continue;
        }
        double base = 0.0;
        std::optional<Clock::time_point> first;
        for (const auto& f : cavaFrames) {
            const double v = f.bars[static_cast<std::size_t>(bar)];
            if (f.time >= ons[i] - 80ms && f.time < ons[i] - 30ms) {
                base = std::max(base, v);
            } else if (f.time >= ons[i] - 30ms && f.time <= ons[i] + 400ms && v > base + 655.35) {
                first = f.time;
                break;
            }
        }
        if (first) {
            lc.ms.push_back(probe::ms(*first - ons[i]));
        } else {
            ++lc.missed;
        }
    }
    std::string bars;
    for (std::size_t fi = 0; fi < plan.freqs.size(); ++fi) {
        bars += fmt("%.0f Hz", plan.freqs[fi]) + "→lamp " +
                std::to_string(kftest::lampOfBurst(static_cast<int>(fi))) + "/bar " +
                std::to_string(barOf[fi] + 1) + (fi + 1 < plan.freqs.size() ? ", " : "");
    }
    row("bursts: band of each tone (our lamp / cava bar of 16)", bars);
    row("latency, onset → first iCP12 \"on\" command", latencyText(li), "median ≤ 25 ms",
        !li.ms.empty() && probe::median(li.ms) <= 25.0);
    row("latency, onset → first Arduino pattern with the bit", latencyText(la), "median ≤ 35 ms",
        !la.ms.empty() && probe::median(la.ms) <= 35.0);
    row("latency, onset → first cava raw frame with the bar risen",
        latencyText(lc) + ", " + std::to_string(cavaFrames.size()) + " frames read");
    row("latency: ours (iCP12) lower than cava's, median",
        fmt("%.1f", probe::median(li.ms)) + " vs " + fmt("%.1f ms", probe::median(lc.ms)),
        "ours < cava",
        !li.ms.empty() && !lc.ms.empty() && probe::median(li.ms) < probe::median(lc.ms));
    row("latency: ours (Arduino) lower than cava's, median",
        fmt("%.1f", probe::median(la.ms)) + " vs " + fmt("%.1f ms", probe::median(lc.ms)),
        "ours < cava",
        !la.ms.empty() && !lc.ms.empty() && probe::median(la.ms) < probe::median(lc.ms));
    row("cava (latency run) end status", cavaEnd);
    row("program (1 iCP12 + 1 Arduino) end status on SIGTERM", probe::terminate(r.pid, 20s),
        "exit 0");
    return 0;
}

struct FourBoards {
    bs::Icp12Sim icpL;
    bs::Icp12Sim icpR;
    bs::ArduinoSim ardL{arduinoOf(bs::ArduinoType::AL)};
    bs::ArduinoSim ardR{arduinoOf(bs::ArduinoType::TM)};
    std::vector<const bs::BoardSim*> all() const { return {&icpL, &icpR, &ardL, &ardR}; }
};

// kf_bare_io with four boards of its own (the program's input and output, nothing else), run
// for half the noise run's length in the program's place, with what ran beside the program.
struct BareWindow {
    bool ran = false;
    int seconds = 0;
    double cpu = -1.0;  // % of one core
    double perSecond = 0.0;
    double cava = -1.0;
};

BareWindow bareWindow(const Options& o, const std::string& platform, pid_t cava) {
    BareWindow bw;
    if (o.bareIo.empty()) {
        return bw;
    }
    FourBoards b;
    const pid_t pid =
        probe::spawn({o.bareIo, "--icp12", b.icpL.slavePath(), "--icp12", b.icpR.slavePath(),
                      "--arduino", b.ardL.slavePath(), "--arduino", b.ardR.slavePath()},
                     {}, o.dir + "/bare-io-" + platform + ".log");
    std::this_thread::sleep_for(3s);
    bw.ran = true;
    bw.seconds = std::max(10, o.noiseSeconds / 2);
    const double cava0 = probe::cpuSeconds(cava);
    const Window w = measure(pid, std::chrono::seconds(bw.seconds));
    const double cava1 = probe::cpuSeconds(cava);
    if (probe::alive(pid)) {  // one that never started or died has no figure
        bw.cpu = percentOfCore(w.cpu, w);
    }
    bw.cava = percentOfCore(cava1 - cava0, w);
    const auto commands = probe::icp12Commands(b.icpL.chunks());
    bw.perSecond = probe::frameFigures(probe::frameStarts(commands, w.from, w.to)).perSecond;
    probe::terminate(pid, 2s);
    return bw;
}

// The noise run on one Qt platform: "offscreen", or "xcb" on the X server DISPLAY names.
int noise(const Options& o, const std::string& platform) {
    const std::string on = platform == "xcb" ? "Xvfb (xcb)" : platform;
    const std::string what = "noise on " + on;
    if (platform == "xcb" && std::getenv("DISPLAY") == nullptr) {
        say("no DISPLAY for the noise run on xcb");
        row(what + ": program", "not run, no DISPLAY", "runs", false);
        return 1;
    }
    FourBoards b;
    Running r{startProgram(o, b.all(), "program-noise-" + platform + ".log", platform),
              {&b.icpL, &b.icpR},
              {&b.ardL, &b.ardR}};
    say("program started with 2 iCP12 and 2 Arduino (AL, TM) simulators; waiting for its frames");
    if (!waitForFrames(r, 50, 40s)) {
        say(("the program sends no frames to all four boards (see program-noise-" + platform +
             ".log)")
                .c_str());
        probe::terminate(r.pid, 20s);
        return 1;
    }
    std::string error;
    probe::CavaPeer cava(o.dir, o.source, 0, false);
    if (!cava.start("default-" + platform, error) || !cava.waitForFrames(10, 10s)) {
        say(("cava does not deliver output: " + error + " (see cava-default-" + platform + ".log)")
                .c_str());
    }
    // The like-for-like peer: 16 bars, 8 a channel, on the same monitor and in the same window.
    probe::CavaPeer cava16(o.dir, o.source, 16, false);
    if (!cava16.start("16-" + platform, error) || !cava16.waitForFrames(10, 10s)) {
        say(("cava (16 bars) does not deliver output: " + error + " (see cava-16-" + platform +
             ".log)")
                .c_str());
    }
    kftest::SignalPlayer player(kftest::musicNoise(),
                                kftest::SignalPlayer::Options::timing("music-like noise"));
    if (!player.waitStarted()) {
        say(("noise playback: " + player.error()).c_str());
    }
    const pid_t busy = probe::spawnBusyLoop();
    std::this_thread::sleep_for(3s);
    const double busy0 = probe::cpuSeconds(busy);
    say(("music-like noise with the other core busy, the window on " + on + ": " +
         std::to_string(o.noiseSeconds) + " s")
            .c_str());
    const double cava0 = probe::cpuSeconds(cava.pid());
    const double cava16at0 = probe::cpuSeconds(cava16.pid());
    const Window w = measure(r.pid, std::chrono::seconds(o.noiseSeconds));
    const double cava1 = probe::cpuSeconds(cava.pid());
    const double cava16at1 = probe::cpuSeconds(cava16.pid());
    const double busyCpu = probe::cpuSeconds(busy) - busy0;
    const long hwm = probe::statusKb(r.pid, "VmHWM");
    const long cavaHwm = probe::statusKb(cava.pid(), "VmHWM");
    const std::string programEnd = probe::terminate(r.pid, 20s);
    // Then kf_bare_io in the program's place, beside the same cava, noise and busy core.
    const BareWindow bare = bareWindow(o, platform, cava.pid());
    ::kill(busy, SIGKILL);
    probe::terminate(busy, 1s);
    player.stop();
    const std::string cavaEnd = cava.stop();
    const std::string cava16End = cava16.stop();

    const auto commands = probe::icp12Commands(b.icpL.chunks());
    frameRows((what + ", 4 boards, other core busy").c_str(),
              probe::frameFigures(probe::frameStarts(commands, w.from, w.to)));
    const double ours = percentOfCore(w.cpu, w);
    const double theirs = percentOfCore(cava1 - cava0, w);
    row(what + ": CPU use of one core, ours", fmt("%.2f %%", ours), "≤ 2.0 %", ours <= 2.0);
    row(what + ": CPU use of one core, cava (default settings, raw output)",
        fmt("%.2f %%", theirs));
    row(what + ": our CPU by thread", w.threads);
    row(what + ": ours at or below cava", fmt("%.2f", ours) + " vs " + fmt("%.2f %%", theirs),
        "ours ≤ cava", ours <= theirs);
    const double theirs16 = percentOfCore(cava16at1 - cava16at0, w);
    row(what + ": CPU use of one core, cava (16 bars, 8 a channel, raw output)",
        fmt("%.2f %%", theirs16));
    row(what + ": ours at or below cava at 16 bars",
        fmt("%.2f", ours) + " vs " + fmt("%.2f %%", theirs16), "ours ≤ cava (16 bars)",
        ours <= theirs16);
    row(what + ": peak resident memory, ours / cava",
        fmt("%.1f", hwm / 1024.0) + " / " + fmt("%.1f MB", cavaHwm / 1024.0), "ours ≤ 35 MB",
        hwm > 0 && hwm / 1024.0 <= 35.0);
    row(what + ": the busy loop's CPU over the window",
        fmt("%.1f %% of one core", 100.0 * busyCpu / (probe::ms(w.to - w.from) / 1000.0)));
    row(what + ": cava end status", cavaEnd);
    row(what + ": cava (16 bars) end status", cava16End);
    row(what + ": program end status on SIGTERM", programEnd, "exit 0");
    if (bare.ran) {
        const std::string next = what + ", next " + std::to_string(bare.seconds) + " s";
        row(next + ": CPU use of one core, kf_bare_io (the program's input and output alone)",
            bare.cpu >= 0.0 ? fmt("%.2f %%", bare.cpu)
                            : "not measured (see bare-io-" + platform + ".log)");
        row(next + ": kf_bare_io frames per second", fmt("%.2f", bare.perSecond));
        row(next + ": CPU use of one core, cava beside it", fmt("%.2f %%", bare.cava));
    }
    return 0;
}

int soak(const Options& o) {
    FourBoards b;
    Running r{startProgram(o, b.all(), "program-soak.log"), {&b.icpL, &b.icpR}, {&b.ardL, &b.ardR}};
    say("soak: program with 4 boards and music-like noise");
    if (!waitForFrames(r, 50, 40s)) {
        say("the program sends no frames to all four boards (see program-soak.log)");
        probe::terminate(r.pid, 20s);
        return 1;
    }
    std::string error;
    kftest::SignalPlayer player(kftest::musicNoise(),
                                kftest::SignalPlayer::Options::timing("music-like noise"));
    if (!player.waitStarted()) {
        say(("noise playback: " + player.error()).c_str());
    }
    std::this_thread::sleep_for(5s);
    const std::vector<const bs::BoardSim*> boards = b.all();
    const char* names[] = {"iCP12 left", "iCP12 right", "Arduino AL", "Arduino TM"};
    std::vector<std::vector<double>> rates(4);
    std::vector<long> rss;
    std::vector<std::size_t> last(4);
    for (std::size_t i = 0; i < 4; ++i) {
        last[i] = boards[i]->receivedCount();
    }
    const int minutes = std::max(1, o.soakSeconds / 60);
    rss.push_back(probe::statusKb(r.pid, "VmRSS"));
    for (int m = 1; m <= minutes; ++m) {
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(60s);
        const double secs = probe::ms(Clock::now() - t0) / 1000.0;
        rss.push_back(probe::statusKb(r.pid, "VmRSS"));
        std::printf("  minute %2d: VmRSS %ld kB; bytes/s", m, rss.back());
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t now = boards[i]->receivedCount();
            rates[i].push_back(static_cast<double>(now - last[i]) / secs);
            last[i] = now;
            std::printf(" %s %.0f", names[i], rates[i].back());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    player.stop();
    // Growth after the first minute, when start-up allocations are done.
    const long growth = rss.back() - rss[std::min<std::size_t>(1, rss.size() - 1)];
    row("soak: VmRSS after 1 min / at the end",
        std::to_string(rss[1]) + " / " + std::to_string(rss.back()) + " kB");
    row("soak: resident memory growth after the first minute", fmt("%.2f MB", growth / 1024.0),
        "≤ 1 MB", growth / 1024.0 <= 1.0);
    for (std::size_t i = 0; i < 4; ++i) {
        const auto [lo, hi] = std::minmax_element(rates[i].begin(), rates[i].end());
        const bool icp = i < 2;
        // The left board's line (115200 baud) takes every frame; the right board's 9600 baud
        // carries 960 characters a second, so it gets every fifth.
        const double wanted = i == 0 ? 4800.0 : 960.0;
        row(std::string("soak: ") + names[i] + " received B/s per minute, min / max",
            fmt("%.0f", *lo) + " / " + fmt("%.0f", *hi),
            icp ? fmt("%.0f every minute", wanted) : "",
            icp ? std::optional<bool>(std::fabs(*lo - wanted) <= wanted / 100 &&
                                      std::fabs(*hi - wanted) <= wanted / 100)
                : std::nullopt);
    }
    row("soak: program end status on SIGTERM", probe::terminate(r.pid, 20s), "exit 0");
    return 0;
}

// Boards coming while the show runs: every 5 s a port appears behind a listed link and is
// probed (a silent one, so the whole exchange runs: about 3 s), then goes again. The frames to
// the iCP12 already there must keep their pace.
int hotplug(const Options& o) {
    const std::string link = o.dir + "/kf-hotplug-port";
    std::filesystem::remove(link);
    bs::Icp12Sim icp;
    const pid_t pid = probe::spawn({o.program},
                                   {{"KLEURFLITS_SERIAL_PORTS", icp.slavePath() + ":" + link},
                                    {"QT_QPA_PLATFORM", "offscreen"}},
                                   o.dir + "/program-hotplug.log");
    Running r{pid, {&icp}, {}};
    if (!waitForFrames(r, 50, 30s)) {
        say("the program sends no frames (see program-hotplug.log)");
        probe::terminate(pid, 15s);
        return 1;
    }
    say(("hotplug run: " + std::to_string(o.hotplugSeconds) +
         " s, a port appears every 5 s and is probed")
            .c_str());
    const std::size_t fromChunk = icp.chunkCount();
    const double c0 = probe::cpuSeconds(pid);
    const auto from = Clock::now();
    int appeared = 0;
    while (Clock::now() - from < std::chrono::seconds(o.hotplugSeconds)) {
        auto port = std::make_unique<bs::SilentSim>();
        std::filesystem::create_symlink(port->slavePath(), link);
        ++appeared;
        std::this_thread::sleep_for(4s);  // looked at within 1 s, then probed for 2 to 3 s
        std::filesystem::remove(link);
        port.reset();
        std::this_thread::sleep_for(1s);
    }
    const auto to = Clock::now();
    const double cpu = probe::cpuSeconds(pid) - c0;
    const auto starts = probe::frameStarts(probe::icp12Commands(icp.chunks(fromChunk)), from, to);
    const probe::FrameFigures f = probe::frameFigures(starts);
    frameRows("hotplug, 1 iCP12, a port probed every 5 s", f);
    row("hotplug: ports that appeared and were probed", std::to_string(appeared));
    row("hotplug: frame interval max", fmt("%.2f ms", f.maxIntervalMs), "≤ 30 ms",
        f.maxIntervalMs <= 30.0);
    row("hotplug: CPU use of one core",
        fmt("%.2f %%", 100.0 * cpu / (probe::ms(to - from) / 1000.0)));
    row("hotplug: program end status on SIGTERM", probe::terminate(pid, 20s), "exit 0");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--program") {
            o.program = v;
        } else if (a == "--dir") {
            o.dir = v;
        } else if (a == "--source") {
            o.source = v;
        } else if (a == "--steady") {
            o.steadySeconds = std::atoi(v);
        } else if (a == "--bursts") {
            o.bursts = std::atoi(v);
        } else if (a == "--noise") {
            o.noiseSeconds = std::atoi(v);
        } else if (a == "--soak") {
            o.soakSeconds = std::atoi(v);
        } else if (a == "--hotplug") {
            o.hotplugSeconds = std::atoi(v);
        } else if (a == "--bare-io") {
            o.bareIo = v;
        } else if (a == "--noise-on") {
            o.noisePlatforms.clear();
            std::string list = v;
            for (std::size_t from = 0; from <= list.size();) {
                const std::size_t comma = std::min(list.find(',', from), list.size());
                if (comma > from) {
                    o.noisePlatforms.push_back(list.substr(from, comma - from));
                }
                from = comma + 1;
            }
        } else {
            std::fprintf(stderr, "kf_probe: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (o.program.empty()) {
        std::fprintf(stderr,
                     "usage: kf_probe --program PATH --dir DIR [--source NAME] "
                     "[--steady S] [--bursts N] [--noise S] [--noise-on offscreen,xcb] "
                     "[--bare-io PATH] | "
                     "[--soak S] | [--hotplug S]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    int status = 0;
    if (o.soakSeconds > 0) {
        status |= soak(o);
    } else if (o.hotplugSeconds > 0) {
        status |= hotplug(o);
    } else {
        status |= steadyAndBursts(o);
        for (const std::string& platform : o.noisePlatforms) {
            status |= noise(o, platform);
        }
    }
    std::printf("\n| figure | value | goal | |\n|---|---|---|---|\n");
    for (const auto& r : rows) {
        std::printf("| %s | %s | %s | %s |\n", r.figure.c_str(), r.value.c_str(), r.goal.c_str(),
                    r.verdict.c_str());
    }
    return status;
}
