#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

#include "core/Timing.h"
#include "devices/ComPorts.h"
#include "devices/SerialPortControl.h"

namespace kf {

// Finds out what answers on one serial port while the show runs, with the start-up search's
// exchange: "(ZMD)" at 115200 and a reply holding "ZMD" within the reply wait (then the eight
// set-up commands follow at once, as in the search), otherwise "90/" after the board's reset
// wait and a two-character type code within the bound. It never waits in a nested event loop:
// each step is a timer or a look at the port, so frames go on every 10 ms meanwhile. The port
// is closed again before the result is reported.
class SerialProbe : public QObject {
    Q_OBJECT
  public:
    enum class Found { Nothing, Icp12, Arduino };
    struct Result {
        Found found = Found::Nothing;
        std::string typeCode;  // an Arduino's "ET", "AL" or "TM"; with Nothing, what came
        bool opened = false;   // false: the port could not be opened
    };
    using Done = std::function<void(const Result&)>;

    SerialProbe(const ComPorts& ports, std::int16_t commPort, const Timing& timing,
                QObject* parent = nullptr);
    ~SerialProbe() override;

    // Starts the exchange; `done` is called once, from the event loop (never from start()).
    void start(Done done);
    void setRefusedHandler(SerialPortControl::RefusedHandler handler) {
        port_.setRefusedHandler(std::move(handler));
    }
    bool running() const { return step_ != Step::Idle; }
    // No iCP12 answered: the Arduino's part of the exchange is under way.
    bool askingArduino() const { return step_ == Step::ArduinoWait || step_ == Step::ArduinoReply; }

  private:
    enum class Step { Idle, Icp12Reply, ArduinoWait, ArduinoReply };
    void after(std::chrono::milliseconds wait, Step next);
    void onTimer();
    void pollReply();
    void finish(Result result);

    SerialPortControl port_;
    const Timing& timing_;
    QTimer timer_;
    QTimer poll_;
    Step step_ = Step::Idle;
    std::chrono::steady_clock::time_point replyDeadline_{};
    Done done_;
};

}  // namespace kf
