#include <QCheckBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include "app/ClickLabel.h"
#include "app/Controls.h"
#include "app/LampLabel.h"
#include "app/PictureBox.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

class Window : public FormFixture {};

struct Placed {
    const char* name;
    QWidget* widget;
    QWidget* container;
    QRect pixels;  // the design's twips / 15
    const char* caption;
    std::int64_t back;  // -1: not part of the design
};

TEST_F(Window, EveryControlSitsWhereTheDesignPutsIt) {
    makeForm();
    KleurFlitsFrm& f = *form;
    const Placed table[] = {
        {"Check_iCP12", f.Check_iCP12, &f, {384, 7, 75, 20}, "iCP12", 0x8080FF},
        {"Check_Arduino", f.Check_Arduino, &f, {384, 29, 75, 20}, "Arduino", 0x8080FF},
        {"Check_K8055", f.Check_K8055, &f, {384, 51, 75, 20}, "K8055", 0x8080FF},
        {"HScroll_MaxAantLeds", f.HScroll_MaxAantLeds, &f, {384, 75, 49, 20}, nullptr, -1},
        {"Label_MaxNumLeds", f.Label_MaxNumLeds, &f, {438, 75, 20, 20}, "6", 0x464646},
        {"HScrollVolume", f.HScrollVolume, &f, {384, 98, 75, 20}, nullptr, -1},
        {"Check_Auto_Level", f.Check_Auto_Level, &f, {384, 119, 75, 20}, "Auto level", 0x80FF80},
        {"Check_Active", f.Check_Active, &f, {384, 141, 75, 20}, "Active", 0x80FF80},
        {"Check_Altijd_Top", f.Check_Altijd_Top, &f, {384, 163, 75, 20}, "On top", 0x8080FF},
        {"HScroll_Amplify", f.HScroll_Amplify, &f, {384, 185, 75, 20}, nullptr, -1},
        {"Text_Amplify", f.Text_Amplify, &f, {401, 186, 40, 18}, "amp 1", -1},
        {"CMD_End", f.CMD_End, &f, {384, 206, 75, 20}, "Close", -1},
        {"Picture1", f.Picture1, &f, {8, 7, 182, 153}, nullptr, 0x000000},
        {"Picture_NiveausLeft",
         f.Picture_NiveausLeft,
         f.Picture1,
         {8, 8, 161, 113},
         nullptr,
         0x3C3C3C},
        {"Picture2", f.Picture2, &f, {195, 7, 182, 153}, nullptr, 0x000000},
        {"Picture_NiveausRight",
         f.Picture_NiveausRight,
         f.Picture2,
         {10, 8, 161, 113},
         nullptr,
         0x3C3C3C},
        {"Label_iCP12_Links", f.Label_iCP12_Links, &f, {8, 167, 182, 18}, "iCP12 Left", 0x8080FF},
        {"Label_iCP12_Rechts",
         f.Label_iCP12_Rechts,
         &f,
         {195, 167, 182, 18},
         "iCP12 Right",
         0x8080FF},
        {"Label_Arduino_Links",
         f.Label_Arduino_Links,
         &f,
         {8, 187, 182, 18},
         "Arduino Left",
         0x8080FF},
        {"Label_Arduino_Rechts",
         f.Label_Arduino_Rechts,
         &f,
         {196, 186, 182, 18},
         "Arduino Right",
         0x8080FF},
        {"Label_Velleman_Links",
         f.Label_Velleman_Links,
         &f,
         {8, 207, 182, 18},
         "K8055 Left",
         0x8080FF},
        {"Label_Velleman_Rechts",
         f.Label_Velleman_Rechts,
         &f,
         {195, 207, 182, 18},
         "K8055 Right",
         0x8080FF},
        {"Picture_Main_Zoeken", f.Picture_Main_Zoeken, &f, {92, 45, 200, 61}, nullptr, -1},
        {"Label_Zoeken",
         f.Label_Zoeken,
         f.Picture_Main_Zoeken,
         {0, 5, 200, 23},
         "Looking for...",
         -1},
        {"Picture4", f.Picture4, f.Picture_Main_Zoeken, {-2, 28, 204, 21}, nullptr, -1},
        {"Shape_Rechthoek", f.Shape_Rechthoek, f.Picture4, {-40, 0, 40, 21}, nullptr, 0x0000FF},
    };
    for (const Placed& p : table) {
        SCOPED_TRACE(p.name);
        ASSERT_NE(p.widget, nullptr);
        EXPECT_EQ(p.widget->parentWidget(), p.container);
        EXPECT_EQ(p.widget->geometry(), p.pixels);
        if (p.caption != nullptr) {
            QString text;
            if (auto* b = qobject_cast<QAbstractButton*>(p.widget)) {
                text = b->text();
            } else if (auto* l = qobject_cast<QLabel*>(p.widget)) {
                text = l->text();
            } else if (auto* e = qobject_cast<QLineEdit*>(p.widget)) {
                text = e->text();
            }
            EXPECT_EQ(text.toStdString(), p.caption);
        }
        if (p.back >= 0) {
            EXPECT_EQ(backColor(p.widget), static_cast<std::uint32_t>(p.back));
        }
    }
}

TEST_F(Window, LampBarsAreEightYellowCrossesOnBlack) {
    makeForm();
    for (const auto* lamps : {&form->LedLinks, &form->LedRechts}) {
        for (int i = 0; i < 8; ++i) {
            QLabel* lamp = (*lamps)[static_cast<std::size_t>(i)];
            SCOPED_TRACE(i);
            EXPECT_EQ(lamp->geometry(), QRect(8 + 20 * i, 124, 20, 18));
            EXPECT_EQ(lamp->text(), "x");
            EXPECT_EQ(backColor(lamp), 0x000000U);
            EXPECT_EQ(foreColor(lamp), 0x00FFFFU);
        }
    }
    EXPECT_EQ(form->LedLinks[0]->parentWidget(), form->Picture1);
    EXPECT_EQ(form->LedRechts[0]->parentWidget(), form->Picture2);
}

TEST_F(Window, ScrollBarsHaveTheirRangesAndSteps) {
    makeForm();
    struct Range {
        QScrollBar* bar;
        int min, max, value, small, large;
    };
    const Range ranges[] = {
        {form->HScroll_MaxAantLeds, 0, 16, 6, 1, 2},
        {form->HScrollVolume, 2, 150, 5, 1, 5},
        {form->HScroll_Amplify, 5, 40, 10, 1, 1},
    };
    for (const Range& r : ranges) {
        EXPECT_EQ(r.bar->orientation(), Qt::Horizontal);
        EXPECT_EQ(r.bar->minimum(), r.min);
        EXPECT_EQ(r.bar->maximum(), r.max);
        EXPECT_EQ(r.bar->value(), r.value);
        EXPECT_EQ(r.bar->singleStep(), r.small);
        EXPECT_EQ(r.bar->pageStep(), r.large);
    }
}

TEST_F(Window, SwitchesStartInTheirDesignState) {
    makeForm();
    EXPECT_FALSE(form->Check_iCP12->isChecked());
    EXPECT_FALSE(form->Check_Arduino->isChecked());
    EXPECT_FALSE(form->Check_K8055->isChecked());
    EXPECT_TRUE(form->Check_Auto_Level->isChecked());
    EXPECT_TRUE(form->Check_Active->isChecked());
    EXPECT_FALSE(form->Check_Altijd_Top->isChecked());
    EXPECT_EQ(form->Check_Auto_Level->toolTip().toStdString(),
              "Automatically sets level for number of burning leds");
    EXPECT_FALSE(form->tmrLiveSpec.isActive());
    EXPECT_FALSE(form->Timer_Settekst.isActive());
    EXPECT_EQ(form->tmrLiveSpec.interval(), 10);
    EXPECT_EQ(form->tmrLiveSpec.timerType(), Qt::PreciseTimer);
    EXPECT_EQ(form->Timer_Settekst.interval(), 1000);
    EXPECT_EQ(form->Timer_Zoeken.interval(), 10);
}

TEST_F(Window, FixedSizeCaptionColoursAndFonts) {
    makeForm();
    EXPECT_EQ(form->windowTitle().toStdString(), "Sound to Light for iCP12 / Arduino Nano / K8055");
    EXPECT_EQ(form->size(), QSize(464, 230));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(backColor(form.get()), 0x505050U);
    EXPECT_EQ(foreColor(form->Label_MaxNumLeds), 0xE0E0E0U);
    EXPECT_EQ(foreColor(form->Label_iCP12_Links), 0x000000U);

    EXPECT_TRUE(form->font().bold());
    EXPECT_DOUBLE_EQ(form->font().pointSizeF(), 9.75);
    EXPECT_DOUBLE_EQ(form->Label_Arduino_Links->font().pointSizeF(), 8.25);
    EXPECT_TRUE(form->Label_Arduino_Links->font().bold());
    EXPECT_FALSE(form->Text_Amplify->font().bold());
    // Arial or, where it is missing, its metric twin.
    const QString family = QFontInfo(form->font()).family();
    EXPECT_TRUE(family == "Arial" || family == "Liberation Sans") << family.toStdString();
}

TEST_F(Window, StartUpWithoutBoardsLeavesEverySwitchRedAndRuns) {
    ASSERT_EQ(load(), KleurFlitsFrm::kStartedOk);
    for (QCheckBox* box : {form->Check_iCP12, form->Check_Arduino, form->Check_K8055}) {
        EXPECT_FALSE(box->isChecked());
        EXPECT_EQ(backColor(box), kColorOff);
    }
    for (QLabel* label : {form->Label_iCP12_Links, form->Label_iCP12_Rechts,
                          static_cast<QLabel*>(form->Label_Arduino_Links),
                          static_cast<QLabel*>(form->Label_Arduino_Rechts),
                          form->Label_Velleman_Links, form->Label_Velleman_Rechts}) {
        EXPECT_EQ(backColor(label), kColorOff);
    }
    EXPECT_EQ(form->Label_iCP12_Links->text(), "iCP12 Left");
    EXPECT_EQ(form->Label_Velleman_Rechts->text(), "K8055 Right");
    EXPECT_EQ(form->Text_Amplify->text(), "amp 1");
    EXPECT_EQ(form->Label_MaxNumLeds->text(), "6");
    EXPECT_FALSE(form->Picture_Main_Zoeken->isVisible());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->Picture_NiveausLeft->width(), 160);
    EXPECT_EQ(form->Picture_NiveausRight->width(), 160);
    EXPECT_TRUE(form->tmrLiveSpec.isActive());
    EXPECT_TRUE(form->Timer_Settekst.isActive());
    EXPECT_FALSE(form->Timer_Zoeken.isActive());
    EXPECT_EQ(form->state().TM1638Mode, 7);
    EXPECT_EQ(form->state().ColorOn, 0x80FF80U);
    EXPECT_EQ(form->state().ColorOff, 0x8080FFU);
    EXPECT_DOUBLE_EQ(form->state().Amplify, 1.0);
    // The serial search walked every port number; the K8055 search wrote last.
    EXPECT_EQ(form->Label_Zoeken->text(), "Looking for K8055");
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace kf::test
