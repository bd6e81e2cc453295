// SampleRing: the newest frames, in order, wrapped and zero-filled; thread-safe.
#include "audio/SampleRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using modBass::SampleRing;

namespace {

// Frames whose left value is the frame number and right value its negative.
std::vector<float> numbered(int first, int count) {
    std::vector<float> v(2 * static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        v[2 * i] = static_cast<float>(first + i);
        v[2 * i + 1] = -static_cast<float>(first + i);
    }
    return v;
}

void expectFrames(const std::vector<float>& got, int offset, int first, int count) {
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(got[2 * (offset + i)], static_cast<float>(first + i)) << "frame " << offset + i;
        EXPECT_EQ(got[2 * (offset + i) + 1], -static_cast<float>(first + i))
            << "frame " << offset + i;
    }
}

void expectZeros(const std::vector<float>& got, int offset, int count) {
    for (int i = 0; i < 2 * count; ++i) {
        EXPECT_EQ(got[2 * offset + i], 0.0f) << "value " << 2 * offset + i;
    }
}

}  // namespace

// Enough for a window that ends a second (the longest output delay followed) before the newest,
// with a late burst of fragments.
TEST(SampleRingCapacity, HoldsASecondBehindTheNewestAndAWindowBeforeIt) {
    SampleRing ring;
    EXPECT_GE(ring.capacity(), 44100 + 1024 + 4410);
    EXPECT_EQ(ring.filled(), 0);
}

TEST(SampleRingNewest, ReturnsTheNewestFramesOldestFirst) {
    SampleRing ring(64);
    const auto in = numbered(0, 10);
    ring.write(in.data(), 10);
    std::vector<float> out(8, 99.0f);
    ring.copyNewest(out.data(), 4);
    expectFrames(out, 0, 6, 4);
    EXPECT_EQ(ring.filled(), 10);
    EXPECT_EQ(ring.framesWritten(), 10u);
}

TEST(SampleRingNewest, SeveralWritesReadAsOneStream) {
    SampleRing ring(64);
    for (int first = 0; first < 30; first += 3) {
        const auto in = numbered(first, 3);
        ring.write(in.data(), 3);
    }
    std::vector<float> out(2 * 20);
    ring.copyNewest(out.data(), 20);
    expectFrames(out, 0, 10, 20);
}

TEST(SampleRingWrap, WrapsAroundTheEnd) {
    SampleRing ring(8);
    auto a = numbered(0, 5);
    auto b = numbered(5, 6);  // crosses the end of the storage
    ring.write(a.data(), 5);
    ring.write(b.data(), 6);
    std::vector<float> out(2 * 8);
    ring.copyNewest(out.data(), 8);
    expectFrames(out, 0, 3, 8);
    EXPECT_EQ(ring.filled(), 8);
}

TEST(SampleRingWrap, ManyLapsKeepTheNewest) {
    SampleRing ring(16);
    int next = 0;
    for (int lap = 0; lap < 50; ++lap) {
        const int n = 1 + lap % 7;
        const auto in = numbered(next, n);
        ring.write(in.data(), n);
        next += n;
    }
    std::vector<float> out(2 * 16);
    ring.copyNewest(out.data(), 16);
    expectFrames(out, 0, next - 16, 16);
}

TEST(SampleRingWrap, AWriteLargerThanTheRingKeepsItsEnd) {
    SampleRing ring(8);
    const auto in = numbered(0, 21);
    ring.write(in.data(), 21);
    std::vector<float> out(2 * 8);
    ring.copyNewest(out.data(), 8);
    expectFrames(out, 0, 13, 8);
}

TEST(SampleRingZeroFill, ZeroFillsTheOldestPartWhenShort) {
    SampleRing ring(64);
    const auto in = numbered(1, 3);
    ring.write(in.data(), 3);
    std::vector<float> out(2 * 5, 99.0f);
    ring.copyNewest(out.data(), 5);
    expectZeros(out, 0, 2);
    expectFrames(out, 2, 1, 3);
}

TEST(SampleRingZeroFill, EmptyRingReadsSilence) {
    SampleRing ring(64);
    std::vector<float> out(2 * 32, 99.0f);
    ring.copyNewest(out.data(), 32);
    expectZeros(out, 0, 32);
}

TEST(SampleRingZeroFill, MoreThanTheCapacityZeroFillsTheRest) {
    SampleRing ring(8);
    const auto in = numbered(0, 20);
    ring.write(in.data(), 20);
    std::vector<float> out(2 * 12, 99.0f);
    ring.copyNewest(out.data(), 12);
    expectZeros(out, 0, 4);
    expectFrames(out, 4, 12, 8);
}

TEST(SampleRingZeroFill, ClearMakesItSilentAgain) {
    SampleRing ring(16);
    const auto in = numbered(1, 16);
    ring.write(in.data(), 16);
    ring.clear();
    EXPECT_EQ(ring.filled(), 0);
    std::vector<float> out(2 * 16, 99.0f);
    ring.copyNewest(out.data(), 16);
    expectZeros(out, 0, 16);
    const auto more = numbered(100, 2);
    ring.write(more.data(), 2);
    ring.copyNewest(out.data(), 4);
    expectZeros(out, 0, 2);
    expectFrames(out, 2, 100, 2);
}

TEST(SampleRingZeroFill, WriteSilenceAppendsZeros) {
    SampleRing ring(16);
    const auto in = numbered(1, 4);
    ring.write(in.data(), 4);
    ring.writeSilence(2);
    std::vector<float> out(2 * 6);
    ring.copyNewest(out.data(), 6);
    expectFrames(out, 0, 1, 4);
    expectZeros(out, 4, 2);
}

// A writer and a reader at full speed: every copy is a consecutive run of frame numbers.
TEST(SampleRingThreads, ReaderAlwaysSeesAConsistentRun) {
    SampleRing ring(4096);
    std::atomic<bool> stop{false};
    constexpr int kLap = 1 << 20;  // frame numbers run 1..kLap and start again: exact in float
    auto after = [](float v) { return v == static_cast<float>(kLap) ? 1.0f : v + 1.0f; };
    std::thread writer([&] {
        int next = 1;
        std::vector<float> in(2 * 441);
        while (!stop) {
            for (int i = 0; i < 441; ++i) {
                in[2 * i] = static_cast<float>(next);
                in[2 * i + 1] = -static_cast<float>(next);
                next = next == kLap ? 1 : next + 1;
            }
            ring.write(in.data(), 441);
        }
    });
    std::vector<float> out(2 * 1024);
    int checked = 0;
    // Run until enough full reads have been checked: the writer may start late.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int round = 0; checked < 2000 && std::chrono::steady_clock::now() < deadline; ++round) {
        ring.copyNewest(out.data(), 1024);
        // Skip the zero-filled start, then the frame numbers must rise by one.
        int i = 0;
        while (i < 1024 && out[2 * i] == 0.0f)
            ++i;
        for (int j = i + 1; j < 1024; ++j) {
            ASSERT_EQ(out[2 * j], after(out[2 * (j - 1)])) << "round " << round << " frame " << j;
            ASSERT_EQ(out[2 * j + 1], -out[2 * j]);
        }
        if (i == 0)
            ++checked;
    }
    stop = true;
    writer.join();
    EXPECT_GT(checked, 0);
}

// The window that ends some frames before the newest, as the speakers play it later.
TEST(SampleRingBehind, SkipsTheNewestFramesAcrossTheWrap) {
    SampleRing ring(16);
    const auto in = numbered(0, 27);  // wrapped once: frames 11..26 held, head at 11
    ring.write(in.data(), 27);
    std::vector<float> out(8, 99.0f);
    ring.copyNewest(out.data(), 4, 3);
    expectFrames(out, 0, 20, 4);
    ring.copyNewest(out.data(), 4, 12);  // the oldest four held
    expectFrames(out, 0, 11, 4);
}

TEST(SampleRingBehind, WhatIsOlderThanTheRingHoldsReadsAsSilence) {
    SampleRing ring(16);
    const auto in = numbered(0, 10);
    ring.write(in.data(), 10);
    std::vector<float> out(8, 99.0f);
    ring.copyNewest(out.data(), 4, 8);  // only frames 0 and 1 lie before the skipped eight
    expectZeros(out, 0, 2);
    expectFrames(out, 2, 0, 2);
    std::fill(out.begin(), out.end(), 99.0f);
    ring.copyNewest(out.data(), 4, 40);  // further back than anything written
    expectZeros(out, 0, 4);
}
