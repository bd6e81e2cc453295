// Starts the benchmarks' private sound server (the tests' own starter: PulseAudio, one null sink
// kf_null as the default output), prints the address for PULSE_SERVER on one line, and keeps it
// up until SIGTERM or SIGINT, when the server and its folder go.
//   kf_sound_server [pulseaudio|pipewire]
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "testkit/SoundServer.h"

int main(int argc, char** argv) {
    const bool pipewire = argc > 1 && std::strcmp(argv[1], "pipewire") == 0;
    if (argc > 2 || (argc == 2 && !pipewire && std::strcmp(argv[1], "pulseaudio") != 0)) {
        std::fprintf(stderr, "usage: kf_sound_server [pulseaudio|pipewire]\n");
        return 2;
    }
    // Blocked before the server starts, so a signal that comes early is waited for, not fatal.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    const auto kind = pipewire ? kftest::ServerKind::PipeWire : kftest::ServerKind::PulseAudio;
    if (!kftest::soundServerAvailable(kind)) {
        std::fprintf(stderr, "kf_sound_server: the server's programs are not installed\n");
        return 1;
    }
    auto server = kftest::makeSoundServer(kind, {"kf_null"});
    if (!server->start()) {
        std::fprintf(stderr, "kf_sound_server: the server did not start:\n%s\n",
                     server->log().c_str());
        return 1;
    }
    std::printf("%s\n", server->server().c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
