#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "audio/modBass.h"

namespace kf::test {

// A scripted audio library: the version, the init and start results, the error codes and the
// FFT data are set by the test; every call is logged by name.
class FakeAudioLibrary : public modBass::AudioLibrary {
  public:
    std::uint32_t version = 0x02040F00;
    bool initResult = true;
    int initError = 0;
    modBass::HRECORD startResult = 7;
    int startError = 0;
    std::array<float, modBass::kFftValues> fft{};
    std::vector<std::string> calls;
    int lastError = 0;

    std::uint32_t BASS_GetVersion() override {
        calls.emplace_back("BASS_GetVersion");
        return version;
    }
    bool BASS_RecordInit(int device) override {
        calls.push_back("BASS_RecordInit(" + std::to_string(device) + ")");
        lastError = initResult ? 0 : initError;
        return initResult;
    }
    int BASS_ErrorGetCode() override {
        calls.emplace_back("BASS_ErrorGetCode");
        return lastError;
    }
    modBass::HRECORD BASS_RecordStart(std::uint32_t freq, std::uint32_t chans, std::uint32_t flags,
                                      modBass::RECORDPROC, void*) override {
        calls.push_back("BASS_RecordStart(" + std::to_string(freq) + "," + std::to_string(chans) +
                        "," + std::to_string(flags) + ")");
        lastError = startResult != 0 ? 0 : startError;
        return startResult;
    }
    std::int32_t BASS_ChannelGetData(modBass::HRECORD handle, float* buffer,
                                     std::uint32_t length) override {
        ++fftRequests;
        if (handle != startResult || length != modBass::kFftRequest || !deliver) {
            return -1;
        }
        std::copy(fft.begin(), fft.end(), buffer);
        return static_cast<std::int32_t>(fft.size() * sizeof(float));
    }
    bool BASS_RecordFree() override {
        calls.emplace_back("BASS_RecordFree");
        return true;
    }

    int count(const std::string& call) const {
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }

    // Puts a level into a band: fills its bins so the band's sum gives that square-root term.
    void setBin(int side, int bin, float magnitude) {
        fft[static_cast<std::size_t>(2 * bin + (side == 1 ? 0 : 1))] = magnitude;
    }

    int fftRequests = 0;
    bool deliver = true;
};

}  // namespace kf::test
