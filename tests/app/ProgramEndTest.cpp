// The K8055 off step through the real end of the process: a child program wired as main()
// wires the window, with boards whose transfers take real time on their real writer threads,
// is ended by Close, by SIGTERM and in the middle of a transfer. The boards' last reports must
// be all off.

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct ChildRun {
    int exitCode = -1;
    bool crashed = false;
    std::string stderrText;
    std::map<std::string, std::vector<int>> reports;  // per board, in order of arrival
    std::vector<int> underWayAtShutdown;              // "S n" lines
    std::chrono::milliseconds took{};
};

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void parse(const std::string& text, ChildRun& run) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "W") {
            std::string path;
            int outputs = -1;
            words >> path >> outputs;
            run.reports[path].push_back(outputs);
        } else if (kind == "S") {
            int n = -1;
            words >> n;
            run.underWayAtShutdown.push_back(n);
        }
    }
}

bool litOnBoth(const std::string& text) {
    ChildRun run;
    parse(text, run);
    int lit = 0;
    for (const auto& [path, values] : run.reports) {
        lit += std::count_if(values.begin(), values.end(), [](int v) { return v > 0; }) > 2;
    }
    return lit >= 2;
}

// sigterm: sent once both boards show the tone.
ChildRun runChild(const std::string& scenario, bool sigterm = false) {
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("reports")).toStdString();
    QProcess child;
    const auto start = std::chrono::steady_clock::now();
    child.start(QStringLiteral(KF_SHUTDOWN_CHILD),
                {QString::fromStdString(scenario), QString::fromStdString(file)});
    ChildRun run;
    if (!child.waitForStarted(10000)) {
        run.stderrText = "the child did not start";
        return run;
    }
    if (sigterm) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!litOnBoth(readAll(file)) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        child.terminate();  // SIGTERM
    }
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(5000);
        run.stderrText = "the child did not end";
    }
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    run.crashed = child.exitStatus() != QProcess::NormalExit;
    run.exitCode = child.exitCode();
    run.stderrText += child.readAllStandardError().toStdString();
    parse(readAll(file), run);
    return run;
}

const std::string kLeft = "/dev/hidraw0";
const std::string kRight = "/dev/hidraw3";

// The tone reached the board, and the last report it got switched every output off.
void expectLitThenOff(const ChildRun& run, const std::string& board) {
    ASSERT_TRUE(run.reports.contains(board)) << board << " got nothing\n" << run.stderrText;
    const std::vector<int>& values = run.reports.at(board);
    EXPECT_GT(std::count_if(values.begin(), values.end(), [](int v) { return v > 0; }), 2)
        << board << ": the tone never lit it";
    EXPECT_EQ(values.back(), 0) << board << " was left lit after " << values.size() << " reports\n"
                                << run.stderrText;
}

void expectEndedNormally(const ChildRun& run) {
    EXPECT_FALSE(run.crashed) << run.stderrText;
    EXPECT_EQ(run.exitCode, 0) << run.stderrText;
}

TEST(ProgramEnd, CloseLeavesBothK8055BoardsOff) {
    const ChildRun run = runChild("close");
    expectEndedNormally(run);
    expectLitThenOff(run, kLeft);
    expectLitThenOff(run, kRight);
}

TEST(ProgramEnd, SigtermLeavesBothK8055BoardsOff) {
    const ChildRun run = runChild("signal", true);
    expectEndedNormally(run);
    expectLitThenOff(run, kLeft);
    expectLitThenOff(run, kRight);
}

TEST(ProgramEnd, ShutdownDuringATransferStillEndsWithTheOffReport) {
    const ChildRun run = runChild("midwrite");
    expectEndedNormally(run);
    ASSERT_EQ(run.underWayAtShutdown.size(), 1U) << run.stderrText;
    EXPECT_GE(run.underWayAtShutdown[0], 1) << "the shutdown began with no transfer under way";
    expectLitThenOff(run, kLeft);
    expectLitThenOff(run, kRight);
}

TEST(ProgramEnd, K8055OnTheRightOnlyIsSwitchedOff) {
    const ChildRun run = runChild("rightonly");
    expectEndedNormally(run);
    const std::string board = "/dev/hidraw2";
    expectLitThenOff(run, board);
    EXPECT_EQ(run.reports.size(), 1U) << "only the right board is written";
}

TEST(ProgramEnd, AHungBoardIsLeftAfterItsBoundAndTheOtherIsOff) {
    const ChildRun run = runChild("hung");
    expectEndedNormally(run);
    expectLitThenOff(run, kLeft);
    const std::string line =
        "kleurflits-stereo: K8055 card 3 (right) did not take its off report within 500 ms";
    EXPECT_NE(run.stderrText.find(line), std::string::npos) << run.stderrText;
    EXPECT_EQ(run.stderrText.find(line), run.stderrText.rfind(line)) << "said once";
    // Generous: the wait is bounded, it does not last for the board's ten-second transfer.
    EXPECT_LT(run.took, 8s);
}

}  // namespace
