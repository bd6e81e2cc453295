// boardsim: simulated lamp boards on pseudo-terminals, for trying the program by hand.
// Prints the slave paths (ready for KLEURFLITS_SERIAL_PORTS), then runs until SIGINT or
// SIGTERM, showing each board's state as it changes.

#include <signal.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/Escape.h"
#include "boardsim/Kinds.h"

namespace {

using kf::boardsim::BoardSim;
using kf::boardsim::Clock;

struct Args {
    bool quiet = false;
    std::string logPath;
    kf::boardsim::KindSettings settings;
    std::vector<std::string> kinds;
};

void usage() {
    std::cerr << "usage: boardsim [--quiet] [--log FILE] [--boot-delay MS] KIND...\nkinds:";
    for (const auto& name : kf::boardsim::kindNames()) {
        std::cerr << ' ' << name;
    }
    std::cerr << '\n';
}

bool parse(int argc, char** argv, Args& args) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--quiet") {
            args.quiet = true;
        } else if ((arg == "--log" || arg == "--boot-delay") && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--log") {
                args.logPath = value;
            } else {
                char* end = nullptr;
                long ms = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || ms < 0) {
                    return false;
                }
                args.settings.bootDelay = std::chrono::milliseconds(ms);
            }
        } else if (arg.starts_with("--")) {
            return false;
        } else {
            args.kinds.push_back(arg);
        }
    }
    return !args.kinds.empty();
}

struct Running {
    std::string name;  // COM n, by argument order
    std::string kind;
    std::unique_ptr<BoardSim> sim;
    std::string lastSummary;
    std::size_t chunksLogged = 0;
    std::size_t violationsShown = 0;
};

void writeLog(std::ofstream& log, Running& board, Clock::time_point origin) {
    for (const auto& chunk : board.sim->chunks(board.chunksLogged)) {
        auto ms = std::chrono::duration<double, std::milli>(chunk.time - origin).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%10.3f", ms);
        log << stamp << ' ' << board.name << ' ' << kf::boardsim::escaped(chunk.bytes) << '\n';
        ++board.chunksLogged;
    }
    log.flush();
}

void showChanges(Running& board) {
    std::string summary = board.sim->summary();
    if (summary != board.lastSummary) {
        std::cerr << board.name << ' ' << board.kind << "  " << summary << '\n';
        board.lastSummary = std::move(summary);
    }
    auto violations = board.sim->violations();
    for (; board.violationsShown < violations.size(); ++board.violationsShown) {
        std::cerr << board.name << ' ' << board.kind
                  << "  violation: " << violations[board.violationsShown] << '\n';
    }
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!parse(argc, argv, args)) {
        usage();
        return 2;
    }
    // Block the stop signals before any reader thread exists, so only sigtimedwait sees them.
    // A shell starting us in the background may have set them to be ignored; undo that.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::ofstream log;
    if (!args.logPath.empty()) {
        log.open(args.logPath);
        if (!log) {
            std::cerr << "boardsim: cannot write " << args.logPath << '\n';
            return 2;
        }
    }

    std::vector<Running> boards;
    try {
        for (const auto& kind : args.kinds) {
            auto sim = kf::boardsim::makeSim(kind, args.settings);
            if (!sim) {
                std::cerr << "boardsim: unknown kind " << kind << '\n';
                usage();
                return 2;
            }
            Running board;
            board.name = "COM" + std::to_string(boards.size() + 1);
            board.kind = kind;
            board.sim = std::move(sim);
            boards.push_back(std::move(board));
        }
    } catch (const std::exception& e) {
        std::cerr << "boardsim: " << e.what() << '\n';
        return 2;
    }
    const auto origin = boards.front().sim->startTime();

    std::string paths;
    for (const auto& board : boards) {
        paths += (paths.empty() ? "" : ":") + board.sim->slavePath();
    }
    std::cout << paths << std::endl;

    const timespec period{0, 100'000'000};
    for (;;) {
        int sig = sigtimedwait(&stopSignals, nullptr, &period);
        for (auto& board : boards) {
            if (log.is_open()) {
                writeLog(log, board, origin);
            }
            if (!args.quiet) {
                showChanges(board);
            }
        }
        if (sig == SIGINT || sig == SIGTERM) {
            break;
        }
    }

    bool anyViolation = false;
    for (auto& board : boards) {
        board.sim->stop();
        if (log.is_open()) {
            writeLog(log, board, origin);
        }
        auto count = board.sim->violationCount();
        anyViolation = anyViolation || count > 0;
        std::cerr << board.name << ' ' << board.kind << ": " << board.sim->receivedCount()
                  << " bytes received, " << count << " violation(s)\n";
        auto violations = board.sim->violations();
        constexpr std::size_t kShown = 20;
        for (std::size_t i = 0; i < violations.size() && i < kShown; ++i) {
            std::cerr << "    " << violations[i] << '\n';
        }
        if (count > kShown) {
            std::cerr << "    ... and " << count - kShown << " more\n";
        }
    }
    return anyViolation ? 1 : 0;
}
