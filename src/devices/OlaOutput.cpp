#include "devices/OlaOutput.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "devices/OlaLink.h"

// Defined only where the module's code is linked in (tests, benchmarks); the program has it null
// and loads the module instead.
extern "C" kf::OlaLink* kf_ola_link_new(unsigned version) __attribute__((weak));

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

constexpr const char* kModuleName = "kleurflits-ola.so";

// Where the module is looked for, in order: the one a test names, the build tree or an unpacked
// tree (beside the executable), the installed program's.
std::vector<std::string> moduleCandidates() {
    if (const char* named = std::getenv("KLEURFLITS_OLA_MODULE"); named != nullptr && *named) {
        return {named};
    }
    std::vector<std::string> paths;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        paths.push_back((exe.parent_path() / kModuleName).string());
    }
    paths.push_back(std::string(KF_OLA_MODULE_DIR) + "/" + kModuleName);
    return paths;
}

}  // namespace

std::unique_ptr<OlaLink> olaLinkLoad(std::string* error) {
    if (kf_ola_link_new != nullptr) {
        return std::unique_ptr<OlaLink>(kf_ola_link_new(kOlaLinkVersion));
    }
    const auto paths = moduleCandidates();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        std::error_code ec;
        if (i + 1 < paths.size() && !std::filesystem::exists(path, ec)) {
            continue;  // the last one tells why nothing loads
        }
        // Never closed: libola and protobuf leave destructors and threads behind that must not
        // outlive their code.
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            say(error, dlerror());
            return nullptr;
        }
        using New = OlaLink* (*)(unsigned);
        const auto create = reinterpret_cast<New>(dlsym(module, kOlaLinkEntry));
        if (create == nullptr) {
            say(error, dlerror());
            return nullptr;
        }
        std::unique_ptr<OlaLink> link(create(kOlaLinkVersion));
        if (!link) {
            say(error, path + " is of another build of the program");
        }
        return link;
    }
    return nullptr;  // not reached: the installed place is always tried
}

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
    if (!settings) {
        return nullptr;
    }
    std::string why;
    auto link = olaLinkLoad(&why);
    if (!link) {
        std::fprintf(stderr,
                     "kleurflits-stereo: DMX output is off: the OLA module does not load (%s)\n",
                     why.c_str());
        return nullptr;
    }
    return std::unique_ptr<OlaOutput>(new OlaOutput(*settings, std::move(link)));
}

namespace {

std::unique_ptr<OlaLink> loadedLink() {
    std::string why;
    auto link = olaLinkLoad(&why);
    if (!link) {
        throw std::runtime_error("the OLA module does not load (" + why + ")");
    }
    return link;
}

}  // namespace

OlaOutput::OlaOutput(const OlaSettings& settings) : OlaOutput(settings, loadedLink()) {}

OlaOutput::OlaOutput(const OlaSettings& settings, std::unique_ptr<OlaLink> link)
    : settings_(settings), link_(std::move(link)), writer_([this] { run(); }) {}

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

    bool linked = false;
    bool saidAbsent = false;
    bool everConnected = false;
    std::array<std::uint8_t, 512> universe{};  // the other channels stay at 0
    const unsigned first = settings_.target.firstChannel - 1;
    auto lastSend = Clock::now();

    std::unique_lock lock(mutex_);
    auto finishOff = [&](bool sent) {
        offFinished_ = true;
        offSent_ = sent;
        offDone_.notify_all();
    };
    while (!stop_) {
        if (!linked) {
            lock.unlock();
            const bool up = link_->connect(settings_.rpcPort);
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
            linked = true;
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
        std::copy(channels.begin(), channels.end(), universe.begin() + first);
        const bool sent = link_->send(settings_.target.universe, universe.data(), universe.size());
        bool dark = false;
        if (sent && off) {
            dark = link_->showsDark(settings_.rpcPort, settings_.target.universe, first,
                                    kOlaChannels, offDeadline_);
        }
        lock.lock();
        lastSend = Clock::now();
        if (!sent) {
            // olad went away: look for it again at once, and say so if it is not back.
            link_->disconnect();
            linked = false;
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
    lock.unlock();
    link_->disconnect();  // the show is over for olad too
}

}  // namespace kf
