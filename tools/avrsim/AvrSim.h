#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../../firmware/arduino/kleurflits/Board.h"

struct avr_t;
struct avr_irq_t;

namespace kf::avrsim {

using WallClock = std::chrono::steady_clock;

// What the lamp board shows, read from its pins.
struct Outputs {
    std::uint8_t lamps = 0;  // D2-D9, lamp 1 = bit 0
    std::uint8_t peaks = 0;  // AL: D10-D13, A0-A3
    // TM: the TM1638's display memory as written over its bus (even = digit, odd = LED).
    std::array<std::uint8_t, fw::kDisplayBytes> display{};
    bool displayOn = false;

    bool operator==(const Outputs&) const = default;

    std::uint8_t ledMask() const;   // TM1638 LEDs, LED 1 = bit 0
    std::uint8_t dotMask() const;   // TM1638 decimal points, position 1 = bit 0
    std::string digitText() const;  // the digits read back through the font ('?' = unknown)
};

struct Change {
    std::uint64_t cycle;
    WallClock::time_point wall;
    Outputs outputs;  // after the change
};

// One firmware .elf in simavr's ATmega328P at 16 MHz, single-threaded: the caller drives the
// simulated time. Bytes for the UART go in at line speed, in order.
class AvrSim {
  public:
    static constexpr std::uint32_t kFrequency = 16000000;

    // Throws std::runtime_error when the file cannot be loaded.
    AvrSim(const std::string& elfPath, fw::BoardType type);
    ~AvrSim();
    AvrSim(const AvrSim&) = delete;
    AvrSim& operator=(const AvrSim&) = delete;

    fw::BoardType type() const { return type_; }

    void send(std::string_view bytes);
    // A reset as the board's reset pin gives it: the firmware starts again from its first
    // instruction; what waited for the UART and what it had sent are dropped.
    void reset();
    std::size_t resetCount() const { return resets_; }
    // Runs the simulated time forward; false when the core stopped or crashed.
    bool runFor(std::chrono::microseconds time);
    // Runs until pred() holds or `limit` of simulated time has passed.
    bool runUntil(const std::function<bool()>& pred, std::chrono::microseconds limit);

    std::uint64_t cycle() const;
    static double microseconds(std::uint64_t cycles) { return cycles * 1e6 / kFrequency; }

    // Bytes the firmware has sent since the last call.
    std::string takeOutput();
    const Outputs& outputs() const { return outputs_; }
    const std::vector<Change>& changes() const { return changes_; }
    // Cycle at which the UART last completed receiving a byte (its receive interrupt flag).
    std::uint64_t lastReceivedCycle() const { return lastRxCycle_; }
    std::size_t receivedCount() const { return rxCount_; }
    // Bytes still waiting to be put on the line.
    std::size_t pendingInput() const { return input_.size(); }

    // Called for every change of the outputs, in the simulation's thread.
    void onChange(std::function<void(const Change&)> callback) { callback_ = std::move(callback); }

  private:
    static void pinChanged(avr_irq_t* irq, std::uint32_t value, void* param);
    static void uartOut(avr_irq_t* irq, std::uint32_t value, void* param);
    static void uartXon(avr_irq_t* irq, std::uint32_t value, void* param);
    static void uartXoff(avr_irq_t* irq, std::uint32_t value, void* param);
    static void rxInterrupt(avr_irq_t* irq, std::uint32_t value, void* param);

    void pin(char port, int bit, bool high);
    void tmClock();
    void tmStrobe(bool high);
    void pump();
    void changed();

    fw::BoardType type_;
    avr_t* avr_ = nullptr;
    avr_irq_t* uartInput_ = nullptr;
    bool xon_ = false;
    std::deque<std::uint8_t> input_;
    std::string output_;
    std::uint64_t lastRxCycle_ = 0;
    std::size_t rxCount_ = 0;
    std::size_t resets_ = 0;

    // Pin levels: PORTB, PORTC, PORTD as seen on the pins.
    std::uint8_t portB_ = 0, portC_ = 0, portD_ = 0;
    Outputs outputs_;
    std::vector<Change> changes_;
    std::function<void(const Change&)> callback_;

    // TM1638 bus decoder.
    bool tmSelected_ = false;
    std::uint8_t tmShift_ = 0;
    int tmBits_ = 0;
    int tmBytes_ = 0;
    bool tmWriting_ = false;
    bool tmAutoIncrement_ = true;
    std::uint8_t tmAddress_ = 0;
};

}  // namespace kf::avrsim
