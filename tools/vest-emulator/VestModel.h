// An emulated vest: the device side of the frame protocol, with no link of
// its own. An adapter per link (USB through the hidapi double, later UDP and
// Bluetooth) hands it every frame the host sent with receive() and takes
// the vest's frames with nextFrame().
//
// The model answers the identity commands and the Wi-Fi binding commands;
// further commands (streaming, sequencer) are added with addCommand().
// Faults can be injected into its answers, and it records every frame the
// host sent, with what was wrong with it.
//
// The frame helpers here are written apart from the SDK's own, so that the
// emulator checks the host's frames independently.
//
// Threads: every public function may be called from any thread. Command
// handlers run with the model's lock held and must not call the model.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vbz::emu {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;

// CRC-16/CCITT-FALSE of count bytes.
uint16_t frameCrc(const uint8_t* data, std::size_t count);
// A frame of `length` bytes: id, sync bytes AD DE, payload from byte 3 (cut
// or zero-padded to fit), CRC in the last two bytes (low byte first).
Frame makeFrame(uint8_t id, std::size_t length, const std::vector<uint8_t>& payload = {});
// Recomputes the CRC of a whole frame in place.
void sealFrame(Frame& frame);
// True when the frame ends with the CRC of the bytes before it.
bool frameCrcOk(const uint8_t* data, std::size_t length);

struct VestIdentity {
    // Serial fields as the GetSerialNumber answer carries them.
    uint16_t serialLow = 42;    // bytes [3..4]
    uint8_t serialMiddle = 3;   // byte [5]
    uint8_t serialHigh = 21;    // byte [6]
    std::string version = "VBZ-EMU 1.4.2";
    uint32_t typeCode = 0x0123FFFF;

    // Fields for a serial of at most eight decimal digits, e.g. 21030042
    // -> high 21, middle 3, low 42.
    static VestIdentity withSerial(uint32_t serial);
};

// A change to the vest's answers. Faults apply to the replies to host
// frames, not to unsolicited frames.
struct AnswerFault {
    bool silent = false;                    // no reply at all (ownFramesFirst still come)
    Clock::duration delay{};                // reply this much later
    int replaceId = -1;                     // reply under this id (CRC kept right)
    bool badCrc = false;                    // corrupt the CRC
    bool wrongSync = false;                 // sync bytes 00 00 (CRC kept right)
    int noiseFrames = 0;                    // good frames of ids the host never awaits, first
    std::vector<Frame> ownFramesFirst;      // frames of the vest's own (board status, data
                                            // requests), first; with the reply's delay
    std::optional<int8_t> deviceError;      // reply DeviceError(code) instead
    bool twice = false;                     // every reply goes out twice
    Clock::duration twiceAfter{};           // the second copy this much after the first
    int times = -1;                         // replies it applies to; -1 for ever
};

// One frame the host sent, as the vest saw it.
struct HostFrame {
    Clock::time_point time;
    Frame bytes;
    std::string problem;  // empty when the frame was well formed
};

class VestModel {
public:
    // Collects a handler's replies.
    struct Replies {
        struct Later {
            Frame bytes;
            Clock::duration delay;
        };
        std::vector<Frame> frames;  // answers: faults apply to them
        std::vector<Later> unsolicited;
        void send(Frame f) { frames.push_back(std::move(f)); }
        // A frame of the vest's own (a data request, a board status) that
        // the command sets off, after delay; faults leave it alone.
        void sendUnsolicited(Frame f, Clock::duration delay = {}) {
            unsolicited.push_back({std::move(f), delay});
        }
    };
    // Called with a well-formed host frame of its command.
    using CommandHandler = std::function<void(const Frame& request, Replies& replies)>;

    explicit VestModel(VestIdentity identity = {});
    VestModel(const VestModel&) = delete;
    VestModel& operator=(const VestModel&) = delete;

    // --- link side -------------------------------------------------------
    // One frame the host sent (a HID report, a datagram, ...).
    void receive(const uint8_t* data, std::size_t length);
    // The next frame for the host, once due; waits until deadline at most.
    std::optional<Frame> nextFrame(Clock::time_point deadline);
    // A frame for the host that answers nothing (BoardStatus, DataRequest, ...).
    void sendUnsolicited(Frame frame, Clock::duration delay = {});
    // Good frames of the ids 0x8B to 0x8F and 0xA0, in turn.
    void sendNoise(int count);
    // Called whenever a frame for the host is queued, with the model's lock
    // held (it must not call the model): lets an adapter that pushes frames
    // out wake at once instead of polling. Null to remove.
    void setQueuedListener(std::function<void()> listener);

    // --- commands --------------------------------------------------------
    // Adds or replaces the handler of a host command of this total length.
    void addCommand(uint8_t id, std::size_t length, CommandHandler handler);
    bool knowsCommand(uint8_t id) const;
    // Total length of a known host command (how stream links cut frames).
    std::optional<std::size_t> commandLength(uint8_t id) const;

    // --- identity and state ----------------------------------------------
    VestIdentity identity() const;
    void setIdentity(const VestIdentity& identity);
    uint8_t discoverStatus() const;
    void setDiscoverStatus(uint8_t status);  // status byte of the Discover answer
    bool bound() const;
    // Firmware older than 1.3.3: every command but Discover, Bind and
    // Unbind is refused with DeviceError -7 while the vest is not bound.
    void setOldFirmware(bool old);

    // --- faults ----------------------------------------------------------
    void setFault(const AnswerFault& fault);                     // every command
    void setFault(uint8_t commandId, const AnswerFault& fault);  // one command, wins
    void clearFaults();

    // --- what the host sent ----------------------------------------------
    // The host frames kept (every one, or the latest setRecordLimit).
    std::vector<HostFrame> hostFrames() const;
    // 0 (the default): every host frame is kept; n: only the latest n, so
    // that a long run does not grow. Counts and violations stay whole.
    void setRecordLimit(std::size_t n);
    std::size_t countReceived(uint8_t id) const;
    // Problems found in the host's frames (bad CRC, unknown id, ...).
    std::vector<std::string> violations() const;
    // Holds the host to one command at a time: a frame that arrives before
    // the host has taken the answer to the previous one is a violation,
    // unless at least answerTimeout passed since that one (a resend after
    // the host gave up waiting). Off until called.
    void checkOneCommandAtATime(Clock::duration answerTimeout);
    void clearRecord();
    // Frames waiting to be taken by the host.
    std::size_t pendingFrames() const;

private:
    struct Command {
        std::size_t length;
        CommandHandler handler;
    };
    struct Pending {
        Clock::time_point due;
        uint64_t order;
        Frame bytes;
        bool answer = false;  // a reply to a host command
    };

    void installStandardCommands();
    // Applies the fault of this command (if any) and queues the replies.
    void queueRepliesLocked(uint8_t commandId, std::vector<Frame> replies, Clock::time_point now);
    void queueLocked(Frame frame, Clock::time_point due, bool answer = false);
    void recordLocked(HostFrame frame);
    AnswerFault* faultForLocked(uint8_t commandId);
    Frame noiseFrameLocked();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    VestIdentity identity_;
    uint8_t discoverStatus_ = 0;
    bool bound_ = false;
    bool oldFirmware_ = false;
    std::map<uint8_t, Command> commands_;
    std::optional<AnswerFault> globalFault_;
    std::map<uint8_t, AnswerFault> commandFaults_;
    std::vector<Pending> outbox_;  // ordered by (due, order)
    uint64_t nextOrder_ = 0;
    unsigned noiseTurn_ = 0;
    std::deque<HostFrame> record_;
    std::size_t recordLimit_ = 0;
    std::array<std::size_t, 256> receivedById_{};
    std::vector<std::string> violations_;
    std::function<void()> queuedListener_;
    std::optional<Clock::duration> answerTimeout_;  // one command at a time
    bool awaitingAnswer_ = false;
    Clock::time_point lastCommandTime_{};
};

}  // namespace vbz::emu
