#include "audio/modBass.h"

#include "audio/PulseAudioLibrary.h"

namespace modBass {

// The one place the backend is chosen: another platform's capture (a loopback of the default
// render device, say) is a class of its own beside PulseAudioLibrary, picked here.
std::unique_ptr<AudioLibrary> createSystemAudioLibrary() {
    return std::make_unique<PulseAudioLibrary>();
}

}  // namespace modBass
