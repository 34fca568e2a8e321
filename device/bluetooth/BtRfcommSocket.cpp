#include "device/bluetooth/BtRfcommSocket.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "device/bluetooth/BluetoothException.h"
#include "device/bluetooth/SocketErrorText.h"

namespace vbz {

namespace {
// How long write() waits for room while the link is full.
constexpr int kWriteWaitMs = 1000;
constexpr std::size_t kLongestAddressText = 40;
constexpr int kHighestChannel = 30;  // RFCOMM has channels 1 to 30

[[noreturn]] void throwCannotConnect(int code) {
    throw BluetoothException("Cannot connect: " + socketErrorText(code));
}

// Releases the link of a socket that failed, while the descriptor stays
// reserved until close(): another thread may still be using the number.
void abandon(int fd) { ::shutdown(fd, SHUT_RDWR); }

// Closes fd without touching errno.
void closeQuietly(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}
}  // namespace

RfcommTarget rfcommTarget(const std::string& address, int channelID) {
    if (address.size() >= kLongestAddressText) throw BluetoothException("Address length is invalid");
    const auto bytes = parseBtAddress(address);
    if (!bytes || channelID < 1 || channelID > kHighestChannel) throwCannotConnect(EINVAL);
    return {*bytes, static_cast<uint8_t>(channelID)};
}

BtRfcommSocket::BtRfcommSocket(std::string address, int channelID)
    : address_(std::move(address)), channelID_(channelID) {
    if (channelID < 1) throw BluetoothException("ChannelID should be a positive int value");
}

BtRfcommSocket::~BtRfcommSocket() { close(); }

int BtRfcommSocket::openLink() {
    const int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
    if (fd < 0) throwCannotConnect(errno);
    RfcommTarget target{};
    try {
        target = rfcommTarget(address_, channelID_);
    } catch (...) {
        closeQuietly(fd);
        throw;
    }
    sockaddr_rc remote{};
    remote.rc_family = AF_BLUETOOTH;
    // bdaddr_t holds the least significant byte first.
    for (std::size_t i = 0; i < target.address.size(); ++i)
        remote.rc_bdaddr.b[target.address.size() - 1 - i] = target.address[i];
    remote.rc_channel = target.channel;
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        const int code = errno;
        closeQuietly(fd);
        throwCannotConnect(code);
    }
    return fd;
}

void BtRfcommSocket::connect() {
    close();
    const int fd = openLink();
    // Reads never wait: they return what is there.
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    handle_.store(fd);
}

int BtRfcommSocket::read(uint8_t* buffer, std::size_t size) {
    const int fd = handle_.load();
    if (fd == kInvalidHandle) throw BluetoothException("connection has been closed");
    if (!buffer) throw BluetoothException("buffer cannot be null");
    if (size == 0) return 0;

    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0) {
        if (errno == EINTR) return 0;
        abandon(fd);
        throw BluetoothException("Error reading from connection");
    }
    if (ready == 0) return 0;
    if (size > static_cast<std::size_t>(INT32_MAX)) size = INT32_MAX;
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        abandon(fd);
        throw BluetoothException("Error reading from connection");
    }
    return static_cast<int>(n);  // 0 once the peer has closed the link
}

void BtRfcommSocket::write(const uint8_t* buffer, std::size_t size) {
    if (!buffer) throw BluetoothException("buffer cannot be null");
    if (size == 0) return;
    const int fd = handle_.load();
    if (fd == kInvalidHandle) throw BluetoothException("Attempting to write to a closed connection");

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, buffer + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - Clock::now())
                                  .count();
            pollfd p{fd, POLLOUT, 0};
            if (left > 0 && ::poll(&p, 1, static_cast<int>(left)) >= 0 &&
                (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0)
                continue;
            if (left > 0 && errno == EINTR) continue;
        }
        // Part of a frame may have gone out: nothing sent later could be read.
        abandon(fd);
        throw BluetoothException("Writing attempt was unsuccessful");
    }
}

void BtRfcommSocket::close() {
    const int fd = handle_.exchange(kInvalidHandle);
    if (fd != kInvalidHandle) ::close(fd);
}

}  // namespace vbz
