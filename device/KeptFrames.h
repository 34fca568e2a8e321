// Frames a vest sends of its own accord (isVestsOwnFrame: a board status, a
// data request, its stop of the stream) that arrive while a transport waits
// for the answer to one of its requests. They do not decide the exchange;
// the transport keeps them here and its read() hands them out, oldest
// first, before it reads the link again, so that the back-end still sees
// them.
//
// A vest has only a few such frames to send during one exchange: the list
// holds kMaxFrames and drops (with a log line) what comes beyond.
//
// Origin is what the transport notes of where each frame came from, so that
// a frame is handed out only while the link still points there (Wi-Fi: the
// vest's address, which changes during a search). A link that is one socket
// per vest forgets its kept frames with the socket and needs no origin.
//
// Owned by one transport; no lock: it is filled by exchanges and emptied by
// read(), which never run at once (device/IHidCom.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <variant>

#include "device/Frame.h"

namespace vbz {

// Logs, under the transport's tag, that a frame of the vest's own was dropped.
void logDroppedOwnFrame(const char* tag, uint8_t id);

template <class Origin = std::monostate>
class KeptFrames {
public:
    static constexpr std::size_t kMaxFrames = 8;
    static constexpr std::size_t kFrameBytes = kLongestAnswerLength;
    using Buffer = std::array<uint8_t, kFrameBytes>;

    // tag: the owning transport's log tag (a string that outlives the list).
    explicit KeptFrames(const char* tag) : tag_(tag) {}

    // Keeps the first `length` bytes of frame (a whole good frame of the
    // vest's own) as coming from origin. False, with a log line, when the
    // list is full and the frame is dropped.
    bool keep(const uint8_t* frame, std::size_t length, const Origin& origin = Origin{}) {
        if (frames_.size() >= kMaxFrames) {
            logDroppedOwnFrame(tag_, frame[0]);
            return false;
        }
        Kept& kept = frames_.emplace_back();
        kept.origin = origin;
        kept.length = std::min(length, kFrameBytes);
        std::memcpy(kept.bytes.data(), frame, kept.length);
        return true;
    }

    // Copies the oldest frame kept from origin into out: its length, or 0
    // when there is none. Frames kept from elsewhere before it are
    // forgotten: the link no longer points where they came from.
    int handOut(Buffer& out, const Origin& origin = Origin{}) {
        while (!frames_.empty()) {
            const Kept& kept = frames_.front();
            if (kept.origin == origin) {
                std::memcpy(out.data(), kept.bytes.data(), kept.length);
                const int length = static_cast<int>(kept.length);
                frames_.pop_front();
                return length;
            }
            frames_.pop_front();
        }
        return 0;
    }

    void clear() { frames_.clear(); }
    bool empty() const { return frames_.empty(); }
    std::size_t size() const { return frames_.size(); }

private:
    struct Kept {
        Origin origin{};
        std::size_t length = 0;
        Buffer bytes{};
    };

    const char* tag_;
    std::deque<Kept> frames_;
};

}  // namespace vbz
