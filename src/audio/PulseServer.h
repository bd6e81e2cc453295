#pragma once

#include <cstdint>
#include <string>

#include "audio/PulseMainLoop.h"

struct pa_context;

namespace modBass {

// The connection to the sound server (PulseAudio, or PipeWire through pipewire-pulse): the
// context, its subscription to server changes, the default output and its monitor asked for by
// name, and the check that a named source exists. Every call with the loop's lock held; the
// listener is called on the capture thread, lock held. Answers from a dropped connection are
// never reported.
class PulseServer {
  public:
    enum class State { None, Connecting, Ready, Failed };
    enum class SourceCheck { Pending, Found, Missing };

    // The server's default output. The monitor is empty when the server has no default output
    // or that output has no monitor.
    struct DefaultOutput {
        std::string sink;
        std::string monitor;
    };

    class Listener {
      public:
        virtual void serverStateChanged() = 0;
        // A change of the server's own settings, such as a new default output.
        virtual void serverChanged() = 0;
        virtual void defaultOutputIs(const DefaultOutput& output) = 0;
        // The answer to askOutputLatency: the source is the monitor of an output whose sound
        // leaves it `us` microseconds after it was rendered (the output's latency, its port's
        // latency offset included; 0 while it plays nothing), or it is no output's monitor
        // (monitor false): heard live.
        virtual void outputLatencyIs(bool monitor, std::uint64_t us) = 0;
        // The output last asked about changed; its latency may have.
        virtual void outputChanged() = 0;

      protected:
        ~Listener() = default;
    };

    PulseServer(PulseMainLoop& loop, Listener& listener) : loop_(loop), listener_(listener) {}
    ~PulseServer() = default;  // drop() first, while the loop runs
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts connecting (a previous connection is dropped); false when it failed at once. The
    // server comes from PULSE_SERVER or the client configuration; one is never spawned.
    bool connect(const char* clientName);
    void drop();
    State state() const;
    pa_context* context() const { return ctx_; }

    // Once ready: report changes of the server's settings, and of the output last asked about
    // by askOutputLatency, to the listener.
    void watchChanges();
    // Once ready: ask for the default output and its monitor; the listener gets the answer.
    void askDefaultOutput();
    // Once ready: ask whether a source of that name exists; sourceCheck() holds the answer and
    // the loop is signalled when it comes.
    void checkSource(const std::string& name);
    SourceCheck sourceCheck() const { return sourceCheck_; }
    // Once ready: ask how late the output whose monitor `source` is plays what is rendered; the
    // listener gets the answer (none when the source has vanished).
    void askOutputLatency(const std::string& source);

  private:
    friend struct ServerCallbacks;  // the C callbacks, in the .cpp

    void answer(const DefaultOutput& output);

    PulseMainLoop& loop_;
    Listener& listener_;
    pa_context* ctx_ = nullptr;
    SourceCheck sourceCheck_ = SourceCheck::Pending;
    std::uint32_t latencyOutput_ = static_cast<std::uint32_t>(-1);  // sink index, or invalid
};

}  // namespace modBass
