#pragma once
// The real kleurflits-stereo binary, started the way a user starts it: its own process, the
// serial ports named through KLEURFLITS_SERIAL_PORTS, stdout and stderr in a log file.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kfe2e {

using Clock = std::chrono::steady_clock;

// Environment changes for the program: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// A user of the machine to run the program as, with no supplementary groups (none of dialout,
// plugdev, audio).
struct RunAs {
    uid_t uid;
    gid_t gid;
};
// The machine's unprivileged account.
inline constexpr RunAs kNobody{65534, 65534};

class ProgramRun {
  public:
    // ports: the devices behind COM1, COM2, ... (may be empty: no serial ports at all).
    // By default the program runs on Qt's offscreen platform; env can replace that. By default
    // it runs as the test does.
    explicit ProgramRun(const std::vector<std::string>& ports, const EnvChanges& env = {},
                        std::optional<RunAs> as = std::nullopt);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    Clock::time_point startTime() const { return start_; }
    // Still running (reaps the process when it has ended).
    bool running();
    // Exit status once the process ended normally; nullopt while running or when a signal
    // ended it.
    std::optional<int> exitStatus() const { return exitStatus_; }
    std::optional<int> termSignal() const { return termSignal_; }

    // Everything the program wrote to stdout and stderr so far.
    std::string output() const;
    std::vector<std::string> outputLines() const;
    bool waitForOutput(std::string_view text, Clock::duration timeout);

    // Sends the signal and waits for the process to end; false on timeout.
    bool stop(int signal, Clock::duration timeout);
    // Waits for the process to end on its own; false on timeout.
    bool waitForExit(Clock::duration timeout);

  private:
    pid_t pid_ = -1;
    Clock::time_point start_;
    std::string dir_;
    std::string logPath_;
    std::optional<int> exitStatus_;
    std::optional<int> termSignal_;
};

// Runs a shell command line; returns its exit status and what it printed (stdout only).
struct CommandResult {
    int status = -1;
    std::string out;
};
CommandResult runCommand(const std::string& commandLine);

std::string joinPorts(const std::vector<std::string>& ports);

}  // namespace kfe2e
