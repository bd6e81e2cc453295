#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "Version.h"
#include "app/FormStyle.h"
#include "app/KleurFlitsFrm.h"
#include "devices/k8055d.h"

namespace {

// SIGINT and SIGTERM run the same shutdown as the Close button, from the event loop: the
// handler only writes a byte that a socket notifier picks up.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void installSignalHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        return;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const bool noDisplay = std::getenv("DISPLAY") == nullptr &&
                           std::getenv("WAYLAND_DISPLAY") == nullptr &&
                           std::getenv("QT_QPA_PLATFORM") == nullptr;
    if (noDisplay) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KleurFlitsStereo"));
    QApplication::setApplicationVersion(QString::fromLatin1(kf::kVersionText));
    QGuiApplication::setDesktopFileName(QStringLiteral("nl.kleurflits.Stereo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kleurflits-stereo.svg")));
    QApplication::setStyle(new kf::FormStyle);  // the application takes ownership
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr,
                     "kleurflits-stereo: running on Qt's offscreen platform (no display)\n");
    }

    installSignalHandlers();

    auto audio = modBass::createSystemAudioLibrary();
    const kf::ComPorts ports = kf::ComPorts::fromEnvironment();
    auto hid = k8055d::createHidapiTransport();
    k8055d::K8055Driver k8055(*hid);
    kf::QtMessageBoxes boxes;
    kf::EventLoopWaits waits;

    kf::FormDependencies deps{*audio, ports, k8055, boxes, waits, kf::Timing{}, [](int status) {
                                  std::fflush(stdout);
                                  std::fflush(stderr);
                                  // Everything is switched off and closed by now; end at once,
                                  // wherever the event loop is nested.
                                  std::_Exit(status);
                              }};
    kf::KleurFlitsFrm form(deps);
    boxes.setParent(&form);

    QSocketNotifier* notifier = nullptr;
    if (signalPipe[0] >= 0) {
        notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &form);
        QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
            char byte = 0;
            [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &byte, 1);
            form.Afsluiten();
        });
    }

    const int started = form.Form_Load();
    if (started != kf::KleurFlitsFrm::kStartedOk) {
        return started;
    }
    return QApplication::exec();
}
