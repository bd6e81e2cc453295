#include "probe/Cava.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "probe/Process.h"

namespace probe {

CavaPeer::CavaPeer(std::string dir, std::string source, int bars, bool mono)
    : dir_(std::move(dir)), source_(std::move(source)), bars_(bars), mono_(mono) {}

CavaPeer::~CavaPeer() {
    stop();
}

bool CavaPeer::start(const std::string& name, std::string& error) {
    config_ = dir_ + "/cava-" + name + ".conf";
    fifo_ = dir_ + "/cava-" + name + ".fifo";
    {
        std::ofstream c(config_);
        c << "[general]\n";
        if (bars_ > 0) {
            c << "bars = " << bars_ << "\n";
        }
        c << "\n[input]\nmethod = pulse\nsource = " << source_ << "\n";
        c << "\n[output]\nmethod = raw\nraw_target = " << fifo_ << "\n";
        c << "data_format = binary\nbit_format = 16bit\n";
        if (mono_) {
            c << "channels = mono\n";
        }
        if (!c) {
            error = "cannot write " + config_;
            return false;
        }
    }
    ::unlink(fifo_.c_str());
    if (::mkfifo(fifo_.c_str(), 0600) != 0) {
        error = "mkfifo: " + std::string(std::strerror(errno));
        return false;
    }
    // Opened for reading first, so that cava's non-blocking open for writing succeeds.
    fd_ = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd_ < 0) {
        error = "open fifo: " + std::string(std::strerror(errno));
        return false;
    }
    pid_ = spawn({"cava", "-p", config_}, {}, dir_ + "/cava-" + name + ".log");
    if (pid_ <= 0) {
        error = "cannot start cava";
        return false;
    }
    reader_ = std::jthread([this](std::stop_token st) { read(st); });
    return true;
}

std::string CavaPeer::stop() {
    std::string status = "not started";
    if (pid_ > 0) {
        status = terminate(pid_, std::chrono::seconds(5));
        pid_ = -1;
    }
    if (reader_.joinable()) {
        reader_.request_stop();
        reader_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        ::unlink(fifo_.c_str());
    }
    return status;
}

std::vector<CavaPeer::Frame> CavaPeer::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

bool CavaPeer::waitForFrames(std::size_t n, Clock::duration timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (count_.load() < n) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void CavaPeer::read(std::stop_token stop) {
    std::vector<std::uint8_t> pending;
    std::uint8_t buf[4096];
    const std::size_t frameBytes = bars_ > 0 ? 2 * static_cast<std::size_t>(bars_) : 0;
    while (!stop.stop_requested()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        const Clock::time_point now = Clock::now();
        if (n <= 0) {
            // No writer yet, or cava went away: wait rather than spin on the hangup.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        bytes_ += static_cast<std::size_t>(n);
        if (frameBytes == 0) {
            ++count_;  // without a known frame size, count reads
            continue;
        }
        pending.insert(pending.end(), buf, buf + n);
        std::size_t at = 0;
        for (; pending.size() - at >= frameBytes; at += frameBytes) {
            Frame f{now, std::vector<std::uint16_t>(static_cast<std::size_t>(bars_))};
            std::memcpy(f.bars.data(), pending.data() + at, frameBytes);
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(f));
            ++count_;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

}  // namespace probe
