#include "device/KeptFrames.h"

#include <cstdio>

#include "sdk/core/LogLine.h"

namespace vbz {

void logDroppedOwnFrame(const char* tag, uint8_t id) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", id);
    LogLine(1, tag) << "Dropped frame " << hex
                    << " of the device's own: too many came during one exchange.";
}

}  // namespace vbz
