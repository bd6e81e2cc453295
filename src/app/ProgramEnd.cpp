#include "app/ProgramEnd.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/KleurFlitsFrm.h"

namespace kf {

namespace {

// The handler only writes a byte that a socket notifier picks up in the event loop.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

sigset_t endSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void endProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void holdEndSignals() {
    const sigset_t set = endSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void runShutdownOnSignals(KleurFlitsFrm& form) {
    const sigset_t set = endSignals();
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        // No way to reach the event loop: the signals end the program as they would anyway.
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &form);
    QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
        char byte = 0;
        [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &byte, 1);
        form.Afsluiten();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // Only this thread takes them from here on; a held one arrives now.
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace kf
