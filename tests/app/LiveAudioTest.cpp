#include <QCheckBox>
#include <QLabel>
#include <QScrollBar>
#include <QTest>

#include "app/Controls.h"
#include "app/LampLabel.h"
#include "audio/PulseTestSupport.h"
#include "support/FormFixture.h"
#include "support/Require.h"

namespace kf::test {
namespace {

// The window on the real audio server: what is played into the default output lights the
// on-screen lamps.
class LiveAudio : public ::testing::Test {
  protected:
    std::unique_ptr<modBass::AudioLibrary> audio = modBass::createSystemAudioLibrary();
    kftest::FakeHidTransport hid;
    k8055d::K8055Driver k8055{hid};
    RecordingBoxes boxes;
    EventLoopWaits waits;
    ComPorts ports{std::vector<std::string>{}};
    std::unique_ptr<KleurFlitsFrm> form;

    void SetUp() override {
        KF_REQUIRE(kftest::serverAnswers(),
                   "a PulseAudio server answering (" + kftest::pulseServerDescription() + ")");
        form = std::make_unique<KleurFlitsFrm>(
            FormDependencies{*audio, ports, k8055, boxes, waits, Timing{}, [](int) {}});
        ASSERT_EQ(form->Form_Load(), KleurFlitsFrm::kStartedOk);
    }
    void TearDown() override {
        if (audio) {
            audio->BASS_RecordFree();
        }
    }

    std::uint32_t lamp(int side, int i) const {
        return backColor(
            (side == Links ? form->LedLinks : form->LedRechts)[static_cast<std::size_t>(i)]);
    }
    // Watches the lamps for a while and counts, per lamp, the frames it was lit.
    std::array<int, 16> litFrames(int frames) {
        std::array<int, 16> lit{};
        for (int f = 0; f < frames; ++f) {
            QTest::qWait(10);
            for (int i = 0; i < 8; ++i) {
                lit[static_cast<std::size_t>(i)] += lamp(Links, i) != 0 ? 1 : 0;
                lit[static_cast<std::size_t>(8 + i)] += lamp(Rechts, i) != 0 ? 1 : 0;
            }
        }
        return lit;
    }
};

TEST_F(LiveAudio, ALeftToneLightsOnlyItsBandOnTheLeft) {
    kftest::TonePlayer tone(8, 0.7F, 0.0F);  // bin 8, about 345 Hz: band 4
    ASSERT_TRUE(tone.waitStarted()) << tone.error();
    // The null sink may take a moment before its first data reaches a new recording.
    ASSERT_TRUE(QTest::qWaitFor([&] { return lamp(Links, 2) == 0x00FF00U; }, 5000));
    QTest::qWait(500);  // the automatic level settles
    const auto lit = litFrames(100);
    EXPECT_GT(lit[2], 90) << "band 4's left lamp stays lit";
    for (int i = 0; i < 16; ++i) {
        if (i != 2) {
            EXPECT_LT(lit[static_cast<std::size_t>(i)], 5) << "lamp " << i << " of 16";
        }
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(LiveAudio, ALoudToneShowsItsPeakInRed) {
    form->HScroll_Amplify->setValue(20);      // twice the level: far above the peak mark
    kftest::TonePlayer tone(40, 0.0F, 0.8F);  // bin 40, about 1.7 kHz: band 6, right
    ASSERT_TRUE(tone.waitStarted()) << tone.error();
    EXPECT_TRUE(QTest::qWaitFor([&] { return lamp(Rechts, 4) == 0x0000FFU; }, 5000));
    EXPECT_EQ(lamp(Links, 4), 0x000000U);
}

}  // namespace
}  // namespace kf::test
