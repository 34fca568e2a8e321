/* The public header must be usable from C. */
#include "vibrenza/vibrenza.h"

int vbz_c_header_sizes_ok(void) {
    vbz_effect_properties_t p;
    vbz_audio_settings_t s;
    vbz_device_info_t d;
    (void)p;
    (void)s;
    d.next = 0;
    return sizeof(p) == 56 && sizeof(s) == 32 && sizeof(d) == 32 && d.next == 0;
}
