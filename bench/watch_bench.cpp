// What watching for boards costs while nothing changes: one look at the ports (the listed paths,
// or the machine's own serial ports) and one look for K8055 boards, each made once a second.
// A look of t microseconds costs t / 10 000 % of one core.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <string>
#include <vector>

#include "devices/PortWatcher.h"
#include "devices/k8055d.h"

namespace {

// Two pseudo-terminals and two paths with nothing behind them, as a KLEURFLITS_SERIAL_PORTS
// list of four boards of which two are unplugged.
void BM_LookAtListedPorts(benchmark::State& bench) {
    std::vector<int> masters;
    std::vector<std::string> paths;
    for (int i = 0; i < 2; ++i) {
        const int m = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(m);
        ::unlockpt(m);
        masters.push_back(m);
        paths.emplace_back(::ptsname(m));
    }
    paths.emplace_back("/tmp/kf-bench-no-such-port-1");
    paths.emplace_back("/tmp/kf-bench-no-such-port-2");
    kf::PortWatcher watcher(paths, false);
    watcher.start();
    for (auto _ : bench) {
        watcher.lookNow();
    }
    watcher.stop();
    for (int m : masters) {
        ::close(m);
    }
}
BENCHMARK(BM_LookAtListedPorts)->Unit(benchmark::kMicrosecond);

// The machine's own ports where no udev daemon runs (with udev, events replace the look).
void BM_LookAtTheMachinesPorts(benchmark::State& bench) {
    kf::PortWatcher watcher({}, true);
    watcher.start();
    for (auto _ : bench) {
        watcher.lookNow();
    }
    watcher.stop();
}
BENCHMARK(BM_LookAtTheMachinesPorts)->Unit(benchmark::kMicrosecond);

// The K8055 boards plugged in now, through hidapi as the program asks.
void BM_LookForK8055Boards(benchmark::State& bench) {
    auto transport = k8055d::createHidapiTransport();
    k8055d::K8055Driver driver(*transport);
    for (auto _ : bench) {
        benchmark::DoNotOptimize(driver.PresentBoards());
    }
}
BENCHMARK(BM_LookForK8055Boards)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // QSerialPortInfo's enumeration wants one
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
