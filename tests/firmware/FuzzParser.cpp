// libFuzzer target: any bytes into both parsers and into a board of each type. The sanitizers
// catch out-of-bounds access; the checks below catch broken promises of the interface.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Board.h"
#include "Protocol.h"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

void fuzzParser(const std::uint8_t* data, std::size_t size, kf::fw::ParserOptions options) {
    kf::fw::Parser parser(options);
    for (std::size_t i = 0; i < size; ++i) {
        const kf::fw::Event e = parser.feed(data[i]);
        check(e.length <= kf::fw::kFieldCapacity);
        check(parser.pendingLength() <= kf::fw::kFieldCapacity);
        if (e.kind == kf::fw::Event::Message) {
            check(data[i] == '/');
            check(e.command == kf::fw::kIdentify || e.command == kf::fw::kPattern ||
                  e.command == kf::fw::kPeak || e.command == kf::fw::kText);
            if (e.command == kf::fw::kText) {
                check(e.length <= kf::fw::kMaxText);
                for (std::uint8_t k = 0; k < e.length; ++k) {
                    check(e.field[k] >= 0x20 && e.field[k] <= 0x7e);
                }
            }
        }
        if (e.kind != kf::fw::Event::None && e.kind != kf::fw::Event::Probe) {
            // Every "/" ends a field: after a message or a bad field nothing is pending.
            check(parser.pendingLength() == 0);
        }
    }
}

void fuzzBoard(const std::uint8_t* data, std::size_t size, kf::fw::BoardType type) {
    kf::fw::Board board(type);
    for (std::size_t i = 0; i < size; ++i) {
        char reply[kf::fw::kMaxReply];
        const std::uint8_t n = board.receive(data[i], reply);
        check(n == 0 || (n == 2 && std::memcmp(reply, kf::fw::typeCode(type), 2) == 0));
        check(std::strlen(board.text()) <= kf::fw::kMaxText);
        if (type == kf::fw::BoardType::ET) {
            check(board.peaks() == 0);
        }
        std::uint8_t image[kf::fw::kDisplayBytes];
        board.displayImage(image);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzParser(data, size, {true, true});
    fuzzParser(data, size, {false, true});
    fuzzParser(data, size, {false, false});
    fuzzBoard(data, size, kf::fw::BoardType::ET);
    fuzzBoard(data, size, kf::fw::BoardType::AL);
    fuzzBoard(data, size, kf::fw::BoardType::TM);
    return 0;
}
