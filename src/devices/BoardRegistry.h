#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/SharedState.h"

// Which board sits on which side of each kind, while boards come and go during the show. The
// rules only: the caller opens ports, probes and paints labels.
namespace kf {

enum class BoardKind { Icp12, Arduino, K8055 };
inline constexpr std::array<BoardKind, 3> kBoardKinds{BoardKind::Icp12, BoardKind::Arduino,
                                                      BoardKind::K8055};
const char* kindName(BoardKind kind);

class BoardRegistry {
  public:
    // A side's board: none yet (absent), open and taking frames, lost (its side kept for it),
    // or lost and its port being probed again now that it reappeared.
    enum class State { Absent, Probing, Open, Lost };
    struct Seat {
        std::string identity;  // by-id link or device path; a K8055's address
        State state = State::Absent;
    };

    // The search at start-up put a board of this kind on that side (1 left, 2 right).
    void seat(BoardKind kind, int side, std::string identity);

    // A board of this kind with this identity has been identified. Returns the side it takes,
    // 0 when it is not used: a board that comes back gets the side it had; a new one the first
    // empty side, left before right, else the side of a board that is gone (a replacement).
    // A board already present keeps its side.
    int arrive(BoardKind kind, const std::string& identity);

    // The board on that side is gone; the side stays kept for it until another board needs it.
    void lose(BoardKind kind, int side);
    // A port with this identity is being probed, and when that ended without a board of ours.
    void probing(const std::string& identity);
    void probeEnded(const std::string& identity);

    const Seat& at(BoardKind kind, int side) const;
    // The side of the present board with this identity, 0 when none.
    int sideOf(BoardKind kind, const std::string& identity) const;
    bool anyPresent(BoardKind kind) const;

    // The kind's switch as start-up left it. A box left unticked because no board of the kind
    // was found ticks itself when the first one arrives (a click without boards changes
    // nothing); any other box stays as the user left it.
    void startedWith(BoardKind kind, bool ticked);
    // Asked when a board of the kind joins: whether its box is to be ticked now (once).
    bool tickOnArrival(BoardKind kind);

    // ---- The sides' boards as the rest of the program reads them ----
    // ICP12Port, ArduinoPort, ArduinoType and K8055Card are written here alone: by the search
    // as it finds boards, by a board that joins, for a found board whose port would not open.
    // 0 (an empty type) is none.
    // (Inline: the K8055 code writes its cards without linking the serial boards' code.)
    static void setPort(SharedState& state, BoardKind kind, int side, std::int16_t port) {
        if (kind == BoardKind::K8055) {
            throw std::invalid_argument("a K8055 has a card, not a port");
        }
        (kind == BoardKind::Icp12 ? state.ICP12Port : state.ArduinoPort).values_(side) = port;
    }
    static void setArduinoType(SharedState& state, int side, std::string type) {
        state.ArduinoType.values_(side) = std::move(type);
    }
    static void setCard(SharedState& state, int side, std::int32_t card) {
        state.K8055Card.values_(side) = card;
    }

  private:
    struct Kind {
        std::array<Seat, 2> seats;
        bool untickedForLack = false;
    };
    Kind& of(BoardKind kind);
    const Kind& of(BoardKind kind) const;
    static std::size_t slot(int side);

    std::array<Kind, 3> kinds_;
};

}  // namespace kf
