#pragma once
// Stage lighting: the sixteen lamps as sixteen DMX channels of one universe of the local olad,
// which takes them on to Art-Net, sACN or a USB-DMX interface. The frame hands its lamps over
// and returns at once; a writer thread of its own talks to olad, so a slow or absent olad never
// holds up a frame.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace kf {

class OlaLink;

inline constexpr unsigned kOlaChannels = 16;
inline constexpr unsigned kOlaMaxUniverse = 65535;
// The last first channel that still leaves room for all sixteen in a 512-channel universe.
inline constexpr unsigned kOlaMaxFirstChannel = 512 - kOlaChannels + 1;
inline constexpr std::uint16_t kOlaDefaultPort = 9010;
inline constexpr std::uint8_t kOlaLit = 255;
inline constexpr std::uint8_t kOlaDark = 0;

// Which universe and where in it the lamps start (1-based, as lighting people count).
struct OlaTarget {
    unsigned universe = 1;
    unsigned firstChannel = 1;
};

struct OlaSettings {
    OlaTarget target;
    std::uint16_t rpcPort = kOlaDefaultPort;
};

// "1" or "1:33". A bad value gives nullopt and, in `error`, a sentence saying why.
std::optional<OlaTarget> parseOlaUniverse(std::string_view text, std::string* error = nullptr);
// olad's RPC port, 1..65535.
std::optional<std::uint16_t> parseOlaPort(std::string_view text, std::string* error = nullptr);

// The two sides' patterns (bit i is the side's lamp i + 1) as the sixteen channel values: left
// lamps 1-8 first, then right lamps 1-8; 255 lit, 0 dark.
std::array<std::uint8_t, kOlaChannels> encodeLamps(std::uint8_t left, std::uint8_t right);

// From KLEURFLITS_OLA_UNIVERSE and KLEURFLITS_OLA_PORT. Unset universe: nullopt, quietly. A bad
// value of either: nullopt and one line on stderr.
std::optional<OlaSettings> olaSettingsFromEnvironment();

class OlaOutput {
  public:
    // How often an absent olad is looked for again.
    static constexpr std::chrono::milliseconds kRetry{250};
    // Unchanged lamps are sent again this often: olad forgets quiet sources, and a send is how
    // a vanished olad shows.
    static constexpr std::chrono::milliseconds kRefresh{500};
    // Sends are at least this far apart: a DMX line carries a universe some 44 times a second
    // at most, so 100 sends a second would only load olad and the network. A change right after
    // a send waits for the gap; one after a quiet spell goes out at once.
    static constexpr std::chrono::milliseconds kMinGap{20};
    // The longest the end waits for the zeros to reach olad.
    static constexpr std::chrono::milliseconds kOffWait{1000};

    static constexpr const char* kAbsentLine =
        "OLA: no olad answers on this machine; DMX output waits for it";

    // Loads the OLA module (see olaLinkLoad); throws std::runtime_error when it cannot.
    explicit OlaOutput(const OlaSettings& settings);
    ~OlaOutput();
    OlaOutput(const OlaOutput&) = delete;
    OlaOutput& operator=(const OlaOutput&) = delete;

    // One frame's lamps. Never waits for olad: the writer sends the newest lamps it has.
    void frame(std::uint32_t left, std::uint32_t right);
    // Sets the sixteen channels to 0 and waits, at most `wait`, until they are with olad.
    // Frames after this are ignored. True when olad has the zeros.
    bool switchOff(std::chrono::milliseconds wait = kOffWait);

    // What the writer has done so far (tests and benchmarks).
    std::uint64_t sends() const;
    bool connected() const;

  private:
    friend std::unique_ptr<OlaOutput> olaOutputFromEnvironment();
    OlaOutput(const OlaSettings& settings, std::unique_ptr<OlaLink> link);
    void run();

    const OlaSettings settings_;
    const std::unique_ptr<OlaLink> link_;  // the writer's alone
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable offDone_;
    std::uint16_t lamps_ = 0;  // left in the low byte, right in the high byte
    bool fresh_ = false;       // lamps_ changed since the writer took them
    bool idle_ = false;        // the writer waits for news: a change must wake it
    bool off_ = false;
    bool stop_ = false;
    std::chrono::steady_clock::time_point offDeadline_;
    bool offFinished_ = false;
    bool offSent_ = false;
    bool connected_ = false;
    std::uint64_t sends_ = 0;
    std::thread writer_;
};

// The code that talks to olad, from the module kleurflits-ola.so: the one KLEURFLITS_OLA_MODULE
// names, else the one beside the executable, else the installed one. nullptr, with the reason
// (dlerror's text) in `error`, when none loads. Programs that link the module's code in use that.
std::unique_ptr<OlaLink> olaLinkLoad(std::string* error = nullptr);

// The output the environment asks for, or nullptr (unset, bad, or the module not loadable: said
// on stderr in one line).
std::unique_ptr<OlaOutput> olaOutputFromEnvironment();

}  // namespace kf
