#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace probe {

using EnvList = std::vector<std::pair<std::string, std::string>>;

// Starts argv[0] (searched in PATH) with extra environment, stdout and stderr to logFile.
// Returns the child's pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const EnvList& env, const std::string& logFile);

// SIGTERM, then waits up to `grace`; SIGKILL after that. Returns the wait status text, e.g.
// "exit 0", "signal 9".
std::string terminate(pid_t pid, std::chrono::seconds grace);

// A child that spins on one core until it is killed: the "other core kept busy".
pid_t spawnBusyLoop();

// utime + stime of the process (all its threads) in seconds; negative when unreadable.
double cpuSeconds(pid_t pid);

// A "Vm...:" line of /proc/PID/status in kB (e.g. "VmHWM", "VmRSS"); negative when unreadable.
long statusKb(pid_t pid, const char* field);

bool alive(pid_t pid);

// CPU seconds per thread name (threads of one name summed), for the breakdown of a window.
std::vector<std::pair<std::string, double>> threadCpu(pid_t pid);

}  // namespace probe
