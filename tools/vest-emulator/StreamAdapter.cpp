#include "tools/vest-emulator/StreamAdapter.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vbz::emu {

namespace {
constexpr int kPollMs = 2;
}

StreamAdapter::StreamAdapter(std::shared_ptr<VestModel> vest, int fd, Options options)
    : vest_(std::move(vest)), fd_(fd), options_(options) {
    thread_ = std::thread([this] { run(); });
}

StreamAdapter::~StreamAdapter() {
    stop_.store(true);
    // Wakes a write that waits for the host to make room.
    ::shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
}

void StreamAdapter::hangUp() {
    stop_.store(true);
    ::shutdown(fd_, SHUT_RDWR);
}

void StreamAdapter::sendRaw(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(rawMutex_);
    raw_.push_back(std::move(bytes));
}

bool StreamAdapter::writeAll(const std::vector<uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        std::size_t piece = bytes.size() - sent;
        if (options_.pieceBytes > 0) piece = std::min(piece, options_.pieceBytes);
        const ssize_t n = ::send(fd_, bytes.data() + sent, piece, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
        if (options_.pieceBytes > 0 && sent < bytes.size())
            std::this_thread::sleep_for(options_.piecePause);
    }
    return true;
}

void StreamAdapter::takeHostFrames() {
    std::size_t at = 0;
    while (at < inbox_.size()) {
        const auto length = vest_->commandLength(inbox_[at]);
        if (!length) {
            vest_->receive(inbox_.data() + at, 1);
            ++at;
            continue;
        }
        if (inbox_.size() - at < *length) break;
        vest_->receive(inbox_.data() + at, *length);
        at += *length;
    }
    inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(at));
}

void StreamAdapter::run() {
    uint8_t chunk[2048];
    while (!stop_.load()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) > 0) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n == 0) break;  // the host closed its end
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
            if (n > 0) {
                bytesReceived_ += static_cast<std::size_t>(n);
                inbox_.insert(inbox_.end(), chunk, chunk + n);
                takeHostFrames();
            }
        }

        std::vector<std::vector<uint8_t>> raw;
        {
            std::lock_guard<std::mutex> lock(rawMutex_);
            raw.swap(raw_);
        }
        bool alive = true;
        for (const auto& bytes : raw) alive = alive && writeAll(bytes);

        std::vector<uint8_t> batch;
        while (alive) {
            auto frame = vest_->nextFrame(Clock::now());
            if (!frame) break;
            if (options_.coalesce) {
                batch.insert(batch.end(), frame->begin(), frame->end());
            } else {
                alive = writeAll(*frame);
            }
        }
        if (alive && !batch.empty()) alive = writeAll(batch);
        if (!alive) break;
    }
    finished_.store(true);
}

}  // namespace vbz::emu
