// A non-blocking IPv4 UDP socket with broadcast enabled, and the IPv4
// endpoint type the Wi-Fi link uses. The only file pair of the device link
// that calls the POSIX socket API; a Windows port puts a Winsock file pair
// in its place.
//
// Threads: one thread may send while another receives on the same socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vbz {

// An IPv4 address and UDP port, both in host byte order.
struct Ipv4Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    bool operator==(const Ipv4Endpoint&) const = default;

    // "a.b.c.d:port".
    std::string text() const;
    // "a.b.c.d" (no port).
    std::string addressText() const;
    // Parses "a.b.c.d:port": the address is the text before the first colon;
    // the port is the text after it, read as a decimal number (leading blanks
    // and a sign allowed, reading stops at the first character that is not a
    // digit). Empty when the address is not a dotted IPv4 address or the port
    // is missing or not within 1..65535.
    static std::optional<Ipv4Endpoint> parse(const std::string& text);
    // Parses a dotted IPv4 address alone.
    static std::optional<uint32_t> parseAddress(const std::string& text);
};

class UdpSocket {
public:
    // Codes of the platform's socket errors (errno on POSIX).
    static const int kWouldBlock;

    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Opens the socket; 0 or the platform error of the step that failed, in
    // *failedStep its name ("socket", "non-blocking", "broadcast"). A socket
    // left open by a failed later step stays usable as far as it goes.
    int open(const char** failedStep = nullptr);
    // Binds the socket to a local endpoint (address 0: every address of the
    // namespace). 0 or the platform error.
    int bind(const Ipv4Endpoint& local);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // The local endpoint the socket is bound to (port 0 before any bind or
    // send).
    Ipv4Endpoint localEndpoint() const;

    // Sends one datagram; the count sent, or -(platform error).
    int sendTo(const Ipv4Endpoint& to, const uint8_t* data, std::size_t length);
    // Receives one datagram without waiting: the count received (0 for an
    // empty datagram), or -(platform error), -kWouldBlock when nothing is
    // waiting. *fromLength is the size of the sender's socket address.
    int receiveFrom(uint8_t* buffer, std::size_t capacity, Ipv4Endpoint& from,
                    std::size_t* fromLength = nullptr);
    // Waits until a datagram is waiting or timeoutMs passed: 1 readable, 0
    // time-out, -(platform error). Interrupted waits count as time-outs.
    int waitReadable(int timeoutMs);

    // The last platform error of the calling thread and its text.
    static int lastError();
    static std::string errorText(int code);

private:
    int fd_ = -1;
};

}  // namespace vbz
