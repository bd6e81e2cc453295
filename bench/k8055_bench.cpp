#include <benchmark/benchmark.h>

#include "devices/BackgroundHidDevice.h"
#include "devices/BoardRegistry.h"
#include "devices/K8055Output.h"
#include "devices/Velleman.h"
#include "devices/k8055d.h"

namespace {

// A transport whose writes cost nothing, so the figure is the driver's and the unit's own.
class NullTransport final : public k8055d::HidTransport {
  public:
    // background: each board's writes on a thread of their own, as the hidapi transport does.
    explicit NullTransport(bool background = false) : background_(background) {}
    std::vector<k8055d::HidDeviceInfo> enumerate(std::uint16_t) override {
        return {{k8055d::kVendorId, k8055d::kProductIdBase + 0, "/dev/null-k8055-0"},
                {k8055d::kVendorId, k8055d::kProductIdBase + 1, "/dev/null-k8055-1"}};
    }
    std::unique_ptr<k8055d::HidDevice> open(const std::string&) override {
        if (background_) {
            return std::make_unique<k8055d::BackgroundHidDevice>(std::make_unique<NullDevice>());
        }
        return std::make_unique<NullDevice>();
    }

  private:
    bool background_;
    struct NullDevice final : k8055d::HidDevice {
        int write(const std::uint8_t* data, std::size_t length) override {
            benchmark::DoNotOptimize(data);
            return static_cast<int>(length);
        }
    };
};

// The K8055 part of one frame with a board on each side; arg 1: the writes go through each
// board's writer thread, so the figure is the hand-over the frame pays.
void BM_K8055FrameTwoBoards(benchmark::State& bench) {
    NullTransport transport(bench.range(0) == 1);
    k8055d::K8055Driver driver(transport);
    kf::SharedState state;
    driver.SearchDevices();
    state.K8055Active = true;
    kf::BoardRegistry::setCard(state, kf::Links, 1);
    kf::BoardRegistry::setCard(state, kf::Rechts, 2);
    kf::K8055Output left(state, kf::Links, driver);
    kf::K8055Output right(state, kf::Rechts, driver);
    std::int32_t pattern = 0;
    for (auto _ : bench) {
        state.LedPattern(kf::Links) = pattern & 0xFF;
        state.LedPattern(kf::Rechts) = (pattern >> 1) & 0xFF;
        const kf::LampFrame frame = kf::LampFrame::of(state);
        left.take(frame);
        right.take(frame);
        ++pattern;
    }
}
BENCHMARK(BM_K8055FrameTwoBoards)
    ->ArgName("background")
    ->Arg(0)
    ->Arg(1)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
