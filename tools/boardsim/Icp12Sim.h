#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "boardsim/BoardSim.h"

namespace kf::boardsim {

struct Icp12Options {
    // Answer to "(ZMD)"; the program accepts any text holding "ZMD" in upper case.
    std::string identifyReply = "(ZMD iCP12 v1)";
    // Sent after every on/off command, to check the program reads replies away.
    std::string switchReply;
    // A search that did not take us for an iCP12 asks "90/" next; that is no fault.
    bool tolerateArduinoProbe = true;
};

// Output n (1..8) is index n - 1 throughout.
struct Icp12State {
    std::array<bool, 8> setUp{};
    std::array<bool, 8> latch{};  // last on/off command, also when not set up
    std::array<unsigned, 8> setUpCount{};
    std::array<unsigned, 8> onCount{};
    std::array<unsigned, 8> offCount{};
    unsigned identifyCount = 0;
    unsigned commandCount = 0;  // well-formed commands of any kind
    unsigned probeCount = 0;    // tolerated "90/" probes
    // A frame is the on/off commands of outputs 1..8 in order, nothing in between.
    unsigned frameCount = 0;
    std::uint8_t lastFrame = 0;  // bit n - 1: output n on in the last complete frame

    // Bit n - 1 set when output n is set up and switched on: what the lamps show.
    std::uint8_t lit() const;
    unsigned switchCount() const;
};

// The pin behind output n (1..8), e.g. "RA5" for output 5.
const char* icp12Pin(int output);

// The iCP12 firmware: six-character commands "(RA0o)".."(RB21)" and "(ZMD)". Anything
// else is flagged and skipped up to the next "(".
class Icp12Board : public Board {
  public:
    explicit Icp12Board(Icp12Options options = {});

    void closed(Link& link) override;
    void received(std::string_view bytes, Link& link) override;
    std::string summary() const override;

    const Icp12State& state() const { return state_; }

  private:
    enum class Mode { Idle, Command, Stray, Skip };
    void byte(char c, Link& link);
    void execute(Link& link);
    void breakFrame() { framePos_ = -1; }

    Icp12Options options_;
    Icp12State state_;
    Mode mode_ = Mode::Idle;
    std::string pending_;  // command text after "(", or stray bytes
    int framePos_ = -1;    // next output expected in the frame being built
    std::uint8_t frameBits_ = 0;
};

class Icp12Sim : public BoardSim {
  public:
    explicit Icp12Sim(Icp12Options options = {}, SimOptions sim = {});

    Icp12State state() const;
    bool waitForState(const std::function<bool(const Icp12State&)>& pred,
                      Clock::duration timeout) const;

  private:
    const Icp12Board& icp12() const { return static_cast<const Icp12Board&>(board()); }
};

}  // namespace kf::boardsim
