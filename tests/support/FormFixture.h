#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/KleurFlitsFrm.h"
#include "audio/KleurFlitsMod.h"
#include "devices/BoardRegistry.h"
#include "devices/FakeHidTransport.h"
#include "devices/iCP12.h"
#include "support/FakeAudioLibrary.h"
#include "support/RecordingBoxes.h"

namespace kf::test {

// Waits that record what was asked and really wait, shortened by a factor.
class RecordingWaits : public Waits {
  public:
    void waitFor(std::chrono::milliseconds d) override {
        waited.push_back(d);
        if (beforeWait) {
            beforeWait();
        }
        real.waitFor(d);
    }
    void dispatchOnce() override {
        ++dispatches;
        real.dispatchOnce();
    }
    std::vector<std::chrono::milliseconds> waited;
    int dispatches = 0;
    // Runs at the start of every wait: lets a test change the world while the search waits.
    std::function<void()> beforeWait;

  private:
    EventLoopWaits real;
};

// A window with fake audio, no K8055 hardware and the serial devices the test names.
class FormFixture : public ::testing::Test {
  protected:
    FakeAudioLibrary audio;
    kftest::FakeHidTransport hid;
    std::optional<k8055d::K8055Driver> k8055;
    RecordingBoxes boxes;
    RecordingWaits waits;
    std::optional<ComPorts> ports;
    std::unique_ptr<KleurFlitsFrm> form;
    std::vector<int> endedWith;
    Timing timing;

    // Waits short enough for fast tests; tests about timing set their own.
    static Timing fastTiming() {
        Timing t;
        t.icp12ReplyWait = std::chrono::milliseconds(100);
        t.arduinoProbeWait = std::chrono::milliseconds(50);
        t.arduinoReplyBound = std::chrono::milliseconds(300);
        t.tmTextPause = std::chrono::milliseconds(200);
        t.setTekstDelay = std::chrono::milliseconds(100);
        return t;
    }

    void makeForm(std::vector<std::string> devices = {}) {
        ports.emplace(std::move(devices));
        k8055.emplace(hid);
        form = std::make_unique<KleurFlitsFrm>(
            FormDependencies{audio, *ports, *k8055, boxes, waits, timing,
                             [this](int status) { endedWith.push_back(status); }});
    }

    int load(std::vector<std::string> devices = {}) {
        makeForm(std::move(devices));
        return form->Form_Load();
    }

    // Boards wired in as the search would leave them, without running it: COM n is entry n - 1
    // of the device list given to makeForm.
    void attachIcp12(int side, std::int16_t com) {
        SharedState& s = form->state();
        kf::BoardRegistry::setPort(s, kf::BoardKind::Icp12, side, com);
        s.ICP12Active = true;
        iCP12::fillCommands(s);
        openSeat(kf::BoardKind::Icp12, side, com);
    }
    void attachArduino(int side, std::int16_t com, const char* type, bool v13 = false) {
        SharedState& s = form->state();
        kf::BoardRegistry::setPort(s, kf::BoardKind::Arduino, side, com);
        kf::BoardRegistry::setArduinoType(s, side, type);
        s.ArduinoActive(side) = true;
        s.TM1638V13(side) = v13;
        openSeat(kf::BoardKind::Arduino, side, com);
    }
    // Start-up's own opening of the seats found; a seat whose line fails to open is emptied.
    void openSeat(kf::BoardKind kind, int side, std::int16_t com) {
        form->boards().openFound();
        const SharedState& s = form->state();
        const auto port = kind == kf::BoardKind::Icp12 ? s.ICP12Port(side) : s.ArduinoPort(side);
        ASSERT_EQ(port, com) << "the line did not open";
    }
    // The state start-up leaves before the first frame.
    void prepareRunning() {
        SharedState& s = form->state();
        s.Amplify = 1.0;
        s.ColorOn = kColorOn;
        s.ColorOff = kColorOff;
        s.RecordChannel = audio.startResult;
    }

    // Puts the whole level of a band into its first bin of one side.
    void setLevel(int side, int ledNr, int level) {
        const auto band = KleurFlitsMod::bandTable()[static_cast<std::size_t>(ledNr - 2)];
        const double term = (level + 4) / 127.0;
        // The band's first odd position is a left bin, its first even one (from 2) a right bin.
        const int firstEven = std::max(2, band.BandStart + band.BandStart % 2);
        const int bin = side == Links ? band.BandStart / 2 : firstEven / 2 - 1;
        audio.setBin(side, bin, static_cast<float>(term * term * std::log10(band.sc)));
    }
    void silence() { audio.fft.fill(0.0F); }

    // Runs the frame timer's handler once, as its tick would, never sooner than the timer's
    // interval after the last: the boards skip a frame their line cannot have carried the last one
    // for.
    void frame() {
        const auto due = lastFrame_ + timing.frameInterval;
        if (std::chrono::steady_clock::now() < due) {
            std::this_thread::sleep_until(due);
        }
        lastFrame_ = std::chrono::steady_clock::now();
        QMetaObject::invokeMethod(&form->tmrLiveSpec, "timeout", Qt::DirectConnection);
    }

  private:
    std::chrono::steady_clock::time_point lastFrame_{};
};

}  // namespace kf::test
