#include "sdk/core/IHandler.h"

#include <exception>
#include <utility>

#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"
#include "sdk/core/SerialNumberText.h"

namespace {
constexpr const char* kTag = "Handler";
constexpr const char* kSdkVersion = "1.6.3-dirty-android-invalid";
constexpr unsigned int kNoSerial = 0xFFFFFFFFu;

// The connection callbacks running on this thread, innermost first. Lets the
// guards recognise a call made from inside a callback on a thread the base
// does not know (the sequencer's own threads), and the SDK refuse to free an
// instance from inside its callback. A chain, since a callback may free
// another instance, whose destruction reports to its own callback here.
struct CallbackFrame {
    const IHandler* handler;
    const SdkPersistentState* state;
    const CallbackFrame* outer;
};
thread_local const CallbackFrame* innermostCallback = nullptr;

void warn(const char* text) { LogLine(3, kTag) << text; }
}  // namespace

IHandler::IHandler(SdkPersistentState* state) : persistentState_(state) {
    if (state) {
        callback_ = state->getConnectionCallback();
        userData_ = state->getUserData();
    }
}

IHandler::~IHandler() {
    // Derived destructors join the worker; this only keeps a forgotten join
    // from ending the process.
    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id())
            worker_.detach();
        else
            worker_.join();
    }
}

int IHandler::connect(vbz_output_t output, unsigned int serialNumber) {
    if (onOwnThread()) {
        warn("Cannot connect device: called from the connection callback or the back-end's "
             "own thread.");
        return VBZ_ERROR_PROCESS_RUNNING;
    }
    const char* refusal = nullptr;
    int code = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (scanning_) {
            refusal = "Cannot connect device: scan running.";
            code = VBZ_ERROR_PROCESS_RUNNING;
        } else if (state_ == VBZ_STATE_CONNECTING || state_ == VBZ_STATE_DISCONNECTING) {
            refusal = "Cannot connect device: connection or disconnection ongoing.";
            code = VBZ_ERROR_PROCESS_RUNNING;
        } else if (state_ == VBZ_STATE_CONNECTED) {
            refusal = "Cannot connect device: a device is already connected.";
            code = VBZ_ERROR_DEVICE_ALREADY_CONNECTED;
        } else {
            state_ = VBZ_STATE_CONNECTING;
        }
    }
    if (refusal) {
        warn(refusal);
        return code;
    }
    const int result = startConnectionRoutine(output, serialNumber);
    if (result < 0) {
        // No routine runs to leave "connecting": give the state back.
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == VBZ_STATE_CONNECTING) state_ = VBZ_STATE_DISCONNECTED;
    }
    return result;
}

int IHandler::disconnect() {
    const char* refusal = nullptr;
    int code = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        switch (state_) {
            case VBZ_STATE_CONNECTING:
                refusal = "Connection routine ongoing, cannot disconnect until it's done.";
                code = VBZ_ERROR_PROCESS_RUNNING;
                break;
            case VBZ_STATE_RECONNECTING:
                refusal = "Reconnection routine ongoing, cannot disconnect until it's done.";
                code = VBZ_ERROR_PROCESS_RUNNING;
                break;
            case VBZ_STATE_DISCONNECTING:
                refusal = "Disconnection is ongoing, all resources are not released yet..";
                code = VBZ_ERROR_PROCESS_RUNNING;
                break;
            case VBZ_STATE_CONNECTED:
                state_ = VBZ_STATE_DISCONNECTING;
                break;
            default:
                refusal = "No device connected.";
                code = VBZ_ERROR_NO_DEVICE_CONNECTED;
                break;
        }
    }
    if (refusal) {
        warn(refusal);
        return code;
    }
    return startDisconnectionRoutine();
}

int IHandler::scanDevices(vbz_output_t output) {
    if (onOwnThread()) {
        warn("Cannot scan devices: called from the connection callback or the back-end's own "
             "thread.");
        return VBZ_ERROR_PROCESS_RUNNING;
    }
    const char* refusal = nullptr;
    int code = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (scanning_) {
            refusal = "Cannot scan devices: scanning already running.";
            code = VBZ_ERROR_PROCESS_RUNNING;
        } else if (state_ == VBZ_STATE_CONNECTING || state_ == VBZ_STATE_DISCONNECTING) {
            refusal = "Cannot scan devices: Connection or disconnection is already ongoing.";
            code = VBZ_ERROR_PROCESS_RUNNING;
        } else if (state_ == VBZ_STATE_CONNECTED) {
            refusal = "Cannot scan devices: a device is already connected.";
            code = VBZ_ERROR_DEVICE_ALREADY_CONNECTED;
        } else {
            scanning_ = true;
        }
    }
    if (refusal) {
        warn(refusal);
        return code;
    }
    const int result = startScanningRoutine(output);
    if (result < 0) clearScanFlag();
    return result;
}

vbz_connection_state_t IHandler::connectionStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<vbz_connection_state_t>(state_);
}

int IHandler::scanStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return scanning_ ? 1 : 0;
}

int IHandler::setConnectionCallback(ConnectionCallback callback, void* userData) {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = callback;
    userData_ = userData;
    return 0;
}

std::string IHandler::getVibrenzaSerialNumberAsString() {
    const unsigned int serial = getVibrenzaSerialNumber();
    if (serial == kNoSerial) return "noDeviceConnected";
    return vbz::serialNumberText(serial);
}

std::string IHandler::getSDKVersion() { return kSdkVersion; }

void IHandler::connectionRoutineTerminated(int state, int error, unsigned int serialNumber) {
    ConnectionCallback callback;
    void* userData;
    {
        // The state and the callback it goes to are taken in one hold.
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
        callback = callback_;
        userData = userData_;
    }
    if (callback) {
        callOutside(callback, userData, state, error, serialNumber);
        LogLine(0, kTag) << "Connection routine terminated: connectionCallback called.";
    } else {
        LogLine(0, kTag) << "Connection routine terminated: no connectionCallback set.";
    }
}

bool IHandler::onOwnThread() const {
    for (const CallbackFrame* f = innermostCallback; f; f = f->outer)
        if (f->handler == this) return true;
    return workerId_.load() == std::this_thread::get_id();
}

bool IHandler::insideCallbackOf(const SdkPersistentState* state) {
    if (!state) return false;
    for (const CallbackFrame* f = innermostCallback; f; f = f->outer)
        if (f->state == state) return true;
    return false;
}

int IHandler::startWorker(std::function<void()> routine, const char* tag) {
    if (worker_.joinable()) {
        if (worker_.get_id() == std::this_thread::get_id()) {
            LogLine(3, tag) << "Cannot start a routine from the back-end's own thread.";
            return VBZ_ERROR_PROCESS_RUNNING;
        }
        worker_.join();
    }
    try {
        worker_ = std::thread([this, routine = std::move(routine)]() {
            // Known only while the routine runs: a finished thread's id may be
            // given to an application thread later.
            workerId_.store(std::this_thread::get_id());
            try {
                routine();
            } catch (const std::exception& e) {
                LogLine(4, "Handler") << "Worker routine failed: " << e.what();
            } catch (...) {
                LogLine(4, "Handler") << "Worker routine failed.";
            }
            workerId_.store(std::thread::id());
        });
    } catch (const std::exception& e) {
        LogLine(4, tag) << "Unable to start the worker thread: " << e.what();
        return VBZ_ERROR_OTHER;
    }
    return 0;
}

void IHandler::joinWorker(const char* tag) {
    if (!worker_.joinable()) return;
    if (worker_.get_id() == std::this_thread::get_id()) {
        // Destroying a back-end from its own thread (its callback) is outside
        // the contract; detaching at least keeps the process alive.
        LogLine(4, tag) << "Back-end destroyed from its own thread; worker detached.";
        worker_.detach();
        return;
    }
    worker_.join();
    LogLine(0, tag) << "Async thread joined.";
}

int IHandler::beginAudioConnection(vbz_audio_preset_t preset, vbz_audio_settings_t& settings,
                                   const char* tag, std::string& deviceName,
                                   std::string& apiName) {
    LogLine(2, tag) << "Command: connectAudio(" << static_cast<int>(preset) << ", "
                    << settings.deviceName << ", " << settings.audioAPI << ", sampleRate-"
                    << settings.sampleRate << ", bufferSize-" << settings.bufferSize
                    << ", nbChannels-" << settings.nbStreamChannel << ", latency-"
                    << settings.suggestedOutputLatency << ")";
    if (settings.bufferSize == 0 || settings.nbStreamChannel == 0) {
        LogLine(4, tag) << "Invalid audio settings.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    if (onOwnThread()) {
        LogLine(3, tag) << "Cannot connect device: called from the connection callback or the "
                           "back-end's own thread.";
        return VBZ_ERROR_PROCESS_RUNNING;
    }
    const char* refusal = nullptr;
    int code = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (scanning_) {
            refusal = "Cannot connect device: scan running.";
            code = VBZ_ERROR_PROCESS_RUNNING;
        } else if (state_ == VBZ_STATE_CONNECTED) {
            refusal = "Cannot connect device: a device is already connected.";
            code = VBZ_ERROR_DEVICE_ALREADY_CONNECTED;
        } else if (state_ == VBZ_STATE_CONNECTING || state_ == VBZ_STATE_DISCONNECTING) {
            refusal = "Cannot connect device: connection or disconnection ongoing.";
            code = VBZ_ERROR_PROCESS_RUNNING;
        } else {
            state_ = VBZ_STATE_CONNECTING;
            deviceName = settings.deviceName ? settings.deviceName : "";
            apiName = settings.audioAPI ? settings.audioAPI : "";
            settings.deviceName = deviceName.c_str();
            settings.audioAPI = apiName.c_str();
        }
    }
    if (refusal) {
        LogLine(3, tag) << refusal;
        return code;
    }
    return 0;
}

void IHandler::storeState(int state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
}

void IHandler::clearScanFlag() {
    std::lock_guard<std::mutex> lock(mutex_);
    scanning_ = false;
}

bool IHandler::invokeConnectionCallback(int state, int error, unsigned int serialNumber) {
    ConnectionCallback callback;
    void* userData;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        callback = callback_;
        userData = userData_;
    }
    if (!callback) return false;
    callOutside(callback, userData, state, error, serialNumber);
    return true;
}

void IHandler::callOutside(ConnectionCallback callback, void* userData, int state, int error,
                           unsigned int serialNumber) const {
    // Popped however the callback leaves, so that no frame outlives its scope.
    struct Push {
        CallbackFrame frame;
        explicit Push(CallbackFrame f) : frame(f) { innermostCallback = &frame; }
        ~Push() { innermostCallback = frame.outer; }
    } push(CallbackFrame{this, persistentState_, innermostCallback});
    callback(static_cast<vbz_connection_state_t>(state), static_cast<vbz_error_t>(error),
             serialNumber, userData);
}
