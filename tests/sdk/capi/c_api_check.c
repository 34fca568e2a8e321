/* Drives the flat interface from C: records passed by value and through
 * pointers must arrive as C lays them out. */
#include <string.h>

#include "vibrenza/vibrenza.h"

int vbz_c_api_priority_check(int instance, int priority) {
    vbz_effect_properties_t properties;
    vbz_defaultEffectProperties(&properties);
    properties.priority = priority;
    return vbz_playEffect(instance, 0, properties);
}

int vbz_c_api_presets_check(void) {
    const char** names = 0;
    int count = 0;
    if (vbz_exp_listOrvPresets(&names, &count) != 0 || count != 4) return 0;
    return strcmp(names[0], "Default") == 0 && strcmp(names[3], "Smooth") == 0;
}

int vbz_c_api_settings_check(void) {
    vbz_audio_settings_t settings;
    vbz_exp_defaultAudioSettings(&settings);
    return settings.sampleRate == 48000 && settings.nbStreamChannel == -1 &&
           strcmp(settings.deviceName, "default_output") == 0;
}
