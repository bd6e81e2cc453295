#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>

#include "Version.h"
#include "app/FormStyle.h"
#include "app/KleurFlitsFrm.h"
#include "app/ProgramEnd.h"
#include "devices/OlaOutput.h"
#include "devices/k8055d.h"

int main(int argc, char** argv) {
    kf::holdEndSignals();  // before any thread: a signal during start-up waits for the shutdown
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

    auto audio = modBass::createSystemAudioLibrary();
    kf::ComPorts ports = kf::ComPorts::fromEnvironment();
    auto hid = k8055d::createHidapiTransport();
    k8055d::K8055Driver k8055(*hid);
    kf::QtMessageBoxes boxes;
    kf::EventLoopWaits waits;

    // Stage lighting only when KLEURFLITS_OLA_UNIVERSE asks for it.
    const auto ola = kf::olaOutputFromEnvironment();

    // Afsluiten switches everything off, waits for the K8055 writers, then ends here.
    kf::FormDependencies deps{*audio, ports, k8055, boxes, waits, kf::Timing{}, kf::endProcess};
    deps.ola = ola.get();
    kf::KleurFlitsFrm form(deps);
    boxes.setParent(&form);
    kf::runShutdownOnSignals(form);

    const int started = form.Form_Load();
    if (started != kf::KleurFlitsFrm::kStartedOk) {
        return started;
    }
    return QApplication::exec();
}
