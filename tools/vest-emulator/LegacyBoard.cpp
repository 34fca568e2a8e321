#include "tools/vest-emulator/LegacyBoard.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace vbz::emu {

namespace {
constexpr uint8_t kPlaySample = 0x01;
constexpr uint8_t kStopSlot = 0x02;
constexpr uint8_t kResumeAll = 0x03;
constexpr uint8_t kStopAll = 0x04;
constexpr uint8_t kPauseAll = 0x05;
constexpr uint8_t kSetMute = 0x06;
constexpr uint8_t kGetStatus = 0x07;
constexpr uint8_t kBoardStatus = 0xA0;
constexpr std::size_t kPlayLength = 518;
constexpr std::size_t kPlayHeader = 36;
constexpr std::size_t kKeyframeBytes = 24;
constexpr uint8_t kInvalid = 254;
constexpr uint8_t kFull = 255;

float f32(const uint8_t* p) {
    uint32_t bits = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                    (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

bool finiteNonNegative(float v) { return std::isfinite(v) && v >= 0.0f; }
}  // namespace

struct LegacyBoard::State {
    struct Slot {
        bool reserved = false;
        bool muted = false;
        bool endless = false;  // a phantom: freed only by a stop
        Clock::time_point until{};
        Clock::duration left{};  // while paused
    };

    std::mutex mutex;
    std::condition_variable wake;
    bool quit = false;
    LegacyBoardOptions options;
    std::array<Slot, kSlots> slots{};
    bool paused = false;
    std::map<uint8_t, Clock::duration> holds;
    std::map<uint8_t, int> swallowed;
    std::optional<uint8_t> forcedStatus;
    std::optional<Frame> heldStatus;  // lateExpiryStatus: sent after the next play's answer
    std::vector<DecodedPlay> plays;
    std::vector<std::string> problems;

    std::array<uint8_t, 5> bytesLocked() const {
        uint64_t s = 0;
        for (int i = 0; i < kSlots; ++i) {
            if (slots[static_cast<std::size_t>(i)].reserved) s |= uint64_t{1} << (2 * i);
            if (slots[static_cast<std::size_t>(i)].muted) s |= uint64_t{1} << (2 * i + 1);
        }
        std::array<uint8_t, 5> b{};
        for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<uint8_t>(s >> (8 * k));
        return b;
    }
    // Frees the slots whose time is up; true when one was freed.
    bool expireLocked(Clock::time_point now) {
        if (paused) return false;
        bool freed = false;
        for (auto& s : slots) {
            if (s.reserved && !s.endless && s.until <= now) {
                s.reserved = false;
                freed = true;
            }
        }
        return freed;
    }
    // Takes one frame of this id if it is to be swallowed.
    bool swallowLocked(uint8_t id) {
        auto it = swallowed.find(id);
        if (it == swallowed.end() || it->second <= 0) return false;
        --it->second;
        return true;
    }
    Frame boardAnswerLocked(uint8_t id) const {
        const auto b = bytesLocked();
        return makeFrame(id, 10, {b.begin(), b.end()});
    }
    Frame statusAnswerLocked(uint8_t id, uint8_t status) const {
        const auto b = bytesLocked();
        std::vector<uint8_t> payload(1 + b.size());
        payload[0] = status;
        for (std::size_t k = 0; k < b.size(); ++k) payload[1 + k] = b[k];
        return makeFrame(id, 11, payload);
    }
    Clock::duration holdLocked(const DecodedPlay& p) const {
        if (auto it = holds.find(p.signal); it != holds.end()) return it->second;
        const double length =
            p.maxDuration > 0.0f ? p.maxDuration : options.defaultSignalSeconds;
        const double once = p.preDelay + length / p.speed + p.postDelay;
        const double seconds = once * std::max<int>(p.repeatCount, 1) - p.startOffset;
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::max(seconds, 0.001)));
    }
    void play(const Frame& f, VestModel::Replies& r) {
        const auto now = Clock::now();
        expireLocked(now);
        DecodedPlay p;
        p.time = now;
        p.signal = f[3];
        p.volume = f[4];
        p.repeatCount = f[5];
        p.flags = f[6];
        p.keyframeCount = f[7];
        p.maxDuration = f32(&f[8]);
        p.preDelay = f32(&f[12]);
        p.postDelay = f32(&f[16]);
        p.speed = f32(&f[20]);
        p.startOffset = f32(&f[24]);
        p.startCrop = f32(&f[28]);
        p.stopCrop = f32(&f[32]);
        bool valid = true;
        if (p.keyframeCount > 20) {
            problems.push_back("play with " + std::to_string(p.keyframeCount) +
                               " keyframes (at most 20 fit)");
            valid = false;
        }
        for (std::size_t k = 0; k < std::min<std::size_t>(p.keyframeCount, 20); ++k) {
            const uint8_t* block = &f[kPlayHeader + k * kKeyframeBytes];
            PlayKeyframe kf;
            kf.time = f32(block);
            std::copy_n(block + 4, kf.values.size(), kf.values.begin());
            valid = valid && finiteNonNegative(kf.time);
            p.keyframes.push_back(kf);
        }
        valid = valid && p.volume <= 249 && std::isfinite(p.speed) && p.speed >= 0.01f &&
                p.speed <= 100.0f && finiteNonNegative(p.maxDuration) &&
                finiteNonNegative(p.preDelay) && finiteNonNegative(p.postDelay) &&
                finiteNonNegative(p.startOffset) && finiteNonNegative(p.startCrop) &&
                finiteNonNegative(p.stopCrop) && (p.flags & 0xFC) == 0;

        if (forcedStatus) {
            p.status = *forcedStatus;
            forcedStatus.reset();
        } else if (!valid) {
            p.status = kInvalid;
        } else {
            p.status = kFull;
            for (int i = 0; i < kSlots; ++i) {
                auto& s = slots[static_cast<std::size_t>(i)];
                if (s.reserved) continue;
                s.reserved = true;
                s.endless = false;
                s.muted = (p.flags & 1) != 0;
                const auto hold = holdLocked(p);
                s.until = now + hold;
                s.left = hold;
                p.status = static_cast<uint8_t>(i);
                break;
            }
        }
        plays.push_back(p);
        if (p.status == kInvalid && options.invalidAsDeviceError)
            r.send(makeFrame(0xFF, 6, {static_cast<uint8_t>(int8_t{-4})}));
        else
            r.send(statusAnswerLocked(0x81, p.status));
        if (heldStatus) {
            r.sendUnsolicited(std::move(*heldStatus));
            heldStatus.reset();
        }
        wake.notify_all();
    }
    void stopSlot(const Frame& f, VestModel::Replies& r) {
        const auto now = Clock::now();
        expireLocked(now);
        const uint8_t slot = f[3];
        const float fade = f32(&f[4]);
        uint8_t status = 0;
        if (slot >= kSlots || !std::isfinite(fade)) {
            status = kInvalid;
        } else {
            auto& s = slots[slot];
            if (fade <= 0.0f || s.endless) {
                s.reserved = false;
            } else if (s.reserved) {
                const auto end = now + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(fade));
                s.until = std::min(s.until, end);
                s.left = std::min(s.left, end - now);
            }
        }
        r.send(statusAnswerLocked(0x82, status));
        wake.notify_all();
    }
};

LegacyBoard::LegacyBoard(std::shared_ptr<VestModel> vest, LegacyBoardOptions options)
    : vest_(std::move(vest)), state_(std::make_shared<State>()) {
    state_->options = options;
    // The handlers hold the state, not the board: the vest may outlive it.
    std::weak_ptr<State> weak = state_;
    auto guarded = [weak](auto body) {
        return [weak, body](const Frame& f, VestModel::Replies& r) {
            auto s = weak.lock();
            if (!s) return;
            std::lock_guard<std::mutex> lock(s->mutex);
            if (s->swallowLocked(f[0])) return;
            body(*s, f, r);
        };
    };
    vest_->addCommand(kPlaySample, kPlayLength,
                      guarded([](State& s, const Frame& f, VestModel::Replies& r) { s.play(f, r); }));
    vest_->addCommand(kStopSlot, 10, guarded([](State& s, const Frame& f, VestModel::Replies& r) {
                          s.stopSlot(f, r);
                      }));
    vest_->addCommand(kResumeAll, 5, guarded([](State& s, const Frame&, VestModel::Replies& r) {
                          const auto now = Clock::now();
                          if (s.paused) {
                              for (auto& slot : s.slots) slot.until = now + slot.left;
                              s.paused = false;
                          }
                          s.expireLocked(now);
                          r.send(s.boardAnswerLocked(0x83));
                          s.wake.notify_all();
                      }));
    vest_->addCommand(kStopAll, 5, guarded([](State& s, const Frame&, VestModel::Replies& r) {
                          for (auto& slot : s.slots) slot.reserved = false;
                          r.send(s.boardAnswerLocked(0x84));
                      }));
    vest_->addCommand(kPauseAll, 5, guarded([](State& s, const Frame&, VestModel::Replies& r) {
                          const auto now = Clock::now();
                          s.expireLocked(now);
                          if (!s.paused) {
                              for (auto& slot : s.slots)
                                  slot.left = slot.until > now ? slot.until - now
                                                               : Clock::duration::zero();
                              s.paused = true;
                          }
                          r.send(s.boardAnswerLocked(0x85));
                      }));
    vest_->addCommand(kSetMute, 8, guarded([](State& s, const Frame& f, VestModel::Replies& r) {
                          s.expireLocked(Clock::now());
                          const uint32_t mask = static_cast<uint32_t>(f[3]) |
                                                (static_cast<uint32_t>(f[4]) << 8) |
                                                (static_cast<uint32_t>(f[5]) << 16);
                          for (int i = 0; i < kSlots; ++i)
                              s.slots[static_cast<std::size_t>(i)].muted = (mask >> i) & 1u;
                          r.send(s.boardAnswerLocked(0x86));
                      }));
    vest_->addCommand(kGetStatus, 5, guarded([](State& s, const Frame&, VestModel::Replies& r) {
                          s.expireLocked(Clock::now());
                          r.send(s.boardAnswerLocked(0x87));
                      }));
    expiry_ = std::thread([this] { expire(); });
}

LegacyBoard::~LegacyBoard() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->quit = true;
    }
    state_->wake.notify_all();
    expiry_.join();
}

void LegacyBoard::expire() {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.quit) {
        std::optional<Clock::time_point> next;
        if (!s.paused)
            for (const auto& slot : s.slots)
                if (slot.reserved && !slot.endless && (!next || slot.until < *next))
                    next = slot.until;
        if (next)
            s.wake.wait_until(lock, *next);
        else
            s.wake.wait(lock);
        if (s.quit) break;
        if (s.expireLocked(Clock::now()) && s.options.statusOnExpiry) {
            Frame status = s.boardAnswerLocked(kBoardStatus);
            if (s.options.lateExpiryStatus) {
                s.heldStatus = std::move(status);
                continue;
            }
            // The model takes its own lock; the board's is never held with it
            // from this side.
            lock.unlock();
            vest_->sendUnsolicited(std::move(status));
            lock.lock();
        }
    }
}

void LegacyBoard::setHold(uint8_t signal, Clock::duration hold) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->holds[signal] = hold;
}

void LegacyBoard::setStatusOnExpiry(bool on) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->options.statusOnExpiry = on;
}

void LegacyBoard::setInvalidAsDeviceError(bool on) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->options.invalidAsDeviceError = on;
}

void LegacyBoard::setLateExpiryStatus(bool on) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->options.lateExpiryStatus = on;
    if (!on) state_->heldStatus.reset();
}

void LegacyBoard::swallow(uint8_t id, int n) {
    if (id >= kPlaySample && id <= kGetStatus) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->swallowed[id] = n;
        return;
    }
    // Commands of the model itself: no effect to skip, only the answer.
    AnswerFault f;
    f.silent = true;
    f.times = n;
    vest_->setFault(id, f);
}

void LegacyBoard::forceNextPlayStatus(uint8_t status) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->forcedStatus = status;
}

void LegacyBoard::reservePhantom(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto& s = state_->slots[static_cast<std::size_t>(slot)];
    s.reserved = true;
    s.endless = true;
}

void LegacyBoard::sendDeviceError(int8_t code) {
    vest_->sendUnsolicited(makeFrame(0xFF, 6, {static_cast<uint8_t>(code)}));
}

std::vector<DecodedPlay> LegacyBoard::plays() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->plays;
}

BoardSnapshot LegacyBoard::snapshot() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->expireLocked(Clock::now());
    BoardSnapshot b = decode(state_->bytesLocked());
    b.paused = state_->paused;
    return b;
}

std::vector<std::string> LegacyBoard::violations() const {
    std::vector<std::string> out = vest_->violations();
    std::lock_guard<std::mutex> lock(state_->mutex);
    out.insert(out.end(), state_->problems.begin(), state_->problems.end());
    return out;
}

BoardSnapshot LegacyBoard::decode(const std::array<uint8_t, 5>& bytes) {
    uint64_t s = 0;
    for (std::size_t k = 0; k < bytes.size(); ++k) s |= static_cast<uint64_t>(bytes[k]) << (8 * k);
    BoardSnapshot b;
    b.bytes = bytes;
    for (int i = 0; i < kSlots; ++i) {
        if ((s >> (2 * i)) & 1u) b.reserved |= 1u << i;
        if ((s >> (2 * i + 1)) & 1u) b.muted |= 1u << i;
    }
    return b;
}

}  // namespace vbz::emu
