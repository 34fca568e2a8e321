/* Vibrenza SDK: the public interface.
 *
 * Threads: unless a function says otherwise, one instance is driven from one
 * application thread at a time; log and connection callbacks run on the
 * thread that emits the line or on the back-end's worker thread. */
#ifndef VIBRENZA_VIBRENZA_H
#define VIBRENZA_VIBRENZA_H

#include "vibrenza/vbz_export.h"
#include "vibrenza/vbz_types.h"

#ifdef __cplusplus
#include <string>

class SdkPersistentState;

/* One application's handle on one vest. Owns its back-end and the state that
 * outlives a change of back-end. Neither copied nor assigned. */
class VibrenzaSDK {
public:
    /* logFile: path of the rotating log file; null or "" means
     * "VibrenzaLogs/VibrenzaSDK.log" under the working directory. */
    VBZ_API explicit VibrenzaSDK(const char* logFile = "");
    VBZ_API ~VibrenzaSDK();
    VibrenzaSDK(const VibrenzaSDK&) = delete;
    VibrenzaSDK& operator=(const VibrenzaSDK&) = delete;

    /* Replaces the process-wide log sink; null silences every line for the
     * rest of the process. Installed before the first instance, no log file
     * is ever created. Always returns 0. Any thread. */
    VBZ_API static int setLogCallback(vbz_log_callback_t callback);

private:
    SdkPersistentState* persistentState;
};
#endif

#endif
