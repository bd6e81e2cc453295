// The search's judgement of the answers it reads: "ZMD" anywhere makes an iCP12 board, and
// the first two characters of the answer to "90/" are the Arduino type code.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "devices/Arduino.h"
#include "devices/iCP12.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);

    bool holdsZmd = false;
    for (std::size_t i = 0; i + 3 <= reply.size(); ++i) {
        holdsZmd = holdsZmd || (reply[i] == 'Z' && reply[i + 1] == 'M' && reply[i + 2] == 'D');
    }
    if (iCP12::isIdentifyReply(reply) != holdsZmd) {
        std::abort();
    }

    const std::string code = Arduino::typeCodeOf(reply);
    if (code.size() != std::min<std::size_t>(2, reply.size()) || !reply.starts_with(code)) {
        std::abort();
    }
    const bool known =
        reply.starts_with("ET") || reply.starts_with("AL") || reply.starts_with("TM");
    if (Arduino::isKnownType(code) != known) {
        std::abort();
    }
    return 0;
}
