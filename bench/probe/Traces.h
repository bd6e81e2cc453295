#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "boardsim/BoardSim.h"

namespace probe {

using Clock = std::chrono::steady_clock;

// One on/off command an iCP12 board received, with the arrival time of its closing ")".
struct Icp12Command {
    Clock::time_point time;
    int output = 0;  // 1..8
    bool on = false;
};
std::vector<Icp12Command> icp12Commands(const std::vector<kf::boardsim::Chunk>& chunks);

// Frame starts: the command for output 1, which every frame sends first.
std::vector<Clock::time_point> frameStarts(const std::vector<Icp12Command>& commands,
                                           Clock::time_point from, Clock::time_point to);

struct FrameFigures {
    std::size_t frames = 0;
    double perSecond = 0.0;
    double p99IntervalMs = 0.0;
    double maxIntervalMs = 0.0;
    double medianIntervalMs = 0.0;
};
FrameFigures frameFigures(const std::vector<Clock::time_point>& starts);

double median(std::vector<double> v);
// Nearest-rank percentile, p in 0..1.
double percentile(std::vector<double> v, double p);
double ms(Clock::duration d);

// A lamp's state over time: (time, on) events in order.
using Events = std::vector<std::pair<Clock::time_point, bool>>;

struct Latencies {
    std::vector<double> ms;
    int missed = 0;
    int notDark = 0;  // the lamp was not dark just before the onset
};
// "median M / p95 P ms (N bursts, ...)"
std::string latencyText(const Latencies& l);

// Time from each onset to the first event that has the burst's lamp on, given each lamp's
// events. The lamp must be dark 30 ms before the onset; an "on" later than 400 ms is a miss.
Latencies latencies(const std::vector<Clock::time_point>& onsets, const std::vector<int>& lamps,
                    const std::function<Events(int lamp)>& events);

// For each time a burst was heard, when its lamp (lampOf(burst index), an iCP12 output) was
// switched on nearest to it, in ms after it (negative: before it); a burst whose lamp did not come
// on within 300 ms either side counts in `missed`.
std::vector<double> switchOnsAgainst(const std::vector<Clock::time_point>& heard,
                                     const std::vector<Icp12Command>& commands,
                                     const std::function<int(int burst)>& lampOf, int* missed);

}  // namespace probe
