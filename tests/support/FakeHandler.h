// A scripted back-end for tests of the back-end base and of the SDK object.
// Its routines run on the real worker thread of the base and wait on gates
// that the test opens, so a test decides when a connection or scan ends
// without sleeping. Everything it records is guarded by its own mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/core/IHandler.h"
#include "sdk/core/SdkPersistentState.h"
#include "tests/support/ThreadCount.h"

namespace vbz_test {

// Waits until pred() holds, at most a generous bound; returns pred().
template <typename Pred>
bool waitUntil(std::mutex& m, std::condition_variable& cv, Pred pred) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(20), pred);
}

class FakeHandler : public IHandler {
public:
    struct Script {
        int kind = 1;
        // Connection outcome: connected (then -1 with loopResult once asked
        // to disconnect), or a failure with connectError.
        bool connectSucceeds = false;
        int connectError = VBZ_ERROR_DEVICE_NOT_REACHABLE;
        unsigned int connectedSerial = 12345678u;
        int loopResult = 0;
        // Results of the start operations (negative: the routine is not started).
        int startConnectionResult = 0;
        int startScanResult = 0;
        // Routines wait for their gate before they report.
        bool holdConnection = false;
        bool holdScan = false;
        int loadResult = 0;  // 0: next id; negative: that code
        int playResult = 7;
        // Told "connection-start" and "scan-end" as the routines pass them.
        std::function<void(const char*)> onEvent;
    };

    FakeHandler(SdkPersistentState* state, Script script) : IHandler(state), script_(script) {
        nextPatternId_ = state ? state->lastPatternId() + 1 : 0;
    }
    ~FakeHandler() override {
        storeState(VBZ_STATE_DISCONNECTING);
        {
            std::lock_guard<std::mutex> lock(m_);
            stopRequested_ = true;
            connectionGate_ = true;
            scanGate_ = true;
        }
        cv_.notify_all();
        joinWorker("Fake");
        storeState(VBZ_STATE_DISCONNECTED);
    }

    // ---- Test controls.
    void openConnectionGate() { open(connectionGate_); }
    void openScanGate() { open(scanGate_); }
    bool waitConnectionStarted() {
        return waitUntil(m_, cv_, [&] { return connectionRoutineStarted_; });
    }
    bool waitScanStarted() { return waitUntil(m_, cv_, [&] { return scanRoutineStarted_; }); }
    bool waitConnectionRoutineDone() {
        return waitUntil(m_, cv_, [&] { return connectionRoutineDone_; });
    }
    bool waitScanDone() { return waitUntil(m_, cv_, [&] { return scanDone_; }); }
    int starts(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_);
        return startCounts_[what];
    }
    std::vector<int> reloadedIds() {
        std::lock_guard<std::mutex> lock(m_);
        return reloadedIds_;
    }
    vbz_effect_properties_t lastProperties() {
        std::lock_guard<std::mutex> lock(m_);
        return lastProperties_;
    }
    int playCalls() {
        std::lock_guard<std::mutex> lock(m_);
        return playCalls_;
    }
    int lastGain() {
        std::lock_guard<std::mutex> lock(m_);
        return gain_;
    }
    void setGain(int gain) {
        std::lock_guard<std::mutex> lock(m_);
        gain_ = gain;
    }
    unsigned int lastOutput() {
        std::lock_guard<std::mutex> lock(m_);
        return static_cast<unsigned int>(output_);
    }
    // The state as the worker would store it, for tests of the guards.
    void forceState(int state) { storeState(state); }
    using IHandler::beginAudioConnection;

    // ---- IHandler.
    vbz_device_info_t* getFirstScannedDevice() override { return nullptr; }
    int kind() override { return script_.kind; }

protected:
    void reloadPatterns() override {
        std::map<int, std::string> kept;
        if (persistentState_) persistentState_->getPatterns(kept);
        std::lock_guard<std::mutex> lock(m_);
        for (const auto& entry : kept) reloadedIds_.push_back(entry.first);
    }
    int startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) override {
        {
            std::lock_guard<std::mutex> lock(m_);
            ++startCounts_["connect"];
            output_ = output;
        }
        if (script_.startConnectionResult < 0) return script_.startConnectionResult;
        return startWorker([this, serialNumber] { connectionRoutine(serialNumber); }, "Fake");
    }
    int startScanningRoutine(vbz_output_t) override {
        {
            std::lock_guard<std::mutex> lock(m_);
            ++startCounts_["scan"];
        }
        if (script_.startScanResult < 0) return script_.startScanResult;
        return startWorker([this] { scanRoutine(); }, "Fake");
    }
    int startDisconnectionRoutine() override {
        {
            std::lock_guard<std::mutex> lock(m_);
            ++startCounts_["disconnect"];
            stopRequested_ = true;
        }
        cv_.notify_all();
        return 0;
    }

public:
    unsigned int getVibrenzaSerialNumber() override {
        std::lock_guard<std::mutex> lock(m_);
        return serial_;
    }
    std::string getVibrenzaVersion() override { return "noDeviceConnected"; }
    vbz_device_type_t getVibrenzaType() override { return VBZ_DEVICE_UNKNOWN; }
    int getGlobalIntensityBoost() override {
        std::lock_guard<std::mutex> lock(m_);
        return gain_;
    }
    int setGlobalIntensityBoost(int gain) override {
        std::lock_guard<std::mutex> lock(m_);
        gain_ = gain;
        return 0;
    }
    int loadPatternFromJSON(std::string) override {
        if (script_.loadResult < 0) return script_.loadResult;
        std::lock_guard<std::mutex> lock(m_);
        return nextPatternId_++;
    }
    int unloadPattern(int patternId) override { return patternId == 99 ? -2 : 0; }
    int getPatternIntensityBoost(int) override { return 40; }
    int setAccumulationWindowToPattern(int, int, float, int) override { return 0; }
    int eraseAccumulationWindowToPattern(int) override { return 0; }
    int playEffect(int, vbz_effect_properties_t properties) override {
        std::lock_guard<std::mutex> lock(m_);
        ++playCalls_;
        lastProperties_ = properties;
        return script_.playResult;
    }
    int stopEffect(int, float) override { return 0; }
    vbz_effect_state_t effectState(int) override { return VBZ_EFFECT_PLAYING; }
    int pauseAll() override { return 0; }
    int resumeAll() override { return 0; }
    int stopAll() override { return 0; }

private:
    void open(bool& gate) {
        {
            std::lock_guard<std::mutex> lock(m_);
            gate = true;
        }
        cv_.notify_all();
    }
    void connectionRoutine(unsigned int askedSerial) {
        {
            std::lock_guard<std::mutex> lock(m_);
            connectionRoutineStarted_ = true;
            connectionRoutineDone_ = false;
        }
        cv_.notify_all();
        if (script_.onEvent) script_.onEvent("connection-start");
        reloadPatterns();
        if (script_.holdConnection) waitUntil(m_, cv_, [&] { return connectionGate_; });
        if (!script_.connectSucceeds) {
            connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, script_.connectError, askedSerial);
        } else {
            {
                std::lock_guard<std::mutex> lock(m_);
                serial_ = script_.connectedSerial;
            }
            connectionRoutineTerminated(VBZ_STATE_CONNECTED, 0, script_.connectedSerial);
            // The stream's loop: runs until asked to stop.
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [&] { return stopRequested_; });
                stopRequested_ = false;
                serial_ = 0xFFFFFFFFu;
            }
            connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, script_.loopResult,
                                        script_.connectedSerial);
        }
        {
            std::lock_guard<std::mutex> lock(m_);
            connectionRoutineDone_ = true;
        }
        cv_.notify_all();
    }
    void scanRoutine() {
        {
            std::lock_guard<std::mutex> lock(m_);
            scanRoutineStarted_ = true;
            scanDone_ = false;
        }
        cv_.notify_all();
        if (script_.holdScan) waitUntil(m_, cv_, [&] { return scanGate_; });
        if (script_.onEvent) script_.onEvent("scan-end");
        clearScanFlag();
        {
            std::lock_guard<std::mutex> lock(m_);
            scanDone_ = true;
        }
        cv_.notify_all();
    }

    Script script_;
    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::string, int> startCounts_;
    std::vector<int> reloadedIds_;
    vbz_effect_properties_t lastProperties_;
    vbz_output_t output_ = VBZ_OUTPUT_ANY;
    unsigned int serial_ = 0xFFFFFFFFu;
    int gain_ = 0;
    int playCalls_ = 0;
    int nextPatternId_ = 0;
    bool connectionGate_ = false;
    bool scanGate_ = false;
    bool stopRequested_ = false;
    bool connectionRoutineStarted_ = false;
    bool connectionRoutineDone_ = false;
    bool scanRoutineStarted_ = false;
    bool scanDone_ = false;
};

}  // namespace vbz_test
