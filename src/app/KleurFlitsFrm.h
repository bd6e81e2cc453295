#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

#include "app/Frame.h"
#include "app/MessageBoxes.h"
#include "app/PaintPace.h"
#include "audio/modBass.h"
#include "core/SharedState.h"
#include "core/Timing.h"
#include "core/Waits.h"
#include "devices/Boards.h"
#include "devices/ComPorts.h"
#include "devices/DeviceView.h"

class QCheckBox;
class QScrollBar;
class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;

namespace k8055d {
class K8055Driver;
}

namespace kf {

class PictureBox;
class ClickLabel;
class LampLabel;
class OlaOutput;

// What the window works with, given from outside so that tests can put fakes in.
struct FormDependencies {
    modBass::AudioLibrary& audio;
    ComPorts& ports;  // grows by the serial ports that appear while the show runs
    k8055d::K8055Driver& k8055;
    MessageBoxes& boxes;
    Waits& waits;
    Timing timing;
    // Ends the program after shutdown; the real one never returns.
    std::function<void(int)> endProgram;
    // The stage lighting through olad, when the environment asks for it.
    OlaOutput* ola = nullptr;
};

// The one window: its controls, timers and handlers, the start-up and the shutdown.
class KleurFlitsFrm : public QWidget, public DeviceView {
    Q_OBJECT
  public:
    static constexpr int kStartedOk = 0;
    static constexpr int kFatalExit = 1;

    explicit KleurFlitsFrm(FormDependencies deps, QWidget* parent = nullptr);
    ~KleurFlitsFrm() override;

    // The start-up sequence. Returns kStartedOk, or the exit status after a fatal failure
    // (the program must then end at once).
    int Form_Load();

    void Afsluiten();
    void SetTekstTM1638();
    void info();
    void Error_(const std::string& Text);

    SharedState& state() { return state_; }
    Boards& boards() { return boards_; }
    bool shuttingDown() const { return shuttingDown_; }
    // False paints every frame's changes at once: for measuring what a painted frame costs.
    void setPaintPaced(bool paced) { paintPaced_ = paced; }

    // DeviceView
    void setCaption(DeviceLabel label, const std::string& caption) override;
    void setBackColor(DeviceLabel label, std::uint32_t colour) override;
    void setToolTip(DeviceLabel label, const std::string& tip) override;

    // Controls, under their design names.
    QCheckBox* Check_iCP12 = nullptr;
    QCheckBox* Check_Arduino = nullptr;
    QCheckBox* Check_K8055 = nullptr;
    QScrollBar* HScroll_MaxAantLeds = nullptr;
    QLabel* Label_MaxNumLeds = nullptr;
    QScrollBar* HScrollVolume = nullptr;
    QCheckBox* Check_Auto_Level = nullptr;
    QCheckBox* Check_Active = nullptr;
    QCheckBox* Check_Altijd_Top = nullptr;
    QScrollBar* HScroll_Amplify = nullptr;
    QLineEdit* Text_Amplify = nullptr;
    QPushButton* CMD_End = nullptr;
    QFrame* Picture1 = nullptr;
    PictureBox* Picture_NiveausLeft = nullptr;
    std::array<LampLabel*, 8> LedLinks{};
    QFrame* Picture2 = nullptr;
    PictureBox* Picture_NiveausRight = nullptr;
    std::array<LampLabel*, 8> LedRechts{};
    QLabel* Label_iCP12_Links = nullptr;
    QLabel* Label_iCP12_Rechts = nullptr;
    ClickLabel* Label_Arduino_Links = nullptr;
    ClickLabel* Label_Arduino_Rechts = nullptr;
    QLabel* Label_Velleman_Links = nullptr;
    QLabel* Label_Velleman_Rechts = nullptr;
    QFrame* Picture_Main_Zoeken = nullptr;
    QLabel* Label_Zoeken = nullptr;
    QFrame* Picture4 = nullptr;
    QFrame* Shape_Rechthoek = nullptr;
    QTimer Timer_Zoeken;
    QTimer Timer_Settekst;
    QTimer tmrLiveSpec;

  protected:
    void closeEvent(QCloseEvent* event) override;
    // Holds a repaint that comes sooner than the screen's next refresh; a frame delivers it.
    bool event(QEvent* event) override;

  private:
    void buildControls();
    void connectHandlers();
    QLabel* deviceLabel(DeviceLabel label) const;

    // Handlers
    void Check_iCP12_Click();
    void Check_Arduino_Click();
    void Check_K8055_Click();
    void Check_Auto_Level_Click();
    void Check_Active_Click();
    void Check_Altijd_Top_Click();
    void CMD_End_Click();
    void HScroll_Amplify_Change();
    void HScroll_MaxAantLeds_Change();
    void Label_Arduino_Links_Click();
    void Label_Arduino_Rechts_Click();
    void Timer_Zoeken_Timer();
    void Timer_Settekst_Timer();
    void tmrLiveSpec_Timer();
    void paintFrame(const FramePicture& picture);
    void deliverPaint();
    bool paintNow(QEvent* request);  // Qt's repaint of the window, recorded as the last paint

    void setDeviceBox(QCheckBox* box, bool ticked);
    // Boards that come and go after start-up
    void startWatchingBoards();
    bool switchForArrival(BoardKind kind);
    void focusVolume();
    void toggleVersion(int side);
    void toggleArduinoSide(int side);
    void applySwitch(QCheckBox* box, SwitchResult result);

    FormDependencies deps_;
    SharedState state_;
    bool shuttingDown_ = false;
    Boards boards_{{state_, *this, deps_.ports, deps_.k8055, deps_.timing, deps_.ola}};
    Frame frame_{state_, deps_.audio, boards_};
    PaintPace paintPace_;
    bool paintPaced_ = true;
    bool paintHeld_ = false;
    // Delivers a held repaint when no frame comes to do it (the show stopped).
    QTimer paintRelease_;
};

}  // namespace kf
