#include "orv-fx/HandlerORV.h"

#include "sdk/core/LogLine.h"

namespace {
constexpr const char* kTag = "HandlerORV";
constexpr unsigned int kNoSerial = 0xFFFFFFFFu;
}  // namespace

HandlerORV::HandlerORV(SdkPersistentState* state) : IHandler(state) {}

HandlerORV::~HandlerORV() {
    storeState(VBZ_STATE_DISCONNECTING);
    joinWorker(kTag);
    storeState(VBZ_STATE_DISCONNECTED);
}

vbz_device_info_t* HandlerORV::getFirstScannedDevice() {
    bool scanning;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        scanning = scanning_;
    }
    if (scanning) LogLine(3, kTag) << "Cannot get scanned devices: scanning ongoing.";
    return nullptr;  // no transport yet: a scan finds nothing
}

int HandlerORV::startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) {
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        output_ = output;
    }
    return startWorker([this, serialNumber]() { connectionRoutine(serialNumber); }, kTag);
}

void HandlerORV::connectionRoutine(unsigned int serialNumber) {
    // No transport can be opened yet: the attempt fails as for an absent vest.
    connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, VBZ_ERROR_DEVICE_NOT_REACHABLE,
                                serialNumber);
}

int HandlerORV::startScanningRoutine(vbz_output_t /*output*/) {
    return startWorker([this]() { scanningRoutine(); }, kTag);
}

void HandlerORV::scanningRoutine() {
    clearScanFlag();
    LogLine(2, kTag) << "Scanning routine terminated.";
}

int HandlerORV::connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings) {
    const int begun =
        beginAudioConnection(preset, settings, kTag, audioDeviceName_, audioApiName_);
    if (begun < 0) return begun;
    const int result = startWorker([this]() { audioConnectionRoutine(); }, kTag);
    if (result < 0) storeState(VBZ_STATE_DISCONNECTED);
    return result;
}

void HandlerORV::audioConnectionRoutine() {
    // No audio output exists yet: the attempt ends as an unreachable device.
    connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, VBZ_ERROR_DEVICE_NOT_REACHABLE, kNoSerial);
}

int HandlerORV::getOrvPreset() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return preset_;
}

float HandlerORV::getOrvVolume() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return volume_;
}

void HandlerORV::setLoopbackDevice(int audioDeviceIndex) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    // The capture starts here once an output rate is known; none is yet.
    loopbackDevice_ = audioDeviceIndex;
}

void HandlerORV::setOrvPreset(int preset) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    preset_ = preset;
}

void HandlerORV::setOrvVolume(float volume) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    volume_ = volume > 0.0f ? volume : 0.0f;
}
