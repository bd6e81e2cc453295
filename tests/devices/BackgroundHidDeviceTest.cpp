#include "devices/BackgroundHidDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "devices/FakeHidTransport.h"

namespace k8055d {
namespace {

using namespace std::chrono_literals;
using Report = std::vector<std::uint8_t>;

// A board whose writes can be held up (as a hung USB transfer holds hid_write) or failed.
struct Board {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> written;
    bool hung = false;
    bool writing = false;
    int result = 0;  // 0: the length; otherwise what write returns
    bool closed = false;

    void setHung(bool h) {
        std::lock_guard lock(mutex);
        hung = h;
        changed.notify_all();
    }
    bool waitUntilWriting() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [this] { return writing; });
    }
    bool waitForWrites(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return written.size() >= n && !writing; });
    }
    std::vector<Report> writes() {
        std::lock_guard lock(mutex);
        return written;
    }
};

class FakeDevice final : public HidDevice {
  public:
    explicit FakeDevice(std::shared_ptr<Board> board) : board_(std::move(board)) {}
    ~FakeDevice() override {
        std::lock_guard lock(board_->mutex);
        board_->closed = true;
        board_->changed.notify_all();
    }
    int write(const std::uint8_t* data, std::size_t length) override {
        std::unique_lock lock(board_->mutex);
        board_->writing = true;
        board_->changed.notify_all();
        board_->changed.wait(lock, [this] { return !board_->hung; });
        board_->written.emplace_back(data, data + length);
        board_->writing = false;
        board_->changed.notify_all();
        return board_->result != 0 ? board_->result : static_cast<int>(length);
    }

  private:
    std::shared_ptr<Board> board_;
};

Report report(std::uint8_t value) {
    return {0, 5, value, 0, 0, 0, 0, 0, 0};
}

int write(HidDevice& device, const Report& r) {
    return device.write(r.data(), r.size());
}

TEST(BackgroundHidDevice, AHungBoardDoesNotHoldTheCallerAndOnlyTheNewestReportFollows) {
    auto board = std::make_shared<Board>();
    BackgroundHidDevice device(std::make_unique<FakeDevice>(board));
    board->setHung(true);
    EXPECT_EQ(write(device, report(1)), 9);
    ASSERT_TRUE(board->waitUntilWriting());
    // While the first transfer hangs, frames go on handing over reports.
    auto frames = std::async(std::launch::async, [&] {
        int ok = 0;
        for (std::uint8_t v = 2; v <= 50; ++v) {
            ok += write(device, report(v)) == 9 ? 1 : 0;
        }
        return ok;
    });
    ASSERT_EQ(frames.wait_for(5s), std::future_status::ready) << "a write waited for the board";
    EXPECT_EQ(frames.get(), 49);
    board->setHung(false);
    ASSERT_TRUE(board->waitForWrites(2));
    EXPECT_EQ(board->writes(), (std::vector<Report>{report(1), report(50)}));
}

TEST(BackgroundHidDevice, AFailedTransferFailsTheNextWrite) {
    auto board = std::make_shared<Board>();
    board->result = -1;
    BackgroundHidDevice device(std::make_unique<FakeDevice>(board));
    EXPECT_EQ(write(device, report(1)), 9) << "the failure is not known yet";
    ASSERT_TRUE(board->waitForWrites(1));
    // The thread records the failure right after the write returns.
    int next = 9;
    for (int i = 0; i < 500 && next == 9; ++i) {
        std::this_thread::sleep_for(1ms);
        next = write(device, report(2));
    }
    EXPECT_EQ(next, -1);
}

TEST(BackgroundHidDevice, AShortTransferCountsAsFailed) {
    auto board = std::make_shared<Board>();
    board->result = 3;
    BackgroundHidDevice device(std::make_unique<FakeDevice>(board));
    write(device, report(1));
    ASSERT_TRUE(board->waitForWrites(1));
    int next = 9;
    for (int i = 0; i < 500 && next == 9; ++i) {
        std::this_thread::sleep_for(1ms);
        next = write(device, report(2));
    }
    EXPECT_EQ(next, -1);
}

TEST(BackgroundHidDevice, ClosingSendsTheLastReportFirst) {
    auto board = std::make_shared<Board>();
    {
        BackgroundHidDevice device(std::make_unique<FakeDevice>(board));
        write(device, report(0xFF));
        write(device, report(0));  // the off report at shutdown
    }
    const auto writes = board->writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), report(0));
    EXPECT_TRUE(board->closed);
}

TEST(BackgroundHidDevice, ClosingGivesUpOnAHungBoardWhichIsClosedWhenItsTransferEnds) {
    auto board = std::make_shared<Board>();
    board->setHung(true);
    auto closing = std::async(std::launch::async, [board] {
        BackgroundHidDevice device(std::make_unique<FakeDevice>(board));
        write(device, report(0));
        board->waitUntilWriting();
    });
    ASSERT_EQ(closing.wait_for(5s), std::future_status::ready) << "closing waited for the board";
    {
        std::lock_guard lock(board->mutex);
        EXPECT_FALSE(board->closed) << "never closed under a running write";
    }
    board->setHung(false);
    std::unique_lock lock(board->mutex);
    EXPECT_TRUE(board->changed.wait_for(lock, 5s, [&] { return board->closed; }));
    EXPECT_EQ(board->written.size(), 1U);
}

TEST(BackgroundHidDevice, DrainWaitsForTheTransferUnderWayAndTheReportBehindIt) {
    // A board whose transfers take as long as a real interrupt transfer.
    kftest::FakeHidTransport usb;
    usb.setWriteTime(8ms);
    std::atomic<int> started{0};
    usb.setWriteObserver({[&](const std::string&) { ++started; }, {}});
    usb.plugBoard(0);
    BackgroundHidDevice device(usb.open(kftest::FakeHidTransport::pathOf(0)));
    write(device, report(0xFF));
    for (int i = 0; i < 5000 && started == 0; ++i) {
        std::this_thread::sleep_for(100us);
    }
    ASSERT_EQ(started, 1);
    write(device, report(0));  // the off report, while the frame's transfer is under way
    EXPECT_TRUE(device.drain(std::chrono::steady_clock::now() + 5s));
    const auto writes = usb.writes();
    ASSERT_EQ(writes.size(), 2U) << "both had gone out when drain returned";
    EXPECT_EQ(writes[0].second, report(0xFF));
    EXPECT_EQ(writes[1].second, report(0));
}

TEST(BackgroundHidDevice, DrainGivesUpOnAHungBoardAtTheDeadline) {
    auto board = std::make_shared<Board>();
    board->setHung(true);
    BackgroundHidDevice device(std::make_unique<FakeDevice>(board));
    write(device, report(0));
    ASSERT_TRUE(board->waitUntilWriting());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.drain(start + 50ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms) << "waited until the deadline";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "and no longer";
    board->setHung(false);
    EXPECT_TRUE(device.drain(std::chrono::steady_clock::now() + 5s));
}

TEST(BackgroundHidDevice, DrainWithNothingWrittenReturnsAtOnce) {
    auto board = std::make_shared<Board>();
    BackgroundHidDevice device(std::make_unique<FakeDevice>(board));
    EXPECT_TRUE(device.drain(std::chrono::steady_clock::now()));
}

}  // namespace
}  // namespace k8055d
