#pragma once

#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace kf {

// Tells when serial ports appear and vanish while the show runs. The ports named in
// KLEURFLITS_SERIAL_PORTS (pseudo-terminals, links, ser2net or socat ports) get no udev events,
// so they are looked at once a second; without that variable the machine's own USB serial
// ports are watched through udev, or looked for once a second where udev does not run
// (containers); udev also tells when a HID device comes or goes. What is there when watching starts
// is taken as known: the start-up search has seen it.
class PortWatcher : public QObject {
    Q_OBJECT
  public:
    static constexpr int kLookIntervalMs = 1000;

    // named: the paths to look at; system: watch the machine's own ports instead.
    PortWatcher(std::vector<std::string> named, bool system, QObject* parent = nullptr);
    ~PortWatcher() override;

    void start();
    void stop();
    // Whether udev events drive the watching (false: the once-a-second look).
    bool usesUdev() const { return udevNotifier_ != nullptr; }
    // Forgets that a path was seen, so that the next look reports it again if it is there: for
    // a board whose line failed while its device stayed (a quick replug between two looks).
    void forget(const std::string& path);
    // Looks now instead of at the next tick (tests, and after forget()).
    void lookNow();

  signals:
    void appeared(const std::string& path);
    void vanished(const std::string& path);
    // A HID device came or went (udev only): K8055 boards are looked for at once.
    void hidChanged();

  private:
    struct Seen {
        unsigned long long device = 0;  // st_rdev and st_ino of what the path leads to
        unsigned long long inode = 0;
    };
    std::map<std::string, Seen> lookAround() const;
    void compare(const std::map<std::string, Seen>& now);
    bool startUdev();
    void onUdevEvent();

    std::vector<std::string> named_;
    bool system_;
    QTimer tick_;
    std::map<std::string, Seen> seen_;
    struct Udev;
    std::unique_ptr<Udev> udev_;
    QSocketNotifier* udevNotifier_ = nullptr;
};

// A serial device's identity: its /dev/serial/by-id link where one leads to it, else its path.
std::string serialIdentity(const std::string& path,
                           const std::string& byIdDir = "/dev/serial/by-id");

// Whether a device path is a hot-pluggable serial port (USB serial, CDC ACM), not a console.
bool isPluggableSerialPort(const std::string& path);

}  // namespace kf
