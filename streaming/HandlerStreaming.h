// The default back-end: renders every actuator's signal on the host and
// streams it to the vest. Made by the back-end factory (kind 1) and owned by
// the VibrenzaSDK object.
//
// This version keeps pattern ids, pattern boosts, the global gain and effect
// ids in small tables of its own and has no transport yet: a connection
// attempt ends with -6 and a scan finds nothing. The rendering engine and the
// streams replace these tables without changing this interface.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "sdk/core/IHandler.h"
#include "streaming/AccumulationWindows.h"

class HandlerStreaming : public IHandler {
public:
    // clock: the steady clock of the accumulation windows (null: the
    // system's); tests pass one they move by hand.
    explicit HandlerStreaming(SdkPersistentState* state, std::shared_ptr<SteadyClock> clock = nullptr);
    ~HandlerStreaming() override;

    vbz_device_info_t* getFirstScannedDevice() override;
    int kind() override { return 1; }

protected:
    void reloadPatterns() override;
    int startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) override;
    int startScanningRoutine(vbz_output_t output) override;
    int startDisconnectionRoutine() override;

public:
    unsigned int getVibrenzaSerialNumber() override;
    std::string getVibrenzaVersion() override;
    vbz_device_type_t getVibrenzaType() override;
    int getGlobalIntensityBoost() override;
    int setGlobalIntensityBoost(int gain) override;
    int loadPatternFromJSON(std::string json) override;
    int unloadPattern(int patternId) override;
    int getPatternIntensityBoost(int patternId) override;
    int setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId, float timeWindow,
                                       int maxAccumulation) override;
    int eraseAccumulationWindowToPattern(int patternId) override;
    int playEffect(int patternId, vbz_effect_properties_t properties) override;
    int stopEffect(int effectId, float fadeTime) override;
    vbz_effect_state_t effectState(int effectId) override;
    int pauseAll() override;
    int resumeAll() override;
    int stopAll() override;

    // Audio-device connection: checks the settings (-2), runs the
    // connection guards (-11, -12), then points settings.deviceName and
    // settings.audioAPI at copies that this back-end keeps and starts the
    // audio routine on the worker. 0 once started. Application thread only.
    int connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings);
    // Per-effect speed factor and volume in percent; no bounds check.
    void setEffectSpeed(int effectId, float speed);
    void setEffectVolume(int effectId, float volume);

private:
    // Stores a parsed pattern under id; the engine's code (-99) when the
    // text is not a pattern. Caller holds the handler mutex.
    int storePatternLocked(const std::string& json, int id);
    void connectionRoutine(unsigned int serialNumber);
    void audioConnectionRoutine();
    void scanningRoutine();

    // Guarded by the handler mutex.
    std::map<int, double> patternBoosts_;  // pattern id -> boost factor
    AccumulationWindows accumulationWindows_;
    std::map<int, bool> effects_;  // effect id -> muted
    int nextPatternId_ = 0;
    int nextEffectId_ = 0;
    double globalBoost_ = 0.0;
    bool paused_ = false;
    vbz_output_t output_ = VBZ_OUTPUT_ANY;
    std::string audioDeviceName_;
    std::string audioApiName_;
};
