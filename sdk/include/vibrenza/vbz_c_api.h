/* Vibrenza SDK: the flat C interface.
 *
 * An instance is made with vbz_createSDKInstance, which returns its id
 * (0, 1, 2, ... in creation order; an id is never handed out twice), and
 * ended with vbz_freeSDKInstance. Every other function names the instance by
 * its id and forwards to the method of the same name of VibrenzaSDK or of its
 * ExperimentalVibrenzaSDK handle, returning its result. An id that is not
 * registered gives -9 (VBZ_ERROR_NO_INSTANCE) unless a function says
 * otherwise; a null record, name or out-argument pointer gives -2
 * (VBZ_ERROR_INVALID_PARAMETER) and touches nothing.
 *
 * Threads: the registry is locked only around its own look-ups, so calls on
 * different instances, and calls from connection or log callbacks, may run
 * on any thread. Freeing an instance while another thread is inside a call
 * on it is not allowed. The texts returned by vbz_getVibrenzaSerialNumberAsString,
 * vbz_getVibrenzaVersion and vbz_serialNumberToString are valid until the
 * next call of the same function; copy them to keep them. The arrays handed
 * out by the device queries are valid until the next call of the same query. */
#ifndef VIBRENZA_VBZ_C_API_H
#define VIBRENZA_VBZ_C_API_H

#include "vibrenza/vbz_export.h"
#include "vibrenza/vbz_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A new instance; logFile as for the VibrenzaSDK constructor (null or "":
 * the default path). Returns its id, or -1 (with a log line) when it could
 * not be made. Not from a callback. */
VBZ_API int vbz_createSDKInstance(const char* logFile);
/* Destroys the instance (ending its connection); an unknown id does nothing.
 * Any application thread. From inside one of the instance's connection
 * callbacks (any back-end, any state, any thread), or from inside the log
 * callback (for every instance: a line does not say which instance wrote
 * it), the free is refused with an error line (-11,
 * VBZ_ERROR_PROCESS_RUNNING; written inside the log callback, the line is
 * counted, not delivered): the instance stays registered and usable, and an
 * ordinary call frees it once the callback has returned. Freeing another
 * instance from a callback is allowed. */
VBZ_API void vbz_freeSDKInstance(int id);

VBZ_API int vbz_connectDevice(int id, vbz_output_t output, unsigned int serialNumber);
/* -1 for an unknown id. */
VBZ_API vbz_connection_state_t vbz_connectionStatus(int id);
VBZ_API int vbz_disconnectDevice(int id);
VBZ_API int vbz_scanDevices(int id, vbz_output_t output);
VBZ_API int vbz_scanStatus(int id);
/* Null for an unknown id. */
VBZ_API vbz_device_info_t* vbz_getFirstScannedDevice(int id);
/* 0xFFFFFFFF for an unknown id. */
VBZ_API unsigned int vbz_getVibrenzaSerialNumber(int id);
/* An unknown id returns the text of the last call ("noDeviceConnected" at
 * first). */
VBZ_API const char* vbz_getVibrenzaSerialNumberAsString(int id);
/* -1 for an unknown id. */
VBZ_API vbz_device_type_t vbz_getVibrenzaType(int id);
/* An unknown id returns the text of the last call ("noDeviceConnected" at
 * first). */
VBZ_API const char* vbz_getVibrenzaVersion(int id);
VBZ_API int vbz_setConnectionCallback(int id, vbz_connection_callback_t callback, void* userData);

VBZ_API int vbz_loadPatternFromJSON(int id, const char* json);
VBZ_API int vbz_unloadPattern(int id, int patternId);
VBZ_API int vbz_playEffect(int id, int patternId, vbz_effect_properties_t properties);
VBZ_API int vbz_stopEffect(int id, int effectId, float fadeTime);
/* -1 for an unknown id. */
VBZ_API vbz_effect_state_t vbz_effectState(int id, int effectId);
VBZ_API int vbz_pauseAll(int id);
VBZ_API int vbz_resumeAll(int id);
VBZ_API int vbz_stopAll(int id);
VBZ_API int vbz_setAccumulationWindowToPattern(int id, int mainPatternId, int fallbackPatternId,
                                               float timeWindow, int maxAccumulation);
VBZ_API int vbz_eraseAccumulationWindowToPattern(int id, int patternId);
/* 0 for an unknown id. */
VBZ_API int vbz_getPatternIntensityBoost(int id, int patternId);
VBZ_API int vbz_setGlobalIntensityBoost(int id, int boost);
VBZ_API int vbz_getGlobalIntensityBoost(int id);

/* Valid for the life of the library. */
VBZ_API const char* vbz_getSDKVersion(void);
VBZ_API const char* vbz_serialNumberToString(unsigned int serialNumber);
VBZ_API int vbz_setLogCallback(vbz_log_callback_t callback);

/* ---- Experimental ---- */

/* loopbackDevice: the beginning of a loopback device's name, or null for the
 * loopback of the default output. */
VBZ_API int vbz_exp_connectOrv(int id, vbz_output_t output, unsigned int serialNumber,
                               const char* loopbackDevice);
/* The record is read, not changed: a preset applies to the connection's own
 * copy. */
VBZ_API int vbz_exp_connectOrvAudio(int id, vbz_audio_preset_t preset, vbz_audio_settings_t* settings,
                                    const char* loopbackDevice);
VBZ_API int vbz_exp_connectAudio(int id, vbz_audio_preset_t preset, vbz_audio_settings_t* settings);
VBZ_API void vbz_exp_enableLegacyBackend(int id, bool enable);
VBZ_API int vbz_exp_getOrvPreset(int id);
VBZ_API int vbz_exp_setOrvPreset(int id, int preset);
/* -9.0 for an unknown id. */
VBZ_API float vbz_exp_getOrvVolume(int id);
VBZ_API int vbz_exp_setOrvVolume(int id, float volume);
VBZ_API void vbz_exp_setEffectSpeed(int id, int effectId, float speed);
VBZ_API void vbz_exp_setEffectVolume(int id, int effectId, float volume);
/* "Default", "Sharp", "Crunchy", "Smooth"; valid for the life of the library. */
VBZ_API int vbz_exp_listOrvPresets(const char*** names, int* count);
VBZ_API int vbz_exp_getOutputDevicesNames(const char*** names, int* count);
VBZ_API int vbz_exp_getLoopbackDevicesNames(const char*** names, int* count);
VBZ_API int vbz_exp_getOutputDeviceAPIs(const char* deviceName, const char*** apiNames, int* count);
VBZ_API int vbz_exp_getOutputDeviceInfo(const char* deviceName, const char* apiName, int* maxOutputChannels,
                                        float* defaultLowOutputLatency, float* defaultHighOutputLatency);
VBZ_API int vbz_exp_getSupportedStandardSampleRates(const char* deviceName, const char* apiName,
                                                    unsigned int** rates, int* count);

/* Write the defaults into the record; null does nothing. */
VBZ_API void vbz_defaultEffectProperties(vbz_effect_properties_t* properties);
VBZ_API void vbz_exp_defaultAudioSettings(vbz_audio_settings_t* settings);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
