#include "streaming/StreamHid.h"

#include <algorithm>
#include <cstring>

#include "sdk/core/DeviceTypes.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
constexpr const char* kTag = "StreamHid";
constexpr float kAnswerTimeoutSeconds = 0.5f;
constexpr auto kStartDelay = std::chrono::milliseconds(500);
constexpr float kRequestTimeoutSeconds = 4.0f;
// After a failed read the link may be gone for good (reads then fail at
// once): pause a little instead of spinning until the time-out.
constexpr auto kReadErrorPause = std::chrono::milliseconds(2);
// A read that found nothing sooner than this did not wait for the vest.
constexpr auto kReadWaitFloor = std::chrono::microseconds(200);
constexpr auto kIdlePause = std::chrono::microseconds(250);
// Largest block of a fast-forward; longer gaps are rendered in pieces,
// letting the back-end in between.
constexpr unsigned kFastForwardChunk = 1000;
constexpr float kFastForwardRate = 2000.0f;

constexpr uint8_t kDataRequest = commandId(DeviceCommand::DataRequest);
constexpr uint8_t kVestStop = commandId(DeviceCommand::StopStream);
// A vest that has started streaming sends one request at a time; a few
// frames before the StartStream answer are all it can have to say.
constexpr std::size_t kMaxEarlyFrames = 8;

bool traceOn() { return minLogLevel.load(std::memory_order_relaxed) <= 0; }

float secondsBetween(std::chrono::steady_clock::time_point t,
                     std::chrono::steady_clock::time_point now) {
    return std::chrono::duration<float>(now - t).count();
}

}  // namespace

StreamHid::StreamHid(AbstractCore* source, std::mutex* mutex, IHandler* owner,
                     TransportFactory factory, std::shared_ptr<SteadyClock> clock)
    : IStream(source, mutex, owner),
      factory_(std::move(factory)),
      clock_(clock ? std::move(clock) : SteadyClock::system()) {}

StreamHid::Clock::time_point StreamHid::now() const {
    return Clock::time_point(std::chrono::nanoseconds(clock_->nowNanoseconds()));
}

void StreamHid::pause(Clock::duration d) {
    clock_->sleepNanoseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

StreamHid::~StreamHid() {
    {
        HandlerLock lock(*mutex);
        stopRequested_ = true;
    }
    transport_.reset();
}

int StreamHid::scanDevices(vbz_output_t output) {
    scannedAddresses_.clear();
    // The new list is built aside: the previous one stays whole for readers
    // until it is replaced.
    std::vector<vbz_device_info_t> devices;
    std::vector<std::string> texts;
    for (const vbz_output_t kind : transportsFor(output)) {
        auto& addresses = scannedAddresses_[kind];
        addresses.clear();
        transport_.reset();
        transport_ = factory_ ? factory_(kind) : nullptr;
        if (!transport_) continue;
        transport_->scan(devices, addresses, texts);
        transport_.reset();
    }
    // The transports fill the records; the links and version texts are set
    // here, once the vectors no longer grow.
    linkScannedDevices(devices, texts);
    HandlerLock lock(*mutex);
    // Moving a vector keeps its elements where they are, so the links and
    // the text pointers hold.
    scannedTexts_ = std::move(texts);
    scannedDevices_ = std::move(devices);
    return 0;
}

vbz_device_info_t* StreamHid::getFirstScannedDevice() {
    {
        HandlerLock lock(*mutex);
        if (!scannedDevices_.empty()) return scannedDevices_.data();
    }
    LogLine(3, kTag) << "Cannot get scanned devices: no Vibrenza device found.";
    return nullptr;
}

int StreamHid::connect(vbz_output_t output, unsigned serialNumber) {
    for (const vbz_output_t kind : transportsFor(output)) {
        transport_.reset();
        transport_ = factory_ ? factory_(kind) : nullptr;
        if (!transport_) continue;
        const std::string address = scannedAddresses_[kind][serialNumber];
        if (transport_->open(serialNumber, address) == 0) {
            if (queryDevice(serialNumber) == 0) return 0;
            LogLine(3, kTag) << "Device found but could not communicate properly with it.";
        }
        transport_.reset();
    }
    return -6;
}

int StreamHid::sendAndWait(const uint8_t* frame, int length, uint8_t expectedId,
                           std::vector<ReceivedFrame>* keep) {
    if (!transport_) return -3;
    const int w = transport_->write(frame, length);
    if (w < 0) return w;
    const auto start = now();
    for (;;) {
        const auto readBegan = now();
        const int r = transport_->read();
        if (r >= 1) {
            const uint8_t id = transport_->receiveBuffer[0];
            if (!isVestsOwnFrame(id)) return id == expectedId ? 0 : -10;
            if (keep && keep->size() < kMaxEarlyFrames) keep->push_back(transport_->receiveBuffer);
        }
        // Also after a frame of the vest's own: a vest that keeps sending
        // them without answering still times out.
        if (secondsBetween(start, now()) >= kAnswerTimeoutSeconds) return -6;
        if (r >= 1) continue;
        if (r < 0)
            pause(kReadErrorPause);
        else if (now() - readBegan < kReadWaitFloor)
            pause(kIdlePause);
    }
}

int StreamHid::queryDevice(unsigned serialNumber) {
    const auto& rx = transport_->receiveBuffer;
    if (serialNumber == 0) {
        const auto req = shortFrame(DeviceCommand::GetSerialNumber);
        if (sendAndWait(req.data(), static_cast<int>(req.size()),
                        answerId(DeviceCommand::GetSerialNumber)) != 0)
            return -6;
        const auto serial = static_cast<uint32_t>(serialFromFields(rx.data()));
        HandlerLock lock(*mutex);
        serialNumber_ = serial;
    } else {
        HandlerLock lock(*mutex);
        serialNumber_ = serialNumber;
    }

    const auto version = shortFrame(DeviceCommand::GetVersion);
    if (sendAndWait(version.data(), static_cast<int>(version.size()),
                    answerId(DeviceCommand::GetVersion)) != 0)
        return -6;
    {
        std::string v = versionFromAnswer(rx.data());
        HandlerLock lock(*mutex);
        version_ = std::move(v);
    }

    const auto type = shortFrame(DeviceCommand::GetType);
    if (sendAndWait(type.data(), static_cast<int>(type.size()), answerId(DeviceCommand::GetType)) !=
        0)
        return -6;
    {
        const int t = deviceTypeFromCode(readU32(&rx[3]));
        HandlerLock lock(*mutex);
        deviceType_ = t;
    }

    const auto info = shortFrame(DeviceCommand::GetStreamInfo);
    if (sendAndWait(info.data(), static_cast<int>(info.size()),
                    answerId(DeviceCommand::GetStreamInfo)) != 0)
        return -6;
    channelCount_ = rx[4];
    const auto status = static_cast<int8_t>(rx[3]);
    if (status != 0) return logDeviceError(status);
    if (channelCount_ == 0) {
        // Nothing could be streamed, and every encoding capacity would be 0.
        LogLine(4, kTag) << "The vest reported no actuator channel to stream to.";
        return -6;
    }
    return 0;
}

int StreamHid::stop() {
    HandlerLock lock(*mutex);
    stopRequested_ = true;
    return 0;
}

bool StreamHid::stopRequestedLocked() {
    HandlerLock lock(*mutex);
    return stopRequested_;
}

int StreamHid::run() {
    if (!transport_) {
        LogLine(4, kTag) << "Could not start stream: " << errorText(-3);
        return -3;
    }
    dataFrame_.setChannelCount(static_cast<unsigned>(std::min<uint64_t>(channelCount_, 255)));

    const auto startFrame = shortFrame(DeviceCommand::StartStream);
    const auto startAt = now() + kStartDelay;
    while (now() < startAt)
        pause(std::min<Clock::duration>(startAt - now(), std::chrono::milliseconds(20)));
    // A vest may ask for its first block before its answer to StartStream
    // arrives: such frames are kept and acted on first.
    earlyFrames_.clear();
    earlyFrames_.reserve(kMaxEarlyFrames);
    const int started = sendAndWait(startFrame.data(), static_cast<int>(startFrame.size()),
                                    answerId(DeviceCommand::StartStream), &earlyFrames_);
    LogLine(0, kTag) << "Stream will now start: ";
    if (started != 0) {
        LogLine(4, kTag) << "Could not start stream: " << errorText(started);
        return started;
    }

    auto lastRequest = now();
    bool vestStopped = false;
    for (const ReceivedFrame& early : earlyFrames_) {
        const int w = handleStreamFrame(early.data(), lastRequest, vestStopped);
        if (w < 0) return w;
    }
    while (!vestStopped) {
        const auto passBegan = now();
        const int r = transport_->read();
        if (r >= 1) {
            const int w = handleStreamFrame(transport_->receiveBuffer.data(), lastRequest, vestStopped);
            if (w < 0) return w;
        } else if (r < 0) {
            pause(kReadErrorPause);
        } else if (now() - passBegan < kReadWaitFloor) {
            // A transport whose read returns at once (Bluetooth) would make
            // this loop spin a core: wait a little on its behalf.
            pause(kIdlePause);
        }
        if (secondsBetween(lastRequest, now()) >= kRequestTimeoutSeconds) {
            LogLine(4, kTag) << "Stream timeout: now exiting ";
            break;
        }
        if (stopRequestedLocked()) break;
    }

    // Requests the vest sent before it saw the stop may still be on their
    // way: the wait passes over them, so that the stop's answer is not left
    // behind to be taken for the answer to the transport's close.
    const auto stopFrame = shortFrame(DeviceCommand::StopStream);
    sendAndWait(stopFrame.data(), static_cast<int>(stopFrame.size()),
                answerId(DeviceCommand::StopStream));
    const int closed = transport_->close();
    if (closed != 0) {
        LogLine(4, kTag) << "Disconnection issue detected: " << errorText(closed);
        return -6;
    }
    return 0;
}

int StreamHid::handleStreamFrame(const uint8_t* frame, Clock::time_point& lastRequest,
                                 bool& vestStopped) {
    if (frame[0] == kDataRequest) {
        const int w = answerRequest(frame, lastRequest);
        if (w < 0) LogLine(4, kTag) << "Could not send data to stream: " << errorText(w);
        return w;
    }
    if (frame[0] == kVestStop) {
        std::array<uint8_t, 6> reply{answerId(DeviceCommand::StopStream), kSyncByte1, kSyncByte2,
                                     0, 0, 0};
        commandCrc16(reply.data(), static_cast<uint16_t>(reply.size()));
        const int w = transport_->write(reply.data(), static_cast<int>(reply.size()));
        if (w < 0) LogLine(4, kTag) << "Could not send data to stream: " << errorText(w);
        vestStopped = true;
        return 0;
    }
    LogLine(4, kTag) << "Unknown command received from Vibrenza.";
    return 0;
}

int StreamHid::answerRequest(const uint8_t* rx, Clock::time_point& lastRequest) {
    const auto arrived = now();
    if (traceOn()) {
        LogLine(0, kTag) << "";
        LogLine(0, kTag) << " ##### Data requested";
        LogLine(0, kTag) << "time since last request:    "
                         << std::chrono::duration<float>(arrived - lastRequest).count();
    }
    lastRequest = arrived;
    const uint32_t timestamp = readU32(rx + 3);
    const uint32_t duration = readU32(rx + 7);
    dataFrame_.setTimestamp(timestamp);
    if (traceOn()) LogLine(0, kTag) << "timestamp:                  " << timestamp;

    if (!fastForward(timestamp)) {
        // The source stopped short of the time stamp: its next samples
        // belong to an earlier time than the vest would play them at. The
        // stream is ending anyway, so the request goes unanswered.
        if (traceOn()) LogLine(0, kTag) << "stop during the fast-forward: request not answered";
        return 0;
    }
    const auto block = dataFrame_.chooseEncoding(duration, streamClock_);
    unsigned rendered = 0;
    {
        HandlerLock lock(*mutex);
        source->setSampleRate(block.sampleRate);
        source->setBufferSize(block.samples);
        source->render();
        rendered = source->getBufferSize();
    }
    dataFrame_.setSampleCount(rendered);
    dataFrame_.packPayload(*source);
    dataFrame_.seal();
    const int w = transport_->write(dataFrame_.data(), static_cast<int>(StreamDataFrame::kLength));
    if (w < 0) return w;
    if (traceOn())
        LogLine(0, kTag) << "time to answer request:     " << secondsBetween(arrived, now());
    return 0;
}

bool StreamHid::fastForward(uint32_t timestamp) {
    if (!source->isPlaying()) return true;
    const auto ahead = static_cast<int32_t>(timestamp - streamClock_);
    const float gap = static_cast<float>(ahead) / 500.0f;
    if (!(gap > 1.0f)) return true;
    // The whole gap is skipped, but in pieces: each render holds the handler
    // mutex only for its own piece.
    // A stop asked meanwhile ends it between pieces: a jump of the vest's
    // clock can span half an hour of signal.
    const auto gapSamples = static_cast<unsigned>(gap);
    unsigned skipped = 0;
    while (skipped < gapSamples) {
        const unsigned piece = std::min(gapSamples - skipped, kFastForwardChunk);
        HandlerLock lock(*mutex);
        if (stopRequested_) break;
        source->setSampleRate(kFastForwardRate);
        source->setBufferSize(piece);
        source->render();
        skipped += piece;
    }
    // The clock follows the samples actually skipped, so that it never runs
    // ahead of the source: the fraction of a sample left over is caught up
    // by a later request instead of piling up as a drift.
    streamClock_ += skipped * 500u;
    if (traceOn()) LogLine(0, kTag) << "FASTFORWARD:         " << gap;
    return skipped == gapSamples;
}

unsigned StreamHid::getVibrenzaSerialNumber() {
    HandlerLock lock(*mutex);
    return serialNumber_;
}

std::string StreamHid::getVibrenzaVersion() {
    HandlerLock lock(*mutex);
    return version_;
}

int StreamHid::getVibrenzaType() {
    HandlerLock lock(*mutex);
    return deviceTypeFromCode(static_cast<uint32_t>(deviceType_));
}

int StreamHid::reset() {
    channelCount_ = 0;
    streamClock_ = 0;
    HandlerLock lock(*mutex);
    stopRequested_ = false;
    return 0;
}

uint64_t StreamHid::getChannelCount() { return channelCount_; }
uint32_t StreamHid::getStreamClock() { return streamClock_; }

}  // namespace vbz
