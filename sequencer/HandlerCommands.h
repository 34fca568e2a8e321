// The legacy back-end (log tag "Sequencer"): schedules each playing pattern's
// samples on the host and commands the vest to play them on its own board
// slots. Made by the back-end factory (kind 0) when the application asks for
// the legacy back-end; owned by the VibrenzaSDK object.
//
// This version keeps its pattern table, effect table, gain and requests but
// has no transport yet: a connection attempt reports (-1, -6) and a scan
// finds nothing. The sequencing and reception threads come with the
// transport, behind the same interface.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sdk/core/IHandler.h"

class HandlerCommands : public IHandler {
public:
    explicit HandlerCommands(SdkPersistentState* state);
    ~HandlerCommands() override;

    vbz_device_info_t* getFirstScannedDevice() override;
    int kind() override { return 0; }

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

private:
    struct LegacyPattern {
        int boost = 0;  // the pattern's integer boost
    };
    // Reads a pattern text; 0 and the pattern, or a negative code.
    static int readPattern(const std::string& json, LegacyPattern& out);
    void connectionRoutine();
    void scanningRoutine();

    // Guarded by the handler mutex.
    unsigned int serialNumber_ = 0xFFFFFFFFu;
    std::string version_ = "noDeviceConnected";
    unsigned int deviceType_ = 0xFFFFFFFFu;
    int globalBoost_ = 0;
    std::map<int, LegacyPattern> patternTable_;
    int nextPatternId_ = 0;
    std::map<int, int> effectTable_;  // effect id -> sequence state
    int nextEffectId_ = 0;
    std::vector<int> stopList_;
    std::vector<float> stopFades_;
    std::vector<vbz_device_info_t> scannedDevices_;
    vbz_output_t requestedOutput_ = VBZ_OUTPUT_ANY;
    bool disconnectionFlag_ = false;
    bool pauseRequested_ = false;
    bool resumeRequested_ = false;
    bool stopAllRequested_ = false;
};
