#pragma once
// What the DMX output needs of olad, and nothing else: a streaming connection, a send, and the
// question whether olad shows the lamps dark. The code behind it (OlaLink.cpp) is the only code
// that sees OLA's client library. It is built as the module kleurflits-ola.so, which the program
// loads only when DMX output is asked for, so that libola and protobuf are not mapped into every
// run of the program.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kf {

class OlaLink {
  public:
    virtual ~OlaLink() = default;

    // A new streaming connection to olad's RPC port, in place of the one before, if any. False
    // when no olad answers. Never starts olad: it is the user's to run.
    virtual bool connect(std::uint16_t rpcPort) = 0;
    // Forgets the connection (olad went away).
    virtual void disconnect() = 0;
    // The universe's channels from channel 1 on the connection. False when the write failed.
    virtual bool send(unsigned universe, const std::uint8_t* channels, std::size_t count) = 0;
    // Asks olad, on a connection of its own, until the `count` channels from `first` (0-based)
    // of the universe show 0, or the deadline passes. True when olad answered so.
    virtual bool showsDark(std::uint16_t rpcPort, unsigned universe, unsigned first, unsigned count,
                           std::chrono::steady_clock::time_point deadline) = 0;
};

// Raised whenever OlaLink changes, so that a module of another build is refused, not called.
inline constexpr unsigned kOlaLinkVersion = 1;

}  // namespace kf

// The module's one entry point: a new link, owned by the caller, or nullptr when `version` is not
// the module's kOlaLinkVersion.
extern "C" kf::OlaLink* kf_ola_link_new(unsigned version);
inline constexpr const char* kOlaLinkEntry = "kf_ola_link_new";
