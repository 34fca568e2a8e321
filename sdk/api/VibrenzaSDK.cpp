#include "vibrenza/vibrenza.h"

#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"

namespace {
constexpr const char* kDefaultLogFile = "VibrenzaLogs/VibrenzaSDK.log";
}

VibrenzaSDK::VibrenzaSDK(const char* logFile) {
    vbz::setMinLogLevel(2);
    const std::string path = (logFile && *logFile) ? std::string(logFile) : kDefaultLogFile;
    vbz::initFileLogger(path);
    persistentState = new SdkPersistentState();
}

VibrenzaSDK::~VibrenzaSDK() { delete persistentState; }

int VibrenzaSDK::setLogCallback(vbz_log_callback_t callback) {
    return vbz::setLogCallback(reinterpret_cast<vbz::LogFunction>(callback));
}
