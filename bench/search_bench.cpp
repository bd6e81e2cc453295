// How long the start-up search takes over eight ports with the real waits (one second for each
// reply, the Arduino's reset wait and the two-second bound): a silent port, two iCP12 boards, a
// TM, a port that answers garbage, an AL, an iCP12 that answers "xxZMDxx" and an Arduino that
// answers "tm". Printed: the search one port after another and all at once, each on boards of
// its own, and the real program from its start to the first frame the left iCP12 gets.
//   search_bench --program PATH --dir DIR
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/ArduinoSim.h"
#include "boardsim/GarbageSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"
#include "devices/iCP12.h"
#include "probe/Process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kf::boardsim;

struct EightPorts {
    std::vector<std::unique_ptr<BoardSim>> sims;
    Icp12Sim* left = nullptr;

    EightPorts() {
        Icp12Options inside;
        inside.identifyReply = "xxZMDxx";
        ArduinoOptions tm;
        tm.type = ArduinoType::TM;
        ArduinoOptions al;
        al.type = ArduinoType::AL;
        ArduinoOptions lower;
        lower.identifyReply = "tm";
        sims.push_back(std::make_unique<SilentSim>());
        auto first = std::make_unique<Icp12Sim>();
        left = first.get();
        sims.push_back(std::move(first));
        sims.push_back(std::make_unique<Icp12Sim>());
        sims.push_back(std::make_unique<ArduinoSim>(tm));
        sims.push_back(std::make_unique<GarbageSim>());
        sims.push_back(std::make_unique<ArduinoSim>(al));
        sims.push_back(std::make_unique<Icp12Sim>(inside));
        sims.push_back(std::make_unique<ArduinoSim>(lower));
    }
    std::vector<std::string> paths() const {
        std::vector<std::string> p;
        for (const auto& s : sims) {
            p.push_back(s->slavePath());
        }
        return p;
    }
};

// Recorded nowhere: only the time counts here.
class NoView : public kf::DeviceView {
  public:
    void setCaption(kf::DeviceLabel, const std::string&) override {}
    void setBackColor(kf::DeviceLabel, std::uint32_t) override {}
    void setToolTip(kf::DeviceLabel, const std::string&) override {}
};

double searchSeconds(bool atOnce, std::string& found) {
    EightPorts eight;
    const kf::ComPorts ports(eight.paths());
    kf::SharedState state;
    NoView view;
    kf::EventLoopWaits waits;
    const kf::Timing timing;
    kf::SerialPortControl probe(ports, 115200);
    kf::SerialPortControl arduinoLinks(ports, 115200);
    kf::SerialPortControl arduinoRechts(ports, 115200);
    iCP12::Search s{state, view, ports, probe, arduinoLinks, arduinoRechts, waits, timing, {}};
    const auto start = Clock::now();
    if (atOnce) {
        iCP12::ZoekComPoorten(s);
    } else {
        iCP12::searchOneAfterAnother(s);
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    found = "iCP12 COM" + std::to_string(state.ICP12Port(kf::Links)) + "/COM" +
            std::to_string(state.ICP12Port(kf::Rechts)) + ", Arduino COM" +
            std::to_string(state.ArduinoPort(kf::Links)) + " " + state.ArduinoType(kf::Links) +
            "/COM" + std::to_string(state.ArduinoPort(kf::Rechts)) + " " +
            state.ArduinoType(kf::Rechts);
    return took;
}

// The real program on the eight ports: from its start to the left iCP12's first frame.
double programSeconds(const std::string& program, const std::string& dir) {
    EightPorts eight;
    std::string list;
    for (const std::string& p : eight.paths()) {
        list += (list.empty() ? "" : ":") + p;
    }
    const auto start = Clock::now();
    const pid_t pid = probe::spawn(
        {program}, {{"KLEURFLITS_SERIAL_PORTS", list}, {"QT_QPA_PLATFORM", "offscreen"}},
        dir + "/search-bench-program.log");
    if (pid < 0) {
        return -1.0;
    }
    const bool framed = eight.left->waitForState(
        [](const Icp12State& s) { return s.frameCount > 0; }, std::chrono::seconds(60));
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    probe::terminate(pid, std::chrono::seconds(20));
    return framed ? took : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string program;
    std::string dir = "/tmp";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--program") {
            program = argv[i + 1];
        } else if (flag == "--dir") {
            dir = argv[i + 1];
        }
    }
    std::string found;
    const double oneByOne = searchSeconds(false, found);
    std::printf("search one port after another: %.2f s (%s)\n", oneByOne, found.c_str());
    const double atOnce = searchSeconds(true, found);
    std::printf("search all ports at once:      %.2f s (%s)\n", atOnce, found.c_str());
    if (!program.empty()) {
        const double whole = programSeconds(program, dir);
        if (whole < 0) {
            std::printf("program: no frame within 60 s (%s/search-bench-program.log)\n",
                        dir.c_str());
            return 1;
        }
        std::printf("program start to the first frame: %.2f s (goal: at most 3 s)\n", whole);
    }
    return 0;
}
