#include "app/AboutText.h"

#include "Version.h"

namespace kf {

std::string aboutText() {
    const std::string lines[] = {
        "KleurFlits Stereo - www.kleurflits.example",
        "",
        "Used sources...",
        "- https://github.com/mborgerding/kissfft",
        "- https://www.freedesktop.org/wiki/Software/PulseAudio/",
        "",
        std::string("Version: ") + kVersionText + " Date 12-03-2023",
    };
    std::string text = lines[0];
    for (std::size_t i = 1; i < std::size(lines); ++i) {
        text += '\r' + lines[i];
    }
    return text;
}

}  // namespace kf
