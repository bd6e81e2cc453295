#include "probe/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace probe {

pid_t spawn(const std::vector<std::string>& argv, const EnvList& env, const std::string& logFile) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in >= 0) {
        ::dup2(in, 0);
    }
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
    }
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "kf_probe: cannot start %s: %s\n", args[0], std::strerror(errno));
    std::_Exit(127);
}

std::string terminate(pid_t pid, std::chrono::seconds grace) {
    if (pid <= 0) {
        return "not started";
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + grace;
    pid_t r = 0;
    while ((r = ::waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string killed;
    if (r == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        killed = " (killed after the grace time)";
    }
    if (WIFEXITED(status)) {
        return "exit " + std::to_string(WEXITSTATUS(status)) + killed;
    }
    if (WIFSIGNALED(status)) {
        return "signal " + std::to_string(WTERMSIG(status)) + killed;
    }
    return "unknown" + killed;
}

pid_t spawnBusyLoop() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        volatile unsigned long n = 0;
        for (;;) {
            n = n + 1;
        }
    }
    return pid;
}

namespace {

double statCpu(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    if (!std::getline(f, line)) {
        return -1.0;
    }
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return -1.0;
    }
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // Fields 3..13 come first (state .. cmajflt), then utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i) {
        rest >> field;
    }
    rest >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

double cpuSeconds(pid_t pid) {
    return statCpu("/proc/" + std::to_string(pid) + "/stat");
}

std::vector<std::pair<std::string, double>> threadCpu(pid_t pid) {
    std::map<std::string, double> byName;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = ::opendir(base.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::ifstream c(base + "/" + e->d_name + "/comm");
            std::string name;
            std::getline(c, name);
            const double cpu = statCpu(base + "/" + e->d_name + "/stat");
            if (cpu >= 0) {
                byName[name] += cpu;
            }
        }
        ::closedir(d);
    }
    return {byName.begin(), byName.end()};
}

long statusKb(pid_t pid, const char* field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(f, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return -1;
}

bool alive(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(f, line)) {
        return false;
    }
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace probe
