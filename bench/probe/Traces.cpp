#include "probe/Traces.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace probe {

namespace {

// Output number of a pin name: RA0..RA3 are 1..4, RA5 is 5, RB0..RB2 are 6..8.
int outputOf(char port, char bit) {
    if (port == 'A') {
        if (bit >= '0' && bit <= '3') {
            return bit - '0' + 1;
        }
        return bit == '5' ? 5 : 0;
    }
    if (port == 'B' && bit >= '0' && bit <= '2') {
        return bit - '0' + 6;
    }
    return 0;
}

}  // namespace

std::vector<Icp12Command> icp12Commands(const std::vector<kf::boardsim::Chunk>& chunks) {
    std::vector<Icp12Command> out;
    std::string cmd;
    for (const auto& chunk : chunks) {
        for (const char c : chunk.bytes) {
            if (c == '(') {
                cmd.assign(1, c);
                continue;
            }
            if (cmd.empty()) {
                continue;
            }
            cmd.push_back(c);
            if (c != ')') {
                if (cmd.size() > 6) {
                    cmd.clear();
                }
                continue;
            }
            // "(RA01)": pin, action, close.
            if (cmd.size() == 6 && cmd[1] == 'R' && (cmd[4] == '0' || cmd[4] == '1')) {
                const int output = outputOf(cmd[2], cmd[3]);
                if (output != 0) {
                    out.push_back({chunk.time, output, cmd[4] == '1'});
                }
            }
            cmd.clear();
        }
    }
    return out;
}

std::vector<Clock::time_point> frameStarts(const std::vector<Icp12Command>& commands,
                                           Clock::time_point from, Clock::time_point to) {
    std::vector<Clock::time_point> out;
    for (const auto& c : commands) {
        if (c.output == 1 && c.time >= from && c.time <= to) {
            out.push_back(c.time);
        }
    }
    return out;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return NAN;
    }
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

FrameFigures frameFigures(const std::vector<Clock::time_point>& starts) {
    FrameFigures f;
    f.frames = starts.size();
    if (starts.size() < 2) {
        return f;
    }
    std::vector<double> intervals;
    for (std::size_t i = 1; i < starts.size(); ++i) {
        intervals.push_back(ms(starts[i] - starts[i - 1]));
    }
    f.perSecond =
        static_cast<double>(starts.size() - 1) / (ms(starts.back() - starts.front()) / 1000.0);
    f.p99IntervalMs = percentile(intervals, 0.99);
    f.maxIntervalMs = *std::max_element(intervals.begin(), intervals.end());
    f.medianIntervalMs = median(intervals);
    return f;
}

std::string latencyText(const Latencies& l) {
    char b[64];
    std::snprintf(b, sizeof b, "median %.1f / p95 %.1f ms", median(l.ms), percentile(l.ms, 0.95));
    return b + std::string(" (") + std::to_string(l.ms.size()) + " bursts" +
           (l.missed ? ", " + std::to_string(l.missed) + " missed" : "") +
           (l.notDark ? ", " + std::to_string(l.notDark) + " not dark before" : "") + ")";
}

Latencies latencies(const std::vector<Clock::time_point>& onsets, const std::vector<int>& lamps,
                    const std::function<Events(int lamp)>& events) {
    using namespace std::chrono_literals;
    Latencies l;
    for (std::size_t i = 0; i < onsets.size(); ++i) {
        const auto t0 = onsets[i];
        std::optional<bool> before;
        std::optional<Clock::time_point> first;
        for (const auto& [t, on] : events(lamps[i])) {
            if (t < t0 - 30ms) {
                before = on;
            } else if (t <= t0 + 400ms && on) {
                first = t;
                break;
            } else if (t > t0 + 400ms) {
                break;
            }
        }
        if (before.value_or(false)) {
            ++l.notDark;
        } else if (!first) {
            ++l.missed;
        } else {
            l.ms.push_back(ms(*first - t0));
        }
    }
    return l;
}

std::vector<double> switchOnsAgainst(const std::vector<Clock::time_point>& heard,
                                     const std::vector<Icp12Command>& commands,
                                     const std::function<int(int burst)>& lampOf, int* missed) {
    std::vector<double> out;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const int lamp = lampOf(static_cast<int>(i));
        std::optional<double> best;
        bool wasOn = false;
        for (const auto& c : commands) {
            if (c.output != lamp) {
                continue;
            }
            if (c.on && !wasOn) {
                const double d = ms(c.time - heard[i]);
                if (std::fabs(d) <= 300 && (!best || std::fabs(d) < std::fabs(*best))) {
                    best = d;
                }
            }
            wasOn = c.on;
        }
        if (best) {
            out.push_back(*best);
        } else {
            ++*missed;
        }
    }
    return out;
}

}  // namespace probe
