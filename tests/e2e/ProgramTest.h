#pragma once
// The fixture of the tests that run the program: starts it on the given simulators' ports,
// ends it with SIGTERM, and shows what it printed when a test failed.

#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/BoardSim.h"
#include "e2e/ProgramRun.h"

namespace kfe2e {

using namespace std::chrono_literals;
using kf::boardsim::BoardSim;

class Program : public testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure() && run_) {
            std::cout << "---- program output ----\n" << run_->output() << "------------------\n";
        }
    }
    void start(const std::vector<const BoardSim*>& sims, const EnvChanges& env = {},
               std::optional<RunAs> as = std::nullopt) {
        std::vector<std::string> ports;
        for (const BoardSim* s : sims) {
            ports.push_back(s->slavePath());
        }
        run_ = std::make_unique<ProgramRun>(ports, env, as);
        ASSERT_TRUE(run_->started());
    }
    // SIGTERM, then the normal shutdown must end the process with status 0.
    void terminate() {
        ASSERT_TRUE(run_->stop(SIGTERM, 20s)) << "no exit within 20 s of SIGTERM";
        ASSERT_TRUE(run_->exitStatus().has_value())
            << "ended by signal " << run_->termSignal().value_or(0);
        EXPECT_EQ(*run_->exitStatus(), 0);
    }

    std::unique_ptr<ProgramRun> run_;
};

}  // namespace kfe2e
