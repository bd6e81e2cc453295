#pragma once

#include <cstdint>
#include <memory>

// The audio library as the program calls it: six calls under their library names.
// Backends: PulseAudio capture (this platform) and a scripted fake for tests.
namespace modBass {

using HRECORD = std::uint32_t;
// Called with every block of recorded data; returning false stops the recording.
using RECORDPROC = bool (*)(HRECORD handle, const void* buffer, std::uint32_t length, void* user);

inline constexpr std::uint32_t BASS_DATA_FFT1024 = 0x80000002;
inline constexpr std::uint32_t BASS_DATA_FFT_INDIVIDUAL = 0x10;
inline constexpr std::uint32_t kFftRequest =
    BASS_DATA_FFT1024 | BASS_DATA_FFT_INDIVIDUAL;  // 0x80000012
inline constexpr int kFftValues = 1024;            // 512 bins, left and right interleaved

inline constexpr std::uint32_t kVersion = 0x02040000;

// Error codes, with the library's numbers.
inline constexpr int BASS_OK = 0;
inline constexpr int BASS_ERROR_DRIVER = 3;  // no audio server
inline constexpr int BASS_ERROR_INIT = 8;    // not initialised
inline constexpr int BASS_ERROR_START = 9;   // recording could not be started
inline constexpr int BASS_ERROR_ALREADY = 14;
inline constexpr int BASS_ERROR_DEVICE = 23;  // no recording device
inline constexpr int BASS_ERROR_HANDLE = 5;
inline constexpr int BASS_ERROR_FORMAT = 6;  // unsupported sample format (only 44100 Hz stereo)
inline constexpr int BASS_ERROR_ILLPARAM =
    20;  // invalid parameter (null buffer, unknown data request)

class AudioLibrary {
  public:
    virtual ~AudioLibrary() = default;
    virtual std::uint32_t BASS_GetVersion() = 0;
    // device -1: the default recording device.
    virtual bool BASS_RecordInit(int device) = 0;
    virtual int BASS_ErrorGetCode() = 0;
    // Returns the recording handle, or 0 on failure.
    virtual HRECORD BASS_RecordStart(std::uint32_t freq, std::uint32_t chans, std::uint32_t flags,
                                     RECORDPROC proc, void* user) = 0;
    // With kFftRequest fills buffer[0..1023] with the magnitudes of the newest 1024 frames:
    // buffer[2k] left bin k, buffer[2k+1] right bin k. Returns bytes written, or -1.
    virtual std::int32_t BASS_ChannelGetData(HRECORD handle, float* buffer,
                                             std::uint32_t length) = 0;
    virtual bool BASS_RecordFree() = 0;
};

// The platform's backend. The recording source is the monitor of the default output, or the
// PulseAudio source named by KLEURFLITS_AUDIO_SOURCE.
std::unique_ptr<AudioLibrary> createSystemAudioLibrary();

}  // namespace modBass
