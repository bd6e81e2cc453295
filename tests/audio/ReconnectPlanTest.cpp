// The reconnect plan's decisions and their timing, as plain C++: no server, no clock but the
// time points the test hands in.
#include "audio/ReconnectPlan.h"

#include <gtest/gtest.h>

#include <string>

using modBass::detail::ReconnectPlan;

namespace {
const ReconnectPlan::TimePoint T0 = ReconnectPlan::Clock::now();
ReconnectPlan::TimePoint at(int ms) {
    return T0 + std::chrono::milliseconds(ms);
}
using Step = ReconnectPlan::Step;
using Link = ReconnectPlan::Link;

ReconnectPlan streamingPlan(bool follow, const std::string& device) {
    ReconnectPlan p(follow);
    p.serverConnecting(at(0));
    p.serverUp();
    p.setRecording(true);
    p.streamConnecting(at(0));
    p.streamUp(device);
    return p;
}
}  // namespace

TEST(ReconnectPlan, StartsByConnectingTheServer) {
    ReconnectPlan p;
    EXPECT_EQ(p.next(at(0)), Step::ConnectServer);
    p.serverConnecting(at(0));
    EXPECT_EQ(p.next(at(100)), Step::None);
    p.serverUp();
    EXPECT_EQ(p.server(), Link::Up);
    EXPECT_EQ(p.next(at(100)), Step::None) << "no stream is wanted yet";
}

TEST(ReconnectPlan, AbandonsAConnectionAttemptAfterTwoSeconds) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    EXPECT_EQ(p.next(at(1999)), Step::None);
    EXPECT_EQ(p.next(at(2000)), Step::AbandonServer);
}

TEST(ReconnectPlan, RetriesTheServerEvery500Ms) {
    ReconnectPlan p = streamingPlan(true, "a.monitor");
    p.serverLost(at(1000));
    EXPECT_EQ(p.stream(), Link::Down);
    EXPECT_EQ(p.device(), "");
    EXPECT_EQ(p.next(at(1499)), Step::None);
    EXPECT_EQ(p.next(at(1500)), Step::ConnectServer);
    p.serverConnecting(at(1500));
    p.serverLost(at(1501));  // refused at once
    EXPECT_EQ(p.next(at(1900)), Step::None);
    EXPECT_EQ(p.next(at(2001)), Step::ConnectServer);
    EXPECT_EQ(p.serverLosses(), 2u);
}

TEST(ReconnectPlan, ResumesTheStreamAsSoonAsTheServerIsBack) {
    ReconnectPlan p = streamingPlan(true, "a.monitor");
    p.serverLost(at(1000));
    p.serverConnecting(at(1500));
    p.serverUp();
    p.defaultMonitorIs("a.monitor");  // the answer to the question asked on connecting
    EXPECT_EQ(p.next(at(1510)), Step::ConnectStream);
    EXPECT_EQ(p.serverConnects(), 2u);
}

TEST(ReconnectPlan, ConnectsTheStreamOnlyWhenRecordingIsWanted) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    p.serverUp();
    p.defaultMonitorIs("a.monitor");
    EXPECT_EQ(p.next(at(10)), Step::None);
    p.setRecording(true);
    EXPECT_EQ(p.next(at(10)), Step::ConnectStream);
    p.streamConnecting(at(10));
    EXPECT_EQ(p.next(at(20)), Step::None);
    EXPECT_EQ(p.next(at(2010)), Step::AbandonStream);
    p.setRecording(false);
    EXPECT_EQ(p.next(at(3000)), Step::None);
}

TEST(ReconnectPlan, RetriesALostStreamAfter500Ms) {
    ReconnectPlan p = streamingPlan(false, "mic");
    p.streamLost(at(100));
    EXPECT_EQ(p.next(at(599)), Step::None);
    EXPECT_EQ(p.next(at(600)), Step::ConnectStream);
    EXPECT_EQ(p.streamLosses(), 1u);
}

TEST(ReconnectPlan, ConnectsTheStreamOnlyOnceTheDefaultOutputsMonitorIsKnown) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    p.serverUp();
    p.setRecording(true);
    EXPECT_FALSE(p.defaultMonitorKnown());
    EXPECT_EQ(p.next(at(10)), Step::None) << "nothing to record before the server names it";
    p.defaultMonitorIs("");
    EXPECT_TRUE(p.defaultMonitorKnown());
    EXPECT_EQ(p.next(at(20)), Step::None) << "the server has no output";
    p.defaultMonitorIs("a.monitor");
    EXPECT_EQ(p.next(at(30)), Step::ConnectStream);
    p.serverLost(at(40));
    EXPECT_FALSE(p.defaultMonitorKnown()) << "a new connection asks again";
    EXPECT_EQ(p.defaultMonitor(), "");
}

TEST(ReconnectPlan, FollowsANewDefaultOutput) {
    ReconnectPlan p = streamingPlan(true, "a.monitor");
    p.defaultMonitorIs("a.monitor");
    EXPECT_EQ(p.next(at(10)), Step::None);
    p.defaultMonitorIs("b.monitor");
    EXPECT_EQ(p.next(at(10)), Step::FollowDefault);
    p.streamConnecting(at(10));
    EXPECT_EQ(p.next(at(11)), Step::None) << "connecting";
    EXPECT_EQ(p.defaultMonitor(), "b.monitor") << "the stream is connected to it by name";
    p.streamUp("b.monitor");
    p.defaultMonitorIs("b.monitor");
    EXPECT_EQ(p.next(at(20)), Step::None);
}

TEST(ReconnectPlan, AStreamMovedByTheServerIsComparedByItsNewSource) {
    ReconnectPlan p = streamingPlan(true, "a.monitor");
    p.defaultMonitorIs("b.monitor");
    p.streamMoved("b.monitor");
    EXPECT_EQ(p.next(at(10)), Step::None);
}

TEST(ReconnectPlan, ARecordingTheUserMovedStaysUntilTheDefaultOutputChanges) {
    ReconnectPlan p = streamingPlan(true, "a.monitor");
    p.defaultMonitorIs("a.monitor");
    p.streamMoved("mic");
    EXPECT_EQ(p.next(at(10)), Step::None) << "taken back from where the user put it";
    p.defaultMonitorIs("a.monitor");
    EXPECT_EQ(p.next(at(20)), Step::None) << "the same default output asked again";
    p.defaultMonitorIs("b.monitor");
    EXPECT_EQ(p.next(at(30)), Step::FollowDefault);
    p.streamConnecting(at(30));
    p.streamUp("b.monitor");
    p.streamMoved("a.monitor");
    p.streamMoved("b.monitor");
    p.defaultMonitorIs("b.monitor");
    EXPECT_EQ(p.next(at(40)), Step::None);
    p.streamMoved("a.monitor");
    p.serverLost(at(50));
    p.serverConnecting(at(600));
    p.serverUp();
    p.streamConnecting(at(600));
    p.streamUp("a.monitor");
    p.defaultMonitorIs("b.monitor");
    EXPECT_EQ(p.next(at(610)), Step::FollowDefault) << "a new stream follows the default again";
}

TEST(ReconnectPlan, ANamedSourceIsNeverFollowed) {
    ReconnectPlan p = streamingPlan(false, "line_in");
    p.defaultMonitorIs("b.monitor");
    EXPECT_EQ(p.next(at(10)), Step::None);
}

// Every millisecond around the retry: nothing before it, the connection from it on.
TEST(ReconnectPlan, TheServerRetryComesExactlyHalfASecondAfterTheLoss) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    p.serverLost(at(37));
    for (int ms = 37; ms < 537; ++ms) {
        ASSERT_EQ(p.next(at(ms)), Step::None) << "at " << ms << " ms";
    }
    for (int ms = 537; ms < 700; ++ms) {
        ASSERT_EQ(p.next(at(ms)), Step::ConnectServer) << "at " << ms << " ms";
    }
}

TEST(ReconnectPlan, AnAbandonedAttemptIsRetriedHalfASecondAfterItWasGivenUp) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    ASSERT_EQ(p.next(at(2000)), Step::AbandonServer);
    p.serverLost(at(2000));
    EXPECT_EQ(p.server(), Link::Down);
    EXPECT_EQ(p.next(at(2499)), Step::None);
    EXPECT_EQ(p.next(at(2500)), Step::ConnectServer);
    EXPECT_EQ(p.serverLosses(), 1u);
    EXPECT_EQ(p.serverConnects(), 0u);
}

TEST(ReconnectPlan, AStreamAttemptIsAbandonedTwoSecondsAfterItBegan) {
    ReconnectPlan p = streamingPlan(false, "mic");
    p.streamLost(at(0));
    p.streamConnecting(at(700));
    for (int ms = 700; ms < 2700; ms += 50) {
        ASSERT_EQ(p.next(at(ms)), Step::None) << "at " << ms << " ms";
    }
    EXPECT_EQ(p.next(at(2699)), Step::None);
    EXPECT_EQ(p.next(at(2700)), Step::AbandonStream);
}

TEST(ReconnectPlan, ANewRecordingConnectsAtOnceDespiteARecentStreamLoss) {
    ReconnectPlan p = streamingPlan(false, "mic");
    p.streamLost(at(100));
    p.setRecording(false);
    EXPECT_EQ(p.next(at(150)), Step::None);
    p.setRecording(true);
    EXPECT_EQ(p.next(at(150)), Step::ConnectStream);
}

TEST(ReconnectPlan, WantingTheRecordingAgainWhileItRunsKeepsTheRetryTime) {
    ReconnectPlan p = streamingPlan(false, "mic");
    p.streamLost(at(100));
    p.setRecording(true);
    EXPECT_EQ(p.next(at(599)), Step::None);
    EXPECT_EQ(p.next(at(600)), Step::ConnectStream);
}

TEST(ReconnectPlan, StoppingTheRecordingForgetsTheDevice) {
    ReconnectPlan p = streamingPlan(true, "a.monitor");
    p.defaultMonitorIs("b.monitor");
    p.setRecording(false);
    EXPECT_EQ(p.stream(), Link::Down);
    EXPECT_EQ(p.device(), "");
    EXPECT_EQ(p.next(at(10)), Step::None) << "no stream to follow with";
}

TEST(ReconnectPlan, AMoveReportedBeforeTheStreamIsUpIsIgnored) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    p.serverUp();
    p.setRecording(true);
    p.defaultMonitorIs("a.monitor");
    p.streamConnecting(at(0));
    p.streamMoved("b.monitor");
    EXPECT_EQ(p.device(), "");
    p.streamUp("a.monitor");
    EXPECT_EQ(p.device(), "a.monitor");
}

TEST(ReconnectPlan, ConnectionsAreCountedOncePerConnection) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    p.serverUp();
    p.serverUp();  // a second report of the same connection
    EXPECT_EQ(p.serverConnects(), 1u);
    p.serverLost(at(10));
    p.serverConnecting(at(510));
    p.serverUp();
    EXPECT_EQ(p.serverConnects(), 2u);
    EXPECT_EQ(p.serverLosses(), 1u);
}

TEST(ReconnectPlan, LosingTheServerForgetsTheStreamAndItsDevice) {
    ReconnectPlan p = streamingPlan(true, "a.monitor");
    p.defaultMonitorIs("a.monitor");
    p.serverLost(at(10));
    EXPECT_EQ(p.stream(), Link::Down);
    EXPECT_EQ(p.device(), "");
    EXPECT_EQ(p.streamLosses(), 0u) << "the stream went with the server, not on its own";
    EXPECT_TRUE(p.recording()) << "the recording is still wanted";
}

TEST(ReconnectPlan, ANewConnectionAttemptForgetsTheOldAnswer) {
    ReconnectPlan p;
    p.serverConnecting(at(0));
    p.serverUp();
    p.defaultMonitorIs("a.monitor");
    p.serverConnecting(at(10));
    EXPECT_FALSE(p.defaultMonitorKnown());
    EXPECT_EQ(p.defaultMonitor(), "");
}
