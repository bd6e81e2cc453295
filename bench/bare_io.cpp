// The least a program can do for the input and output the show needs every 10 ms, and nothing
// else: record the default output's monitor in 10 ms fragments on a libpulse thread (float,
// stereo, 44.1 kHz, as the program records it), wake every 10 ms, read away what the boards
// sent, and write each board one frame's bytes. No analysis, no window, no lamp decisions.
// The probe runs it in the program's place after each noise run, so that the program's CPU can
// be read against what this machine charges for the same wake-ups, system calls and
// pseudo-terminal writes.
//
//   kf_bare_io [--icp12 PATH]... [--arduino PATH]...
#include <fcntl.h>
#include <poll.h>
#include <pulse/pulseaudio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr std::uint32_t kFragmentBytes = 441 * 2 * sizeof(float);  // 10 ms

// What the recording is copied into, as the program's ring takes it.
std::array<float, kRate * 2> ring;
std::size_t ringAt = 0;

void onRead(pa_stream* s, std::size_t, void*) {
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        if (data != nullptr) {
            const std::size_t floats = std::min(bytes / sizeof(float), ring.size());
            if (ringAt + floats > ring.size()) {
                ringAt = 0;
            }
            std::memcpy(ring.data() + ringAt, data, floats * sizeof(float));
            ringAt += floats;
        }
        pa_stream_drop(s);
    }
}

void onContext(pa_context* c, void*) {
    if (pa_context_get_state(c) == PA_CONTEXT_FAILED) {
        std::fprintf(stderr, "kf_bare_io: no sound server: %s\n", pa_strerror(pa_context_errno(c)));
        return;
    }
    if (pa_context_get_state(c) != PA_CONTEXT_READY) {
        return;
    }
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kRate, 2};
    pa_stream* s = pa_stream_new(c, "bare io", &format, nullptr);
    pa_stream_set_read_callback(s, &onRead, nullptr);
    const std::uint32_t server = static_cast<std::uint32_t>(-1);
    pa_buffer_attr attr{server, server, server, server, kFragmentBytes};
    if (pa_stream_connect_record(s, "@DEFAULT_MONITOR@", &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        std::fprintf(stderr, "kf_bare_io: cannot record: %s\n", pa_strerror(pa_context_errno(c)));
    }
}

struct Board {
    int fd;
    std::string frame;  // one frame's bytes for this kind of board
};

}  // namespace

int main(int argc, char** argv) {
    // Eight on/off commands for an iCP12 and a lamp pattern for an Arduino, as a frame sends.
    const std::string icp12 = "(RA01)(RA10)(RA21)(RA30)(RA41)(RA50)(RA61)(RA70)";
    const std::string arduino = "1/85/";
    std::vector<Board> boards;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string kind = argv[i];
        if (kind != "--icp12" && kind != "--arduino") {
            std::fprintf(stderr, "usage: kf_bare_io [--icp12 PATH]... [--arduino PATH]...\n");
            return 2;
        }
        const int fd = ::open(argv[i + 1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::perror(argv[i + 1]);
            return 1;
        }
        boards.push_back({fd, kind == "--icp12" ? icp12 : arduino});
    }

    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), "bare io");
    pa_context_set_state_callback(context, &onContext, nullptr);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(loop) < 0) {
        std::fprintf(stderr, "kf_bare_io: no sound server\n");
        return 1;
    }

    std::vector<pollfd> look(boards.size());
    char replies[256];
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        next.tv_nsec += 10'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        for (std::size_t i = 0; i < boards.size(); ++i) {
            look[i] = {boards[i].fd, POLLIN | POLLOUT, 0};
        }
        ::poll(look.data(), look.size(), 0);
        for (std::size_t i = 0; i < boards.size(); ++i) {
            if ((look[i].revents & POLLIN) != 0) {
                while (::read(boards[i].fd, replies, sizeof replies) > 0) {
                }
            }
            if ((look[i].revents & POLLOUT) != 0 &&
                ::write(boards[i].fd, boards[i].frame.data(), boards[i].frame.size()) < 0) {
                std::perror("kf_bare_io: write");
                ::close(boards[i].fd);
                boards[i].fd = -1;  // poll skips it from here on
            }
        }
    }
}
