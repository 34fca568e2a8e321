// The audio-to-haptics back-end (kind 2): turns the computer's own sound
// output, captured by loopback, into haptics for a vest or an audio device.
// Made by the back-end factory for the experimental ORV connections; owned
// by the VibrenzaSDK object. It plays no patterns: every pattern and effect
// operation gives a fixed answer.
//
// This version keeps the loopback device, preset and volume but has no
// capture, processor or stream yet: a connection attempt reports -6 and a
// scan finds nothing.
#pragma once

#include <string>

#include "sdk/core/IHandler.h"

class HandlerORV : public IHandler {
public:
    explicit HandlerORV(SdkPersistentState* state);
    ~HandlerORV() override;

    vbz_device_info_t* getFirstScannedDevice() override;
    int kind() override { return 2; }

protected:
    void reloadPatterns() override {}
    int startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) override;
    int startScanningRoutine(vbz_output_t output) override;
    int startDisconnectionRoutine() override { return 0; }

public:
    unsigned int getVibrenzaSerialNumber() override { return 0xFFFFFFFFu; }
    std::string getVibrenzaVersion() override { return "noDeviceConnected"; }
    vbz_device_type_t getVibrenzaType() override { return VBZ_DEVICE_UNKNOWN; }
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

    // As HandlerStreaming::connectAudio: -2 for a zero buffer size or channel
    // count, -11 or -12 from the guards, else 0 once the routine started.
    // Application thread only.
    int connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings);
    // Each under the handler mutex; any application thread.
    int getOrvPreset();
    float getOrvVolume();
    void setLoopbackDevice(int audioDeviceIndex);
    void setOrvPreset(int preset);
    // Volumes not above 0 (NaN included) are stored as 0.
    void setOrvVolume(float volume);

private:
    void connectionRoutine(unsigned int serialNumber);
    void scanningRoutine();
    void audioConnectionRoutine();

    // Guarded by the handler mutex.
    vbz_output_t output_ = VBZ_OUTPUT_ANY;
    int loopbackDevice_ = -1;
    int preset_ = 0;
    float volume_ = 1.0f;
    std::string audioDeviceName_;
    std::string audioApiName_;
};
