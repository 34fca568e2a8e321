#include "tools/vest-emulator/udp/UdpVestServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>

namespace vbz::emu {

namespace {
constexpr int kPollMs = 5;  // also the latency of delayed replies
constexpr std::size_t kLargestHostFrame = 2048;

sockaddr_in toSockaddr(const UdpEndpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(e.port);
    a.sin_addr.s_addr = htonl(e.address);
    return a;
}
}  // namespace

std::string UdpEndpoint::text() const {
    in_addr a{};
    a.s_addr = htonl(address);
    char buffer[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buffer, sizeof buffer);
    return std::string(buffer) + ":" + std::to_string(port);
}

std::optional<UdpEndpoint> UdpEndpoint::parse(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    in_addr a{};
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1) return std::nullopt;
    const std::string portText = text.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long port = std::strtol(portText.c_str(), nullptr, 10);
    if (port > 65535) return std::nullopt;
    return UdpEndpoint{ntohl(a.s_addr), static_cast<uint16_t>(port)};
}

UdpVestServer::~UdpVestServer() {
    stop();
    for (auto& s : served_) {
        s.vest->setQueuedListener(nullptr);  // the vest may outlive the server
        if (s.fd >= 0) ::close(s.fd);
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

std::optional<UdpEndpoint> UdpVestServer::add(std::shared_ptr<VestModel> vest,
                                              const UdpEndpoint& local, std::string* error) {
    auto fail = [&](const std::string& what) -> std::optional<UdpEndpoint> {
        if (error) *error = what + " " + local.text() + ": " + std::strerror(errno);
        return std::nullopt;
    };
    if (!vest || thread_.joinable()) {
        if (error) *error = vest ? "the server is already running" : "no vest";
        return std::nullopt;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket for");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);  // arrival order
    const sockaddr_in a = toSockaddr(local);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0) {
        auto r = fail("bind to");
        ::close(fd);
        return r;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    if (wakeFd_ < 0) wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ >= 0)
        vest->setQueuedListener([fd = wakeFd_] {
            const uint64_t one = 1;
            if (::write(fd, &one, sizeof one) < 0) {
                // Already signalled (counter full): the thread wakes anyway.
            }
        });
    std::lock_guard<std::mutex> lock(mutex_);
    served_.push_back({std::move(vest), fd, std::nullopt, 0});
    return UdpEndpoint{ntohl(bound.sin_addr.s_addr), ntohs(bound.sin_port)};
}

bool UdpVestServer::start(std::string* error) {
    if (thread_.joinable()) return true;
    stopping_.store(false);
    try {
        thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error& e) {
        if (error) *error = e.what();
        return false;
    }
    return true;
}

void UdpVestServer::stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::optional<UdpEndpoint> UdpVestServer::peer(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < served_.size() ? served_[index].peer : std::nullopt;
}

std::size_t UdpVestServer::datagrams(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < served_.size() ? served_[index].datagrams : 0;
}

std::optional<UdpVestServer::Waiting> UdpVestServer::earliestWaiting() const {
    std::optional<Waiting> earliest;
    for (std::size_t i = 0; i < served_.size(); ++i) {
        uint8_t byte = 0;
        iovec io{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))] = {};
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        if (::recvmsg(served_[i].fd, &m, MSG_PEEK | MSG_DONTWAIT) < 0) continue;
        int64_t arrived = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec t{};
                std::memcpy(&t, CMSG_DATA(c), sizeof t);
                arrived = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
            }
        }
        if (!earliest || arrived < earliest->arrived) earliest = Waiting{i, arrived};
    }
    return earliest;
}

void UdpVestServer::sendDue(Served& s) {
    // Dropped while no host has written yet.
    while (auto frame = s.vest->nextFrame(Clock::now())) {
        if (!s.peer) continue;
        const sockaddr_in to = toSockaddr(*s.peer);
        ::sendto(s.fd, frame->data(), frame->size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
}

void UdpVestServer::serve() {
    std::vector<pollfd> fds;
    for (const auto& s : served_) fds.push_back({s.fd, POLLIN, 0});
    if (wakeFd_ >= 0) fds.push_back({wakeFd_, POLLIN, 0});
    std::vector<uint8_t> buffer(kLargestHostFrame);
    while (!stopping_.load()) {
        ::poll(fds.data(), fds.size(), kPollMs);
        if (wakeFd_ >= 0) {
            uint64_t count = 0;
            if (::read(wakeFd_, &count, sizeof count) < 0) {
                // Nothing queued since the last look.
            }
        }
        // Datagrams are taken in the order they arrived, over all sockets, so
        // that vests that hear one broadcast answer in the order it reached
        // them. A look over all sockets is not atomic: the earliest one found
        // is confirmed by a further look, which sees anything that arrived
        // before it.
        while (auto next = earliestWaiting()) {
            for (auto again = earliestWaiting(); again && !(*again == *next);
                 again = earliestWaiting())
                next = again;
            Served& s = served_[next->index];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(s.fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                s.peer = UdpEndpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
                ++s.datagrams;
            }
            s.vest->receive(buffer.data(), static_cast<std::size_t>(n));
            sendDue(s);  // answers go out at once, in the same order
        }
        // Replies that fell due since (delayed answers, frames of the vest's
        // own).
        for (auto& s : served_) sendDue(s);
    }
}

}  // namespace vbz::emu
