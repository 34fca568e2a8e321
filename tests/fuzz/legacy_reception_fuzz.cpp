// The legacy back-end's reception of vest frames: a whole connection (the
// handshake, two queued effects with their plays, stops and mute commands,
// keep-alives) in which every frame the vest sends comes from the input,
// through the reception thread's message table.
//
// The transport delivers what the input describes as real transports do:
// only good frames (the table length of their id, a right CRC) reach the
// back-end, so the input gives each frame's payload and the CRC is computed
// here. Each frame is one of: the answer to the command the host sent last
// (waiting a little for one to be sent), a frame of any id of the table,
// nothing, or a failed read. When the input runs out the link is lost.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>

#include "device/Frame.h"
#include "device/IHidCom.h"
#include "sdk/core/LogLine.h"
#include "sequencer/HandlerCommands.h"

namespace {

using namespace std::chrono_literals;

struct Input {
    Input(const uint8_t* d, std::size_t n) : data(d), size(n) {}
    const uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }

    // Shared by the host's writes and the vest's frames.
    std::mutex mutex;
    std::condition_variable changed;
    int sent = 0;        // commands the host wrote
    int answered = 0;    // of them, answered by the input
    uint8_t lastId = 0;  // id of the last command written
    bool over = false;   // the back-end reported the connection ended
};

void onConnection(vbz_connection_state_t state, vbz_error_t, unsigned int, void* user) {
    if (state != VBZ_STATE_DISCONNECTED) return;
    auto& in = *static_cast<Input*>(user);
    {
        std::lock_guard<std::mutex> lock(in.mutex);
        in.over = true;
    }
    in.changed.notify_all();
}

class FuzzTransport : public vbz::IHidCom {
public:
    explicit FuzzTransport(Input& in) : in_(in) {}
    int scan(std::vector<vbz_device_info_t>&, std::map<uint32_t, std::string>&,
             std::vector<std::string>&) override {
        return 0;
    }
    int open(uint32_t, std::string) override {
        connected = true;
        return 0;
    }
    int close() override {
        if (!connected) return -3;
        connected = false;
        return 0;
    }
    int write(const uint8_t* frame, int length) override {
        if (!connected) return -3;
        if (!frame || length < 1) return -6;
        {
            std::lock_guard<std::mutex> lock(in_.mutex);
            ++in_.sent;
            in_.lastId = frame[0];
        }
        in_.changed.notify_all();
        return 0;
    }
    int read() override {
        if (!connected) return -3;
        std::unique_lock<std::mutex> lock(in_.mutex);
        if (!in_.more()) return -3;
        const uint8_t op = in_.byte() % 8;
        uint8_t id;
        if (op < 4) {
            // The answer to the last command, once the host has sent one
            // that is not answered yet.
            in_.changed.wait_for(lock, 5ms, [this] { return in_.sent > in_.answered; });
            in_.answered = in_.sent;
            id = static_cast<uint8_t>(in_.lastId | 0x80u);
            if (!answerLengths.count(id)) id = 0x87;
        } else if (op < 6) {
            auto it = answerLengths.begin();
            std::advance(it, in_.byte() % answerLengths.size());
            id = it->first;
        } else if (op == 6) {
            return 0;  // nothing came
        } else {
            return -6;
        }
        const auto length = static_cast<uint16_t>(answerLengths.at(id));
        receiveBuffer.fill(0);
        receiveBuffer[0] = id;
        receiveBuffer[1] = vbz::kSyncByte1;
        receiveBuffer[2] = vbz::kSyncByte2;
        for (uint16_t i = 3; i + 2 < length && in_.more(); ++i) receiveBuffer[i] = in_.byte();
        vbz::commandCrc16(receiveBuffer.data(), length);
        return length;
    }

private:
    Input& in_;
};

// Two tracks of short samples: plays, slots and their releases.
constexpr const char* kPattern = R"({"duration": 0.2, "tracks": [
  {"volume": 100, "samples": [
    {"timestamp": 0, "signalIndex": 3, "maxDuration": 0.01, "preDelay": 0, "postDelay": 0,
     "repeatCount": 1, "repeatSpat": false, "speed": 1, "startCrop": 0, "stopCrop": 0,
     "volumeKeyframes": [], "spatKeyframes": [{"timestamp": 0, "weights": [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}]},
    {"timestamp": 0.02, "signalIndex": 4, "maxDuration": 0.01, "preDelay": 0, "postDelay": 0,
     "repeatCount": 1, "repeatSpat": false, "speed": 1, "startCrop": 0, "stopCrop": 0,
     "volumeKeyframes": [], "spatKeyframes": [{"timestamp": 0, "weights": [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}]}]},
  {"volume": 50, "samples": [
    {"timestamp": 0, "signalIndex": 5, "maxDuration": 0.01, "preDelay": 0, "postDelay": 0,
     "repeatCount": 1, "repeatSpat": false, "speed": 1, "startCrop": 0, "stopCrop": 0,
     "volumeKeyframes": [], "spatKeyframes": [{"timestamp": 0, "weights": [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}]}]}]})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        vbz::setLogCallback(+[](int, const char*, const char*) {});
        return true;
    }();
    (void)quiet;
    Input in(data, size);
    vbz::seq::SequencerTiming timing;
    timing.answerTimeout = 2ms;
    timing.timeoutsBeforeGivingUp = 3;
    timing.keepAliveInterval = 1ms;
    timing.settleTime = 0ms;
    {
        HandlerCommands handler(
            nullptr,
            [&in](vbz_output_t kind) -> std::unique_ptr<vbz::IHidCom> {
                if (kind != VBZ_OUTPUT_USB) return nullptr;
                return std::make_unique<FuzzTransport>(in);
            },
            timing);
        handler.setConnectionCallback(&onConnection, &in);
        const int pattern = handler.loadPatternFromJSON(kPattern);
        handler.playEffect(pattern, {});
        handler.playEffect(pattern, {});
        if (handler.connect(VBZ_OUTPUT_USB, 0) == 0) {
            // The session lasts until the input runs out (the link is
            // lost) or the back-end gives up; its end joins the threads.
            std::unique_lock<std::mutex> lock(in.mutex);
            in.changed.wait_for(lock, 10s, [&in] { return in.over; });
        }
    }
    return 0;
}
