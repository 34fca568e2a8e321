// Serves emulated vests over UDP: each vest listens on one IPv4 address and
// port and answers every datagram (one host frame) with its frames, sent to
// the last host that wrote to it. A vest bound to 0.0.0.0 also hears the
// host's Discover broadcasts.
//
// Sockets belong to the network namespace of the thread that calls add():
// tests call it inside the namespace they made (tests/support/NetNamespace.h).
// One thread serves every vest of a server and takes the datagrams of all in
// the order they arrived, so vests that hear one broadcast answer in the
// order it reached them.
//
// Threads: add() before start(); the rest from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/vest-emulator/VestModel.h"

namespace vbz::emu {

struct UdpEndpoint {
    uint32_t address = 0;  // host byte order
    uint16_t port = 0;
    bool operator==(const UdpEndpoint&) const = default;
    std::string text() const;  // "a.b.c.d:port"
    // "a.b.c.d:port" with a port of 0 to 65535.
    static std::optional<UdpEndpoint> parse(const std::string& text);
};

class UdpVestServer {
public:
    UdpVestServer() = default;
    ~UdpVestServer();
    UdpVestServer(const UdpVestServer&) = delete;
    UdpVestServer& operator=(const UdpVestServer&) = delete;

    // Opens a socket for the vest on this local endpoint (port 0: any free
    // port). The endpoint actually bound, or empty with the reason in error.
    std::optional<UdpEndpoint> add(std::shared_ptr<VestModel> vest, const UdpEndpoint& local,
                                   std::string* error = nullptr);
    // Starts serving; false (with the reason in error) when the thread
    // cannot start.
    bool start(std::string* error = nullptr);
    // Stops serving; the sockets stay open until destruction.
    void stop();

    // The host that last wrote to vest number index (in add() order).
    std::optional<UdpEndpoint> peer(std::size_t index) const;
    // Datagrams received by vest number index.
    std::size_t datagrams(std::size_t index) const;

private:
    struct Served {
        std::shared_ptr<VestModel> vest;
        int fd = -1;
        std::optional<UdpEndpoint> peer;
        std::size_t datagrams = 0;
    };
    struct Waiting {
        std::size_t index;  // in served_
        int64_t arrived;    // kernel receive time, ns
        bool operator==(const Waiting&) const = default;
    };
    void serve();
    // The socket whose first datagram arrived first, if any is waiting.
    std::optional<Waiting> earliestWaiting() const;
    // Sends the vest's frames that are due to its last host.
    void sendDue(Served& s);

    mutable std::mutex mutex_;  // guards peer and datagrams of served_
    std::vector<Served> served_;
    std::atomic<bool> stopping_{false};
    // Wakes the serving thread when a vest queues a frame of its own (a data
    // request), so that it leaves at once rather than at the next poll.
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace vbz::emu
