#include "device/KeptFrames.h"

#include "sdk/core/LogLine.h"

namespace vbz {

void logDroppedOwnFrame(const char* tag, uint8_t id) {
    LogLine(1, tag) << "Dropped frame " << hexId(id)
                    << " of the device's own: too many came during one exchange.";
}

}  // namespace vbz
