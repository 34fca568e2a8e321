#include "streaming/HandlerStreaming.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>

#include "sdk/core/ErrorText.h"
#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"
#include "sdk/core/SerialNumberText.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/tsr/tsr_log.h"

namespace {
constexpr const char* kTag = "HandlerStreaming";
constexpr double kSampleRate = 48000.0;
constexpr std::size_t kBufferSize = 512;

// The boost of a play, from -100..100 to the engine's factor: 10^(b/50) / 100
// for b > 0, its negative for b < 0, 0 for 0. The exponent is formed in
// single precision, as the vest's firmware tables were.
double playBoost(int32_t b) {
    if (b == 0) return 0.0;
    const float exponent = 0.02f * static_cast<float>(b > 0 ? std::min(b, 100) : -std::max(b, -100));
    const double g = std::pow(10.0, static_cast<double>(exponent));
    return (b > 0 ? g : -g) / 100.0;
}
}  // namespace

HandlerStreaming::HandlerStreaming(SdkPersistentState* state, std::shared_ptr<SteadyClock> clock)
    : IHandler(state),
      core_(tsr::makeDefaultLayout(), kSampleRate, kBufferSize),
      stream_(handlerMutex(), vbz::StreamSlot::defaultFactory(&core_, &handlerMutex(), this)),
      accumulationWindows_(std::move(clock)) {
    // Engine messages of warning level and above reach the SDK's sink.
    tsr_set_log_level(3);
    tsr_set_log_callback(&vbz::engineLogHook);
    // Ids this engine hands out never collide with the kept ones.
    core_.core().pattern_reserve_id_range(state ? state->lastPatternId() + 1 : 0);
}

HandlerStreaming::~HandlerStreaming() {
    storeState(VBZ_STATE_DISCONNECTING);
    stream_.close();
    joinWorker(kTag);
    storeState(VBZ_STATE_DISCONNECTED);
    stream_.release();
}

vbz_device_info_t* HandlerStreaming::getFirstScannedDevice() {
    bool scanning;
    {
        vbz::HandlerLock lock(handlerMutex());
        scanning = scanning_;
    }
    if (scanning) {
        LogLine(3, kTag) << "Cannot get scanned devices: scanning ongoing.";
        return nullptr;
    }
    return currentStream()->getFirstScannedDevice();
}

void HandlerStreaming::reloadPatterns() {
    if (!persistentState_) return;
    std::map<int, std::string> kept;
    persistentState_->getPatterns(kept);
    for (const auto& [id, text] : kept) {
        const int result = insertPattern(text, id);
        if (result < 0 && result != VBZ_ERROR_CORE_INSTANCE_ALLOCATED)
            LogLine(3, kTag) << "Unable to reload pattern ID " << id << " : " << errorText(result);
        else
            LogLine(0, kTag) << "Pattern ID " << id << " reloaded.";
    }
}

int HandlerStreaming::startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) {
    {
        vbz::HandlerLock lock(handlerMutex());
        output_ = output;
    }
    return startWorker([this, serialNumber]() { connectionRoutine(serialNumber); }, kTag);
}

void HandlerStreaming::connectionRoutine(unsigned int serialNumber) {
    stream_.ensureKind(vbz::kStreamHidKind);
    reloadPatterns();
    vbz_output_t output;
    {
        vbz::HandlerLock lock(handlerMutex());
        output = output_;
    }
    vbz::runVestConnection(*this, *currentStream(), output, serialNumber);
}

int HandlerStreaming::startScanningRoutine(vbz_output_t output) {
    return startWorker([this, output]() { scanningRoutine(output); }, kTag);
}

void HandlerStreaming::scanningRoutine(vbz_output_t output) {
    stream_.ensureKind(vbz::kStreamHidKind);
    currentStream()->scanDevices(output);
    clearScanFlag();
    LogLine(2, kTag) << "Scanning routine terminated.";
}

int HandlerStreaming::startDisconnectionRoutine() {
    // The running loop ends and its routine reports "disconnected".
    currentStream()->stop();
    return 0;
}

int HandlerStreaming::connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings) {
    const int begun = beginAudioConnection(preset, settings, kTag, audioDeviceName_, audioApiName_);
    if (begun < 0) return begun;
    const vbz_audio_settings_t copy = settings;
    const int result =
        startWorker([this, preset, copy]() { audioConnectionRoutine(preset, copy); }, kTag);
    if (result < 0) storeState(VBZ_STATE_DISCONNECTED);
    return result;
}

void HandlerStreaming::audioConnectionRoutine(vbz_audio_preset_t preset, vbz_audio_settings_t settings) {
    stream_.ensureKind(vbz::kStreamAudioKind);
    reloadPatterns();
    vbz::runAudioConnection(*this, *currentStream(), preset, settings);
}

unsigned int HandlerStreaming::getVibrenzaSerialNumber() { return currentStream()->getVibrenzaSerialNumber(); }
std::string HandlerStreaming::getVibrenzaVersion() { return currentStream()->getVibrenzaVersion(); }
vbz_device_type_t HandlerStreaming::getVibrenzaType() {
    return static_cast<vbz_device_type_t>(currentStream()->getVibrenzaType());
}

int HandlerStreaming::getGlobalIntensityBoost() {
    vbz::HandlerLock lock(handlerMutex());
    return vbz::saturatingToInt(core_.core().config_global_boost_get() * 100.0);
}

int HandlerStreaming::setGlobalIntensityBoost(int gain) {
    vbz::HandlerLock lock(handlerMutex());
    core_.core().config_global_boost_set(static_cast<float>(gain) / 100.0f);
    return 0;
}

int HandlerStreaming::insertPattern(const std::string& json, int id) {
    // Reading and checking a large text takes long: the stream must not wait
    // for it, so only the insertion holds the mutex. A refused entry is freed
    // after the mutex is released.
    tsr::PatternEntry entry = tsr::loadPatternFromJson(json.c_str());
    vbz::HandlerLock lock(handlerMutex());
    return core_.core().pattern_insert(std::move(entry), id);
}

int HandlerStreaming::loadPatternFromJSON(std::string json) {
    const int result = insertPattern(json, -1);
    if (result < 0)
        LogLine(4, kTag) << "Unable to load vpt :" << errorText(result);
    else
        LogLine(2, kTag) << "Pattern loaded. Assigned to ID: " << result;
    return result;
}

int HandlerStreaming::unloadPattern(int patternId) {
    int result;
    {
        vbz::HandlerLock lock(handlerMutex());
        result = core_.core().pattern_unload(patternId);
    }
    if (result < 0)
        LogLine(4, kTag) << "Unable to unload pattern ID " << patternId << " : " << errorText(result);
    return result;
}

int HandlerStreaming::getPatternIntensityBoost(int patternId) {
    vbz::HandlerLock lock(handlerMutex());
    return vbz::saturatingToInt(core_.core().pattern_boost_get(patternId) * 100.0);
}

int HandlerStreaming::setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId,
                                                     float timeWindow, int maxAccumulation) {
    bool found = false;
    int missing = mainPatternId;
    {
        vbz::HandlerLock lock(handlerMutex());
        tsr::TessaronCore& engine = core_.core();
        if (!engine.pattern_is_allocated(mainPatternId)) {
            missing = mainPatternId;
        } else if (!engine.pattern_is_allocated(fallbackPatternId)) {
            missing = fallbackPatternId;
        } else {
            accumulationWindows_.set(mainPatternId, fallbackPatternId, timeWindow, maxAccumulation);
            found = true;
        }
    }
    if (!found) {
        LogLine(4, kTag) << "Could not set an accumulation window: Pattern ID " << missing << " not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerStreaming::eraseAccumulationWindowToPattern(int patternId) {
    bool erased;
    {
        vbz::HandlerLock lock(handlerMutex());
        erased = accumulationWindows_.erase(patternId);
    }
    if (!erased) {
        LogLine(4, kTag) << "Could not erase an accumulation window: No accumulation set on Pattern ID "
                         << patternId << ".";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerStreaming::createEffectSequenceLocked(int patternId) {
    tsr::TessaronCore& engine = core_.core();
    return accumulationWindows_.createSequence(
        patternId, [&engine](int id) { return engine.pattern_is_allocated(id); },
        // Auto-delete: the engine drops the sequence once it has ended.
        [&engine](int id) { return engine.sequence_new(id, true, -1); });
}

int HandlerStreaming::playEffect(int patternId, vbz_effect_properties_t p) {
    // The engine would refuse to start at a negative time only after the
    // sequence exists, and a sequence that never started is never removed.
    if (!(p.playAtTime >= 0.0f)) {
        LogLine(4, kTag) << "Could not play effect: " << errorText(VBZ_ERROR_CORE_INVALID_ARGUMENT);
        return VBZ_ERROR_CORE_INVALID_ARGUMENT;
    }
    int id;
    int played = 0;
    bool full = false;
    {
        vbz::HandlerLock lock(handlerMutex());
        tsr::TessaronCore& engine = core_.core();
        // Without a stream nothing ends: each play would stay until the
        // connection, and then all would start in the same block.
        full = state_ != VBZ_STATE_CONNECTED && engine.sequences().size() >= kMaxWaitingEffects;
        id = full ? VBZ_ERROR_PLAY_IGNORED : createEffectSequenceLocked(patternId);
        if (id >= 0) {
            if (p.overridePatternBoost) engine.property_boost_set(id, playBoost(p.effectBoost));
            engine.property_max_duration_set(id, p.maxDuration);
            engine.property_repeat_count_set(id, static_cast<unsigned>(std::max(0, p.repeatCount)));
            engine.property_repeat_delay_set(id, p.repeatDelay);
            engine.property_volume_set(id, p.volume / 100.0f);
            engine.property_speed_set(id, p.speed);
            if (tsr::SpatialProperties* spatial = engine.sequence_properties_get(id)) {
                constexpr double kDegree = std::numbers::pi / 180.0;
                spatial->setTranslation(0.0, p.height * 0.24f, 0.0);
                spatial->setRotation(0.0, p.heading * kDegree, p.tilting * kDegree);
                spatial->setFrontBackInversion(p.frontBackInversion);
                spatial->setUpDownInversion(p.upDownInversion);
                spatial->setRightLeftInversion(p.rightLeftInversion);
                spatial->setFrontBackAddition(p.frontBackAddition);
                spatial->setUpDownAddition(p.upDownAddition);
                spatial->setRightLeftAddition(p.rightLeftAddition);
            }
            played = engine.sequence_play(id, p.playAtTime, 0.0);
        }
    }
    if (full) {
        LogLine(3, kTag) << "Could not play effect: " << kMaxWaitingEffects
                         << " effects already wait for a stream.";
        return id;
    }
    if (id < 0) {
        AccumulationWindows::logRefusal(id);
        LogLine(4, kTag) << "Could not play effect: " << errorText(id);
        return id;
    }
    if (played < 0) {
        LogLine(4, kTag) << "Could not play effect: " << errorText(played);
        return played;
    }
    return id;
}

bool HandlerStreaming::endedEffectLocked(int effectId) {
    const auto& sequences = core_.core().sequences();
    return effectId >= 0 && effectId < sequences.nextId() && !sequences.contains(effectId);
}

int HandlerStreaming::stopEffect(int effectId, float fadeTime) {
    int result = 0;
    {
        vbz::HandlerLock lock(handlerMutex());
        tsr::TessaronCore& engine = core_.core();
        if (!endedEffectLocked(effectId)) {
            // Without a render a fade never advances: the effect stops at once
            // and its sequence goes now rather than at the next connection.
            const bool rendering = state_ == VBZ_STATE_CONNECTED;
            result = engine.sequence_stop(effectId, rendering ? fadeTime : 0.0);
            if (result == 0) engine.sequence_remove_if_ended(effectId);
        }
    }
    if (result < 0) LogLine(3, kTag) << "Unable to stop effect ID " << effectId << " : " << errorText(result);
    return result;
}

vbz_effect_state_t HandlerStreaming::effectState(int effectId) {
    vbz::HandlerLock lock(handlerMutex());
    tsr::TessaronCore& engine = core_.core();
    // Ended effects are gone from the engine: asking for them is no fault
    // worth a warning.
    if (!engine.sequences().contains(effectId)) return VBZ_EFFECT_UNKNOWN;
    const int state = engine.sequence_state_get(effectId);
    if (state != 1 && state != 2) return VBZ_EFFECT_UNKNOWN;
    return engine.sequence_mute_get(effectId) ? VBZ_EFFECT_MUTED : VBZ_EFFECT_PLAYING;
}

int HandlerStreaming::pauseAll() {
    vbz::HandlerLock lock(handlerMutex());
    core_.core().set_pause(true);
    return 0;
}

int HandlerStreaming::resumeAll() {
    vbz::HandlerLock lock(handlerMutex());
    core_.core().set_pause(false);
    return 0;
}

int HandlerStreaming::stopAll() {
    vbz::HandlerLock lock(handlerMutex());
    core_.core().stop_all(0.0);
    // Stopped at once, every played sequence has ended: free them now, as
    // the next render would (none may come while disconnected).
    core_.core().sequence_remove_ended();
    return 0;
}

void HandlerStreaming::setEffectSpeed(int effectId, float speed) {
    vbz::HandlerLock lock(handlerMutex());
    if (!endedEffectLocked(effectId)) core_.core().property_speed_set(effectId, speed);
}

void HandlerStreaming::setEffectVolume(int effectId, float volume) {
    vbz::HandlerLock lock(handlerMutex());
    if (!endedEffectLocked(effectId)) core_.core().property_volume_set(effectId, volume / 100.0f);
}

std::size_t HandlerStreaming::sequenceCount() {
    vbz::HandlerLock lock(handlerMutex());
    return core_.core().sequences().size();
}

void HandlerStreaming::inspectEngine(const std::function<void(tsr::TessaronCore&)>& inspect) {
    vbz::HandlerLock lock(handlerMutex());
    inspect(core_.core());
}
