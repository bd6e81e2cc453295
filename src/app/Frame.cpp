#include "app/Frame.h"

#include "light/LampControl.h"

namespace kf {

const FramePicture& Frame::run(const light::FrameSettings& settings) {
    settings_ = settings;
    picture_.thresholdMoved = false;
    outputs_.frameBegins();
    KleurFlitsMod::SpectrumAnalyse(state_, audio_, fft_, *this);
    outputs_.frameEnds();
    show_.frameDone(settings.autoLevel);
    return picture_;
}

void Frame::LedBesturing(int LedNr, float WaardeLinks, float WaardeRechts) {
    const light::BandResult r = show_.band(LedNr, WaardeLinks, WaardeRechts, settings_);
    if (r.thresholdMoved) {
        // The next band reads the threshold as this one left it, as it would from the bar.
        settings_.threshold = r.threshold;
        picture_.threshold = r.threshold;
        picture_.thresholdMoved = true;
    }
    const auto i = static_cast<std::size_t>(light::lampIndex(LedNr));
    picture_.lampsLinks[i] = r.colourLinks;
    picture_.lampsRechts[i] = r.colourRechts;
}

void Frame::drawPictures(const SpectrumPixels& rechts, const SpectrumPixels& links) {
    picture_.barsRechts = &rechts;
    picture_.barsLinks = &links;
}

}  // namespace kf
