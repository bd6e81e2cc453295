// avrsim: runs a lamp-board firmware in a simulated ATmega328P.
//
//   avrsim [--type ET|AL|TM] FIRMWARE.elf    UART on a pseudo-terminal; prints its path, then
//                                           every change of lamps, peaks and display
//   avrsim --latency [--type T] FIRMWARE.elf  time from a pattern's last byte to the lamps
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "avrsim/AvrSim.h"
#include "avrsim/PtyBridge.h"

namespace {

using namespace std::chrono_literals;
using kf::avrsim::AvrSim;
using kf::avrsim::Outputs;
using kf::fw::BoardType;

volatile std::sig_atomic_t stopRequested = 0;

bool typeFromCode(const std::string& code, BoardType& type) {
    for (BoardType t : {BoardType::ET, BoardType::AL, BoardType::TM}) {
        if (code == kf::fw::typeCode(t)) {
            type = t;
            return true;
        }
    }
    return false;
}

std::string dots(std::uint8_t mask) {
    std::string out;
    for (int i = 0; i < 8; ++i) {
        out += (mask >> i) & 1 ? '*' : '.';
    }
    return out;
}

std::string describe(const Outputs& o, BoardType type) {
    std::string out = "lamps " + dots(o.lamps);
    if (type == BoardType::AL) {
        out += " peaks " + dots(o.peaks);
    }
    if (type == BoardType::TM) {
        out += " tm1638 [" + o.digitText() + "] leds " + dots(o.ledMask()) + " dots " +
               dots(o.dotMask()) + (o.displayOn ? "" : " (display off)");
    }
    return out;
}

int latency(AvrSim& sim) {
    sim.runFor(5ms);  // start-up
    double total = 0, worst = 0, best = 1e9;
    int count = 0;
    for (int round = 0; round < 64; ++round) {
        // A pattern unlike the lamps now, so there is a change to time.
        int pattern = (round * 37 + 1) % 256;
        if (pattern == sim.outputs().lamps) {
            pattern ^= 0xff;
        }
        sim.send("1/" + std::to_string(pattern) + "/");
        if (!sim.runUntil([&] { return sim.outputs().lamps == pattern; }, 5ms)) {
            std::cerr << "avrsim: the lamps did not follow 1/" << pattern << "/\n";
            return 1;
        }
        const double us =
            AvrSim::microseconds(sim.changes().back().cycle - sim.lastReceivedCycle());
        total += us;
        worst = std::max(worst, us);
        best = std::min(best, us);
        ++count;
        sim.runFor(1ms);
    }
    std::printf(
        "%s pattern to lamps: %d messages, min %.2f us, mean %.2f us, max %.2f us "
        "(simulated ATmega328P, 16 MHz, from the last byte's stop bit)\n",
        kf::fw::typeCode(sim.type()), count, best, total / count, worst);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string elf;
    std::string code;
    bool measure = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--type" && i + 1 < argc) {
            code = argv[++i];
        } else if (arg == "--latency") {
            measure = true;
        } else if (arg == "-h" || arg == "--help") {
            std::cout << "usage: avrsim [--latency] [--type ET|AL|TM] FIRMWARE.elf\n";
            return 0;
        } else {
            elf = arg;
        }
    }
    if (elf.empty()) {
        std::cerr << "usage: avrsim [--latency] [--type ET|AL|TM] FIRMWARE.elf\n";
        return 2;
    }
    if (code.empty()) {
        // kleurflits-TM.elf and the like.
        const auto dash = elf.rfind('-');
        if (dash != std::string::npos) {
            code = elf.substr(dash + 1, 2);
        }
    }
    BoardType type;
    if (!typeFromCode(code, type)) {
        std::cerr << "avrsim: board type unknown, give --type ET, AL or TM\n";
        return 2;
    }
    try {
        AvrSim sim(elf, type);
        if (measure) {
            return latency(sim);
        }
        kf::avrsim::PtyBridge bridge(sim);
        std::signal(SIGINT, [](int) { stopRequested = 1; });
        std::signal(SIGTERM, [](int) { stopRequested = 1; });
        std::printf("avrsim: %s board on %s\n", kf::fw::typeCode(type), bridge.slavePath().c_str());
        std::fflush(stdout);
        const auto wallStart = kf::avrsim::WallClock::now();
        std::string last;
        while (!stopRequested) {
            std::string line;
            bridge.waitFor(
                [&](const AvrSim& s) {
                    if (s.changes().empty()) {
                        return false;
                    }
                    const auto& change = s.changes().back();
                    std::string now = describe(change.outputs, type);
                    if (now == last) {
                        return false;
                    }
                    last = now;
                    char stamp[96];
                    std::snprintf(stamp, sizeof stamp, "sim %11.6f s  wall %10.3f s  ",
                                  AvrSim::microseconds(change.cycle) / 1e6,
                                  std::chrono::duration<double>(change.wall - wallStart).count());
                    line = stamp + now;
                    return true;
                },
                200ms);
            if (!line.empty()) {
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "avrsim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
