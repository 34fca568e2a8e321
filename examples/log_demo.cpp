// The smallest Vibrenza application: create an SDK instance with a log
// callback and print what the SDK says.
#include <cstdio>

#include "vibrenza/vibrenza.h"

static void printLine(vbz_log_level_t level, const char* tag, const char* text) {
    std::printf("[level %d] [%s] %s\n", static_cast<int>(level), tag, text);
}

int main() {
    // Installed before the first instance: the SDK writes no log file.
    VibrenzaSDK::setLogCallback(&printLine);
    VibrenzaSDK sdk;
    std::printf("Vibrenza SDK instance created.\n");
    return 0;
}
