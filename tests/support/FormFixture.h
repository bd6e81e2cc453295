#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/KleurFlitsFrm.h"
#include "devices/FakeHidTransport.h"
#include "support/FakeAudioLibrary.h"
#include "support/RecordingBoxes.h"

namespace kf::test {

// Waits that record what was asked and really wait, shortened by a factor.
class RecordingWaits : public Waits {
public:
    void waitFor(std::chrono::milliseconds d) override {
        waited.push_back(d);
        real.waitFor(d);
    }
    void dispatchOnce() override {
        ++dispatches;
        real.dispatchOnce();
    }
    std::vector<std::chrono::milliseconds> waited;
    int dispatches = 0;

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
        form = std::make_unique<KleurFlitsFrm>(FormDependencies{
            audio, *ports, *k8055, boxes, waits, timing,
            [this](int status) { endedWith.push_back(status); }});
    }

    int load(std::vector<std::string> devices = {}) {
        makeForm(std::move(devices));
        return form->Form_Load();
    }

    // Runs the frame timer's handler once, as its tick would.
    void frame() { QMetaObject::invokeMethod(&form->tmrLiveSpec, "timeout", Qt::DirectConnection); }
};

}  // namespace kf::test
