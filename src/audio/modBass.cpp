#include "audio/modBass.h"

#include "audio/PulseAudioLibrary.h"

namespace modBass {

std::unique_ptr<AudioLibrary> createSystemAudioLibrary() {
    return std::make_unique<PulseAudioLibrary>();
}

}  // namespace modBass
