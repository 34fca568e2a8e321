// Base of every back-end that drives a vest (streaming, sequencer,
// audio-to-haptics). A VibrenzaSDK owns exactly one back-end at a time and
// reaches it through this class: the connection guards, the status reads and
// the callback setter live here; everything else is one of the virtual
// operations below, which each back-end implements.
//
// The base owns the handler mutex (connection state, scan flag, callback and
// user data; back-ends put their own data under it too), the one worker
// thread on which a back-end runs its connection and scanning routines, and
// connectionRoutineTerminated, the one way a worker reports a new state.
//
// Locking: no operation of the base holds the handler mutex while it calls a
// virtual operation, the application's callback or the log sink. Back-ends
// and their streams take the mutex through vbz::HandlerLock (LogHold.h), so
// that the lines written while it is held (engine warnings inside engine
// calls, renders) reach the sink only after its release.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "vibrenza/vbz_types.h"

class SdkPersistentState;

class IHandler {
public:
    using ConnectionCallback = vbz_connection_callback_t;

    // Copies the callback and its user data from state (null state: none).
    explicit IHandler(SdkPersistentState* state);
    IHandler(const IHandler&) = delete;
    IHandler& operator=(const IHandler&) = delete;

    // ---- Virtual operations; their order is part of the back-end contract.
    // The public ones are called directly by the SDK object (no lock, no
    // check); the rest only through the guards or by the back-end itself.

    // First record of the last scan's list (owned by the back-end), null
    // when there is none or while a scan runs.
    virtual vbz_device_info_t* getFirstScannedDevice() = 0;
    // 0 sequencer, 1 streaming, 2 audio-to-haptics.
    virtual int kind() = 0;

protected:
    // Loads every kept pattern under its kept id; the back-end's own
    // connection routine calls it before reporting "connected".
    virtual void reloadPatterns() = 0;

public:
    // A derived destructor stores 2, ends the connection, joins the worker
    // (joinWorker) and stores -1 before the base part goes.
    virtual ~IHandler();

protected:
    // Called only by the guards, after they stored the new state or flag,
    // without the handler mutex. 0 once the routine runs; a negative code
    // when it could not be started.
    virtual int startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) = 0;
    virtual int startScanningRoutine(vbz_output_t output) = 0;
    virtual int startDisconnectionRoutine() = 0;

public:
    virtual unsigned int getVibrenzaSerialNumber() = 0;
    virtual std::string getVibrenzaVersion() = 0;
    virtual vbz_device_type_t getVibrenzaType() = 0;
    virtual int getGlobalIntensityBoost() = 0;
    virtual int setGlobalIntensityBoost(int gain) = 0;
    virtual int loadPatternFromJSON(std::string json) = 0;
    virtual int unloadPattern(int patternId) = 0;
    virtual int getPatternIntensityBoost(int patternId) = 0;
    virtual int setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId,
                                               float timeWindow, int maxAccumulation) = 0;
    virtual int eraseAccumulationWindowToPattern(int patternId) = 0;
    virtual int playEffect(int patternId, vbz_effect_properties_t properties) = 0;
    virtual int stopEffect(int effectId, float fadeTime) = 0;
    virtual vbz_effect_state_t effectState(int effectId) = 0;
    virtual int pauseAll() = 0;
    virtual int resumeAll() = 0;
    virtual int stopAll() = 0;

    // ---- Non-virtual operations of the base.

    // Guards. Each makes its tests and its store within one hold of the
    // handler mutex; a refusal (-11, -12 or -3 with a warning) changes
    // nothing. Called from an application thread; from a thread of this
    // back-end (its connection callback, a log line it emits) connect and
    // scanDevices are refused with -11, since starting a routine there would
    // make the worker join itself.
    int connect(vbz_output_t output, unsigned int serialNumber);
    int disconnect();
    int scanDevices(vbz_output_t output);

    // Read under the handler mutex; safe from any thread, callbacks included.
    vbz_connection_state_t connectionStatus();
    int scanStatus();

    // Replaces callback and user data together; returns 0. Any thread.
    int setConnectionCallback(ConnectionCallback callback, void* userData);

    // "noDeviceConnected" without a vest, else "AA-BB-CCCC" as
    // VibrenzaSDK::serialNumberToString writes it.
    std::string getVibrenzaSerialNumberAsString();
    static std::string getSDKVersion();

    // Called by the back-end and its streams on their own threads: stores
    // the state, then calls the callback with no lock held.
    void connectionRoutineTerminated(int state, int error, unsigned int serialNumber);

    // True on the worker thread, or inside a connection callback that this
    // back-end is calling on any of its threads (nested ones included).
    bool onOwnThread() const;
    // True inside a connection callback of any back-end over this
    // persistent state (one SDK instance) on this thread, nested ones
    // included. Null state: false.
    static bool insideCallbackOf(const SdkPersistentState* state);

    // The handler mutex, for the back-end's streams.
    std::mutex& handlerMutex() { return mutex_; }

protected:
    // Joins the previous worker, then runs routine on a new one. 0 when it
    // started; -11 when called from the worker itself; -1 (with an error
    // line under tag) when the platform cannot start a thread.
    int startWorker(std::function<void()> routine, const char* tag);
    // Joins the worker if it is joinable; for destructors. Logs "Async
    // thread joined." at trace level under tag when it joined.
    void joinWorker(const char* tag);

    // First half of an audio-device connection, shared by the back-ends that
    // have one: logs the request under tag, refuses zero buffer size or
    // channel count (-2), runs the connection guard (-11, -12, each with its
    // warning under tag), then stores "connecting", copies the two texts into
    // deviceName and apiName (null as "") and points settings at the copies.
    // 0 when the caller is to start its routine.
    int beginAudioConnection(vbz_audio_preset_t preset, vbz_audio_settings_t& settings,
                             const char* tag, std::string& deviceName, std::string& apiName);

    // Stores a state under the handler mutex.
    void storeState(int state);
    void clearScanFlag();
    // Calls the callback (copied with its user data under the mutex) with
    // no lock held; false when none is set. For back-ends that report their
    // states themselves.
    bool invokeConnectionCallback(int state, int error, unsigned int serialNumber);

    SdkPersistentState* const persistentState_;
    // Guarded by mutex_.
    int state_ = VBZ_STATE_DISCONNECTED;
    bool scanning_ = false;

private:
    // Calls the application with no lock held, marking this thread as inside
    // one of this back-end's callbacks (and its instance's) meanwhile.
    void callOutside(ConnectionCallback callback, void* userData, int state, int error,
                     unsigned int serialNumber) const;

    std::mutex mutex_;
    ConnectionCallback callback_ = nullptr;
    void* userData_ = nullptr;
    std::thread worker_;
    std::atomic<std::thread::id> workerId_{};
};
