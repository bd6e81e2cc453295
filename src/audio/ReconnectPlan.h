#pragma once

#include <chrono>
#include <string>

namespace modBass {

namespace detail {

// The reconnect decisions of the capture backend, free of PulseAudio so they can be tested
// without a server. The backend reports what happened (server connecting, up, lost; stream
// connecting, up, moved, lost; the monitor of the default output) and asks next() what to do.
// When following the default output, the stream is connected only once the server has named
// that output's monitor: it is asked for by its real name, never by an alias.
class ReconnectPlan {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    static constexpr std::chrono::milliseconds kRetryInterval{500};
    static constexpr std::chrono::milliseconds kConnectTimeout{2000};

    enum class Link { Down, Connecting, Up };
    enum class Step {
        None,
        ConnectServer,  // create a context and connect it
        AbandonServer,  // the connection attempt takes too long: drop it (report serverLost)
        ConnectStream,  // create and connect the record stream
        AbandonStream,  // the stream takes too long to connect: drop it (report streamLost)
        FollowDefault,  // the default output changed: reconnect the stream to its monitor
    };

    // followDefault: the source is the monitor of the default output and follows it.
    explicit ReconnectPlan(bool followDefault = true) : follow_(followDefault) {}

    void serverConnecting(TimePoint now);
    void serverUp();
    void serverLost(TimePoint now);  // the stream is lost with it
    void setRecording(bool on);      // whether a record stream is wanted
    void streamConnecting(TimePoint now);
    void streamUp(std::string device);  // device: the source actually recorded
    // The server moved the stream to another source: on the user's word when it is not the
    // default output's monitor, and then not followed back until the default output changes.
    void streamMoved(std::string device);
    void streamLost(TimePoint now);
    // The server's answer about the monitor source of its default output; empty when it has
    // no default output (or that output has no monitor).
    void defaultMonitorIs(std::string monitor);

    Step next(TimePoint now) const;

    Link server() const { return server_; }
    Link stream() const { return stream_; }
    bool recording() const { return recording_; }
    bool followsDefault() const { return follow_; }
    const std::string& device() const { return device_; }
    const std::string& defaultMonitor() const { return wanted_; }
    bool defaultMonitorKnown() const { return monitorKnown_; }  // answered since the connect
    unsigned serverLosses() const { return serverLosses_; }
    unsigned streamLosses() const { return streamLosses_; }
    unsigned serverConnects() const { return serverConnects_; }

  private:
    bool follow_;
    bool recording_ = false;
    Link server_ = Link::Down;
    Link stream_ = Link::Down;
    TimePoint retryServerAt_ = TimePoint::min();
    TimePoint retryStreamAt_ = TimePoint::min();
    TimePoint serverSince_{};
    TimePoint streamSince_{};
    std::string device_;
    std::string wanted_;
    bool placed_ = false;  // moved off the default output's monitor by the user
    bool monitorKnown_ = false;
    unsigned serverLosses_ = 0;
    unsigned streamLosses_ = 0;
    unsigned serverConnects_ = 0;
};

}  // namespace detail

}  // namespace modBass
