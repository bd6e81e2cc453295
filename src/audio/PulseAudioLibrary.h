#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "audio/CaptureSupervisor.h"
#include "audio/FftAnalyser.h"
#include "audio/PlaybackDelay.h"
#include "audio/PulseMainLoop.h"
#include "audio/SampleRing.h"
#include "audio/modBass.h"

namespace modBass {

// The audio library on PulseAudio (and PipeWire through pipewire-pulse). One capture thread,
// the threaded mainloop's, receives fragments of about 10 ms of float32 stereo at 44100 Hz from
// the recording source and writes them into a ring of the newest samples; the FFT request
// analyses 1024 frames of that ring on the caller's thread: those the speakers play now, that
// is the window ending the output's latency (plus KLEURFLITS_DELAY_MS) before the newest frame.
// This class holds the six calls' rules (handles, error codes, formats, silence when nothing is
// recorded); the supervisor keeps the server and the record stream going.
//
// The source is the monitor of the server's default output, asked for by its real name (the
// default sink's monitor source; pipewire-pulse does not resolve the "@DEFAULT_MONITOR@" alias,
// it hands out the default source, often a microphone). That is what the computer plays; when
// the default output changes, the capture reconnects to the new one's monitor. Alternatively the
// source named by KLEURFLITS_AUDIO_SOURCE, read at BASS_RecordInit, never followed. When the
// server goes away the ring reads as silence, and the backend reconnects every 500 ms and
// resumes recording by itself. No exception leaves any call.
//
// The six calls come from one thread (the user-interface thread); the diagnostics may be called
// from any thread except the capture thread. BASS_RecordFree must not be called from the
// record callback.
class PulseAudioLibrary final : public AudioLibrary, private CaptureSupervisor::Recorder {
  public:
    PulseAudioLibrary();
    ~PulseAudioLibrary() override;
    PulseAudioLibrary(const PulseAudioLibrary&) = delete;
    PulseAudioLibrary& operator=(const PulseAudioLibrary&) = delete;

    std::uint32_t BASS_GetVersion() override;
    bool BASS_RecordInit(int device) override;
    int BASS_ErrorGetCode() override;
    HRECORD BASS_RecordStart(std::uint32_t freq, std::uint32_t chans, std::uint32_t flags,
                             RECORDPROC proc, void* user) override;
    std::int32_t BASS_ChannelGetData(HRECORD handle, float* buffer, std::uint32_t length) override;
    bool BASS_RecordFree() override;

    // Diagnostics, for tests and probes.
    struct Status {
        bool initialised = false;
        bool serverUp = false;
        bool streaming = false;      // the record stream is connected and delivering
        std::string source;          // the source asked for: the named one, or the monitor of
                                     // the default output (empty while none is known)
        std::string device;          // the source actually recorded, empty when not streaming
        std::string defaultMonitor;  // monitor of the default output, as last reported
        unsigned serverLosses = 0;
        unsigned streamLosses = 0;
        unsigned serverConnects = 0;     // successful connections, the first one included
        unsigned follows = 0;            // reconnections to a new default output
        PlaybackDelay::Latency latency;  // of the output recorded, as last reported
    };
    Status status();
    const SampleRing& ring() const { return ring_; }

    // Capture data older than this reads as silence (a stalled or suspended source).
    static constexpr std::chrono::milliseconds kStaleAfter{500};
    // The period of the supervising timer on the capture thread.
    static constexpr std::chrono::milliseconds kTick = CaptureSupervisor::kTick;

  private:
    bool initLocked();
    bool waitForServerLocked();
    bool findDefaultMonitorLocked();
    bool findNamedSourceLocked();
    void teardown();
    // CaptureSupervisor::Recorder: hands each fragment to the record callback.
    bool recorded(const void* data, std::uint32_t bytes) override;

    std::atomic<int> lastError_{BASS_OK};
    SampleRing ring_;
    FftAnalyser fft_;      // user-interface thread only
    PlaybackDelay delay_;  // user-interface thread only
    // Started and stopped by the user-interface thread; what runs on it is used under its lock.
    PulseMainLoop loop_;
    // Under the loop's lock.
    CaptureSupervisor supervisor_{loop_, ring_};
    std::string source_;
    RECORDPROC proc_ = nullptr;
    void* user_ = nullptr;
    HRECORD handle_ = 0;
    HRECORD nextHandle_ = 1;

    std::atomic<HRECORD> recording_{0};  // the running recording's handle, 0 when none
};

}  // namespace modBass
