/* Records and enumerations of the Vibrenza SDK's interface.
 *
 * The C part compiles as C. The records are plain structures whose field
 * order and widths are part of the interface; in C++ they gain exported
 * constructors and assignments, which change nothing of their layout. */
#ifndef VIBRENZA_VBZ_TYPES_H
#define VIBRENZA_VBZ_TYPES_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "vibrenza/vbz_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. 0 is success; -1..-17 belong to the SDK, its back-ends and
 * its transports; -92..-100 are passed on from the rendering engine. -13 is
 * given by the sequencer back-end when a vest's handshake fails. */
typedef enum vbz_error_t {
    VBZ_SUCCESS = 0,
    VBZ_ERROR_OTHER = -1,
    VBZ_ERROR_INVALID_PARAMETER = -2,
    VBZ_ERROR_NO_DEVICE_CONNECTED = -3,
    VBZ_ERROR_OUTPUT_NOT_SUPPORTED = -4,
    VBZ_ERROR_INVALID_JSON = -5,
    VBZ_ERROR_DEVICE_NOT_REACHABLE = -6,
    VBZ_ERROR_PRIORITY_COMMAND_WAITING = -7,
    VBZ_ERROR_NO_SLOT_AVAILABLE = -8,
    VBZ_ERROR_NO_INSTANCE = -9,
    VBZ_ERROR_INVALID_MESSAGE = -10,
    VBZ_ERROR_PROCESS_RUNNING = -11,
    VBZ_ERROR_DEVICE_ALREADY_CONNECTED = -12,
    VBZ_ERROR_HANDSHAKE_FAILED = -13,
    VBZ_ERROR_PLAY_IGNORED = -14,
    VBZ_ERROR_PORTAUDIO = -15,
    VBZ_ERROR_SOCKET = -16,
    VBZ_ERROR_ORVFX = -17,
    VBZ_ERROR_CORE_INVALID_OPERATION = -92,
    VBZ_ERROR_CORE_SEQUENCE_PLAYING = -93,
    VBZ_ERROR_CORE_PATTERN_IN_USE = -94,
    VBZ_ERROR_CORE_PATTERN_NOT_ALLOCATED = -95,
    VBZ_ERROR_CORE_SEQUENCE_NOT_ALLOCATED = -96,
    VBZ_ERROR_CORE_INSTANCE_ALLOCATED = -97,
    VBZ_ERROR_CORE_INVALID_LAYOUT = -98,
    VBZ_ERROR_CORE_INVALID_VPT = -99,
    VBZ_ERROR_CORE_INVALID_ARGUMENT = -100
} vbz_error_t;

/* Transport selector: 0 tries USB, then Wi-Fi, then Bluetooth. */
typedef enum vbz_output_t {
    VBZ_OUTPUT_ANY = 0,
    VBZ_OUTPUT_BLUETOOTH = 1,
    VBZ_OUTPUT_USB = 2,
    VBZ_OUTPUT_WIFI = 3
} vbz_output_t;

typedef enum vbz_connection_state_t {
    VBZ_STATE_DISCONNECTED = -1,
    VBZ_STATE_CONNECTED = 0,
    VBZ_STATE_CONNECTING = 1,
    VBZ_STATE_DISCONNECTING = 2,
    VBZ_STATE_RECONNECTING = 3 /* part of the enumeration; no back-end enters it */
} vbz_connection_state_t;

typedef enum vbz_log_level_t {
    VBZ_LOG_TRACE = 0,
    VBZ_LOG_DEBUG = 1,
    VBZ_LOG_INFO = 2,
    VBZ_LOG_WARNING = 3,
    VBZ_LOG_ERROR = 4,
    VBZ_LOG_CRITICAL = 5,
    VBZ_LOG_OFF = 6
} vbz_log_level_t;

/* Device model, from the code a vest reports; every unknown code is -1. */
typedef enum vbz_device_type_t {
    VBZ_DEVICE_UNKNOWN = -1,
    VBZ_DEVICE_0x01100101 = 0x01100101,
    VBZ_DEVICE_0x0122FFFF = 0x0122FFFF,
    VBZ_DEVICE_0x0123FFFF = 0x0123FFFF
} vbz_device_type_t;

typedef enum vbz_effect_state_t {
    VBZ_EFFECT_UNKNOWN = -1, /* unknown or finished */
    VBZ_EFFECT_CREATED = 0,  /* created, not started yet (sequencer back-end) */
    VBZ_EFFECT_MUTED = 1,    /* playing but silenced */
    VBZ_EFFECT_PLAYING = 2   /* playing (fading out counts as playing) */
} vbz_effect_state_t;

/* Audio device preset of the audio connections; 0 uses the caller's
 * settings as given. 1 to 5 select a device on the JACK host API at 48000 Hz
 * with the device's default latency (the buffer size stays the caller's):
 * 1 the device whose name holds the letters of "VIBRENZA", 20 channels;
 * 2, 3 and 5 the vest's audio interface (its name matched case-insensitively
 * as a vest's), 20 channels; 4 a USB audio DAC, 2 channels. A preset
 * applies to the connection's copy of the settings, not the caller's. */
typedef enum vbz_audio_preset_t {
    eCustomDevice = 0,
    eAudioPreset1 = 1,
    eAudioPreset2 = 2,
    eAudioPreset3 = 3,
    eAudioPreset4 = 4,
    eAudioPreset5 = 5
} vbz_audio_preset_t;

/* Properties of one play of a pattern. */
typedef struct vbz_effect_properties_t {
    int32_t priority;          /* 1..10, default 5 */
    float volume;              /* percent, 0..250, default 100 */
    float speed;               /* 0.01..100, default 1 */
    int32_t repeatCount;       /* 0 (or negative) plays endlessly, default 1 */
    float repeatDelay;         /* seconds between repetitions */
    float playAtTime;          /* start position within the effect, seconds */
    float maxDuration;         /* seconds; 0 sets no limit */
    int32_t effectBoost;       /* -100..100, used when overridePatternBoost is set */
    bool overridePatternBoost;
    float height;              /* vertical shift over the actuator layout */
    float heading;             /* degrees about the vertical axis */
    float tilting;             /* degrees */
    bool frontBackInversion;
    bool upDownInversion;
    bool rightLeftInversion;
    bool frontBackAddition;
    bool upDownAddition;
    bool rightLeftAddition;
#ifdef __cplusplus
    VBZ_API vbz_effect_properties_t();
    vbz_effect_properties_t(const vbz_effect_properties_t&) = default;
    vbz_effect_properties_t(vbz_effect_properties_t&&) = default;
    VBZ_API vbz_effect_properties_t& operator=(const vbz_effect_properties_t&);
    VBZ_API vbz_effect_properties_t& operator=(vbz_effect_properties_t&&);
#endif
} vbz_effect_properties_t;

/* Settings of an audio-output connection. The texts belong to the caller. */
typedef struct vbz_audio_settings_t {
    const char* deviceName;       /* "default_output" selects the default output */
    const char* audioAPI;         /* "any_API" accepts any host API */
    uint32_t sampleRate;          /* Hz, default 48000 */
    uint32_t bufferSize;          /* frames per buffer, default 256; 0 is refused */
    int32_t nbStreamChannel;      /* negative: the device's maximum; 0 is refused */
    float suggestedOutputLatency; /* seconds; 0 or less: the device's default */
#ifdef __cplusplus
    VBZ_API vbz_audio_settings_t();
    vbz_audio_settings_t(const vbz_audio_settings_t&) = default;
    vbz_audio_settings_t(vbz_audio_settings_t&&) = default;
    VBZ_API vbz_audio_settings_t& operator=(const vbz_audio_settings_t&);
    VBZ_API vbz_audio_settings_t& operator=(vbz_audio_settings_t&&);
#endif
} vbz_audio_settings_t;

/* One vest found by a scan; the records of one scan form a list that the
 * scanning back-end owns until its next scan or its replacement. */
typedef struct vbz_device_info_t {
    vbz_output_t outputType;
    uint32_t serialNumber;
    vbz_device_type_t deviceType;
    const char* deviceVersion;
    struct vbz_device_info_t* next;
#ifdef __cplusplus
    vbz_device_info_t() = default;
    vbz_device_info_t(const vbz_device_info_t&) = default;
    vbz_device_info_t(vbz_device_info_t&&) = default;
    VBZ_API vbz_device_info_t& operator=(const vbz_device_info_t&);
    VBZ_API vbz_device_info_t& operator=(vbz_device_info_t&&);
#endif
} vbz_device_info_t;

typedef void (*vbz_log_callback_t)(vbz_log_level_t level, const char* tag, const char* text);
typedef void (*vbz_connection_callback_t)(vbz_connection_state_t state, vbz_error_t error,
                                          unsigned int serialNumber, void* userData);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(vbz_effect_properties_t) == 56, "vbz_effect_properties_t layout");
static_assert(sizeof(vbz_audio_settings_t) == 32, "vbz_audio_settings_t layout");
static_assert(sizeof(vbz_device_info_t) == 32, "vbz_device_info_t layout");
static_assert(sizeof(vbz_error_t) == 4 && sizeof(vbz_output_t) == 4, "enum width");
#else
_Static_assert(sizeof(vbz_effect_properties_t) == 56, "vbz_effect_properties_t layout");
_Static_assert(sizeof(vbz_audio_settings_t) == 32, "vbz_audio_settings_t layout");
_Static_assert(sizeof(vbz_device_info_t) == 32, "vbz_device_info_t layout");
#endif

#endif
