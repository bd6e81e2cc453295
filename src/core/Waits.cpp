#include "core/Waits.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace kf {

void EventLoopWaits::waitFor(std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration, Qt::PreciseTimer);
    QEventLoop loop;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    QObject::connect(&wake, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Loop in case something quits the nested loop early: the deadline decides, not the quit.
    while (!deadline.hasExpired()) {
        wake.start(std::chrono::milliseconds(deadline.remainingTime()));
        loop.exec();
    }
}

void EventLoopWaits::dispatchOnce() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace kf
