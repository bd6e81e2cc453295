#include "audio/ReconnectPlan.h"

#include <utility>

namespace modBass {

namespace detail {

void ReconnectPlan::serverConnecting(TimePoint now) {
    server_ = Link::Connecting;
    serverSince_ = now;
    stream_ = Link::Down;
    device_.clear();
    wanted_.clear();
    monitorKnown_ = false;
}

void ReconnectPlan::serverUp() {
    if (server_ != Link::Up) {
        ++serverConnects_;
    }
    server_ = Link::Up;
    stream_ = Link::Down;
    retryStreamAt_ = TimePoint::min();  // connect the stream at once
}

void ReconnectPlan::serverLost(TimePoint now) {
    server_ = Link::Down;
    retryServerAt_ = now + kRetryInterval;
    stream_ = Link::Down;
    device_.clear();
    wanted_.clear();
    monitorKnown_ = false;
    ++serverLosses_;
}

void ReconnectPlan::setRecording(bool on) {
    if (on && !recording_) {
        stream_ = Link::Down;
        retryStreamAt_ = TimePoint::min();
    }
    if (!on) {
        stream_ = Link::Down;
        device_.clear();
    }
    recording_ = on;
}

void ReconnectPlan::streamConnecting(TimePoint now) {
    stream_ = Link::Connecting;
    streamSince_ = now;
    device_.clear();
    placed_ = false;
}

void ReconnectPlan::streamUp(std::string device) {
    stream_ = Link::Up;
    device_ = std::move(device);
}

void ReconnectPlan::streamMoved(std::string device) {
    if (stream_ == Link::Up) {
        device_ = std::move(device);
        // Moved elsewhere than the default output's monitor, by the user (the Recording tab of
        // pavucontrol): it stays where it was put until the default output changes.
        placed_ = follow_ && !device_.empty() && device_ != wanted_;
    }
}

void ReconnectPlan::streamLost(TimePoint now) {
    stream_ = Link::Down;
    retryStreamAt_ = now + kRetryInterval;
    device_.clear();
    ++streamLosses_;
}

void ReconnectPlan::defaultMonitorIs(std::string monitor) {
    if (monitor != wanted_) {
        placed_ = false;
    }
    wanted_ = std::move(monitor);
    monitorKnown_ = true;
}

ReconnectPlan::Step ReconnectPlan::next(TimePoint now) const {
    switch (server_) {
        case Link::Down:
            return now >= retryServerAt_ ? Step::ConnectServer : Step::None;
        case Link::Connecting:
            return now - serverSince_ >= kConnectTimeout ? Step::AbandonServer : Step::None;
        case Link::Up:
            break;
    }
    if (!recording_) {
        return Step::None;
    }
    switch (stream_) {
        case Link::Down:
            if (follow_ && wanted_.empty()) {
                return Step::None;  // no output to monitor (yet): wait for the server's word
            }
            return now >= retryStreamAt_ ? Step::ConnectStream : Step::None;
        case Link::Connecting:
            return now - streamSince_ >= kConnectTimeout ? Step::AbandonStream : Step::None;
        case Link::Up:
            break;
    }
    if (follow_ && !placed_ && !wanted_.empty() && !device_.empty() && wanted_ != device_) {
        return Step::FollowDefault;
    }
    return Step::None;
}

}  // namespace detail

}  // namespace modBass
