// The iCP12 simulator's command parser on any byte stream, split into reads at random: it
// must not crash, must keep its state consistent, and must not depend on where reads split.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "FakeLink.h"
#include "boardsim/Icp12Sim.h"

using kf::boardsim::Icp12Board;
using kf::boardsim::Icp12State;

namespace {

bool same(const Icp12State& a, const Icp12State& b) {
    return a.setUp == b.setUp && a.latch == b.latch && a.setUpCount == b.setUpCount &&
           a.onCount == b.onCount && a.offCount == b.offCount &&
           a.identifyCount == b.identifyCount && a.commandCount == b.commandCount &&
           a.probeCount == b.probeCount && a.frameCount == b.frameCount &&
           a.lastFrame == b.lastFrame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    kffuzz::FakeLink wholeLink;
    Icp12Board whole;
    whole.received(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), wholeLink);

    kffuzz::FakeLink splitLink;
    Icp12Board split;
    for (std::string_view r : kffuzz::reads(data, size)) {
        split.received(r, splitLink);
    }
    const Icp12State& s = split.state();
    if (!same(s, whole.state()) || splitLink.sent != wholeLink.sent ||
        splitLink.flags != wholeLink.flags) {
        std::abort();
    }
    // The only answer is the identify reply, once per "(ZMD)".
    std::string replies;
    for (unsigned i = 0; i < s.identifyCount; ++i) {
        replies += kf::boardsim::Icp12Options{}.identifyReply;
    }
    if (splitLink.sent != replies) {
        std::abort();
    }
    unsigned setUps = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        setUps += s.setUpCount[i];
        if (s.setUp[i] != (s.setUpCount[i] > 0)) {
            std::abort();
        }
    }
    // A frame is eight switch commands; every well-formed command is counted once.
    if (s.commandCount != s.identifyCount + setUps + s.switchCount() ||
        8 * s.frameCount > s.switchCount()) {
        std::abort();
    }
    split.summary();
    kffuzz::FakeLink closeLink;
    split.closed(closeLink);
    return 0;
}
