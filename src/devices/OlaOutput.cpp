#include "devices/OlaOutput.h"

#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/client/OlaClient.h>
#include <ola/client/StreamingClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/IPV4Address.h>
#include <ola/network/SocketAddress.h>
#include <ola/network/TCPSocket.h>
#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace kf {
namespace {

// Digits only: no sign, no blanks, nothing after.
std::optional<unsigned long> number(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void say(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

using Clock = std::chrono::steady_clock;

// Asks olad, on a connection of its own, until its universe shows the sixteen channels dark.
// Only olad's answer says the zeros arrived: a stream connection closed right after its last
// write can lose that write in olad.
bool oladShowsDark(const OlaSettings& settings, Clock::time_point deadline) {
    namespace net = ola::network;
    std::unique_ptr<net::TCPSocket> socket(net::TCPSocket::Connect(
        net::IPV4SocketAddress(net::IPV4Address::Loopback(), settings.rpcPort)));
    if (!socket) {
        return false;
    }
    ola::io::SelectServer ss;
    ola::client::OlaClient client(socket.get());
    if (!client.Setup()) {
        return false;
    }
    ss.AddReadDescriptor(socket.get());
    bool dark = false;
    while (!dark && Clock::now() < deadline) {
        bool answered = false;
        client.FetchDMX(
            settings.target.universe,
            ola::NewSingleCallback(
                +[](bool* answered, bool* dark, unsigned first, const ola::client::Result& result,
                    const ola::client::DMXMetadata&, const ola::DmxBuffer& data) {
                    *answered = true;
                    if (!result.Success()) {
                        return;
                    }
                    *dark = true;
                    for (unsigned i = 0; i < kOlaChannels; ++i) {
                        *dark = *dark && data.Get(first + i) == kOlaDark;
                    }
                },
                &answered, &dark, settings.target.firstChannel - 1));
        while (!answered && Clock::now() < deadline) {
            ss.RunOnce(ola::TimeInterval(0, 10000));
        }
        if (!answered) {
            break;
        }
    }
    ss.RemoveReadDescriptor(socket.get());
    client.Stop();
    return dark;
}

}  // namespace

std::optional<OlaTarget> parseOlaUniverse(std::string_view text, std::string* error) {
    const auto colon = text.find(':');
    const auto universe = number(text.substr(0, colon));
    if (!universe || *universe < 1 || *universe > kOlaMaxUniverse) {
        say(error, "the universe must be a number 1.." + std::to_string(kOlaMaxUniverse));
        return std::nullopt;
    }
    OlaTarget target;
    target.universe = static_cast<unsigned>(*universe);
    if (colon != std::string_view::npos) {
        const auto first = number(text.substr(colon + 1));
        if (!first || *first < 1 || *first > kOlaMaxFirstChannel) {
            say(error, "the first channel after ':' must be a number 1.." +
                           std::to_string(kOlaMaxFirstChannel));
            return std::nullopt;
        }
        target.firstChannel = static_cast<unsigned>(*first);
    }
    return target;
}

std::optional<std::uint16_t> parseOlaPort(std::string_view text, std::string* error) {
    const auto port = number(text);
    if (!port || *port < 1 || *port > 65535) {
        say(error, "the port must be a number 1..65535");
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*port);
}

std::array<std::uint8_t, kOlaChannels> encodeLamps(std::uint8_t left, std::uint8_t right) {
    std::array<std::uint8_t, kOlaChannels> channels{};
    for (unsigned lamp = 0; lamp < 8; ++lamp) {
        channels[lamp] = (left >> lamp) & 1u ? kOlaLit : kOlaDark;
        channels[8 + lamp] = (right >> lamp) & 1u ? kOlaLit : kOlaDark;
    }
    return channels;
}

std::optional<OlaSettings> olaSettingsFromEnvironment() {
    const char* universe = std::getenv("KLEURFLITS_OLA_UNIVERSE");
    if (universe == nullptr) {
        return std::nullopt;
    }
    OlaSettings settings;
    std::string why;
    const auto target = parseOlaUniverse(universe, &why);
    if (!target) {
        std::fprintf(stderr,
                     "kleurflits-stereo: KLEURFLITS_OLA_UNIVERSE=\"%s\" is not usable (%s; "
                     "e.g. 1 or 1:33): no DMX output\n",
                     universe, why.c_str());
        return std::nullopt;
    }
    settings.target = *target;
    if (const char* port = std::getenv("KLEURFLITS_OLA_PORT"); port != nullptr) {
        const auto rpcPort = parseOlaPort(port, &why);
        if (!rpcPort) {
            std::fprintf(stderr,
                         "kleurflits-stereo: KLEURFLITS_OLA_PORT=\"%s\" is not usable (%s): no "
                         "DMX output\n",
                         port, why.c_str());
            return std::nullopt;
        }
        settings.rpcPort = *rpcPort;
    }
    return settings;
}

std::unique_ptr<OlaOutput> olaOutputFromEnvironment() {
    const auto settings = olaSettingsFromEnvironment();
    return settings ? std::make_unique<OlaOutput>(*settings) : nullptr;
}

OlaOutput::OlaOutput(const OlaSettings& settings)
    : settings_(settings), writer_([this] { run(); }) {}

OlaOutput::~OlaOutput() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

void OlaOutput::frame(std::uint32_t left, std::uint32_t right) {
    const auto lamps = static_cast<std::uint16_t>((left & 0xFFu) | ((right & 0xFFu) << 8));
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!off_ && lamps != lamps_) {
            lamps_ = lamps;
            wake = idle_ && !fresh_;
            fresh_ = true;
        }
    }
    // An unchanged frame costs the writer nothing, and neither does a change while the writer
    // waits out the gap after a send: it takes the newest lamps when the gap is over.
    if (wake) {
        wake_.notify_one();
    }
}

bool OlaOutput::switchOff(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    off_ = true;
    offDeadline_ = std::chrono::steady_clock::now() + wait;
    wake_.notify_all();
    const bool wasConnected = connected_;
    offDone_.wait_for(lock, wait, [this] { return offFinished_; });
    const bool dark = offFinished_ && offSent_;
    if (!dark && wasConnected) {
        std::fprintf(stderr,
                     "OLA: olad did not show universe %u's lamp channels at 0 within %lld ms; "
                     "they are left as they are\n",
                     settings_.target.universe, static_cast<long long>(wait.count()));
    }
    return dark;
}

std::uint64_t OlaOutput::sends() const {
    std::lock_guard lock(mutex_);
    return sends_;
}

bool OlaOutput::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

void OlaOutput::run() {
    // A write to an olad that has just gone raises SIGPIPE on this thread; the failed write
    // already says what happened, and the signal must not end the show.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pthread_setname_np(pthread_self(), "kf-ola");  // by name in top and in the benchmarks

    ola::client::StreamingClient::Options options;
    options.auto_start = false;  // olad is the user's to run, never ours
    options.server_port = settings_.rpcPort;
    std::unique_ptr<ola::client::StreamingClient> client;
    bool saidAbsent = false;
    bool everConnected = false;
    ola::DmxBuffer buffer;
    buffer.Blackout();
    const unsigned first = settings_.target.firstChannel - 1;
    auto lastSend = Clock::now();

    std::unique_lock lock(mutex_);
    auto finishOff = [&](bool sent) {
        offFinished_ = true;
        offSent_ = sent;
        offDone_.notify_all();
    };
    while (!stop_) {
        if (!client) {
            lock.unlock();
            auto attempt = std::make_unique<ola::client::StreamingClient>(options);
            const bool up = attempt->Setup();
            lock.lock();
            if (!up) {
                if (!saidAbsent) {
                    std::fprintf(stderr, "%s\n", kAbsentLine);
                    saidAbsent = true;
                }
                if (off_) {
                    finishOff(false);  // nothing there to switch off
                    break;
                }
                wake_.wait_for(lock, kRetry, [this] { return stop_ || off_; });
                continue;
            }
            client = std::move(attempt);
            connected_ = true;
            fresh_ = true;  // a new olad knows nothing yet
            // Said at the start and when olad is back; a quiet reconnection (olad too busy to
            // take a write) is not news.
            const bool announce = saidAbsent || !everConnected;
            saidAbsent = false;
            everConnected = true;
            if (announce) {
                std::fprintf(stderr,
                             "OLA: olad answers; the lamps go to universe %u, channels %u-%u\n",
                             settings_.target.universe, first + 1, first + kOlaChannels);
            }
        }
        if (!fresh_ && !off_) {
            idle_ = true;
            wake_.wait_until(lock, lastSend + kRefresh, [this] { return stop_ || fresh_ || off_; });
            idle_ = false;
            if (stop_) {
                break;
            }
            fresh_ = true;  // woken for new lamps, the end, or the refresh
            continue;
        }
        const bool off = off_;
        const std::uint16_t lamps = off ? 0 : lamps_;
        fresh_ = false;
        lock.unlock();
        const auto channels = encodeLamps(static_cast<std::uint8_t>(lamps & 0xFFu),
                                          static_cast<std::uint8_t>(lamps >> 8));
        buffer.SetRange(first, channels.data(), channels.size());
        bool sent = client->SendDmx(settings_.target.universe, buffer);
        bool dark = false;
        if (sent && off) {
            dark = oladShowsDark(settings_, offDeadline_);
        }
        lock.lock();
        lastSend = Clock::now();
        if (!sent) {
            // olad went away: look for it again at once, and say so if it is not back.
            client.reset();
            connected_ = false;
            continue;
        }
        ++sends_;
        if (off) {
            finishOff(dark);
            break;
        }
        // The gap, unwoken by frames: what they bring meanwhile goes out when it is over.
        wake_.wait_until(lock, lastSend + kMinGap, [this] { return stop_ || off_; });
    }
    if (off_ && !offFinished_) {
        finishOff(false);
    }
    connected_ = false;
}

}  // namespace kf
