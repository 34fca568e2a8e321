// Result codes of the engine's API (the SDK holds their texts). The layout
// codes -98 and -92 live with the layouts.
#pragma once

#include "tessaron-core/src/spatial/Layout.h"

namespace tsr {
constexpr int kErrorInvalidArgument = -100;
constexpr int kErrorInvalidPattern = -99;
constexpr int kErrorAlreadyAllocated = -97;
constexpr int kErrorSequenceNotAllocated = -96;
constexpr int kErrorPatternNotAllocated = -95;
constexpr int kErrorPatternInUse = -94;
constexpr int kErrorAlreadyPlaying = -93;
}  // namespace tsr
