#include "orv-fx/HandlerORV.h"

#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"

namespace {
constexpr const char* kTag = "HandlerORV";
// The output rate of the haptics for a vest until its stream asks for another.
constexpr double kVestRate = 500.0;

vbz::StreamSlot::Factory slotFactory(HandlerORV::StreamFactory factory, AbstractCore* source, std::mutex* mutex,
                                     IHandler* owner) {
    if (!factory) return vbz::StreamSlot::defaultFactory(source, mutex, owner);
    return [factory = std::move(factory), source, mutex, owner](int kind) {
        return factory(kind, source, mutex, owner);
    };
}
}  // namespace

HandlerORV::HandlerORV(SdkPersistentState* state, StreamFactory factory)
    : IHandler(state), stream_(handlerMutex(), slotFactory(std::move(factory), &core_, &handlerMutex(), this)) {}

HandlerORV::~HandlerORV() {
    storeState(VBZ_STATE_DISCONNECTING);
    stream_.close();
    joinWorker(kTag);
    storeState(VBZ_STATE_DISCONNECTED);
    stream_.release();
    // The core goes next and stops the capture.
}

vbz_device_info_t* HandlerORV::getFirstScannedDevice() {
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

int HandlerORV::startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) {
    {
        vbz::HandlerLock lock(handlerMutex());
        output_ = output;
    }
    return startWorker([this, serialNumber]() { connectionRoutine(serialNumber); }, kTag);
}

void HandlerORV::connectionRoutine(unsigned int serialNumber) {
    stream_.ensureKind(vbz::kStreamHidKind);
    vbz_output_t output;
    {
        vbz::HandlerLock lock(handlerMutex());
        output = output_;
    }
    // The output rate is fixed without the handler mutex: it may start the
    // capture, which opens an audio device.
    vbz::runVestConnection(*this, *currentStream(), output, serialNumber, [this] { core_.setSampleRate(kVestRate); });
}

int HandlerORV::startScanningRoutine(vbz_output_t output) {
    return startWorker([this, output]() { scanningRoutine(output); }, kTag);
}

void HandlerORV::scanningRoutine(vbz_output_t output) {
    stream_.ensureKind(vbz::kStreamHidKind);
    currentStream()->scanDevices(output);
    clearScanFlag();
    LogLine(2, kTag) << "Scanning routine terminated.";
}

int HandlerORV::startDisconnectionRoutine() {
    // The running loop ends and its routine reports "disconnected".
    currentStream()->stop();
    return 0;
}

int HandlerORV::connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings) {
    // The caller's texts stay the caller's: the routine works on the copies
    // this back-end keeps.
    vbz_audio_settings_t kept = settings;
    const int begun = beginAudioConnection(preset, kept, kTag, audioDeviceName_, audioApiName_);
    if (begun < 0) return begun;
    const int result = startWorker([this, preset, kept]() { audioConnectionRoutine(preset, kept); }, kTag);
    if (result < 0) storeState(VBZ_STATE_DISCONNECTED);
    return result;
}

void HandlerORV::audioConnectionRoutine(vbz_audio_preset_t preset, vbz_audio_settings_t settings) {
    stream_.ensureKind(vbz::kStreamAudioKind);
    // Opening the output sets the core's rate to the device's, which starts
    // the capture.
    vbz::runAudioConnection(*this, *currentStream(), preset, settings);
}

unsigned int HandlerORV::getVibrenzaSerialNumber() { return currentStream()->getVibrenzaSerialNumber(); }
std::string HandlerORV::getVibrenzaVersion() { return currentStream()->getVibrenzaVersion(); }
vbz_device_type_t HandlerORV::getVibrenzaType() {
    return static_cast<vbz_device_type_t>(currentStream()->getVibrenzaType());
}

// The preset lives with the capture under the core's control lock; taking
// the handler mutex too would hold up the stream's renders while a capture
// starts.
int HandlerORV::getOrvPreset() { return static_cast<int>(core_.getPreset()); }

float HandlerORV::getOrvVolume() {
    vbz::HandlerLock lock(handlerMutex());
    return core_.getVolume();
}

int HandlerORV::setLoopbackDevice(const vbz::AudioDeviceRef& device) {
    // Not under the handler mutex: a (re)start opens the device, and the
    // stream's renders must not wait for that. The core's control lock
    // orders it with the stream's rate changes.
    return core_.setDevice(device);
}

void HandlerORV::setOrvPreset(int preset) { core_.setPreset(static_cast<unsigned>(preset)); }

void HandlerORV::setOrvVolume(float volume) {
    vbz::HandlerLock lock(handlerMutex());
    core_.setVolume(volume);
}
