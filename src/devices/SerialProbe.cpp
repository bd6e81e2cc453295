#include "devices/SerialProbe.h"

#include "devices/Arduino.h"
#include "devices/iCP12.h"

namespace kf {

namespace {

constexpr std::int32_t kProbeBaud = 115200;
// How often the port is looked at while the type code is awaited.
constexpr std::chrono::milliseconds kPollInterval{5};

}  // namespace

SerialProbe::SerialProbe(const ComPorts& ports, std::int16_t commPort, const Timing& timing,
                         QObject* parent)
    : QObject(parent), port_(ports, kProbeBaud), timing_(timing) {
    port_.setCommPort(commPort);
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);  // the answer windows are the search's, not shorter
    connect(&timer_, &QTimer::timeout, this, &SerialProbe::onTimer);
    poll_.setInterval(kPollInterval);
    connect(&poll_, &QTimer::timeout, this, &SerialProbe::pollReply);
}

SerialProbe::~SerialProbe() = default;

void SerialProbe::start(Done done) {
    done_ = std::move(done);
    // A port that cannot be opened holds no board for us; reported from the event loop all
    // the same, so the caller never sees its callback inside its own call.
    if (!port_.setPortOpen(true)) {
        step_ = Step::Icp12Reply;
        QTimer::singleShot(0, this, [this] { finish({}); });
        return;
    }
    port_.Output(iCP12::kIdentify);
    after(timing_.icp12ReplyWait, Step::Icp12Reply);
}

void SerialProbe::after(std::chrono::milliseconds wait, Step next) {
    step_ = next;
    timer_.start(wait);
}

void SerialProbe::onTimer() {
    switch (step_) {
        case Step::Idle:
        case Step::ArduinoReply:
            return;
        case Step::Icp12Reply:
            if (iCP12::isIdentifyReply(port_.Input())) {
                for (int i = 1; i <= 8; ++i) {
                    port_.Output(iCP12::listEntry(iCP12::kSetupList, i));
                }
                finish({Found::Icp12, {}, true});
                return;
            }
            after(timing_.arduinoProbeWait, Step::ArduinoWait);
            return;
        case Step::ArduinoWait:
            port_.Output(Arduino::kIdentify);
            step_ = Step::ArduinoReply;
            replyDeadline_ = std::chrono::steady_clock::now() + timing_.arduinoReplyBound;
            poll_.start();
            return;
    }
}

void SerialProbe::pollReply() {
    const bool arrived = port_.InBufferCount() >= 2;
    if (!arrived && port_.PortOpen() && std::chrono::steady_clock::now() < replyDeadline_) {
        return;
    }
    const std::string code = Arduino::typeCodeOf(port_.Input());
    if (arrived && Arduino::isKnownType(code)) {
        finish({Found::Arduino, code, true});
    } else {
        finish({Found::Nothing, code, true});  // silence, garbage or a flood: no board we know
    }
}

void SerialProbe::finish(Result result) {
    timer_.stop();
    poll_.stop();
    step_ = Step::Idle;
    port_.setPortOpen(false);
    if (done_) {
        Done done = std::move(done_);
        done_ = nullptr;
        done(result);
    }
}

}  // namespace kf
