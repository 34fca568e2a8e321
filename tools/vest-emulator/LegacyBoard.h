// The legacy playback board of an emulated vest, installed on a VestModel:
// 20 slots on which the vest plays the samples the host sends one by one
// (PlaySample), with the commands that stop, pause, resume and mute them and
// the status query. Every answer carries the board as it is after the
// command (two bits per slot, reserved then muted, 40 bits little-endian);
// a slot whose sample has run out frees itself and, unless switched off,
// the vest then sends an unsolicited BoardStatus.
//
// A slot is held for a time set per signal (setHold), or else computed from
// the sample: (pre-delay + length / speed + post-delay) x repeat count,
// less the start offset, the length being the maximum duration or, when
// that is 0, defaultSignalSeconds.
//
// Faults of the board's own (the vest model adds delays, silence, a device
// error in place of an answer, answers twice, raw frames; link drop and an
// absent vest belong to the link: UsbBus::unplug, StreamAdapter::hangUp):
// frames swallowed before the vest sees them, a forced status for the next
// play, invalid plays answered by a device error, phantom slots that only a
// StopSlot frees, no status on expiry, a status on expiry that arrives only
// after the answer to the next play.
//
// Observability: every decoded play, a snapshot of the board, and the
// protocol violations of the host (those the model finds, such as a bad CRC,
// a wrong length or a command sent before the previous answer, plus plays
// with more than 20 keyframes).
//
// Threads: every public function may be called from any thread. An expiry
// thread lives from construction to destruction.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/vest-emulator/VestModel.h"

namespace vbz::emu {

struct LegacyBoardOptions {
    // Length of a sample whose maximum duration is 0.
    double defaultSignalSeconds = 0.5;
    // The vest sends a BoardStatus when a slot frees itself.
    bool statusOnExpiry = true;
    // Invalid play contents are answered with DeviceError -4 instead of
    // status 254.
    bool invalidAsDeviceError = false;
    // The status an expiry sets off is held back and sent right after the
    // answer to the next play: built before that answer, it shows the slot
    // the play took as free (as a reordering link delivers it).
    bool lateExpiryStatus = false;
};

struct PlayKeyframe {
    float time = 0.0f;
    std::array<uint8_t, 20> values{};
};

// One PlaySample as the board decoded it.
struct DecodedPlay {
    Clock::time_point time;
    uint8_t status = 0;  // slot index, 254 invalid, 255 board full (or the forced status)
    uint8_t signal = 0;
    uint8_t volume = 0;
    uint8_t repeatCount = 0;
    uint8_t flags = 0;  // bit 0: muted (over budget), bit 1: repeat spatialisation
    uint8_t keyframeCount = 0;
    float maxDuration = 0, preDelay = 0, postDelay = 0, speed = 0, startOffset = 0;
    float startCrop = 0, stopCrop = 0;
    std::vector<PlayKeyframe> keyframes;
};

struct BoardSnapshot {
    uint32_t reserved = 0;  // bit i: slot i holds a sample
    uint32_t muted = 0;     // bit i: slot i is muted
    bool paused = false;
    std::array<uint8_t, 5> bytes{};  // as the answers carry it
};

class LegacyBoard {
public:
    static constexpr int kSlots = 20;

    LegacyBoard(std::shared_ptr<VestModel> vest, LegacyBoardOptions options = {});
    ~LegacyBoard();
    LegacyBoard(const LegacyBoard&) = delete;
    LegacyBoard& operator=(const LegacyBoard&) = delete;

    // --- settings and faults ---------------------------------------------
    void setHold(uint8_t signal, Clock::duration hold);  // per-signal hold time
    void setStatusOnExpiry(bool on);
    void setInvalidAsDeviceError(bool on);
    void setLateExpiryStatus(bool on);
    // The next n host frames of this id vanish before the vest sees them
    // (no effect, no answer).
    void swallow(uint8_t id, int n);
    // The next play is answered with this status whatever it holds (its
    // slot is not taken).
    void forceNextPlayStatus(uint8_t status);
    // Marks a slot reserved with nothing playing; only a StopSlot (or
    // StopAll) frees it.
    void reservePhantom(int slot);
    // A DeviceError frame now, answering nothing.
    void sendDeviceError(int8_t code);

    // --- what the vest saw ------------------------------------------------
    std::vector<DecodedPlay> plays() const;
    BoardSnapshot snapshot() const;
    // The host's protocol violations: the model's and the board's own.
    std::vector<std::string> violations() const;
    std::size_t violationCount() const { return violations().size(); }
    // Decodes a 5-byte board status (the host's view, for tests).
    static BoardSnapshot decode(const std::array<uint8_t, 5>& bytes);

    struct State;

private:
    void expire();

    std::shared_ptr<VestModel> vest_;
    std::shared_ptr<State> state_;
    std::thread expiry_;
};

}  // namespace vbz::emu
