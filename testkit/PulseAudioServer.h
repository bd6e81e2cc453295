#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testkit/PulseControl.h"
#include "testkit/SoundServer.h"

namespace kftest {

// A PulseAudio server of the test's own, with null sinks, on a private socket; the test may
// kill it and start it again on the same socket.
class PrivateServer : public TestSoundServer {
  public:
    // mic: when not empty, a silent null source of that name becomes the default source.
    explicit PrivateServer(std::vector<std::string> sinks, std::string mic = {})
        : sinks_(std::move(sinks)), mic_(std::move(mic)) {
        char tmpl[] = "/tmp/kf-capture-pa.XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        dir_ = d != nullptr ? d : "/tmp";
        ::chmod(dir_.c_str(), 0700);
    }
    ~PrivateServer() override {
        kill();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    static bool available() { return onPath("pulseaudio"); }

    std::string server() const override { return "unix:" + dir_ + "/native"; }

    // Starts the daemon and waits until it answers.
    bool start(std::chrono::milliseconds timeout = 5000ms) override {
        std::vector<std::string> args = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "--realtime=no",
            "--high-priority=no",
            "--log-level=notice",
            "--log-target=file:" + dir_ + "/pulseaudio.log",
            "-L",
            "module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1"};
        for (const auto& s : sinks_) {
            args.push_back("-L");
            args.push_back("module-null-sink sink_name=" + s + " rate=44100 channels=2");
        }
        if (!mic_.empty()) {
            args.push_back("-L");
            args.push_back("module-null-source source_name=" + mic_ + " rate=44100 channels=2");
        }
        std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir_,
                                        "PULSE_STATE_PATH=" + dir_ + "/state",
                                        "PULSE_RUNTIME_PATH=" + dir_ + "/runtime", "HOME=" + dir_};
        if (const char* p = std::getenv("PATH")) {
            env.push_back(std::string("PATH=") + p);
        }
        std::vector<char*> argv = cStrings(args);
        std::vector<char*> envp = cStrings(env);
        if (::posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
            return false;
        }
        const auto deadline = Clock::now() + timeout;
        const std::string srv = server();
        while (Clock::now() < deadline) {
            if (serverAnswers(srv.c_str())) {
                PulseControl control(srv.c_str());
                if (!sinks_.empty() && !control.setDefaultSink(sinks_.front())) {
                    return false;
                }
                if (!mic_.empty() && !control.setDefaultSource(mic_)) {
                    return false;
                }
                return true;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Kills the daemon at once (a crash, as far as its clients can tell).
    void kill() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    std::string log() const override {
        std::ifstream in(dir_ + "/pulseaudio.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

  private:
    std::vector<std::string> sinks_;
    std::string mic_;
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace kftest
