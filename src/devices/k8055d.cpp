#include "devices/k8055d.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace k8055d {

namespace {

constexpr int kBoardCount = 4;
constexpr int kNoBoard = -1;

// Output report 5 carries the eight digital outputs and the two analog outputs; hidapi wants
// the report ID (0: the board has no numbered reports) in front of it.
constexpr std::uint8_t kReportId = 0x00;
constexpr std::uint8_t kSetOutputsCommand = 0x05;

std::optional<int> addressOf(const HidDeviceInfo& info) {
    if (info.vendorId != kVendorId || info.productId < kProductIdBase ||
        info.productId >= kProductIdBase + kBoardCount) {
        return std::nullopt;
    }
    return info.productId - kProductIdBase;
}

}  // namespace

struct K8055Driver::Impl {
    struct Board {
        std::string path;  // empty: not known from the last enumeration
        std::unique_ptr<HidDevice> device;
        // After a failed look-up or open the board is left alone until retryAt.
        bool holdingOff = false;
        std::chrono::steady_clock::time_point retryAt{};
        // Its writes failed and the owner was told; it is told again once the board is back.
        bool lost = false;
        // Writes accepted on the present handle. A writer thread accepts a report before the
        // transfer, so a lost board counts as back only at the second: the first one's
        // transfer failing would have failed it.
        int accepted = 0;
    };

    HidTransport& transport;
    Clock clock;
    std::array<Board, kBoardCount> boards;
    int current = kNoBoard;
    PresenceHandler presenceHandler;
    // The analog outputs share the report with the digital ones; nothing sets them, so they
    // stay 0, but a write must not change them.
    std::uint8_t analog1 = 0;
    std::uint8_t analog2 = 0;

    Impl(HidTransport& t, Clock c) : transport(t), clock(std::move(c)) {
        if (!clock) {
            clock = [] { return std::chrono::steady_clock::now(); };
        }
    }

    std::vector<HidDeviceInfo> listDevices() {
        try {
            return transport.enumerate(kVendorId);
        } catch (...) {
            return {};
        }
    }

    std::unique_ptr<HidDevice> openDevice(const std::string& path) {
        try {
            return transport.open(path);
        } catch (...) {
            return nullptr;
        }
    }

    // Refreshes every board's path. A handle whose board is no longer listed at the same path
    // belongs to a device that has gone, so it is dropped.
    std::int32_t enumerate() {
        std::array<std::string, kBoardCount> found;
        std::int32_t mask = 0;
        for (const HidDeviceInfo& info : listDevices()) {
            const std::optional<int> address = addressOf(info);
            // Two boards with the same address jumpers: the first one listed is used.
            if (!address || (mask & (1 << *address)) != 0 || info.path.empty()) {
                continue;
            }
            mask |= 1 << *address;
            found[*address] = info.path;
        }
        for (int a = 0; a < kBoardCount; ++a) {
            Board& board = boards[a];
            if (found[a] != board.path) {
                const bool wasOpen = board.device != nullptr;
                board.device.reset();
                board.path = std::move(found[a]);
                if (wasOpen) {
                    markLost(a);
                }
            }
        }
        return mask;
    }

    void holdOff(Board& board) {
        board.holdingOff = true;
        board.retryAt = clock() + kRetryInterval;
    }

    bool open(int address) {
        Board& board = boards[address];
        if (board.device) {
            return true;
        }
        if (board.holdingOff && clock() < board.retryAt) {
            return false;
        }
        if (board.path.empty()) {
            enumerate();
        }
        if (!board.path.empty()) {
            board.device = openDevice(board.path);
        }
        board.accepted = 0;
        if (!board.device) {
            // The path may be stale (the node can go to another device), so look it up anew
            // next time.
            board.path.clear();
            holdOff(board);
            return false;
        }
        board.holdingOff = false;
        return true;
    }

    bool write(std::int32_t value) {
        if (current == kNoBoard || !boards[current].device) {
            return false;
        }
        const OutputsReport report = outputsReport(value, analog1, analog2);
        Board& board = boards[current];
        int written = -1;
        try {
            written = board.device->write(report.data(), report.size());
        } catch (...) {
            written = -1;
        }
        const int address = current;
        if (written == static_cast<int>(report.size())) {
            if (board.lost && ++board.accepted >= 2) {
                board.lost = false;
                tell(address, true);
            }
            return true;
        }
        // A failed write usually means the board was unplugged. Drop the handle and forget
        // the path so the next selection looks the board up again; the next frame repairs
        // the outputs if it is back.
        board.device.reset();
        board.path.clear();
        current = kNoBoard;
        markLost(address);
        return false;
    }

    void markLost(int address) {
        Board& board = boards[address];
        if (!board.lost) {
            board.lost = true;
            tell(address, false);
        }
    }

    void tell(int address, bool present) {
        if (presenceHandler) {
            presenceHandler(address, present);
        }
    }
};

K8055Driver::K8055Driver(HidTransport& transport, Clock clock)
    : impl_(std::make_unique<Impl>(transport, std::move(clock))) {}

K8055Driver::~K8055Driver() {
    impl_->transport.setRefusedHandler({});  // the transport outlives the driver
}

std::int32_t K8055Driver::SearchDevices() {
    impl_->current = kNoBoard;
    for (Impl::Board& board : impl_->boards) {
        board.holdingOff = false;
    }
    return impl_->enumerate();
}

OutputsReport outputsReport(std::int32_t outputs, std::uint8_t analog1, std::uint8_t analog2) {
    return {kReportId,
            kSetOutputsCommand,
            static_cast<std::uint8_t>(outputs & 0xFF),
            analog1,
            analog2,
            0,
            0,
            0,
            0};
}

std::int32_t K8055Driver::PresentBoards() {
    return impl_->enumerate();
}

std::int32_t K8055Driver::SetCurrentDevice(std::int32_t address) {
    // A failed selection must not leave the previous board selected, or its outputs would
    // take the next write meant for another board.
    impl_->current = kNoBoard;
    if (address < 0 || address >= kBoardCount || !impl_->open(address)) {
        return -1;
    }
    impl_->current = address;
    return address;
}

bool K8055Driver::WriteAllDigital(std::int32_t value) {
    return impl_->write(value);
}

bool K8055Driver::Drain(std::int32_t address, std::chrono::steady_clock::time_point deadline) {
    if (address < 0 || address >= kBoardCount || !impl_->boards[address].device) {
        return true;
    }
    try {
        return impl_->boards[address].device->drain(deadline);
    } catch (...) {
        return false;
    }
}

std::int64_t K8055Driver::UnsentBytes(std::int32_t address) {
    // A drain that may not wait tells whether anything is still under way.
    return Drain(address, std::chrono::steady_clock::now())
               ? 0
               : static_cast<std::int64_t>(kReportBytes);
}

void K8055Driver::setPresenceHandler(PresenceHandler handler) {
    impl_->presenceHandler = std::move(handler);
}

void K8055Driver::setRefusedHandler(RefusedHandler handler) {
    if (!handler) {
        impl_->transport.setRefusedHandler({});
        return;
    }
    // A seated board that cannot be opened takes no frame: it shows as lost, and comes back
    // as any lost board does once its writes go through.
    Impl* impl = impl_.get();
    impl_->transport.setRefusedHandler([impl, handler](const std::string& path) {
        const auto& boards = impl->boards;
        const auto seated = std::find_if(boards.begin(), boards.end(),
                                         [&](const Impl::Board& b) { return b.path == path; });
        const auto address = static_cast<std::int32_t>(
            seated == boards.end() ? -1 : std::distance(boards.begin(), seated));
        if (address >= 0) {
            impl->markLost(address);
        }
        handler(address, path);
    });
}

}  // namespace k8055d
