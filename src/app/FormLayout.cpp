// The window's controls as the design lays them out, and the handlers they call.
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include "app/ClickLabel.h"
#include "app/Controls.h"
#include "app/KleurFlitsFrm.h"
#include "app/LampLabel.h"
#include "app/PictureBox.h"
#include "app/ScrollBar.h"

namespace kf {

namespace {

constexpr std::uint32_t kFormBack = 0x505050;
constexpr std::uint32_t kPictureBack = 0x3C3C3C;
constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kYellow = 0x00FFFF;

QCheckBox* checkBox(QWidget* parent, const char* caption, QRect geometry) {
    auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
    box->setGeometry(geometry);
    return box;
}

QScrollBar* scrollBar(QWidget* parent, QRect geometry, int min, int max, int value, int small,
                      int large) {
    auto* bar = new ScrollBar(Qt::Horizontal, parent);
    bar->setGeometry(geometry);
    bar->setRange(min, max);
    bar->setValue(value);
    bar->setSingleStep(small);
    bar->setPageStep(large);
    bar->setFocusPolicy(Qt::StrongFocus);
    // The right arrow raises the value, as on any horizontal scroll bar of the platform's own.
    bar->setInvertedControls(false);
    return bar;
}

template <class Label = QLabel>
Label* deviceLabelAt(QWidget* parent, const char* caption, QRect geometry) {
    auto* label = new Label(QString::fromLatin1(caption), parent);
    label->setGeometry(geometry);
    label->setFont(arialFont(8.25, true));
    setBackColor(label, kColorOff);
    setForeColor(label, kBlack);
    return label;
}

}  // namespace

void KleurFlitsFrm::buildControls() {
    installFontSubstitutes();
    setWindowTitle(QStringLiteral("Sound to Light for iCP12 / Arduino Nano / K8055"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(twips(6960), twips(3450));
    setFont(arialFont(9.75, true));
    kf::setBackColor(this, kFormBack);

    Check_iCP12 = checkBox(this, "iCP12", twipsRect(5760, 105, 1125, 300));
    Check_Arduino = checkBox(this, "Arduino", twipsRect(5760, 435, 1125, 300));
    Check_K8055 = checkBox(this, "K8055", twipsRect(5760, 765, 1125, 300));
    for (QCheckBox* box : {Check_iCP12, Check_Arduino, Check_K8055}) {
        kf::setBackColor(box, kColorOff);
    }
    HScroll_MaxAantLeds = scrollBar(this, twipsRect(5760, 1125, 735, 300), 0, 16, 6, 1, 2);
    Label_MaxNumLeds = new QLabel(QStringLiteral("6"), this);
    Label_MaxNumLeds->setGeometry(twipsRect(6570, 1125, 300, 300));
    Label_MaxNumLeds->setFont(arialFont(8.25, true));
    kf::setBackColor(Label_MaxNumLeds, 0x464646);
    setForeColor(Label_MaxNumLeds, 0xE0E0E0);
    HScrollVolume = scrollBar(this, twipsRect(5760, 1470, 1125, 300), 2, 150, 5, 1, 5);
    Check_Auto_Level = checkBox(this, "Auto level", twipsRect(5760, 1785, 1125, 300));
    Check_Auto_Level->setChecked(true);
    Check_Auto_Level->setToolTip(
        QStringLiteral("Automatically sets level for number of burning leds"));
    kf::setBackColor(Check_Auto_Level, kColorOn);
    Check_Active = checkBox(this, "Active", twipsRect(5760, 2115, 1125, 300));
    Check_Active->setChecked(true);
    kf::setBackColor(Check_Active, kColorOn);
    Check_Altijd_Top = checkBox(this, "On top", twipsRect(5760, 2445, 1125, 300));
    kf::setBackColor(Check_Altijd_Top, kColorOff);
    HScroll_Amplify = scrollBar(this, twipsRect(5760, 2775, 1125, 300), 5, 40, 10, 1, 1);
    Text_Amplify = new QLineEdit(QStringLiteral("amp 1"), this);
    Text_Amplify->setGeometry(twipsRect(6015, 2790, 600, 270));
    Text_Amplify->setFont(arialFont(8.25, false));
    Text_Amplify->setReadOnly(true);
    Text_Amplify->setFocusPolicy(Qt::NoFocus);  // the arrow keys stay with the threshold
    Text_Amplify->setFrame(false);
    Text_Amplify->setAlignment(Qt::AlignCenter);
    Text_Amplify->raise();
    CMD_End = new QPushButton(QStringLiteral("Close"), this);
    CMD_End->setGeometry(twipsRect(5760, 3090, 1125, 300));

    const auto channelBlock = [this](QRect geometry, QRect pictureGeometry, PictureBox*& picture,
                                     std::array<LampLabel*, 8>& lamps) {
        auto* block = new QFrame(this);
        block->setGeometry(geometry);
        kf::setBackColor(block, kBlack);
        picture = new PictureBox(block);
        picture->setGeometry(pictureGeometry);
        kf::setBackColor(picture, kPictureBack);
        for (int i = 0; i < 8; ++i) {
            auto* lampLabel = new LampLabel(QStringLiteral("x"), block);
            lampLabel->setGeometry(twipsRect(120 + 300 * i, 1860, 300, 270));
            lampLabel->setLampColour(kBlack);
            setForeColor(lampLabel, kYellow);
            lamps[static_cast<std::size_t>(i)] = lampLabel;
        }
        return block;
    };
    Picture1 = channelBlock(twipsRect(120, 105, 2730, 2295), twipsRect(120, 120, 2415, 1695),
                            Picture_NiveausLeft, LedLinks);
    Picture2 = channelBlock(twipsRect(2925, 105, 2730, 2295), twipsRect(150, 120, 2415, 1695),
                            Picture_NiveausRight, LedRechts);

    Label_iCP12_Links = deviceLabelAt(this, "iCP12 Left", twipsRect(120, 2505, 2730, 270));
    Label_iCP12_Rechts = deviceLabelAt(this, "iCP12 Right", twipsRect(2925, 2505, 2730, 270));
    Label_Arduino_Links =
        deviceLabelAt<ClickLabel>(this, "Arduino Left", twipsRect(120, 2805, 2730, 270));
    Label_Arduino_Rechts =
        deviceLabelAt<ClickLabel>(this, "Arduino Right", twipsRect(2940, 2790, 2730, 270));
    Label_Velleman_Links = deviceLabelAt(this, "K8055 Left", twipsRect(120, 3105, 2730, 270));
    Label_Velleman_Rechts = deviceLabelAt(this, "K8055 Right", twipsRect(2925, 3105, 2730, 270));

    Picture_Main_Zoeken = new QFrame(this);
    Picture_Main_Zoeken->setGeometry(twipsRect(1380, 675, 3000, 915));
    kf::setBackColor(Picture_Main_Zoeken, 0xE0E0E0);
    Picture_Main_Zoeken->setFrameShape(QFrame::Box);
    Label_Zoeken = new QLabel(QStringLiteral("Looking for..."), Picture_Main_Zoeken);
    Label_Zoeken->setGeometry(twipsRect(0, 75, 3000, 345));
    Label_Zoeken->setAlignment(Qt::AlignCenter);
    Picture4 = new QFrame(Picture_Main_Zoeken);
    Picture4->setGeometry(twipsRect(-30, 420, 3060, 315));
    Shape_Rechthoek = new QFrame(Picture4);
    Shape_Rechthoek->setGeometry(twipsRect(-600, 0, 600, 315));
    kf::setBackColor(Shape_Rechthoek, 0x0000FF);
    Picture_Main_Zoeken->raise();

    Timer_Zoeken.setInterval(deps_.timing.searchBarInterval);
    Timer_Settekst.setInterval(deps_.timing.setTekstDelay);
    tmrLiveSpec.setInterval(deps_.timing.frameInterval);
    tmrLiveSpec.setTimerType(Qt::PreciseTimer);
    paintRelease_.setSingleShot(true);
    // Timer_Zoeken is enabled in the design; start-up starts it as its second step.
}

void KleurFlitsFrm::connectHandlers() {
    connect(Check_iCP12, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_iCP12_Click);
    connect(Check_Arduino, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Arduino_Click);
    connect(Check_K8055, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_K8055_Click);
    connect(Check_Auto_Level, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Auto_Level_Click);
    connect(Check_Active, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Active_Click);
    connect(Check_Altijd_Top, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Altijd_Top_Click);
    connect(CMD_End, &QPushButton::clicked, this, &KleurFlitsFrm::CMD_End_Click);
    connect(HScroll_Amplify, &QScrollBar::valueChanged, this,
            &KleurFlitsFrm::HScroll_Amplify_Change);
    connect(HScroll_MaxAantLeds, &QScrollBar::valueChanged, this,
            &KleurFlitsFrm::HScroll_MaxAantLeds_Change);
    connect(Label_Arduino_Links, &ClickLabel::clicked, this,
            &KleurFlitsFrm::Label_Arduino_Links_Click);
    connect(Label_Arduino_Rechts, &ClickLabel::clicked, this,
            &KleurFlitsFrm::Label_Arduino_Rechts_Click);
    connect(Picture_NiveausLeft, &PictureBox::clicked, this, &KleurFlitsFrm::info);
    connect(Picture_NiveausRight, &PictureBox::clicked, this, &KleurFlitsFrm::info);
    connect(&Timer_Zoeken, &QTimer::timeout, this, &KleurFlitsFrm::Timer_Zoeken_Timer);
    connect(&Timer_Settekst, &QTimer::timeout, this, &KleurFlitsFrm::Timer_Settekst_Timer);
    connect(&tmrLiveSpec, &QTimer::timeout, this, &KleurFlitsFrm::tmrLiveSpec_Timer);
    connect(&paintRelease_, &QTimer::timeout, this, &KleurFlitsFrm::deliverPaint);
}

}  // namespace kf
