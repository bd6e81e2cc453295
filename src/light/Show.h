#pragma once

#include <cstdint>

#include "core/SharedState.h"

// The show's part of every frame, without widgets or devices: the lamp decisions, the patterns
// and peak masks of both sides, the lamps counted for the automatic level and its step, and
// which outputs get this frame. The window forwards each band to it and paints what it
// decided; the boards are reached through FrameOutputs.
namespace light {

// The boards as the frame addresses them, each kind deciding for itself whether it can take
// the frame (latest frame wins). The K8055 and Arduino boards get the previous frame's patterns
// at the start of a frame; the iCP12 boards and a DMX universe get the lamps of this frame once
// all are decided.
class FrameOutputs {
  public:
    virtual ~FrameOutputs() = default;
    // The previous frame's patterns and peak masks, as the shared state holds them now.
    virtual void sendPatterns() = 0;
    // This frame's patterns, as the shared state holds them after its last band.
    virtual void sendFrame() = 0;
    // Around the frame: what the outputs write in it may leave together at its end.
    virtual void frameBegins() {}
    virtual void frameEnds() {}
};

// What a frame reads from the controls.
struct FrameSettings {
    int threshold = 0;
    int thresholdMaximum = 0;
    bool autoLevel = false;
    int wantedLamps = 0;
};

// What the window paints after a band: the two lamps' colours (&HBBGGRR), and the threshold
// when the automatic level moved it.
struct BandResult {
    std::uint32_t colourLinks = 0;
    std::uint32_t colourRechts = 0;
    int threshold = 0;
    bool thresholdMoved = false;
};

class Show {
  public:
    Show(kf::SharedState& state, FrameOutputs& outputs) : state_(state), outputs_(outputs) {}

    // LedBesturing: band LedNr (2..9) of the frame with its two levels.
    BandResult band(int LedNr, float WaardeLinks, float WaardeRechts,
                    const FrameSettings& settings);
    // After the frame's last band: without the automatic level the lamp count starts over.
    void frameDone(bool autoLevel);

  private:
    std::uint32_t lamp(int side, int LedNr, float level);

    kf::SharedState& state_;
    FrameOutputs& outputs_;
    int threshold_ = 0;
};

}  // namespace light
