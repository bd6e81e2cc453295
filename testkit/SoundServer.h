#pragma once
// The sound servers of a test's or a benchmark's own: PulseAudio, or PipeWire with
// pipewire-pulse, each on a private socket with null sinks, so no run hears another's tones or
// plays into the machine's speakers.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kftest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The null-terminated array of C strings posix_spawn takes; points into `strings`.
inline std::vector<char*> cStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

inline bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream ss(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (::access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// A sound server of the test's own that clients reach through the PulseAudio protocol: null
// sinks (the first one the default output) and, when asked for, a silent source as the default
// input. kill() ends the part the clients talk to, as a crash would; start() again brings it
// back on the same socket.
class TestSoundServer {
  public:
    virtual ~TestSoundServer() = default;
    virtual bool start(std::chrono::milliseconds timeout = 5000ms) = 0;
    virtual void kill() = 0;
    virtual std::string server() const = 0;  // for PULSE_SERVER
    virtual std::string log() const = 0;
};

enum class ServerKind { PulseAudio, PipeWire };

// The one way to start a private server: sinks' first is the default output; mic, when not
// empty, a silent source that is the default input. start() it.
std::unique_ptr<TestSoundServer> makeSoundServer(ServerKind kind, std::vector<std::string> sinks,
                                                 std::string mic = {});

// Whether the programs the kind needs are installed.
bool soundServerAvailable(ServerKind kind);

}  // namespace kftest
