#include "app/Frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "light/LampControl.h"
#include "support/FakeAudioLibrary.h"

namespace kf {
namespace {

using light::BandResult;
using light::FrameOutputs;
using light::FrameSettings;
using light::lampIndex;
using light::Show;

using kf::Links;
using kf::Rechts;

// Notes the order of what a frame asks of the outputs, with the patterns of the moment.
struct Journal : FrameOutputs {
    explicit Journal(kf::SharedState& s) : state(s) {}
    void frameBegins() override { log.emplace_back("begin"); }
    void sendPatterns() override { log.push_back("patterns " + patterns()); }
    void sendFrame() override { log.push_back("frame " + patterns()); }
    void frameEnds() override { log.emplace_back("end"); }
    std::string patterns() const {
        return std::to_string(state.LedPattern(Links)) + "/" +
               std::to_string(state.LedPattern(Rechts)) + "/" + std::to_string(state.PeakLinks) +
               "/" + std::to_string(state.PeakRechts);
    }

    kf::SharedState& state;
    std::vector<std::string> log;
};

// The same frame run by hand, as the window ran it band by band from its scroll bar: the
// reference the one call must match.
struct ByHand : KleurFlitsMod::FrameSink {
    ByHand(kf::SharedState& s, FrameOutputs& o) : state(s), show(s, o) {}
    void LedBesturing(int LedNr, float l, float r) override {
        const BandResult b = show.band(LedNr, l, r, settings);
        if (b.thresholdMoved) {
            settings.threshold = b.threshold;
        }
        const auto i = static_cast<std::size_t>(lampIndex(LedNr));
        lampsLinks[i] = b.colourLinks;
        lampsRechts[i] = b.colourRechts;
    }
    void drawPictures(const kf::SpectrumPixels&, const kf::SpectrumPixels&) override {}

    kf::SharedState& state;
    Show show;
    FrameSettings settings;
    std::array<std::uint32_t, 8> lampsLinks{};
    std::array<std::uint32_t, 8> lampsRechts{};
};

class OneFrameCall : public ::testing::Test {
  protected:
    void SetUp() override {
        for (kf::SharedState* s : {&state, &handState}) {
            s->Amplify = 1.0;
            s->RecordChannel = audio.startResult;
        }
        // A spectrum falling off towards the highs, the right side a little softer: the
        // bands' levels spread across the threshold's range.
        for (int k = 0; k < modBass::kFftValues / 2; ++k) {
            audio.fft[static_cast<std::size_t>(2 * k)] = 0.2F / static_cast<float>(1 + k / 4);
            audio.fft[static_cast<std::size_t>(2 * k + 1)] = 0.12F / static_cast<float>(1 + k / 4);
        }
    }

    kf::test::FakeAudioLibrary audio;
    kf::SharedState state;
    Journal journal{state};
    Frame frame{state, audio, journal};
    kf::SharedState handState;
    Journal handJournal{handState};
    ByHand hand{handState, handJournal};
    KleurFlitsMod::FftBuffer fft{};
};

// With the automatic level moving the threshold at the first band, every later band of that
// frame decides on the moved threshold, as it did when the window's bar carried it.
TEST_F(OneFrameCall, DecidesEveryBandAsTheBandByBandWindowDid) {
    FrameSettings settings{60, 120, true, 3};
    hand.settings = settings;
    int moves = 0;
    int lit = 0;
    for (int n = 0; n < 40; ++n) {
        SCOPED_TRACE("frame " + std::to_string(n));
        const FramePicture& picture = frame.run(settings);
        handJournal.frameBegins();
        KleurFlitsMod::SpectrumAnalyse(handState, audio, fft, hand);
        handJournal.frameEnds();
        hand.show.frameDone(true);

        if (picture.thresholdMoved) {
            ++moves;
            settings.threshold = picture.threshold;  // as the window sets its bar
        }
        ASSERT_EQ(settings.threshold, hand.settings.threshold);
        ASSERT_EQ(picture.lampsLinks, hand.lampsLinks);
        ASSERT_EQ(picture.lampsRechts, hand.lampsRechts);
        ASSERT_EQ(journal.log, handJournal.log);
        for (std::uint32_t c : picture.lampsLinks) {
            lit += c != 0 ? 1 : 0;
        }
        ASSERT_NE(picture.barsLinks, nullptr);
        EXPECT_EQ(picture.barsLinks, &state.SpectrumPixelsLinks);
        EXPECT_EQ(picture.barsRechts, &state.SpectrumPixelsRechts);
    }
    EXPECT_GE(moves, 5) << "the threshold never moved: the case proves nothing";
    EXPECT_GT(lit, 0);
}

// The outputs' lines are held around everything the frame gives them: the previous patterns at
// its start, this frame's after its last band.
TEST_F(OneFrameCall, HandsTheOutputsTheirLampsInsideOneHeldFrame) {
    frame.run({20, 120, false, 6});
    frame.run({20, 120, false, 6});
    ASSERT_EQ(journal.log.size(), 8U);
    for (std::size_t f = 0; f < 2; ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(journal.log[4 * f], "begin");
        EXPECT_EQ(journal.log[4 * f + 1].rfind("patterns ", 0), 0U);
        EXPECT_EQ(journal.log[4 * f + 2].rfind("frame ", 0), 0U);
        EXPECT_EQ(journal.log[4 * f + 3], "end");
    }
    // The second frame starts by sending what the first one decided.
    EXPECT_EQ(journal.log[5].substr(9), journal.log[2].substr(6));
    EXPECT_NE(journal.log[2], "frame 0/0/0/0") << "the spectrum lit nothing";
}

}  // namespace
}  // namespace kf
