#include "devices/OlaLink.h"

#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/client/OlaClient.h>
#include <ola/client/StreamingClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/IPV4Address.h>
#include <ola/network/SocketAddress.h>
#include <ola/network/TCPSocket.h>

#include <memory>

namespace kf {
namespace {

using Clock = std::chrono::steady_clock;

class OladLink final : public OlaLink {
  public:
    bool connect(std::uint16_t rpcPort) override {
        ola::client::StreamingClient::Options options;
        options.auto_start = false;  // olad is the user's to run, never ours
        options.server_port = rpcPort;
        client_.reset();
        auto attempt = std::make_unique<ola::client::StreamingClient>(options);
        if (!attempt->Setup()) {
            return false;
        }
        client_ = std::move(attempt);
        return true;
    }

    void disconnect() override { client_.reset(); }

    bool send(unsigned universe, const std::uint8_t* channels, std::size_t count) override {
        if (!client_) {
            return false;
        }
        buffer_.Set(channels, static_cast<unsigned>(count));
        return client_->SendDmx(universe, buffer_);
    }

    // Only olad's answer says the zeros arrived: a stream connection closed right after its last
    // write can lose that write in olad.
    bool showsDark(std::uint16_t rpcPort, unsigned universe, unsigned first, unsigned count,
                   Clock::time_point deadline) override {
        namespace net = ola::network;
        std::unique_ptr<net::TCPSocket> socket(
            net::TCPSocket::Connect(net::IPV4SocketAddress(net::IPV4Address::Loopback(), rpcPort)));
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
            client.FetchDMX(universe,
                            ola::NewSingleCallback(
                                +[](bool* answered, bool* dark, unsigned first, unsigned count,
                                    const ola::client::Result& result,
                                    const ola::client::DMXMetadata&, const ola::DmxBuffer& data) {
                                    *answered = true;
                                    if (!result.Success()) {
                                        return;
                                    }
                                    *dark = true;
                                    for (unsigned i = 0; i < count; ++i) {
                                        *dark = *dark && data.Get(first + i) == 0;
                                    }
                                },
                                &answered, &dark, first, count));
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

  private:
    std::unique_ptr<ola::client::StreamingClient> client_;
    ola::DmxBuffer buffer_;
};

}  // namespace
}  // namespace kf

extern "C" __attribute__((visibility("default"))) kf::OlaLink* kf_ola_link_new(unsigned version) {
    return version == kf::kOlaLinkVersion ? new kf::OladLink : nullptr;
}
