#pragma once
// A private olad for the tests and benchmarks, and a second OLA client that watches a universe
// the way a lighting desk would.
//
// OladServer runs the real daemon with a configuration folder of its own (every plugin off, so
// nothing goes out on the network and several can run side by side) on free ports. olad refuses
// to run as root; as root the daemon runs as the `olad` user the Debian package creates.
// DmxWatcher registers for a universe through the C++ client and records every update with the
// time it arrived.

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/client/OlaClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/IPV4Address.h>
#include <ola/network/SocketAddress.h>
#include <ola/network/TCPSocket.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kftest {

using OlaClock = std::chrono::steady_clock;

// A port nobody listens on right now.
inline std::uint16_t freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool tcpAnswers(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

inline std::string oladPath() {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/usr/sbin"}) {
        const std::string p = std::string(dir) + "/olad";
        if (::access(p.c_str(), X_OK) == 0) {
            return p;
        }
    }
    return {};
}

// olad can run here: the binary, and (as root) the user it runs as.
inline bool oladAvailable() {
    return !oladPath().empty() && (::geteuid() != 0 || ::getpwnam("olad") != nullptr);
}

class OladServer {
  public:
    OladServer() : rpcPort_(freeTcpPort()), httpPort_(freeTcpPort()) {
        char dir[] = "/tmp/kf-olad.XXXXXX";
        dir_ = ::mkdtemp(dir);
        for (const char* plugin : {"artnet",
                                   "dummy",
                                   "e131",
                                   "espnet",
                                   "ftdidmx",
                                   "gpio",
                                   "karate",
                                   "kinet",
                                   "milinst",
                                   "opendmx",
                                   "openpixelcontrol",
                                   "osc",
                                   "pathport",
                                   "renard",
                                   "sandnet",
                                   "shownet",
                                   "spi",
                                   "stageprofi",
                                   "uartdmx",
                                   "usbdmx",
                                   "usbserial",
                                   "usbpro",
                                   "dmx4linux",
                                   "nanoleaf"}) {
            std::ofstream(dir_ + "/ola-" + plugin + ".conf") << "enabled = false\n";
        }
        if (::geteuid() == 0) {
            if (const passwd* pw = ::getpwnam("olad")) {
                uid_ = pw->pw_uid;
                gid_ = pw->pw_gid;
                for (const auto& f : std::filesystem::directory_iterator(dir_)) {
                    [[maybe_unused]] int r = ::chown(f.path().c_str(), uid_, gid_);
                }
                [[maybe_unused]] int r = ::chown(dir_.c_str(), uid_, gid_);
            }
        }
    }
    ~OladServer() {
        kill();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    OladServer(const OladServer&) = delete;
    OladServer& operator=(const OladServer&) = delete;

    std::uint16_t rpcPort() const { return rpcPort_; }
    std::string logPath() const { return dir_ + "/olad.log"; }

    // Starts olad and waits until its RPC port answers. The port was free when it was chosen,
    // but another test's olad may take it first: a first start then tries a fresh port, and
    // the port counts as answering only when our own olad listens on it.
    bool start(std::chrono::seconds timeout = std::chrono::seconds(10)) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const Outcome outcome = startOnce(timeout);
            if (outcome == Outcome::Answers) {
                started_ = true;
                return true;
            }
            if (outcome == Outcome::TimedOut || started_) {
                return false;  // a restart keeps its port: the program under test knows it
            }
            rpcPort_ = freeTcpPort();
        }
        return false;
    }
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // SIGKILL: olad gone as after a crash or a pulled plug.
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

  private:
    enum class Outcome { Answers, Exited, TimedOut };

    Outcome startOnce(std::chrono::seconds timeout) {
        const std::string path = oladPath();
        if (path.empty()) {
            return Outcome::TimedOut;
        }
        const std::string rpc = std::to_string(rpcPort_);
        const std::string http = std::to_string(httpPort_);
        const std::string log = logPath();
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::setpgid(0, 0);
            if (uid_ != 0) {
                ::setgroups(0, nullptr);
                if (::setgid(gid_) != 0 || ::setuid(uid_) != 0) {
                    ::_exit(126);
                }
            }
            ::execl(path.c_str(), "olad", "--config-dir", dir_.c_str(), "--rpc-port", rpc.c_str(),
                    "--http-port", http.c_str(), "--no-http", "--no-register-with-dns-sd",
                    "--log-level", "2", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto end = OlaClock::now() + timeout;
        while (OlaClock::now() < end) {
            if (tcpAnswers(rpcPort_) && listensOn(pid_, rpcPort_)) {
                return Outcome::Answers;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return Outcome::Exited;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Outcome::TimedOut;
    }

    // Whether process `pid` holds the socket listening on TCP `port` (/proc/net/tcp's
    // listening entries, matched by inode against the process's descriptors).
    static bool listensOn(pid_t pid, std::uint16_t port) {
        std::vector<std::string> inodes;
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            std::ifstream in(table);
            std::string line;
            std::getline(in, line);  // the header
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout,
                    inode;
                fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
                    uid >> timeout >> inode;
                const auto colon = local.rfind(':');
                if (state == "0A" && colon != std::string::npos &&
                    std::stoul(local.substr(colon + 1), nullptr, 16) == port) {
                    inodes.push_back("socket:[" + inode + "]");
                }
            }
        }
        std::error_code error;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
            const auto target = std::filesystem::read_symlink(fd.path(), error);
            if (!error &&
                std::find(inodes.begin(), inodes.end(), target.string()) != inodes.end()) {
                return true;
            }
        }
        return false;
    }

    bool started_ = false;
    std::uint16_t rpcPort_;
    std::uint16_t httpPort_;
    std::string dir_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    pid_t pid_ = -1;
};

// One update of the universe as the watcher saw it.
struct DmxUpdate {
    OlaClock::time_point at;
    std::vector<std::uint8_t> data;                // as many channels as olad sent
    std::uint8_t channel(unsigned number) const {  // 1-based; a channel not sent is 0
        return number >= 1 && number <= data.size() ? data[number - 1] : 0;
    }
};

class DmxWatcher {
  public:
    DmxWatcher(std::uint16_t rpcPort, unsigned universe) : universe_(universe) {
        socket_.reset(ola::network::TCPSocket::Connect(
            ola::network::IPV4SocketAddress(ola::network::IPV4Address::Loopback(), rpcPort)));
        if (!socket_) {
            return;
        }
        client_ = std::make_unique<ola::client::OlaClient>(socket_.get());
        if (!client_->Setup()) {
            return;
        }
        ss_.AddReadDescriptor(socket_.get());
        client_->SetDMXCallback(ola::NewCallback(this, &DmxWatcher::received));
        client_->RegisterUniverse(universe_, ola::client::REGISTER,
                                  ola::NewSingleCallback(this, &DmxWatcher::registered));
        thread_ = std::thread([this] { ss_.Run(); });
    }
    ~DmxWatcher() {
        if (thread_.joinable()) {
            ss_.Terminate();
            thread_.join();
        }
        if (client_) {
            ss_.RemoveReadDescriptor(socket_.get());
            client_->Stop();
        }
    }
    DmxWatcher(const DmxWatcher&) = delete;
    DmxWatcher& operator=(const DmxWatcher&) = delete;

    // olad accepted the registration: updates from now on reach this watcher.
    bool waitRegistered(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return registered_; });
    }
    std::vector<DmxUpdate> updates() const {
        std::lock_guard lock(mutex_);
        return updates_;
    }
    std::optional<DmxUpdate> last() const {
        std::lock_guard lock(mutex_);
        if (updates_.empty()) {
            return std::nullopt;
        }
        return updates_.back();
    }
    // Waits until an update satisfies `test`; returns it.
    std::optional<DmxUpdate> waitFor(const std::function<bool(const DmxUpdate&)>& test,
                                     OlaClock::duration timeout, std::size_t from = 0) {
        std::unique_lock lock(mutex_);
        std::optional<DmxUpdate> found;
        changed_.wait_for(lock, timeout, [&] {
            for (std::size_t i = from; i < updates_.size(); ++i) {
                if (test(updates_[i])) {
                    found = updates_[i];
                    return true;
                }
            }
            from = updates_.size();
            return false;
        });
        return found;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return updates_.size();
    }

  private:
    void received(const ola::client::DMXMetadata& metadata, const ola::DmxBuffer& buffer) {
        DmxUpdate u{OlaClock::now(), {}};
        if (metadata.universe != universe_) {
            return;
        }
        u.data.assign(buffer.GetRaw(), buffer.GetRaw() + buffer.Size());
        {
            std::lock_guard lock(mutex_);
            updates_.push_back(std::move(u));
        }
        changed_.notify_all();
    }
    void registered(const ola::client::Result& result) {
        {
            std::lock_guard lock(mutex_);
            registered_ = result.Success();
        }
        changed_.notify_all();
    }

    unsigned universe_;
    ola::io::SelectServer ss_;
    std::unique_ptr<ola::network::TCPSocket> socket_;
    std::unique_ptr<ola::client::OlaClient> client_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool registered_ = false;
    std::vector<DmxUpdate> updates_;
    std::thread thread_;
};

// The sixteen lamp channels from `first` in an update, as "L........ R........" with '#' lit,
// '.' dark and '?' for anything between: readable in a failure message.
inline std::string lampText(const DmxUpdate& u, unsigned first = 1) {
    std::string s = "L";
    for (unsigned i = 0; i < 16; ++i) {
        if (i == 8) {
            s += " R";
        }
        const auto v = u.channel(first + i);
        s += v == 255 ? '#' : v == 0 ? '.' : '?';
    }
    return s;
}

}  // namespace kftest
