// The audio host: every PortAudio call of the SDK goes through this interface,
// so that the audio code runs the same over the real host (PortAudio with its
// JACK host API, plus loopback devices found through libjack) and over the
// fake host of the tests.
//
// The calls keep PortAudio's own types, results and rules: indices are global
// device indices, errors are negative PaError values, `initialize` and
// `terminate` nest. On top of PortAudio the host lists loopback devices: input
// devices that capture what an output device plays. They belong to the
// loopback host API (`loopbackHostApi`), carry the name of the output they
// capture followed by " [Loopback]", and `isLoopback` answers 1 for them.
//
// A stream on a loopback device, or an output stream on a device of the
// loopback host API, does not need the host initialised once it is open:
// its owner may terminate right after opening it, so that nothing ties the
// host to an audio server that may die under the stream. Better still, its
// owner looks up the JACK client behind the device (`jackClientOf`),
// terminates, and opens the stream by that name (`openJackStream`): a JACK
// client that a stalled server refuses while PortAudio holds its own can
// cost PortAudio its client.
//
// The device list is built when the host goes from unused to used, as
// PortAudio builds its own, and kept as it is while anything holds the host
// (PortAudio 19.6 cannot list anew while initialised). So nothing holds the
// host longer than a connect, a query or a stream that needs it: the next
// one then sees the devices as they are.
//
// Device indices are only valid while the device list stays the same: JACK
// clients come and go. Code that keeps an index for later keeps the device's
// name with it (`AudioDeviceRef`) and resolves it again before use.
//
// Threads: any thread. The device records handed out stay valid until the
// `terminate` that balances the first `initialize`. Stream callbacks run on
// the host's audio thread.
#pragma once

#include <string>

#include <portaudio.h>

namespace vbz {

// The JACK host API is named two ways. kJackHostApiName is the name PortAudio
// gives it (PaHostApiInfo::name): device searches compare host-API names with
// it. kLoopbackHostApiName is the short name the loopback functions use in
// their messages ("Audio interface JACK not found").
inline constexpr const char* kJackHostApiName = "JACK Audio Connection Kit";
// Name of the host API that carries the loopback devices on this platform.
inline constexpr const char* kLoopbackHostApiName = "JACK";

class IAudioHost {
public:
    virtual ~IAudioHost() = default;

    virtual PaError initialize() = 0;
    virtual PaError terminate() = 0;
    virtual const char* errorText(PaError error) = 0;

    virtual PaDeviceIndex deviceCount() = 0;
    // Null for an index that is not valid.
    virtual const PaDeviceInfo* deviceInfo(PaDeviceIndex device) = 0;
    // Null for an index that is not valid, negative ones included.
    virtual const PaHostApiInfo* hostApiInfo(PaHostApiIndex hostApi) = 0;
    // Index of the host API that carries the loopback devices; negative
    // (paHostApiNotFound) when it is not there.
    virtual PaHostApiIndex loopbackHostApi() = 0;
    virtual PaDeviceIndex hostApiDeviceIndexToDeviceIndex(PaHostApiIndex hostApi, int hostApiDeviceIndex) = 0;
    // Default output device of the loopback host API (paNoDevice when none).
    virtual PaDeviceIndex defaultOutputDevice() = 0;
    // 1 for a loopback device, 0 for another device, negative on error.
    virtual int isLoopback(PaDeviceIndex device) = 0;

    virtual PaError isFormatSupported(const PaStreamParameters* input, const PaStreamParameters* output,
                                      double sampleRate) = 0;
    virtual PaError openStream(PaStream** stream, const PaStreamParameters* input,
                               const PaStreamParameters* output, double sampleRate,
                               unsigned long framesPerBuffer, PaStreamFlags flags,
                               PaStreamCallback* callback, void* userData) = 0;
    // The JACK client behind a device whose streams need no initialised host:
    // the one a loopback device captures, or an output device of the loopback
    // host API itself. Empty for any other device.
    virtual std::string jackClientOf(PaDeviceIndex device) = 0;
    // A capture of that client's monitor ports, or a playback on its inputs,
    // opened by the client's name whether the host is initialised or not.
    // `parameters.device` is not looked at.
    virtual PaError openJackStream(PaStream** stream, bool capture, const std::string& client,
                                   const PaStreamParameters& parameters, double sampleRate,
                                   unsigned long framesPerBuffer, PaStreamCallback* callback, void* userData) = 0;
    virtual PaError setStreamFinishedCallback(PaStream* stream, PaStreamFinishedCallback* callback) = 0;
    virtual PaError startStream(PaStream* stream) = 0;
    virtual PaError stopStream(PaStream* stream) = 0;
    virtual PaError abortStream(PaStream* stream) = 0;
    virtual PaError closeStream(PaStream* stream) = 0;
    virtual const PaStreamInfo* streamInfo(PaStream* stream) = 0;
    virtual PaTime streamTime(PaStream* stream) = 0;
    virtual double streamCpuLoad(PaStream* stream) = 0;
    virtual const PaHostErrorInfo* lastHostErrorInfo() = 0;
};

// The host that the SDK uses: the real one unless a test installed another.
IAudioHost& audioHost();
// Installs `host` (not owned) in place of the real host; null restores it.
// Call only while no audio code runs.
void setAudioHost(IAudioHost* host);

// A device index together with the name it had when it was looked up.
struct AudioDeviceRef {
    PaDeviceIndex index = paNoDevice;
    std::string name;
};

// The current index of the device `ref` names: `ref.index` while that index
// still bears the name, else the first device of that name with the same
// loopback answer, else paNoDevice. Needs the host initialised.
PaDeviceIndex resolveDevice(IAudioHost& host, const AudioDeviceRef& ref);

}  // namespace vbz
