#include "orv-fx/orvfx.h"

extern "C" const char* orvfx_preset_name(int preset) {
    switch (preset) {
        case 0:
            return "Default";
        case 1:
            return "Sharp";
        case 2:
            return "Crunchy";
        case 3:
            return "Smooth";
        default:
            return "Invalid";
    }
}
