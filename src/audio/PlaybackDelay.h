#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace modBass {

// How far behind the newest recorded frame the FFT window ends, so that it holds the sound the
// speakers play now rather than the sound the server has just rendered into the output's buffer.
// The delay is the recorded output's latency, as the server reports it, plus the user's own (an
// amplifier or the distance to the speakers); a microphone or a line input is heard live. It
// follows a new latency by at most one frame's worth (10 ms) per analysis, so the picture never
// jumps, and it is capped at what the ring holds, saying so once. One thread only (the one
// asking for FFTs).
class PlaybackDelay {
  public:
    static constexpr int kRate = 44100;
    static constexpr int kMaxMs = 1000;
    static constexpr int kMaxFrames = kRate * kMaxMs / 1000;
    static constexpr int kStepFrames = kRate / 100;  // one frame's worth of the program's 10 ms

    // What the recording is for the delay: an output's monitor with the latency the server
    // reports (microseconds), a live source, or not known yet (no answer since the stream began).
    struct Latency {
        enum class Kind { Unknown, Output, Live };
        Kind kind = Kind::Unknown;
        std::int64_t us = 0;
    };

    // userMs: the added delay, 0..kMaxMs. notices: where the one line about the cap goes.
    explicit PlaybackDelay(int userMs = 0, std::FILE* notices = stderr)
        : userFrames_(userMs * kRate / 1000), notices_(notices) {}

    // The delay, in frames, for the analysis now; moves towards what `latency` asks for.
    int next(const Latency& latency);
    int current() const { return current_; }

    // Forgets the delay followed so far: the next known latency is taken at once.
    void reset() { settled_ = false; }

    // KLEURFLITS_DELAY_MS's value: a whole number of milliseconds, 0..kMaxMs; none otherwise.
    static std::optional<int> parseUserMs(const char* text);
    // The variable read from the environment: 0 when unset; a bad value is named on `notices`
    // once and taken as 0.
    static int userMsFromEnvironment(std::FILE* notices = stderr);

  private:
    int target(const Latency& latency);

    int userFrames_;
    std::FILE* notices_;
    int current_ = 0;
    bool settled_ = false;
    bool toldCap_ = false;
};

}  // namespace modBass
