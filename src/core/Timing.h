#pragma once

#include <chrono>

namespace kf {

// Every duration the program waits or ticks by. Tests shorten the waits that are not what they
// are about.
struct Timing {
    using ms = std::chrono::milliseconds;
    ms frameInterval{10};        // tmrLiveSpec
    ms searchBarInterval{10};    // Timer_Zoeken
    ms setTekstDelay{1000};      // Timer_Settekst
    ms icp12ReplyWait{1000};     // after "(ZMD)"
    ms arduinoProbeWait{1000};   // before "90/"
    ms arduinoReplyBound{2000};  // longest wait for the two-character type code
    ms tmTextPause{2000};        // after each TM1638 text
};

}  // namespace kf
