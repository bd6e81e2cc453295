#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kf::boardsim {

using Clock = std::chrono::steady_clock;

// What a simulated board can do while it handles the line: answer, and report what the
// program did wrong. Only valid during a call from the simulator's reader thread.
class Link {
  public:
    virtual ~Link() = default;
    virtual void send(std::string_view bytes) = 0;
    virtual void flag(std::string violation) = 0;
    // Arrival time of the bytes being handled (or of the event: open, close, tick).
    virtual Clock::time_point now() const = 0;
};

// The firmware of a simulated board. All calls come from the reader thread with the
// simulator's lock held, so implementations need no locking of their own.
class Board {
  public:
    virtual ~Board() = default;
    // The program opened the port (a real Arduino resets here) or closed it.
    virtual void opened(Link&) {}
    virtual void closed(Link&) {}
    virtual void received(std::string_view bytes, Link& link) = 0;
    // Boards that talk on their own return a non-zero period for tick().
    virtual std::chrono::milliseconds tickInterval() const { return {}; }
    virtual void tick(Link&) {}
    // Short state text for a live display, e.g. the lamps as dots.
    virtual std::string summary() const = 0;
};

}  // namespace kf::boardsim
