// The stream to a vest over one of the device transports (USB, Wi-Fi,
// Bluetooth). It scans for vests, connects to one and asks its identity,
// then runs the real-time stream: the vest asks for blocks of samples with
// DataRequest frames, and each is answered at once with one StreamData
// frame holding exactly the requested span, rendered by the sample source.
// The vest's time stamps drive the stream: a request ahead of the stream's
// clock first fast-forwards the source over the gap. Log tag "StreamHid".
//
// Made and shared by its back-end with (source, handler mutex, back-end);
// the transport of the current or last connection is owned here.
//
// Threads: scanDevices, connect, run and reset on the back-end's worker
// thread; stop and the getters from any thread (callbacks included). The
// handler mutex is taken around each render of the source and around the
// shared fields, never while waiting for the vest. The destructor takes the
// handler mutex: never destroy a stream while holding it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/IHidCom.h"
#include "device/TransportFactory.h"
#include "streaming/IStream.h"
#include "streaming/SteadyClock.h"
#include "streaming/StreamDataFrame.h"

namespace vbz {

class StreamHid : public IStream {
public:
    // Makes a new, unconnected transport of a kind (USB 2, Wi-Fi 3,
    // Bluetooth 1); null when this build has no such transport.
    using TransportFactory = vbz::TransportFactory;
    static std::unique_ptr<IHidCom> makeTransport(vbz_output_t kind) {
        return vbz::makeTransport(kind);
    }

    // clock: what the time-outs and pauses of the exchanges follow (null:
    // the system's steady clock).
    StreamHid(AbstractCore* source, std::mutex* mutex, IHandler* owner,
              TransportFactory factory = &StreamHid::makeTransport,
              std::shared_ptr<SteadyClock> clock = nullptr);
    ~StreamHid() override;

    int kind() override { return 1; }
    // Scans USB (output 0 or 2), Wi-Fi (0 or 3) and Bluetooth (0 or 1), in
    // that order, into one linked list. 0.
    int scanDevices(vbz_output_t output) override;
    // First record of the last scan, null (with a warning) when it found
    // nothing. Valid until the next scan or the stream's destruction.
    vbz_device_info_t* getFirstScannedDevice() override;
    // Opens the first transport that reaches the vest (serial 0: any vest)
    // and asks its identity and stream information. 0 or -6.
    int connect(vbz_output_t output, unsigned serialNumber) override;
    int stop() override;
    // The stream loop; returns when stopped, when the vest stops or falls
    // silent for 4 s (0), or when a data frame cannot be written (that code).
    int run() override;
    unsigned getVibrenzaSerialNumber() override;
    std::string getVibrenzaVersion() override;
    int getVibrenzaType() override;
    int reset() override;

    // Worker thread, or once run() has returned: the channel count the vest
    // reported (0 after reset, 20 before any), and the microseconds of signal
    // produced or skipped in the current run.
    uint64_t getChannelCount();
    uint32_t getStreamClock();

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point now() const;
    void pause(Clock::duration d);

    using ReceivedFrame = std::array<uint8_t, IHidCom::kReceiveBufferSize>;
    // Writes a frame and waits up to 0.5 s for its answer: 0 when the first
    // answer's id is expectedId, -10 when another answer (or a device error)
    // came first, -6 when none came, or the write's code. Frames the vest
    // sends on its own (data requests, board status, its stop) answer
    // nothing: they are kept in *keep for the stream loop when it is given,
    // else passed over, and the wait goes on.
    int sendAndWait(const uint8_t* frame, int length, uint8_t expectedId,
                    std::vector<ReceivedFrame>* keep = nullptr);
    int queryDevice(unsigned serialNumber);
    // Acts on one frame of the vest during the stream; a failed data write's
    // code, else 0.
    int handleStreamFrame(const uint8_t* frame, Clock::time_point& lastRequest, bool& vestStopped);
    // Answers a DataRequest; the write's code. A request whose fast-forward
    // a stop cut short is left unanswered (0).
    int answerRequest(const uint8_t* request, Clock::time_point& lastRequest);
    // Renders and drops the source's samples up to the request's time
    // stamp; false when a stop ended it before the source got there.
    bool fastForward(uint32_t timestamp);
    bool stopRequestedLocked();

    TransportFactory factory_;
    std::shared_ptr<SteadyClock> clock_;
    std::unique_ptr<IHidCom> transport_;
    StreamDataFrame dataFrame_;

    // Guarded by the handler mutex.
    uint32_t serialNumber_ = 0xFFFFFFFF;
    std::string version_ = "noDeviceConnected";
    int deviceType_ = -1;
    bool stopRequested_ = false;
    std::vector<vbz_device_info_t> scannedDevices_;
    std::vector<std::string> scannedTexts_;  // two per record: version, address

    // Worker thread only.
    std::map<int, std::map<uint32_t, std::string>> scannedAddresses_;
    uint64_t channelCount_ = 20;
    uint32_t streamClock_ = 0;
    // Frames of the vest that came before the StartStream answer.
    std::vector<ReceivedFrame> earlyFrames_;
};

}  // namespace vbz

using vbz::StreamHid;
