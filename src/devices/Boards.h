#pragma once

#include <QObject>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "core/SharedState.h"
#include "core/Timing.h"
#include "devices/BoardWatch.h"
#include "devices/ComPorts.h"
#include "devices/DeviceView.h"
#include "devices/OpenRefusals.h"
#include "devices/Outputs.h"
#include "devices/SerialPortControl.h"
#include "light/Show.h"

namespace k8055d {
class K8055Driver;
}

namespace kf {

class K8055Output;
class OlaOutput;
class Waits;

// Every board and universe the show drives: their lines and outputs, the start-up search that
// finds them, the watch for boards that come and go after it, and what the window is to show
// of them (through its DeviceView). The window reaches the boards only through here.
class Boards : public QObject, public light::FrameOutputs {
    Q_OBJECT
  public:
    struct Needs {
        SharedState& state;
        DeviceView& view;
        ComPorts& ports;
        k8055d::K8055Driver& k8055;
        const Timing& timing;
        OlaOutput* ola = nullptr;  // the stage lighting, when the environment asks for it
    };
    // Asked when a board of the kind joined: whether the kind's switch is on now (the window
    // may tick it for the first board).
    using SwitchFor = std::function<bool(BoardKind)>;

    explicit Boards(Needs needs, QObject* parent = nullptr);
    ~Boards() override;

    // ---- Start-up, in the order the window calls them ----
    // The serial search over COM 1..255: iCP12 boards, then Arduino boards.
    void searchSerial(Waits& waits);
    // The lines of the boards found are opened; one whose port fails to open counts as none.
    void openFound();
    void searchK8055();
    // Watching begins, with each kind's switch as start-up left it.
    void startWatching(const std::array<bool, 3>& ticked, SwitchFor switchFor);
    // Nothing joins from here on, and no side name is sent any more.
    void stop();

    // ---- The frame and the end ----
    // light::FrameOutputs: the frame hands the outputs their lamps at its two moments.
    void frameBegins() override { outputs_.beginFrame(); }
    void sendPatterns() override;
    void sendFrame() override;
    void frameEnds() override { outputs_.endFrame(); }
    // Every output off; waits (bounded) for the off reports to go.
    void switchOff() { outputs_.switchOff(); }
    // A click on the iCP12 or K8055 switch.
    SwitchResult toggle(BoardKind kind);

    // ---- TM1638 texts ----
    // The side is an enabled TM board on an open line: its patterns pause for a text.
    bool beginText(int side);
    void sendText(int side, const std::string& text);
    void endText(int side);
    // The end ends every pause: the paused sides get the end text like the others.
    void endAllTexts();
    // The side name of a TM board that joined, and its pause, on timers: the frames go on
    // meanwhile for every other board.
    void showSideName(int side);
    // A click on an Arduino label: a TM board's version, and its label's caption then; empty
    // when the side's board is no TM.
    std::string toggleVersion(int side);

    SerialPortControl& line(BoardKind kind, int side);
    BoardWatch& watch() { return watch_; }

  private:
    void addOutputs();
    // The output joins the frame's, and its state-change notice is this one's.
    template <class Kind>
    Kind* add(std::unique_ptr<Kind> output);
    void stateChanged(const Output& output, Output::State now);
    void joined(const BoardWatch::Joined& j);
    // A port the user may not open: named once, and the sides still without a board say why.
    void refused(const std::string& path);
    // A K8055 card the user may not open (-1: none seated at `path`): named once, and its side
    // and the K8055 sides without a card say why.
    void refusedCard(std::int32_t address, const std::string& path);
    SerialPortControl::RefusedHandler refusedHandler() {
        return [this](const std::string& path) { refused(path); };
    }
    void showJoined(const BoardWatch::Joined& j);

    Needs needs_;
    SharedState& state_;
    SerialPortControl icp12Links_;
    SerialPortControl icp12Rechts_;
    SerialPortControl arduinoLinks_;
    SerialPortControl arduinoRechts_;
    // Released in the order the frame writes them: the Arduino boards' patterns at band 2
    // come before the iCP12 commands.
    Outputs outputs_{{&arduinoLinks_, &arduinoRechts_, &icp12Links_, &icp12Rechts_}};
    // The driver tells of every card; each side's output picks out its own.
    std::array<K8055Output*, 2> k8055_{};
    BoardWatch watch_;
    OpenRefusals refusals_;
    SwitchFor switchFor_;
    BySide<bool> textPause_;  // the side's ArduinoActive is held false for a text
    bool stopped_ = false;
};

}  // namespace kf
