#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "core/SpectrumBitmap.h"

namespace kf {

// An array with the index range the program's tables use (sides 1..2, iCP12 outputs 1..8),
// so that an off-by-one index is an error instead of a silent read of the wrong side.
template <class T, int First, int Last>
class IndexedArray {
  public:
    static_assert(Last >= First);
    T& operator()(int i) { return values_.at(slot(i)); }
    const T& operator()(int i) const { return values_.at(slot(i)); }
    void fill(const T& v) { values_.fill(v); }
    static constexpr int first() { return First; }
    static constexpr int last() { return Last; }

  private:
    static std::size_t slot(int i) {
        if (i < First || i > Last) {
            throw std::out_of_range("index " + std::to_string(i) + " outside " +
                                    std::to_string(First) + ".." + std::to_string(Last));
        }
        return static_cast<std::size_t>(i - First);
    }
    std::array<T, Last - First + 1> values_{};
};

inline constexpr int Links = 1;
inline constexpr int Rechts = 2;

template <class T>
using BySide = IndexedArray<T, Links, Rechts>;

class BoardRegistry;

// Which board a side has (its port, type or card), as everyone reads it; only the board
// registry writes it, so that a side's board changes in one place.
template <class T>
class SeatOf {
  public:
    const T& operator()(int side) const { return values_(side); }

  private:
    friend class BoardRegistry;
    BySide<T> values_;
};

// Colours are &HBBGGRR values, as the window's design gives them.
inline constexpr std::uint32_t kColorOn = 0x80FF80;   // light green: on, present
inline constexpr std::uint32_t kColorOff = 0x8080FF;  // light red: off, absent

// The program-wide variables. One instance lives as long as the window and is passed by
// reference to every unit that reads or writes it. Flags are bool: true stands for -1.
struct SharedState {
    SeatOf<std::int16_t> ICP12Port;
    SeatOf<std::int16_t> ArduinoPort;
    SeatOf<std::int32_t> K8055Card;
    SeatOf<std::string> ArduinoType;
    IndexedArray<std::string, 1, 8> ICP12OnCmd;
    IndexedArray<std::string, 1, 8> ICP12OffCmd;
    bool ICP12Active = false;
    BySide<bool> ArduinoActive;
    bool K8055Active = false;
    BySide<std::int32_t> LedPattern;
    std::int16_t PeakLinks = 0;
    std::int16_t PeakRechts = 0;
    bool Initialising = false;
    std::int16_t TM1638Mode = 0;
    bool TM1638V13Links = false;
    bool TM1638V13Rechts = false;
    std::uint32_t ColorOff = 0;
    std::uint32_t ColorOn = 0;
    std::string MessageText;
    double WaitStart = 0.0;
    double Amplify = 0.0;
    std::uint32_t RecordChannel = 0;
    SpectrumBitmap SpectrumBitmapInfo;
    SpectrumPixels SpectrumPixelsLinks;
    SpectrumPixels SpectrumPixelsRechts;
    std::int16_t LitCount = 0;

    std::int16_t& Peak(int side) { return pick(side, PeakLinks, PeakRechts); }
    bool& TM1638V13(int side) { return pick(side, TM1638V13Links, TM1638V13Rechts); }

  private:
    template <class T>
    static T& pick(int side, T& links, T& rechts) {
        if (side != Links && side != Rechts) {
            throw std::out_of_range("side " + std::to_string(side));
        }
        return side == Links ? links : rechts;
    }
};

}  // namespace kf
