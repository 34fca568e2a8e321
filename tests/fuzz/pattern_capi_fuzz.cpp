// Pattern text through the public C API: vbz_loadPatternFromJSON, and
// vbz_unloadPattern of what loaded, on one SDK instance. Its log goes to
// the default rotating file under the working directory (scripts/fuzz.sh
// runs each target in a scratch directory).
#include <cstddef>
#include <cstdint>
#include <string>

#include "vibrenza/vbz_c_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int sdk = vbz_createSDKInstance(nullptr);
    if (sdk < 0) __builtin_trap();
    const std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated
    const int pattern = vbz_loadPatternFromJSON(sdk, text.c_str());
    if (pattern >= 0 && vbz_unloadPattern(sdk, pattern) != 0) __builtin_trap();
    return 0;
}
