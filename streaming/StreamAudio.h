// The stream that plays a sample source on a multichannel audio output
// device instead of sending it to a vest: source channel k becomes output
// channel k. The audio host's output callback asks for each block; the
// back-end's worker thread, running this stream's loop, renders it under the
// handler mutex while the callback waits for it (AudioBlockExchange). The
// loop sleeps between requests: the callback, stop and the end of the stream
// wake it. The
// device is chosen by an audio preset or by the application's settings
// (AudioOutputSelection). No device protocol, no scan, no serial number.
// Log tag "StreamAudio".
//
// Made and shared by its back-end with (source, handler mutex, back-end);
// every audio call goes through vbz::audioHost(). The stream is opened by
// connectAudio, played by run, and closed when run ends.
//
// Threads: connectAudio, run and reset on the back-end's worker thread; stop
// and the getters from any thread; the callbacks on the audio host's thread,
// where they take no lock (the stream-finished callback takes the handler
// mutex once). Never destroy a stream while holding the handler mutex.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include <portaudio.h>

#include "sdk/platform/IAudioHost.h"
#include "streaming/AudioBlockExchange.h"
#include "streaming/AudioOutputSelection.h"
#include "streaming/IStream.h"
#include "streaming/SlidingWindow.h"

namespace vbz {

class StreamAudio : public IStream {
public:
    StreamAudio(AbstractCore* source, std::mutex* mutex, IHandler* owner);
    ~StreamAudio() override;

    int kind() override { return 0; }
    // An audio stream has no vest to scan for or connect to: -4.
    int scanDevices(vbz_output_t output) override;
    vbz_device_info_t* getFirstScannedDevice() override { return nullptr; }
    int connect(vbz_output_t output, unsigned serialNumber) override;
    // Ends a running loop. A stop before the loop (also before the stream
    // is opened) makes run return -3, until reset. Always 0.
    int stop() override;
    // Reports the connection up to the owner, then plays until stopped or
    // until the audio host ends the stream: 0; -3 when not opened; -15 when
    // the stream cannot start.
    int run() override;
    unsigned getVibrenzaSerialNumber() override { return 0xFFFFFFFFu; }
    std::string getVibrenzaVersion() override { return "Experimental-AudioConnection"; }
    int getVibrenzaType() override { return -1; }
    int reset() override;

    // Applies the preset to settings, then opens the output stream. 0 when
    // open; -4 unknown preset, -2 no suitable device (or a zero buffer size
    // or channel count), -15 an audio host error.
    int connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings);

    // Channels of the open (or last) output stream; 0 after reset.
    int channelCount() const { return channelCount_; }
    const SlidingWindow& statistics() const { return statistics_; }

private:
    int openOutputStream(const vbz_audio_settings_t& settings, DeviceNameMatch match);
    // Logs err, closes an open stream, returns -15.
    int reportPaError(PaError err);
    // Closes the stream, if any, and lets go of the host.
    void closeStream();
    // Terminates the initialisation this stream holds, if any.
    void releaseHost();
    double streamTime() const;

    static int audioCallback(const void* input, void* output, unsigned long frameCount,
                             const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                             void* userData);
    static void streamFinished(void* userData);
    int onCallback(float* const* output, unsigned long frameCount, PaStreamCallbackFlags statusFlags);

    IAudioHost& host_;
    // Holds an initialisation of the host: from the start of a connect until
    // it fails or its stream is open, and on through a stream that needs the
    // host (one of the loopback host API runs without it) until it closes.
    bool initialized_ = false;
    SlidingWindow statistics_{19};
    PaStream* stream_ = nullptr;  // worker thread; fixed while the stream runs
    double outputLatency_ = 0.0;
    double sampleRate_ = 0.0;
    AudioBlockExchange<AbstractCore> exchange_;
    int channelCount_ = 0;
    int callbackCounter_ = 0;  // callback thread
    // Guarded by the handler mutex, as is IStream::opened.
    bool stopRequested_ = false;
};

}  // namespace vbz

using vbz::StreamAudio;
