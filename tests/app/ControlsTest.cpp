#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "app/Controls.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

class LevelControls : public FormFixture {
  protected:
    void SetUp() override {
        ASSERT_EQ(load(), KleurFlitsFrm::kStartedOk);
        form->tmrLiveSpec.stop();  // the automatic level must not move the threshold here
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    static void click(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }
    // The arrow key goes to the window's focus widget; it must move the threshold. (The
    // offscreen platform does not always report the window active again after "On top"
    // re-creates it, so the window's own focus widget is asked, not the application's.)
    void expectArrowMovesThreshold() {
        QWidget* focus = form->focusWidget();
        ASSERT_EQ(focus, form->HScrollVolume);
        const int before = form->HScrollVolume->value();
        QTest::keyClick(focus, Qt::Key_Right);
        EXPECT_EQ(form->HScrollVolume->value(), before + 1);
        QTest::keyClick(focus, Qt::Key_Left);
        EXPECT_EQ(form->HScrollVolume->value(), before);
    }
};

TEST_F(LevelControls, EverySwitchClickHandsTheFocusToTheThreshold) {
    for (QCheckBox* box : {form->Check_Auto_Level, form->Check_Active, form->Check_Altijd_Top,
                           form->Check_iCP12, form->Check_Arduino, form->Check_K8055}) {
        SCOPED_TRACE(box->text().toStdString());
        form->CMD_End->setFocus();
        click(box);
        expectArrowMovesThreshold();
    }
}

TEST_F(LevelControls, AmplificationSetsTheFactorAndTheFocus) {
    form->CMD_End->setFocus();
    form->HScroll_Amplify->setValue(25);
    EXPECT_DOUBLE_EQ(form->state().Amplify, 2.5);
    expectArrowMovesThreshold();
}

TEST_F(LevelControls, AmplificationTextUsesTheLocalesSeparator) {
    struct Case {
        QLocale locale;
        int value;
        const char* text;
    };
    const Case cases[] = {
        {QLocale::c(), 5, "amp 0.5"},
        {QLocale::c(), 10, "amp 1"},
        {QLocale::c(), 40, "amp 4"},
        {QLocale(QLocale::Dutch, QLocale::Netherlands), 5, "amp 0,5"},
        {QLocale(QLocale::Dutch, QLocale::Netherlands), 10, "amp 1"},
        {QLocale(QLocale::Dutch, QLocale::Netherlands), 40, "amp 4"},
        {QLocale(QLocale::Dutch, QLocale::Netherlands), 13, "amp 1,3"},
        // Native digits are not used, the separator is.
        {QLocale(QLocale::Arabic, QLocale::Egypt), 10, "amp 1"},
        {QLocale(QLocale::Arabic, QLocale::Egypt), 25, "amp 2\u066B5"},
        {QLocale(QLocale::Bengali, QLocale::Bangladesh), 35, "amp 3.5"},
    };
    for (const Case& c : cases) {
        QLocale::setDefault(c.locale);
        form->HScroll_Amplify->setValue(c.value == 10 ? 11 : 10);  // make sure it changes
        form->HScroll_Amplify->setValue(c.value);
        EXPECT_EQ(form->Text_Amplify->text(), QString::fromUtf8(c.text))
            << c.locale.name().toStdString();
        EXPECT_DOUBLE_EQ(form->state().Amplify, c.value / 10.0);
    }
}

TEST_F(LevelControls, WantedLampCountShowsInItsLabel) {
    form->HScroll_MaxAantLeds->setValue(16);
    EXPECT_EQ(form->Label_MaxNumLeds->text(), "16");
    form->HScroll_MaxAantLeds->setValue(0);
    EXPECT_EQ(form->Label_MaxNumLeds->text(), "0");
}

TEST_F(LevelControls, AutoLevelSwitchColoursItselfAndKeepsTheThreshold) {
    form->HScrollVolume->setValue(40);
    click(form->Check_Auto_Level);
    EXPECT_FALSE(form->Check_Auto_Level->isChecked());
    EXPECT_EQ(backColor(form->Check_Auto_Level), kColorOff);
    EXPECT_EQ(form->HScrollVolume->value(), 40);
    click(form->Check_Auto_Level);
    EXPECT_EQ(backColor(form->Check_Auto_Level), kColorOn);
}

TEST_F(LevelControls, SwitchesWithoutBoardsStayUntickedAndRed) {
    for (QCheckBox* box : {form->Check_iCP12, form->Check_Arduino, form->Check_K8055}) {
        click(box);
        EXPECT_FALSE(box->isChecked());
        EXPECT_EQ(backColor(box), kColorOff);
    }
}

TEST_F(LevelControls, ActiveStopsAndRestartsTheFrames) {
    form->tmrLiveSpec.start();
    click(form->Check_Active);
    EXPECT_FALSE(form->tmrLiveSpec.isActive());
    EXPECT_EQ(backColor(form->Check_Active), kColorOff);
    click(form->Check_Active);
    EXPECT_TRUE(form->tmrLiveSpec.isActive());
    EXPECT_EQ(backColor(form->Check_Active), kColorOn);
}

TEST_F(LevelControls, OnTopKeepsTheWindowAboveOthersAndShown) {
    click(form->Check_Altijd_Top);
    EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(backColor(form->Check_Altijd_Top), kColorOn);
    click(form->Check_Active);  // the show keeps running with the window on top
    click(form->Check_Active);
    EXPECT_TRUE(form->tmrLiveSpec.isActive());
    EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    click(form->Check_Altijd_Top);
    EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(backColor(form->Check_Altijd_Top), kColorOff);
}

}  // namespace
}  // namespace kf::test
