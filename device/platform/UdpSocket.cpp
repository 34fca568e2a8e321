#include "device/platform/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vbz {

const int UdpSocket::kWouldBlock = EWOULDBLOCK;

namespace {
sockaddr_in toSockaddr(const Ipv4Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(e.port);
    a.sin_addr.s_addr = htonl(e.address);
    return a;
}
}  // namespace

std::string Ipv4Endpoint::addressText() const {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &a, text, sizeof text)) return "?";
    return text;
}

std::string Ipv4Endpoint::text() const { return addressText() + ":" + std::to_string(port); }

std::optional<uint32_t> Ipv4Endpoint::parseAddress(const std::string& text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

std::optional<Ipv4Endpoint> Ipv4Endpoint::parse(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const auto address = parseAddress(text.substr(0, colon));
    if (!address) return std::nullopt;
    const std::string portText = text.substr(colon + 1);
    const char* begin = portText.c_str();
    char* end = nullptr;
    errno = 0;
    const long port = std::strtol(begin, &end, 10);
    if (end == begin || errno != 0 || port < 1 || port > 65535) return std::nullopt;
    return Ipv4Endpoint{*address, static_cast<uint16_t>(port)};
}

UdpSocket::~UdpSocket() { close(); }

int UdpSocket::open(const char** failedStep) {
    close();
    const char* step = "socket";
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        if (failedStep) *failedStep = step;
        return errno;
    }
    step = "non-blocking";
    const int flags = ::fcntl(fd_, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
        if (failedStep) *failedStep = step;
        return errno;
    }
    step = "broadcast";
    const int on = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
        if (failedStep) *failedStep = step;
        return errno;
    }
    return 0;
}

int UdpSocket::bind(const Ipv4Endpoint& local) {
    if (fd_ < 0) return EBADF;
    const int on = 1;
    // Several emulated vests of one test may serve the same port in turn.
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = toSockaddr(local);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0) return errno;
    return 0;
}

void UdpSocket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Ipv4Endpoint UdpSocket::localEndpoint() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) < 0) return {};
    return {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
}

int UdpSocket::sendTo(const Ipv4Endpoint& to, const uint8_t* data, std::size_t length) {
    if (fd_ < 0) return -EBADF;
    const sockaddr_in a = toSockaddr(to);
    const ssize_t n = ::sendto(fd_, data, length, MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return n < 0 ? -errno : static_cast<int>(n);
}

int UdpSocket::receiveFrom(uint8_t* buffer, std::size_t capacity, Ipv4Endpoint& from,
                           std::size_t* fromLength) {
    if (fd_ < 0) return -EBADF;
    sockaddr_storage s{};
    socklen_t len = sizeof s;
    const ssize_t n =
        ::recvfrom(fd_, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&s), &len);
    if (n < 0) return errno == EAGAIN ? -kWouldBlock : -errno;
    if (fromLength) *fromLength = len;
    from = {};
    if (s.ss_family == AF_INET && len >= sizeof(sockaddr_in)) {
        sockaddr_in a{};
        std::memcpy(&a, &s, sizeof a);
        from = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
    }
    return static_cast<int>(n);
}

int UdpSocket::waitReadable(int timeoutMs) {
    if (fd_ < 0) return -EBADF;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -errno;
    return r > 0 ? 1 : 0;
}

int UdpSocket::lastError() { return errno; }

std::string UdpSocket::errorText(int code) {
    char buffer[256] = {};
    // The GNU strerror_r returns its text, which may not be the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? text : "unknown error";
}

}  // namespace vbz
