#pragma once
// A PipeWire server of the test's own, as a desktop runs it: a session bus, pipewire,
// wireplumber and pipewire-pulse, all in a private runtime folder with a private home, config
// and state, so nothing leaks between tests or from the machine's own session. The null sinks
// and the silent microphone live in pipewire itself and so survive a restart of pipewire-pulse,
// which is the part kill() ends.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

class PipeWireServer : public TestSoundServer {
  public:
    // mic: when not empty, a silent virtual source of that name becomes the default source.
    explicit PipeWireServer(std::vector<std::string> sinks, std::string mic = {})
        : sinks_(std::move(sinks)), mic_(std::move(mic)) {
        char tmpl[] = "/tmp/kf-capture-pw.XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        dir_ = d != nullptr ? d : "/tmp";
        ::chmod(dir_.c_str(), 0700);
        for (const char* sub :
             {"/run", "/home", "/state", "/config", "/config/pipewire",
              "/config/pipewire/pipewire.conf.d", "/config/wireplumber",
              "/config/wireplumber/main.lua.d", "/config/wireplumber/bluetooth.lua.d"}) {
            ::mkdir((dir_ + sub).c_str(), 0700);
        }
        writeConfig();
    }
    ~PipeWireServer() override {
        stopAll();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    PipeWireServer(const PipeWireServer&) = delete;
    PipeWireServer& operator=(const PipeWireServer&) = delete;

    static bool available() {
        return onPath("pipewire") && onPath("wireplumber") && onPath("pipewire-pulse") &&
               onPath("dbus-daemon");
    }

    std::string server() const override { return "unix:" + dir_ + "/run/pulse/native"; }

    // The first time the whole server; after kill() only pipewire-pulse. Waits until the
    // sinks are there and the defaults are set.
    bool start(std::chrono::milliseconds timeout = 5000ms) override {
        const auto deadline = Clock::now() + timeout;
        if (pipewire_ <= 0) {
            bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                          "--address=unix:path=" + dir_ + "/run/bus"},
                         "dbus.log");
            if (bus_ <= 0 || !waitForFile(dir_ + "/run/bus", deadline)) {
                return false;
            }
            pipewire_ = spawn({"pipewire"}, "pipewire.log");
            // wireplumber and pipewire-pulse give up when pipewire's socket is not there yet.
            if (pipewire_ <= 0 || !waitForFile(dir_ + "/run/pipewire-0", deadline)) {
                return false;
            }
            wireplumber_ = spawn({"wireplumber"}, "wireplumber.log");
            if (wireplumber_ <= 0) {
                return false;
            }
        }
        if (pulse_ <= 0) {
            pulse_ = spawn({"pipewire-pulse"}, "pipewire-pulse.log");
            if (pulse_ <= 0) {
                return false;
            }
        }
        const std::string srv = server();
        while (Clock::now() < deadline) {
            if (alive(pulse_) && ready(srv)) {
                return true;
            }
            if (!alive(pipewire_) || !alive(wireplumber_) || !alive(pulse_)) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Kills pipewire-pulse at once: to its clients the server has crashed.
    void kill() override { end(pulse_); }

    std::string log() const override {
        std::stringstream ss;
        for (const char* name :
             {"dbus.log", "pipewire.log", "wireplumber.log", "pipewire-pulse.log"}) {
            std::ifstream in(dir_ + "/" + name);
            ss << "---- " << name << "\n" << in.rdbuf() << "\n";
        }
        return ss.str();
    }

  private:
    void writeConfig() {
        std::ofstream pw(dir_ + "/config/pipewire/pipewire.conf.d/kf-test.conf");
        pw << "context.objects = [\n";
        for (const auto& s : sinks_) {
            pw << "  { factory = adapter args = { factory.name = support.null-audio-sink"
               << " node.name = \"" << s << "\" node.description = \"Test output " << s << "\""
               << " media.class = Audio/Sink audio.position = [ FL FR ]"
               << " monitor.channel-volumes = true object.linger = true } }\n";
        }
        if (!mic_.empty()) {
            pw << "  { factory = adapter args = { factory.name = support.null-audio-sink"
               << " node.name = \"" << mic_ << "\" node.description = \"Silent microphone\""
               << " media.class = Audio/Source/Virtual audio.position = [ FL FR ]"
               << " object.linger = true } }\n";
        }
        pw << "]\n";
        // Only the test's own nodes: no sound cards, cameras or bluetooth of the machine.
        std::ofstream(dir_ + "/config/wireplumber/main.lua.d/51-kf-test.lua")
            << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
               "libcamera_monitor.enabled = false\n";
        std::ofstream(dir_ + "/config/wireplumber/bluetooth.lua.d/51-kf-test.lua")
            << "bluez_monitor.enabled = false\n";
    }

    // The sinks and the microphone are there, and the defaults are what the test wants
    // (wireplumber has taken them over, so the session is up).
    bool ready(const std::string& srv) {
        PulseControl control(srv.c_str(), 500ms);
        if (!control.ok()) {
            return false;
        }
        const auto sinks = control.sinks();
        for (const auto& s : sinks_) {
            if (std::find(sinks.begin(), sinks.end(), s) == sinks.end()) {
                return false;
            }
        }
        if (!mic_.empty()) {
            const auto sources = control.sources();
            if (std::find(sources.begin(), sources.end(), mic_) == sources.end()) {
                return false;
            }
        }
        // Set by hand even when wireplumber already chose them: a default it chose by itself
        // may move to a node it likes better later on, one the user configured stays.
        if (!defaultsSet_) {
            if (!sinks_.empty()) {
                control.setDefaultSink(sinks_.front());
            }
            if (!mic_.empty()) {
                control.setDefaultSource(mic_);
            }
            defaultsSet_ = true;
            return false;  // looked at again on the next round
        }
        if (!sinks_.empty() && control.defaultSink() != sinks_.front()) {
            control.setDefaultSink(sinks_.front());
            return false;
        }
        if (!mic_.empty() && control.defaultSource() != mic_) {
            control.setDefaultSource(mic_);
            return false;
        }
        return true;
    }

    pid_t spawn(std::vector<std::string> args, const std::string& logName) {
        std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir_ + "/run",
                                        "HOME=" + dir_ + "/home",
                                        "XDG_CONFIG_HOME=" + dir_ + "/config",
                                        "XDG_STATE_HOME=" + dir_ + "/state",
                                        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ + "/run/bus",
                                        "PIPEWIRE_LOG_SYSTEMD=false"};
        if (const char* p = std::getenv("PATH")) {
            env.push_back(std::string("PATH=") + p);
        }
        std::vector<char*> argv = cStrings(args);
        std::vector<char*> envp = cStrings(env);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string logPath = dir_ + "/" + logName;
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        // One process group for the whole server, so nothing outlives the test.
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, group_);
        pid_t pid = -1;
        if (::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) {
            pid = -1;
        }
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        if (pid > 0 && group_ == 0) {
            group_ = pid;
        }
        return pid;
    }

    static bool waitForFile(const std::string& path, Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            if (::access(path.c_str(), F_OK) == 0) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    static bool alive(pid_t& pid) {
        if (pid <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        return true;
    }

    static void end(pid_t& pid) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
            pid = -1;
        }
    }

    void stopAll() {
        if (group_ > 0) {
            ::kill(-group_, SIGKILL);
        }
        end(pulse_);
        end(wireplumber_);
        end(pipewire_);
        end(bus_);
        group_ = 0;
    }

    std::vector<std::string> sinks_;
    std::string mic_;
    bool defaultsSet_ = false;
    std::string dir_;
    pid_t group_ = 0;
    pid_t bus_ = -1;
    pid_t pipewire_ = -1;
    pid_t wireplumber_ = -1;
    pid_t pulse_ = -1;
};

}  // namespace kftest
