#include "devices/BoardRegistry.h"

#include <stdexcept>

namespace kf {

const char* kindName(BoardKind kind) {
    switch (kind) {
        case BoardKind::Icp12:
            return "iCP12";
        case BoardKind::Arduino:
            return "Arduino";
        case BoardKind::K8055:
            return "K8055";
    }
    return "board";
}

BoardRegistry::Kind& BoardRegistry::of(BoardKind kind) {
    return kinds_.at(static_cast<std::size_t>(kind));
}

const BoardRegistry::Kind& BoardRegistry::of(BoardKind kind) const {
    return kinds_.at(static_cast<std::size_t>(kind));
}

std::size_t BoardRegistry::slot(int side) {
    if (side != 1 && side != 2) {
        throw std::out_of_range("side " + std::to_string(side));
    }
    return static_cast<std::size_t>(side - 1);
}

void BoardRegistry::seat(BoardKind kind, int side, std::string identity) {
    of(kind).seats[slot(side)] = Seat{std::move(identity), State::Open};
}

int BoardRegistry::arrive(BoardKind kind, const std::string& identity) {
    auto& seats = of(kind).seats;
    const auto claim = [&](std::size_t i) {
        seats[i] = Seat{identity, State::Open};
        return static_cast<int>(i) + 1;
    };
    for (std::size_t i = 0; i < seats.size(); ++i) {
        if (seats[i].state != State::Absent && seats[i].identity == identity) {
            return claim(i);  // present already, or back on its own side
        }
    }
    for (const State wanted : {State::Absent, State::Lost}) {
        for (std::size_t i = 0; i < seats.size(); ++i) {
            if (seats[i].state == wanted) {
                return claim(i);
            }
        }
    }
    return 0;
}

void BoardRegistry::lose(BoardKind kind, int side) {
    Seat& s = of(kind).seats[slot(side)];
    if (s.state == State::Open || s.state == State::Probing) {
        s.state = State::Lost;
    }
}

void BoardRegistry::probing(const std::string& identity) {
    for (Kind& k : kinds_) {
        for (Seat& s : k.seats) {
            if (s.state == State::Lost && s.identity == identity) {
                s.state = State::Probing;
            }
        }
    }
}

void BoardRegistry::probeEnded(const std::string& identity) {
    for (Kind& k : kinds_) {
        for (Seat& s : k.seats) {
            if (s.state == State::Probing && s.identity == identity) {
                s.state = State::Lost;
            }
        }
    }
}

const BoardRegistry::Seat& BoardRegistry::at(BoardKind kind, int side) const {
    return of(kind).seats[slot(side)];
}

int BoardRegistry::sideOf(BoardKind kind, const std::string& identity) const {
    const auto& seats = of(kind).seats;
    for (std::size_t i = 0; i < seats.size(); ++i) {
        if (seats[i].state == State::Open && seats[i].identity == identity) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

bool BoardRegistry::anyPresent(BoardKind kind) const {
    for (const Seat& s : of(kind).seats) {
        if (s.state == State::Open) {
            return true;
        }
    }
    return false;
}

void BoardRegistry::startedWith(BoardKind kind, bool ticked) {
    of(kind).untickedForLack = !ticked && !anyPresent(kind);
}

bool BoardRegistry::tickOnArrival(BoardKind kind) {
    Kind& k = of(kind);
    const bool tick = k.untickedForLack;
    k.untickedForLack = false;
    return tick;
}

}  // namespace kf
