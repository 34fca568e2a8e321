// The transport to a vest on the local network: each frame is one UDP
// datagram between the host and the vest's IPv4 address and port. Vests are
// found by broadcasting Discover to every local IPv4 network on five fixed
// ports and collecting the answers for one second; a vest is bound with
// Bind before use and released with Unbind. Vests with firmware older than
// 1.3.3 refuse requests with device error -7 until bound; the transport
// binds them on the spot. Log tag "WIFIStandalone".
//
// The address text of a vest is "a.b.c.d:port".
//
// Only datagrams from the vest being talked to are taken: anything from
// another sender is dropped with a log line, so that no third party can
// redirect the link.
//
// Frames the vest sends of its own accord (a board status, a data request)
// may arrive while an exchange (Bind, Unbind, an identity request) waits for
// its answer. They do not decide it: they are put aside (device/KeptFrames.h)
// with the address they came from, and read() hands them out, oldest first,
// before it reads the socket again, so that the back-end still sees them.
//
// Threads: like every transport (device/IHidCom.h). scan() and open() run a
// discovery receiver thread of their own and join it before they return.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "device/IHidCom.h"
#include "device/KeptFrames.h"
#include "device/platform/UdpSocket.h"

namespace vbz {

class HidComUdp final : public IHidCom {
public:
    // The UDP ports Discover is broadcast to, in this order.
    static constexpr std::array<uint16_t, 5> kDiscoveryPorts = {33624, 42192, 17956, 2601, 555};

    HidComUdp();
    // Unbinds a connected vest, then closes the socket.
    ~HidComUdp() override;

    int scan(std::vector<vbz_device_info_t>& devices, std::map<uint32_t, std::string>& addresses,
             std::vector<std::string>& texts) override;
    int open(uint32_t serial, std::string address) override;
    // Unbinds the vest: 0, -3 when not connected, or the unbind's failure.
    int close() override;
    int write(const uint8_t* frame, int length) override;
    // Hands out a frame put aside during an exchange, if any; else waits up
    // to 10 ms for one datagram from the vest.
    int read() override;

    // Releases the bound vest (no-op when none): 0 or a negative code.
    int unbind();
    bool isBound() const { return bound_; }
    // Where write() sends.
    Ipv4Endpoint remoteEndpoint() const { return remote_; }

    // The broadcast address of every up IPv4 interface (loopback skipped),
    // in the platform's order. Logs and returns an empty list when the
    // interfaces cannot be read.
    static std::vector<std::string> broadcastAddresses();

    // One datagram heard while discovering (any host on the network may
    // send one): when it is a good answer to Discover from a vest that is
    // free, appends the sender's "ip:port" to keys unless it is there.
    // fromLength is the size of the sender's socket address.
    static void takeDiscoveryAnswer(const uint8_t* datagram, int count, const Ipv4Endpoint& from,
                                    std::size_t fromLength, std::vector<std::string>& keys);

private:
    // Sends a request and waits 0.5 s for the expected answer; binds an old
    // vest that refuses with -7 and asks again. 0, -6 (time-out or link
    // failure), -10 (another answer came).
    int requestAnswer(const uint8_t* frame, int length, uint8_t expectedId);
    int waitAnswer(uint8_t expectedId, bool forcedBindAllowed, bool& forcedBindWanted);
    // One datagram from the socket (what read() does once nothing is put
    // aside).
    int receive();
    // Puts the frame of the vest's own now in receiveBuffer aside for read().
    void keepVestsOwnFrame();
    // Binds the vest at the remote endpoint: 0 or a negative code.
    int bindRemote();
    // Broadcasts Discover and returns the distinct "ip:port" keys of the
    // vests that answered as available, in the order they answered.
    std::vector<std::string> discoverDevices();
    void discoveryReceiver(std::vector<std::string>& keys);
    // discoverDevices, each key with its endpoint; leaves the transport
    // marked connected so that the vests can be asked in turn.
    std::vector<std::pair<std::string, Ipv4Endpoint>> discoverVests();
    // The table length of a good frame of count bytes, else -10 (logged).
    static int checkAnswer(const uint8_t* data, int count);
    // Logs a socket error other than "would block"; returns the code (0 for
    // "would block").
    int reportSocketError(int code);
    // Tries one vest: 0 when connected to it (bound), negative otherwise
    // (nothing left bound).
    int tryVest(uint32_t serial, const std::string& key, bool askSerial);

    UdpSocket socket_;
    // Frames of the vest's own that came during an exchange, with their
    // sender: each is handed out only while the link still points there.
    // Filled by the exchanges and emptied by read(): both run on the thread
    // that owns the link while it is not being read elsewhere (open, close
    // and scan are never run beside a reader).
    KeptFrames<Ipv4Endpoint> kept_;
    bool bound_ = false;
    Ipv4Endpoint remote_{};
    Ipv4Endpoint boundVest_{};
};

}  // namespace vbz
