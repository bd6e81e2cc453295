#include "e2e/ProgramRun.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

#ifndef KF_PROGRAM
#error "KF_PROGRAM must name the kleurflits-stereo binary"
#endif

namespace kfe2e {

namespace {

using namespace std::chrono_literals;

// Variables the tests decide themselves; whatever the test runner's shell has is dropped.
const char* const kControlled[] = {"QT_QPA_PLATFORM", "KLEURFLITS_SERIAL_PORTS", "DISPLAY",
                                   "WAYLAND_DISPLAY", "KLEURFLITS_AUDIO_SOURCE"};

std::string nameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

}  // namespace

std::string joinPorts(const std::vector<std::string>& ports) {
    std::string joined;
    for (const auto& p : ports) {
        if (!joined.empty()) {
            joined += ':';
        }
        joined += p;
    }
    return joined;
}

ProgramRun::ProgramRun(const std::vector<std::string>& ports, const EnvChanges& env,
                       std::optional<RunAs> as) {
    char tmpl[] = "/tmp/kf-e2e.XXXXXX";
    if (const char* d = ::mkdtemp(tmpl)) {
        dir_ = d;
    } else {
        dir_ = "/tmp";
    }
    logPath_ = dir_ + "/output.log";

    EnvChanges changes;
    for (const char* name : kControlled) {
        changes[name] = std::nullopt;
    }
    changes["QT_QPA_PLATFORM"] = "offscreen";
    // Always set, also when empty: a test must never probe the machine's own serial ports.
    changes["KLEURFLITS_SERIAL_PORTS"] = joinPorts(ports);
    for (const auto& [name, value] : env) {
        changes[name] = value;
    }

    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        if (changes.count(nameOf(entry)) == 0) {
            entries.push_back(std::move(entry));
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            entries.push_back(name + "=" + *value);
        }
    }
    std::vector<char*> envp;
    for (auto& e : entries) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    std::string program = KF_PROGRAM;
    std::vector<std::string> words;
    if (as) {
        // setpriv changes the user in the process itself: the pid is still the program's.
        words = {"/usr/bin/setpriv", "--reuid=" + std::to_string(as->uid),
                 "--regid=" + std::to_string(as->gid), "--clear-groups", "--"};
    }
    words.push_back(program);
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    start_ = Clock::now();
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ProgramRun::~ProgramRun() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (dir_ != "/tmp") {
        std::remove(logPath_.c_str());
        ::rmdir(dir_.c_str());
    }
}

bool ProgramRun::running() {
    if (pid_ <= 0 || exitStatus_ || termSignal_) {
        return false;
    }
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0) {
        return true;
    }
    if (r == pid_) {
        if (WIFEXITED(status)) {
            exitStatus_ = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            termSignal_ = WTERMSIG(status);
        }
    }
    return false;
}

std::string ProgramRun::output() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> ProgramRun::outputLines() const {
    std::vector<std::string> lines;
    std::stringstream ss(output());
    std::string line;
    while (std::getline(ss, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool ProgramRun::waitForOutput(std::string_view text, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (output().find(text) != std::string::npos) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

bool ProgramRun::waitForExit(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool ProgramRun::stop(int signal, Clock::duration timeout) {
    if (!running()) {
        return true;
    }
    ::kill(pid_, signal);
    return waitForExit(timeout);
}

CommandResult runCommand(const std::string& commandLine) {
    CommandResult result;
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace kfe2e
