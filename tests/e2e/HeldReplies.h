#pragma once
// Boards whose answers come slowly: the firmware of a real board kind, but what it answers is
// held back and sent in pieces, each at its own delay after the bytes that caused it. With
// short delays that is an answer split across reads; with long ones an answer that comes
// after the program stopped waiting for it.

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "boardsim/ArduinoSim.h"
#include "boardsim/BoardSim.h"
#include "boardsim/Icp12Sim.h"

namespace kfe2e {

using kf::boardsim::Board;
using kf::boardsim::Link;

struct Piece {
    std::chrono::milliseconds delay;  // after the bytes that caused the answer
    std::size_t bytes;                // 0: the rest of the answer
};

template <class Firmware>
class HeldReplies : public Board {
  public:
    HeldReplies(Firmware firmware, std::vector<Piece> pieces)
        : firmware_(std::move(firmware)), pieces_(std::move(pieces)) {}

    void opened(Link& link) override { firmware_.opened(link); }
    void closed(Link& link) override {
        // Whatever was still held back is lost with the line, as with a real board.
        due_.clear();
        firmware_.closed(link);
    }
    void received(std::string_view bytes, Link& link) override {
        Capture capture(link);
        firmware_.received(bytes, capture);
        if (capture.answer.empty()) {
            return;
        }
        std::size_t at = 0;
        for (const Piece& p : pieces_) {
            if (at >= capture.answer.size()) {
                break;
            }
            const std::size_t n = p.bytes == 0 ? capture.answer.size() - at : p.bytes;
            due_.push_back({link.now() + p.delay, capture.answer.substr(at, n)});
            at += n;
        }
        if (at < capture.answer.size()) {
            due_.push_back({link.now() + pieces_.back().delay, capture.answer.substr(at)});
        }
    }
    std::chrono::milliseconds tickInterval() const override { return std::chrono::milliseconds(5); }
    void tick(Link& link) override {
        while (!due_.empty() && due_.front().first <= link.now()) {
            link.send(due_.front().second);
            due_.pop_front();
        }
    }
    std::string summary() const override { return firmware_.summary(); }

    const Firmware& firmware() const { return firmware_; }

  private:
    // Passes everything to the line except the answer, which it keeps.
    class Capture : public Link {
      public:
        explicit Capture(Link& line) : line_(line) {}
        void send(std::string_view bytes) override { answer.append(bytes); }
        void flag(std::string violation) override { line_.flag(std::move(violation)); }
        kf::boardsim::Clock::time_point now() const override { return line_.now(); }
        std::string answer;

      private:
        Link& line_;
    };

    Firmware firmware_;
    std::vector<Piece> pieces_;
    std::deque<std::pair<kf::boardsim::Clock::time_point, std::string>> due_;
};

template <class Firmware>
class HeldReplySim : public kf::boardsim::BoardSim {
  public:
    HeldReplySim(Firmware firmware, std::vector<Piece> pieces)
        : BoardSim(
              std::make_unique<HeldReplies<Firmware>>(std::move(firmware), std::move(pieces))) {}
    auto state() const {
        return withLock([&] { return held().firmware().state(); });
    }

  private:
    const HeldReplies<Firmware>& held() const {
        return static_cast<const HeldReplies<Firmware>&>(board());
    }
};

}  // namespace kfe2e
