#include "audio/KleurFlitsMod.h"

#include <cmath>

namespace KleurFlitsMod {

double roundHalfEven(double x) {
    const double lower = std::floor(x);
    const double diff = x - lower;
    if (diff > 0.5) {
        return lower + 1.0;
    }
    if (diff < 0.5) {
        return lower;
    }
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

int bandEnd(int ledNr) {
    const double edge = roundHalfEven(std::pow(2.0, (ledNr * 10.0) / 9.0));
    return edge > kPositions ? kPositions : static_cast<int>(edge);
}

std::array<Band, 8> bandTable() {
    std::array<Band, 8> bands{};
    int start = 0;
    for (int ledNr = 2; ledNr <= 9; ++ledNr) {
        Band& b = bands[static_cast<std::size_t>(ledNr - 2)];
        b.LedNr = ledNr;
        b.BandStart = start;
        b.BandEnd = bandEnd(ledNr);
        b.sc = b.BandEnd + 10 - start;
        start = b.BandEnd > start ? b.BandEnd : start + 1;
    }
    return bands;
}

BandSums sumBand(const float* fftData, int bandStart, int bandEnd) {
    BandSums sums;
    int p = bandStart;
    do {
        const float value = p == 0 ? 0.0F : fftData[p - 1];
        if (p % 2 == 0) {
            sums.SumRechts += value;
        } else {
            sums.SumLinks += value;
        }
        ++p;
    } while (p < bandEnd);
    return sums;
}

std::int32_t level(float sum, int sc, double amplify) {
    const double log10sc = std::log(static_cast<double>(sc)) / std::log(10.0);
    const double scaled = std::sqrt(static_cast<double>(sum) / log10sc) * amplify * 127.0 - 4.0;
    if (std::isnan(scaled)) {
        return kEmptyLevel;  // corrupt input counts as silence rather than a full band
    }
    const double rounded = roundHalfEven(scaled);
    if (rounded > kMaxLevel) {
        return kMaxLevel;
    }
    return rounded < kEmptyLevel ? kEmptyLevel : static_cast<std::int32_t>(rounded);
}

void SpectrumAnalyse(kf::SharedState& state, modBass::AudioLibrary& audio, FftBuffer& FftData,
                     FrameSink& sink) {
    FftData.fill(0.0F);
    audio.BASS_ChannelGetData(state.RecordChannel, FftData.data(), modBass::kFftRequest);

    kf::clearPixels(state.SpectrumPixelsLinks);
    kf::clearPixels(state.SpectrumPixelsRechts);

    // The edges depend on nothing but the band numbers: worked out once, walked every frame.
    static const std::array<Band, 8> kBands = bandTable();
    for (const Band& band : kBands) {
        const int ledNr = band.LedNr;
        const BandSums sums = sumBand(FftData.data(), band.BandStart, band.BandEnd);

        const std::int32_t levelRechts = level(sums.SumRechts, band.sc, state.Amplify);
        const std::int32_t levelLinks = level(sums.SumLinks, band.sc, state.Amplify);

        const auto bit = static_cast<std::int16_t>(1 << (ledNr - 2));
        if (levelRechts > kPeakLevel) {
            state.PeakRechts = static_cast<std::int16_t>(state.PeakRechts | bit);
        }
        if (levelLinks > kPeakLevel) {
            state.PeakLinks = static_cast<std::int16_t>(state.PeakLinks | bit);
        }

        kf::writeBar(state.SpectrumPixelsRechts, ledNr, levelRechts);
        kf::writeBar(state.SpectrumPixelsLinks, ledNr, levelLinks);

        sink.LedBesturing(ledNr, static_cast<float>(levelLinks), static_cast<float>(levelRechts));
    }
    sink.drawPictures(state.SpectrumPixelsRechts, state.SpectrumPixelsLinks);
}

}  // namespace KleurFlitsMod
