#include "streaming/StreamAudio.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "sdk/core/IHandler.h"
#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
constexpr const char* kTag = "StreamAudio";

bool tracing() { return minLogLevel.load(std::memory_order_relaxed) <= 0; }
}  // namespace

StreamAudio::StreamAudio(AbstractCore* source, std::mutex* mutex, IHandler* owner)
    : IStream(source, mutex, owner), host_(audioHost()) {}

StreamAudio::~StreamAudio() { closeStream(); }

int StreamAudio::scanDevices(vbz_output_t) { return VBZ_ERROR_OUTPUT_NOT_SUPPORTED; }
int StreamAudio::connect(vbz_output_t, unsigned) { return VBZ_ERROR_OUTPUT_NOT_SUPPORTED; }

int StreamAudio::connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings) {
    DeviceNameMatch match = DeviceNameMatch::Letters;
    const int applied = applyAudioPreset(preset, settings, match);
    if (applied < 0) return applied;
    if (settings.bufferSize == 0 || settings.nbStreamChannel == 0) {
        LogLine(4, kTag) << "Invalid audio settings.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    closeStream();  // a stream opened earlier and never run
    // The host is taken for this connect only: the device list is built when
    // the host goes from unused to used, so a host held on after a connect
    // that found nothing would show every later connect of the process the
    // devices of that moment (a server or a device that came since would
    // stay unseen).
    const PaError err = host_.initialize();
    if (err != paNoError) return reportPaError(err);
    initialized_ = true;
    const int opened = openOutputStream(settings, match);
    if (opened != 0) releaseHost();
    return opened;
}

void StreamAudio::releaseHost() {
    if (!initialized_) return;
    initialized_ = false;
    const PaError err = host_.terminate();
    if (err != paNoError) logAudioError(host_, err);
}

int StreamAudio::openOutputStream(const vbz_audio_settings_t& settings, DeviceNameMatch match) {
    PaStreamParameters output{};
    const int selected = selectOutputDevice(host_, settings, match, output);
    if (selected < 0) return selected;

    channelCount_ = output.channelCount;
    const double rate = static_cast<double>(settings.sampleRate);
    // A JACK device's stream runs without the host, which is let go before
    // the stream's client opens: holding it would tie the host to an audio
    // server that may die under the stream, and a client of ours that the
    // server refuses while PortAudio holds its own can cost PortAudio that
    // client. Another stream keeps the host until it is closed.
    const std::string client = host_.jackClientOf(output.device);
    PaError err;
    if (!client.empty()) {
        releaseHost();
        err = host_.openJackStream(&stream_, false, client, output, rate, settings.bufferSize,
                                   &StreamAudio::audioCallback, this);
    } else {
        err = host_.openStream(&stream_, nullptr, &output, rate, settings.bufferSize, paNoFlag,
                               &StreamAudio::audioCallback, this);
    }
    if (err != paNoError) {
        stream_ = nullptr;
        return reportPaError(err);
    }
    const PaStreamInfo* info = host_.streamInfo(stream_);
    outputLatency_ = info ? info->outputLatency : 0.0;
    sampleRate_ = info && info->sampleRate > 0.0 ? info->sampleRate : rate;
    LogLine(2, kTag) << "Output stream latency : " << outputLatency_
                     << " - Output stream sample rate: " << (info ? info->sampleRate : 0.0);

    err = host_.setStreamFinishedCallback(stream_, &StreamAudio::streamFinished);
    if (err != paNoError) return reportPaError(err);

    {
        vbz::HandlerLock lock(*mutex);
        opened = 1;
    }
    const uint64_t perWindow = static_cast<uint64_t>(settings.sampleRate) /
                               (10u * static_cast<uint64_t>(settings.bufferSize));
    statistics_.reset(static_cast<int>(std::max<uint64_t>(1, std::min<uint64_t>(perWindow, 1u << 20))));
    exchange_.reset();
    source->setBufferSize(settings.bufferSize);
    source->setSampleRate(rate);
    return 0;
}

int StreamAudio::run() {
    LogLine(0, kTag) << "Thread start";
    bool isOpen;
    {
        vbz::HandlerLock lock(*mutex);
        // A stop that came before the loop, even before the stream was
        // opened, holds until reset: the loop must not start after it.
        isOpen = opened != 0 && !stopRequested_;
    }
    if (!isOpen || !stream_) {
        closeStream();  // stopped before it could start: nothing stays open
        return VBZ_ERROR_NO_DEVICE_CONNECTED;
    }

    exchange_.prime(*source, *mutex);
    const PaError err = host_.startStream(stream_);
    if (err != paNoError) return reportPaError(err);
    if (owner) owner->connectionRoutineTerminated(VBZ_STATE_CONNECTED, 0, 0xFFFFFFFFu);

    auto now = [this] { return streamTime(); };
    for (;;) {
        // Read before the pass and before the stop flag: a request or a stop
        // that comes after either check still ends the wait below.
        const uint32_t seen = exchange_.signals();
        double renderSeconds = 0.0;
        const bool rendered = exchange_.loopPass(*source, *mutex, now, renderSeconds);
        if (rendered) statistics_.pushCompute(renderSeconds);
        {
            vbz::HandlerLock lock(*mutex);
            if (stopRequested_) break;
        }
        // Nothing to do until the callback asks or hands a block back.
        if (!rendered) exchange_.waitForSignal(seen);
    }

    const PaError aborted = host_.abortStream(stream_);
    if (aborted != paNoError) logAudioError(host_, aborted);
    LogLine(0, kTag) << "LOOP: stream is stopped.";
    closeStream();
    {
        vbz::HandlerLock lock(*mutex);
        opened = 0;
    }
    return 0;
}

int StreamAudio::stop() {
    {
        vbz::HandlerLock lock(*mutex);
        stopRequested_ = true;
        opened = 0;
    }
    exchange_.signal();  // the loop may be waiting for a callback
    return 0;
}

int StreamAudio::reset() {
    exchange_.reset();
    {
        vbz::HandlerLock lock(*mutex);
        stopRequested_ = false;
    }
    channelCount_ = 0;
    outputLatency_ = 0.0;
    return 0;
}

double StreamAudio::streamTime() const { return host_.streamTime(stream_); }

void StreamAudio::closeStream() {
    if (stream_) {
        const PaError err = host_.closeStream(stream_);
        if (err != paNoError) LogLine(4, kTag) << "PortAudio error : " << host_.errorText(err);
        stream_ = nullptr;
    }
    releaseHost();
}

int StreamAudio::reportPaError(PaError err) {
    logAudioError(host_, err);
    closeStream();
    vbz::HandlerLock lock(*mutex);
    opened = 0;
    return VBZ_ERROR_PORTAUDIO;
}

int StreamAudio::audioCallback(const void*, void* output, unsigned long frameCount,
                               const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags statusFlags,
                               void* userData) {
    if (!userData || !output) return paContinue;  // nothing to fill
    return static_cast<StreamAudio*>(userData)->onCallback(static_cast<float* const*>(output), frameCount,
                                                           statusFlags);
}

int StreamAudio::onCallback(float* const* output, unsigned long frameCount, PaStreamCallbackFlags statusFlags) {
    const double t0 = streamTime();
    if (statusFlags & paOutputUnderflow) statistics_.underflows.fetch_add(1, std::memory_order_relaxed);
    if (statusFlags & paOutputOverflow) statistics_.overflows.fetch_add(1, std::memory_order_relaxed);
    statistics_.callbackCount.fetch_add(1, std::memory_order_relaxed);

    // The wait for a block is bounded by the block's own period: a host may
    // report an output latency far longer than the callback can afford.
    const double period = sampleRate_ > 0.0 ? static_cast<double>(frameCount) / sampleRate_ : 0.0;
    const double waitLimit = outputLatency_ > 0.0 ? std::min(outputLatency_, period) : period;

    if (tracing() && exchange_.ready()) LogLine(0, kTag) << "buffer already available";
    auto now = [this] { return streamTime(); };
    const auto served = exchange_.serve(*source, output, channelCount_, frameCount, t0, waitLimit, now);

    callbackCounter_ = (callbackCounter_ + 1) % 1000;
    if (callbackCounter_ == 999 && tracing()) LogLine(0, kTag) << statistics_.report();
    const double t1 = streamTime();
    const double requestTime = served.hadToAsk ? served.requestTime : t1 - t0;
    statistics_.pushRequest(requestTime, t1 - t0);
    if (served.timedOut) {
        if (tracing()) LogLine(0, kTag) << "callback timeout reached";
        statistics_.timeouts.fetch_add(1, std::memory_order_relaxed);
    }
    statistics_.cpuLoad.store(host_.streamCpuLoad(stream_), std::memory_order_relaxed);
    return paContinue;
}

void StreamAudio::streamFinished(void* userData) {
    auto* self = static_cast<StreamAudio*>(userData);
    LogLine(2, kTag) << self->statistics_.summary();
    {
        vbz::HandlerLock lock(*self->mutex);
        self->stopRequested_ = true;
    }
    self->exchange_.signal();  // no callback will wake the loop any more
}

}  // namespace vbz
