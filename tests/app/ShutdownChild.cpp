// The program as main() wires it, with fake audio and K8055 boards whose writes take real time
// and go through the real writer threads. It plays a tone, then ends through the real shutdown
// and the real end of the process, so the parent test sees what the boards got last.
//
//   kf_shutdown_child <scenario> <record file>
//
// Every report that reaches a board is appended to the record file as "W <path> <outputs>", the
// moment its transfer ends. Scenarios:
//   close      boards 0 and 3; Close is clicked once both boards show the tone
//   signal     boards 0 and 3; waits for SIGTERM from the parent
//   midwrite   boards 0 and 3, 40 ms transfers; the shutdown starts while the right board's
//              transfer of a lit pattern is under way ("S <transfers under way>" is recorded)
//   rightonly  board 2 assigned to the right side only; Close as above
//   hung       boards 0 and 3; board 3 hangs from the shutdown on; Close as above

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/FormStyle.h"
#include "app/KleurFlitsFrm.h"
#include "app/ProgramEnd.h"
#include "devices/BoardRegistry.h"
#include "devices/FakeHidTransport.h"
#include "support/FakeAudioLibrary.h"

namespace {

using kftest::FakeHidTransport;
using std::chrono::milliseconds;

int recordFd = -1;

// One write(2) per line: the file has every line that was recorded before the process ended.
void record(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] ssize_t n = ::write(recordFd, text.data(), text.size());
}

}  // namespace

int main(int argc, char** argv) {
    kf::holdEndSignals();  // as the program's main() does
    if (argc != 3) {
        std::fprintf(stderr, "usage: kf_shutdown_child <scenario> <record file>\n");
        return 2;
    }
    const std::string scenario = argv[1];
    recordFd = ::open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
    if (recordFd < 0) {
        std::perror("record file");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setStyle(new kf::FormStyle);

    kf::test::FakeAudioLibrary audio;
    // A loud, broad sound: lamps on both sides light.
    audio.fft.fill(0.05F);
    kf::ComPorts ports(std::vector<std::string>{});  // no serial boards

    FakeHidTransport hid;
    hid.setWriterThreads(true);
    hid.setWriteTime(milliseconds(scenario == "midwrite" ? 40 : 8));
    if (scenario == "rightonly") {
        hid.plugBoard(2);
    } else {
        hid.plugBoard(0);
        hid.plugBoard(3);
    }
    const std::string right = FakeHidTransport::pathOf(scenario == "rightonly" ? 2 : 3);

    std::atomic<int> underWay{0};
    std::atomic<int> litLeft{0};
    std::atomic<int> litRight{0};
    std::atomic<bool> shutdownAsked{false};
    k8055d::K8055Driver k8055(hid);
    kf::EventLoopWaits waits;
    kf::QtMessageBoxes boxes;
    kf::KleurFlitsFrm form(
        kf::FormDependencies{audio, ports, k8055, boxes, waits, kf::Timing{}, kf::endProcess});
    boxes.setParent(&form);
    kf::runShutdownOnSignals(form);

    const auto startShutdown = [&form, &underWay, &scenario, &hid, &right] {
        if (scenario == "midwrite") {
            record("S " + std::to_string(underWay.load()));
            form.Afsluiten();
        } else {
            if (scenario == "hung") {
                hid.setWriteTime(right, milliseconds(10000));
            }
            form.CMD_End->click();
        }
    };

    hid.setWriteObserver({
        [&](const std::string& path) {
            ++underWay;
            // The right board starts a lit pattern once both boards have shown the tone.
            if (scenario == "midwrite" && path == right && litLeft > 2 && litRight > 2 &&
                !shutdownAsked.exchange(true)) {
                QMetaObject::invokeMethod(&form, startShutdown, Qt::QueuedConnection);
            }
        },
        [&](const FakeHidTransport::Event& event) {
            --underWay;
            if (event.kind != FakeHidTransport::Event::Kind::Write) {
                return;
            }
            const int outputs = event.bytes.size() > 2 ? event.bytes[2] : -1;
            record("W " + event.path + " " + std::to_string(outputs));
            if (outputs > 0) {
                ++(event.path == right ? litRight : litLeft);
            }
            const bool bothLit = (scenario == "rightonly" || litLeft > 2) && litRight > 2;
            if ((scenario == "close" || scenario == "rightonly" || scenario == "hung") && bothLit &&
                !shutdownAsked.exchange(true)) {
                QMetaObject::invokeMethod(&form, startShutdown, Qt::QueuedConnection);
            }
        },
    });

    const int started = form.Form_Load();
    if (started != kf::KleurFlitsFrm::kStartedOk) {
        return started;
    }
    if (scenario == "rightonly") {
        // One board is always assigned to the left by the search; this is the assignment a
        // right-only board would have.
        kf::BoardRegistry::setCard(form.state(), kf::Links, 0);
        kf::BoardRegistry::setCard(form.state(), kf::Rechts, 3);
    }
    record("R");  // running: the parent may send its signal once boards are lit
    QApplication::exec();
    std::fprintf(stderr,
                 "kf_shutdown_child: the event loop returned; the shutdown never ends it "
                 "that way\n");
    return 3;
}
