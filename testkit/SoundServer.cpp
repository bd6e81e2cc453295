#include "testkit/SoundServer.h"

#include "testkit/PipeWireServer.h"
#include "testkit/PulseAudioServer.h"

namespace kftest {

std::unique_ptr<TestSoundServer> makeSoundServer(ServerKind kind, std::vector<std::string> sinks,
                                                 std::string mic) {
    if (kind == ServerKind::PulseAudio) {
        return std::make_unique<PrivateServer>(std::move(sinks), std::move(mic));
    }
    return std::make_unique<PipeWireServer>(std::move(sinks), std::move(mic));
}

bool soundServerAvailable(ServerKind kind) {
    return kind == ServerKind::PulseAudio ? PrivateServer::available()
                                          : PipeWireServer::available();
}

}  // namespace kftest
