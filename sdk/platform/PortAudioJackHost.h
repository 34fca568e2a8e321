// The real audio host on Linux: PortAudio (ALSA, OSS and JACK host APIs) with
// loopback devices added behind PortAudio's own list, one per JACK client
// that has monitor ports. Capturing a loopback device opens an input stream
// on the JACK device of that client, whose inputs are its monitor ports.
//
// A stream on a loopback device, and an output stream on a device of the
// JACK host API, is not a PortAudio stream but a JackStream of our own (see
// there why), told apart by its handle without a lock (the stream callback
// asks for the stream's time); it does not need PortAudio initialised once
// it is open. Stopping and closing one return within JackStream's bounds
// whatever the server does; initialize first waits for the clients of such
// streams that are still closing (JackStream::awaitClosing).
//
// One process-wide object (PortAudio itself is process-wide). The loopback
// table is built by the `initialize` that takes PortAudio from uninitialised
// to initialised, as PortAudio builds its device list, and dropped by the
// `terminate` that balances it.
//
// The calls that reach ALSA or libjack (initialize, terminate,
// isFormatSupported, openStream, openJackStream) keep those libraries' own
// messages off the application's stderr, and leave libjack's message
// functions as they found them (AudioLibraryMessageScope.h).
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "sdk/platform/IAudioHost.h"
#include "sdk/platform/JackMonitorProbe.h"
#include "sdk/platform/JackStream.h"

namespace vbz {

class PortAudioJackHost final : public IAudioHost {
public:
    static PortAudioJackHost& instance();

    PaError initialize() override;
    PaError terminate() override;
    const char* errorText(PaError error) override;
    PaDeviceIndex deviceCount() override;
    const PaDeviceInfo* deviceInfo(PaDeviceIndex device) override;
    const PaHostApiInfo* hostApiInfo(PaHostApiIndex hostApi) override;
    PaHostApiIndex loopbackHostApi() override;
    PaDeviceIndex hostApiDeviceIndexToDeviceIndex(PaHostApiIndex hostApi, int hostApiDeviceIndex) override;
    PaDeviceIndex defaultOutputDevice() override;
    int isLoopback(PaDeviceIndex device) override;
    PaError isFormatSupported(const PaStreamParameters* input, const PaStreamParameters* output,
                              double sampleRate) override;
    PaError openStream(PaStream** stream, const PaStreamParameters* input, const PaStreamParameters* output,
                       double sampleRate, unsigned long framesPerBuffer, PaStreamFlags flags,
                       PaStreamCallback* callback, void* userData) override;
    std::string jackClientOf(PaDeviceIndex device) override;
    PaError openJackStream(PaStream** stream, bool capture, const std::string& client,
                           const PaStreamParameters& parameters, double sampleRate, unsigned long framesPerBuffer,
                           PaStreamCallback* callback, void* userData) override;
    PaError setStreamFinishedCallback(PaStream* stream, PaStreamFinishedCallback* callback) override;
    PaError startStream(PaStream* stream) override;
    PaError stopStream(PaStream* stream) override;
    PaError abortStream(PaStream* stream) override;
    PaError closeStream(PaStream* stream) override;
    const PaStreamInfo* streamInfo(PaStream* stream) override;
    PaTime streamTime(PaStream* stream) override;
    double streamCpuLoad(PaStream* stream) override;
    const PaHostErrorInfo* lastHostErrorInfo() override;

private:
    PortAudioJackHost() = default;

    struct Loopback {
        PaDeviceIndex captured;  // PortAudio's device of the JACK client
        std::string name;
        PaDeviceInfo info;
    };

    void buildLoopbackTable(const std::vector<JackMonitorClient>& monitors);
    // PortAudio's index for `device`: itself, or the captured device of a
    // loopback. paInvalidDevice when neither.
    PaDeviceIndex portAudioIndex(PaDeviceIndex device);
    // Parameters with a loopback index replaced by PortAudio's; false when the
    // index is not valid.
    bool translate(const PaStreamParameters* in, PaStreamParameters& out);
    // The loopback that `device` is, or null.
    const Loopback* loopbackOf(PaDeviceIndex device);
    // Our stream behind a stream handle, or null for a PortAudio stream.
    // Takes no lock.
    JackStream* own(PaStream* stream);
    // True for a device of PortAudio's JACK host API.
    bool isJackDevice(PaDeviceIndex device);
    // The JACK client behind a loopback (the one it captures) or behind a
    // device of the JACK host API; null for any other device.
    const char* jackClientName(PaDeviceIndex device);
    // Opens one of our streams on the ports of JACK client `client` and
    // keeps it.
    PaError openOwn(JackStream::Direction direction, const char* client, const PaStreamParameters& parameters,
                    double sampleRate, unsigned long framesPerBuffer, PaStreamCallback* callback, void* userData,
                    PaStream** stream);

    std::mutex mutex_;
    int initCount_ = 0;
    PaDeviceIndex portAudioCount_ = 0;
    PaHostApiIndex jackApi_ = paHostApiNotFound;
    PaHostApiInfo jackApiInfo_{};
    std::vector<Loopback> loopbacks_;
    // Our open streams (owned), written under the mutex; one more is
    // refused with paInsufficientMemory.
    std::array<std::atomic<JackStream*>, 32> own_{};
};

}  // namespace vbz
