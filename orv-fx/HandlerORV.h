// The audio-to-haptics back-end (kind 2): turns the computer's own sound
// output, captured by loopback, into haptics for a vest (connect) or for an
// audio device (connectAudio). Made by the back-end factory for the
// experimental ORV connections; owned by the VibrenzaSDK object. It plays no
// patterns: every pattern and effect operation gives a fixed answer. Log tag
// "HandlerORV".
//
// It owns the sample source (OrvCore, which owns the capture) and one stream
// that reads from it: a vest stream by default, an audio-device stream for
// connectAudio. The capture starts once a loopback device is set and the
// stream has fixed the output rate (500 Hz for a vest, the device's rate for
// an audio output), and keeps running across disconnections until the
// back-end goes or the device changes, or it ends on its own (its device or
// the audio server went away); setting the device again starts a capture
// that is not running. A capture that cannot start in the connection's
// routine does not fail the connection: the stream then carries silence.
//
// Threads: the operations may be called from any application thread; the
// connection, scanning and audio routines run on the worker of the IHandler
// base, one at a time. The volume is kept under the handler mutex; the
// capture, its device and its preset are started, stopped and re-configured
// under the core's control lock only, never under the handler mutex, so that
// opening a device never delays a render. Destroying the back-end stops the
// stream and waits for the worker, whose routine reports "disconnected"
// first.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "orv-fx/OrvCore.h"
#include "sdk/core/IHandler.h"
#include "sdk/platform/IAudioHost.h"
#include "streaming/IStream.h"
#include "streaming/StreamSlot.h"

class HandlerORV : public IHandler {
public:
    // Makes the back-end's streams over (source, handler mutex, back-end);
    // null: StreamHid and StreamAudio. Tests pass streams over their doubles.
    using StreamFactory =
        std::function<std::shared_ptr<IStream>(int kind, AbstractCore* source, std::mutex* mutex, IHandler* owner)>;

    explicit HandlerORV(SdkPersistentState* state, StreamFactory factory = nullptr);
    ~HandlerORV() override;

    vbz_device_info_t* getFirstScannedDevice() override;
    int kind() override { return 2; }

protected:
    void reloadPatterns() override {}
    int startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) override;
    int startScanningRoutine(vbz_output_t output) override;
    int startDisconnectionRoutine() override;

public:
    unsigned int getVibrenzaSerialNumber() override;
    std::string getVibrenzaVersion() override;
    vbz_device_type_t getVibrenzaType() override;
    int getGlobalIntensityBoost() override { return 0; }
    int setGlobalIntensityBoost(int) override { return 0; }
    int loadPatternFromJSON(std::string) override { return 0; }
    int unloadPattern(int) override { return 0; }
    int getPatternIntensityBoost(int) override { return 0; }
    int setAccumulationWindowToPattern(int, int, float, int) override { return 0; }
    int eraseAccumulationWindowToPattern(int) override { return 0; }
    int playEffect(int, vbz_effect_properties_t) override { return -1; }
    int stopEffect(int, float) override { return -1; }
    vbz_effect_state_t effectState(int) override { return VBZ_EFFECT_UNKNOWN; }
    int pauseAll() override { return 0; }
    int resumeAll() override { return 0; }
    int stopAll() override { return 0; }

    // Audio-device connection: logs the request, refuses a zero buffer size
    // or channel count (-2), then checks the state and stores "connecting"
    // in one hold of the handler mutex (-11 scan running or connection
    // ongoing, -12 connected), points settings at copies this back-end keeps
    // and starts the audio routine. 0 once started. Application thread only.
    int connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings);
    // The ORV controls; any application thread, also from a callback.
    int getOrvPreset();
    float getOrvVolume();
    // The capture device, by index and name (resolved again when the capture
    // opens). A different device, or the same one while the capture is not
    // running, (re)starts the capture at once when the stream has fixed an
    // output rate; a negative index is only stored. The start's result
    // (OrvCore::setDevice).
    int setLoopbackDevice(const vbz::AudioDeviceRef& device);
    // No range check: the experimental API passes 0 to 3.
    void setOrvPreset(int preset);
    // Volumes not above 0 (NaN included) are stored as 0.
    void setOrvVolume(float volume);

    // The sample source; for diagnostics and tests.
    vbz::OrvCore& core() { return core_; }
    std::shared_ptr<IStream> currentStream() { return stream_.current(); }

private:
    void connectionRoutine(unsigned int serialNumber);
    void scanningRoutine(vbz_output_t output);
    void audioConnectionRoutine(vbz_audio_preset_t preset, vbz_audio_settings_t settings);

    // Members are destroyed in reverse order: the stream before the core.
    vbz::OrvCore core_;
    vbz::StreamSlot stream_;
    // Guarded by the handler mutex.
    vbz_output_t output_ = VBZ_OUTPUT_ANY;
    std::string audioDeviceName_;
    std::string audioApiName_;
};
