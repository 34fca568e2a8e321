/* Vibrenza SDK: the public interface.
 *
 * Threads: unless a function says otherwise, one instance is driven from one
 * application thread at a time; log and connection callbacks run on the
 * thread that emits the line or on the back-end's worker thread. */
#ifndef VIBRENZA_VIBRENZA_H
#define VIBRENZA_VIBRENZA_H

#include "vibrenza/vbz_export.h"
#include "vibrenza/vbz_types.h"
#include "vibrenza/vbz_c_api.h"

#ifdef __cplusplus
#include <string>

class IHandler;
class SdkPersistentState;
class VibrenzaSDK;

/* Handle on the experimental functions of one VibrenzaSDK, obtained with
 * VibrenzaSDK::ExperimentalAPI(). A plain copyable handle; usable while its
 * owner lives. */
class ExperimentalVibrenzaSDK {
public:
    explicit ExperimentalVibrenzaSDK(VibrenzaSDK* ownerSdk = nullptr) : owner(ownerSdk) {}

    /* ---- Connections ----
     * Application thread, while no other call runs on the instance; not from
     * a callback (-11). Each needs the instance disconnected (else -12); the
     * outcome of a started connection comes through the connection callback.
     * A handle without an owner answers -9. */

    /* Turns the computer's sound output, captured from the loopback device
     * whose name begins with loopbackDevice (null: the loopback of the default
     * output), into haptics on a vest. 0 when started; -2 when no such
     * loopback device is usable, -15 when the audio host cannot start. A
     * capture of an earlier connection that has ended (its device or the
     * audio server went away) starts again here; when it cannot, its code
     * (-2, -15 or -17) and log line. */
    VBZ_API int connectOrv(vbz_output_t output, unsigned int serialNumber, const char* loopbackDevice);
    /* As connectOrv, with the haptics played on an audio output device. The
     * caller's settings are not changed: a preset applies to the connection's
     * own copy, and the back-end keeps copies of the two texts. -2 for a
     * buffer size or a channel count of 0. */
    VBZ_API int connectOrvAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings,
                                const char* loopbackDevice);
    /* Plays the patterns' rendered signal on an audio output device instead
     * of a vest, always with the streaming back-end. The caller's settings
     * are not changed (see vbz_audio_preset_t for what a preset selects). It
     * replaces the back-end's device stream, which frees the list of the
     * last scan. */
    VBZ_API int connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings);
    /* The next connect or scanDevices of the instance uses the legacy
     * (sequencer) back-end. No effect on the connections above. */
    VBZ_API void enableLegacyBackend(bool enable);

    /* ---- Controls ----
     * Any application thread, at any time. The ORV controls act on the
     * audio-to-haptics back-end only (0, 0.0 or nothing with another); the
     * effect controls on the streaming back-end only. */

    VBZ_API int getOrvPreset();
    /* 0; -2 for a preset outside 0..3 (tested first), -17 without the
     * audio-to-haptics back-end. */
    VBZ_API int setOrvPreset(int preset);
    VBZ_API float getOrvVolume();
    /* Volumes of 0 or below are stored as 0. */
    VBZ_API void setOrvVolume(float volume);
    /* No bounds check; an id never handed out only draws the engine's
     * warning, an effect that has ended is left alone silently. */
    VBZ_API void setEffectSpeed(int effectId, float speed);
    /* volume in percent. */
    VBZ_API void setEffectVolume(int effectId, float volume);

    /* ---- Static: presets and audio devices ----
     * The arrays and texts handed out stay valid until the next call of the
     * same function (the preset names: for the life of the library). Two
     * threads must not run the same query at once. Failures are reported on
     * standard error, not through the log. */

    /* "Default", "Sharp", "Crunchy", "Smooth"; always 0. */
    VBZ_API static int listOrvPresets(const char**& names, int& count);
    /* Distinct names of the devices with an output channel. -4 when there
     * is none ("noDevice"), -15 on an audio host failure. */
    VBZ_API static int getOutputDevicesNames(const char**& names, int& count);
    /* Loopback devices ("<output> [Loopback]") that are not the vest's. -4
     * when there is none ("noDevice") or no loopback host API. */
    VBZ_API static int getLoopbackDevicesNames(const char**& names, int& count);
    /* Host APIs of the output devices of exactly this name; -4 ("noAPI")
     * when there is none, -2 for a null name. */
    VBZ_API static int getOutputDeviceAPIs(const char* deviceName, const char**& apiNames, int& count);
    /* Channels and default latencies (seconds) of that device; -2 when it is
     * not found or a name is null. */
    VBZ_API static int getOutputDeviceInfo(const char* deviceName, const char* apiName, int& maxOutputChannels,
                                           float& defaultLowOutputLatency, float& defaultHighOutputLatency);
    /* The standard rates (8000 to 192000 Hz) the device accepts; on failure
     * all 13 with the error code, or {0xFFFFFFFF} and -4 when it accepts none. */
    VBZ_API static int getSupportedStandardSampleRates(const char* deviceName, const char* apiName,
                                                       unsigned int*& rates, int& count);

private:
    friend class VibrenzaSDK;
    int prepareOrv(const char* loopbackDevice, int& deviceIndex);
    VibrenzaSDK* owner;
};

/* One application's handle on one vest. Owns its back-end and the state that
 * outlives a change of back-end. Neither copied nor assigned.
 *
 * Threads: the instance has no lock of its own. connect, scanDevices and the
 * experimental connections of one instance are called from one application
 * thread with no other call on the instance running meanwhile; the other
 * methods may be called from any application thread. The connection callback
 * runs on a thread of the back-end: from inside it, connectionStatus,
 * scanStatus and the pattern and effect methods may be called; connect and
 * scanDevices are refused with -11 (VBZ_ERROR_PROCESS_RUNNING). Destroying an
 * instance from inside one of its connection callbacks or from the log
 * callback is not allowed: a destructor cannot refuse, and the callback
 * would return into freed objects. vbz_freeSDKInstance refuses it instead
 * and leaves the instance to a later call. A vest that stops
 * asking for data for 4 s ends the connection: the callback gets -1
 * (disconnected) with error 0. */
class VibrenzaSDK {
public:
    /* logFile: path of the rotating log file; null or "" means
     * "VibrenzaLogs/VibrenzaSDK.log" under the working directory. Creates the
     * default (streaming) back-end, disconnected; starts no thread. Any
     * thread, not from a callback. */
    VBZ_API explicit VibrenzaSDK(const char* logFile = "");
    /* Ends a running connection or scan and waits for the back-end's threads;
     * the connection callback may still be called with -1 meanwhile. No other
     * call on the instance may run; never from one of its connection
     * callbacks nor from the log callback (see the class comment). */
    VBZ_API ~VibrenzaSDK();
    VibrenzaSDK(const VibrenzaSDK&) = delete;
    VibrenzaSDK& operator=(const VibrenzaSDK&) = delete;

    /* Replaces the process-wide log sink; null silences every line for the
     * rest of the process. Installed before the first instance, no log file
     * is ever created. Always returns 0. Any thread, callbacks included.
     * The callback runs on the thread that wrote the line, never while the
     * SDK holds a lock: lines written inside an operation may arrive when it
     * returns. It may call the getters and the other functions allowed from
     * callbacks; the lines those calls write on the callback's thread are
     * not delivered to it (that would never end), only counted. */
    VBZ_API static int setLogCallback(vbz_log_callback_t callback);

    /* The experimental functions of this instance. Any thread, callbacks
     * included. */
    VBZ_API ExperimentalVibrenzaSDK ExperimentalAPI();

    /* ---- Connection and device queries ---- */

    /* Starts connecting to the vest with this serial number (0 or the
     * wanted one; what it selects is the back-end's business) over output.
     * 0 when the attempt has started: its outcome comes through the
     * connection callback. -12 unless disconnected, -11 while a scan runs
     * or from a back-end thread. Application thread (see class comment). */
    VBZ_API int connect(vbz_output_t output, unsigned int serialNumber);
    /* Starts a scan of output; 0 when started (scanStatus is 1 until it
     * ends), -12 unless disconnected, -11 while a scan runs or from a
     * back-end thread. Application thread (see class comment). */
    VBZ_API int scanDevices(vbz_output_t output);
    /* Any thread, callbacks included. */
    VBZ_API vbz_connection_state_t connectionStatus();
    /* 1 while a scan runs, else 0. Any thread, callbacks included. */
    VBZ_API int scanStatus();
    /* Asks the connection to end; 0 when started (the callback reports -1),
     * -3 when disconnected, -11 while connecting or disconnecting. Any
     * thread, the connection callback included. */
    VBZ_API int disconnect();
    /* First vest of the last scan (linked through next), or null. The list
     * belongs to the back-end: valid until the next scan, the next change of
     * back-end or the next experimental connectAudio. Any thread, callbacks
     * included. */
    VBZ_API vbz_device_info_t* getFirstScannedDevice();
    /* "1.6.3-dirty-android-invalid". Any thread, callbacks included; needs
     * no instance. */
    VBZ_API static std::string getSDKVersion();
    /* The identity getters answer for the last vest the back-end queried,
     * and keep its values after a disconnection (a failed attempt with a
     * serial number asked keeps that number). Before the first connection
     * and after a change of back-end: 0xFFFFFFFF, "noDeviceConnected" and -1
     * (VBZ_DEVICE_UNKNOWN); from an experimental connectAudio on: 0xFFFFFFFF,
     * "Experimental-AudioConnection" and -1. Any thread, callbacks included. */
    VBZ_API unsigned int getVibrenzaSerialNumber();
    /* "AA-BB-CCCC", or "noDeviceConnected" for 0xFFFFFFFF. */
    VBZ_API std::string getVibrenzaSerialNumberAsString();
    VBZ_API vbz_device_type_t getVibrenzaType();
    VBZ_API std::string getVibrenzaVersion();
    /* "AA-BB-CCCC" from the decimal digits of serialNumber. Any thread,
     * callbacks included; needs no instance. */
    VBZ_API static std::string serialNumberToString(unsigned int serialNumber);
    /* Sets the connection callback and its user data for this instance and
     * every back-end it makes later; null removes it. Returns 0. Any
     * thread, the connection callback included. */
    VBZ_API int setConnectionCallback(vbz_connection_callback_t callback, void* userData);

    /* ---- Patterns, effects and intensity ----
     * Any application thread, and from the connection callback. */

    /* The new pattern's id (0 or more) or a negative code; a null text is
     * -2. The text is kept, so that the id stays valid across a change of
     * back-end. */
    VBZ_API int loadPatternFromJSON(const char* json);
    VBZ_API int unloadPattern(int patternId);
    /* The new effect's id or a negative code; -2 when a property is out of
     * bounds or not a finite number: priority 1..10, volume 0..250, speed
     * 0.01..100, effectBoost -100..100 when overridePatternBoost is set. A
     * negative repeatCount is taken as 0 (endless). The effect's time runs
     * only while a vest or an audio device is streaming: an effect played
     * before a connection waits, and starts when streaming starts. At most
     * 1000 effects wait so on the default back-end (those still playing when
     * a connection ends count too): a play beyond them is refused with -14
     * (VBZ_ERROR_PLAY_IGNORED) and a warning until a connection or a stop
     * frees their place. Plays while streaming are not bounded. */
    VBZ_API int playEffect(int patternId, vbz_effect_properties_t properties);
    /* 0 also for an effect that has already ended; -96 (with a warning) for
     * an id never handed out. Without a connection nothing renders, so the
     * fade is skipped and the effect is freed at once, as by stopAll. */
    VBZ_API int stopEffect(int effectId, float fadeTime);
    /* -1 (VBZ_EFFECT_UNKNOWN) for an effect that has ended or an unknown id. */
    VBZ_API vbz_effect_state_t effectState(int effectId);
    VBZ_API int pauseAll();
    VBZ_API int resumeAll();
    VBZ_API int stopAll();
    /* Plays of mainPatternId within timeWindow seconds of the first play are
     * replaced by fallbackPatternId, at most maxAccumulation times (below 1:
     * no limit). */
    VBZ_API int setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId,
                                               float timeWindow, int maxAccumulation);
    VBZ_API int eraseAccumulationWindowToPattern(int patternId);
    VBZ_API int getPatternIntensityBoost(int patternId);
    /* Boost b stands for the gain 10^(|b|/50) with the sign of b; boosts
     * beyond the gain's 32-bit range saturate. */
    VBZ_API int setGlobalIntensityBoost(int boost);
    VBZ_API int getGlobalIntensityBoost();

private:
    friend class ExperimentalVibrenzaSDK;
    friend void ::vbz_freeSDKInstance(int id);
    /* True on a thread inside one of this instance's connection callbacks
     * (nested ones included) or inside the log callback: destroying the
     * instance there would free what the callback returns into. */
    bool callingBack() const;
    /* Replaces the back-end by one of kind unless it already is of that
     * kind; only while disconnected. Waits for the old back-end's threads. */
    void ensureBackendKind(int kind);

    IHandler* handler;
    SdkPersistentState* persistentState;
    bool legacyBackend;
    ExperimentalVibrenzaSDK experimentalApi;
};
#endif

#endif
