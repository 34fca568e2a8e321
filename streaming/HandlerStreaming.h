// The default back-end: renders every actuator's signal on the host with its
// own engine core and sends it out through a stream, to a vest (StreamHid,
// for connect) or to a multichannel audio device (StreamAudio, for the
// experimental audio connection). Made by the back-end factory (kind 1) and
// owned by the VibrenzaSDK object. Log tag "HandlerStreaming".
//
// Every engine call of the operations below is made under the handler mutex,
// which the stream also takes around each render, so a played effect is
// created, configured and started between two rendered blocks. The mutex is
// always taken through vbz::HandlerLock: log lines written while it is held
// (the engine's warnings included) reach the sink after it is released. A
// pattern text is read and checked before the mutex is taken; only its
// insertion holds it.
//
// Played effects are engine sequences that remove themselves once they have
// ended, so the engine does not grow with every play. An effect id that was
// handed out and has ended answers as an ended effect without a warning:
// stopEffect 0, the speed and volume setters nothing, effectState -1. Only
// ids never handed out draw the engine's warning (and -96 from stopEffect).
// The engine's clock moves only while a stream renders: effects played
// while no vest is connected wait, and start when streaming starts. Since no
// render would free them, stopEffect (its fade skipped) and stopAll free
// their sequences at once while nothing is connected. Effects waiting so
// are bounded (kMaxWaitingEffects): a play beyond the bound is refused.
//
// Threads: the operations may be called from any application thread; the
// connection, scanning and audio routines run on the worker of the IHandler
// base, one at a time. The stream is replaced only under the handler mutex,
// read by copying its shared pointer under it, and never destroyed while the
// mutex is held. Destroying the back-end stops the stream and waits for the
// worker, whose routine reports "disconnected" through the callback first.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sdk/core/IHandler.h"
#include "streaming/AccumulationWindows.h"
#include "streaming/IStream.h"
#include "streaming/StreamSlot.h"
#include "streaming/TesCore.h"

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
    // Per-effect speed factor and volume in percent; no bounds check (the
    // engine stores negative values as 0 and warns about unknown ids).
    void setEffectSpeed(int effectId, float speed);
    void setEffectVolume(int effectId, float volume);

    // Most sequences the engine may hold while nothing streams; a play
    // beyond them is refused with -14 (VBZ_ERROR_PLAY_IGNORED) and a
    // warning. On connecting they all start in the same block, so they must
    // be few enough for the render step to keep up with the vest's requests.
    // Measured with BM_Render2kHz25 (bench/engine_bench.cpp: the vest's
    // 25-frame blocks at 2 kHz, one sample with four keyframes per
    // sequence): one core renders 33,000 to 60,000 such sequences in real
    // time, 0.27 to 0.37 us per sequence and block. 1,000 take under 0.4 ms
    // of a 12.5 ms request, leaving room for patterns of many samples, a
    // slower processor and a busy machine. Plays while streaming are not
    // bounded here: their sequences start and end with the stream's clock.
    static constexpr std::size_t kMaxWaitingEffects = 1000;

    // Sequences the engine holds; for diagnostics and tests.
    std::size_t sequenceCount();
    // Runs inspect on the engine under the handler mutex; for diagnostics
    // and tests. inspect must not call back into this back-end.
    void inspectEngine(const std::function<void(tsr::TessaronCore&)>& inspect);

private:
    // The current stream, copied under the handler mutex.
    std::shared_ptr<IStream> currentStream() { return stream_.current(); }
    void connectionRoutine(unsigned int serialNumber);
    void audioConnectionRoutine(vbz_audio_preset_t preset, vbz_audio_settings_t settings);
    void scanningRoutine(vbz_output_t output);
    // The sequence a play of patternId stands for, under the handler mutex.
    int createEffectSequenceLocked(int patternId);
    // Reads and checks json without the handler mutex, then stores it under
    // id (-1: the next free one) with it; the engine's result.
    int insertPattern(const std::string& json, int id);
    // True for an effect id this engine handed out whose sequence has ended
    // and gone; under the handler mutex.
    bool endedEffectLocked(int effectId);

    // Members are destroyed in reverse order: the stream before the core.
    vbz::TesCore core_;
    vbz::StreamSlot stream_;
    // Guarded by the handler mutex.
    AccumulationWindows accumulationWindows_;
    vbz_output_t output_ = VBZ_OUTPUT_ANY;
    std::string audioDeviceName_;
    std::string audioApiName_;
};
