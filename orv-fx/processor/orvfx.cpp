// The C interface over BaseORV: every exception stops here and becomes -256.
#include "orv-fx/orvfx.h"

#include <atomic>
#include <exception>

#include "orv-fx/processor/BaseORV.h"
#include "orv-fx/processor/OrvPreset.h"

namespace {

// One value for the whole process; atomic so that processors used on
// different threads store without a data race.
std::atomic<std::int32_t> lastError{orv::kOrvSuccess};

void setLastError(std::int32_t code) { lastError.store(code, std::memory_order_relaxed); }

orv::BaseORV* orvOf(orvfx_processor_t* handle) { return reinterpret_cast<orv::BaseORV*>(handle); }

std::int32_t report(std::int32_t code) {
    setLastError(code);
    return code;
}

}  // namespace

extern "C" {

orvfx_processor_t* orvfx_create(uint32_t sampleRate, uint32_t channels, uint32_t inputType,
                                uint32_t processingType) {
    try {
        std::int32_t error = orv::kOrvUnknownError;
        auto orv = orv::createOrv(sampleRate, channels, inputType, processingType, error);
        setLastError(error);
        return reinterpret_cast<orvfx_processor_t*>(orv.release());
    } catch (...) {
        setLastError(orv::kOrvUnknownError);
        return nullptr;
    }
}

void orvfx_destroy(orvfx_processor_t* handle) {
    setLastError(orv::kOrvSuccess);
    delete orvOf(handle);
}

int32_t orvfx_encode_f32(orvfx_processor_t* handle, const float* in, uint8_t* tokens, uint64_t frames) {
    if (handle == nullptr) return report(orv::kOrvInvalidParameter);
    try {
        return report(orvOf(handle)->encode(in, tokens, frames) ? orv::kOrvSuccess : orv::kOrvInvalidParameter);
    } catch (...) {
        return report(orv::kOrvUnknownError);
    }
}

int32_t orvfx_decode_f32(orvfx_processor_t* handle, const uint8_t* tokens, uint64_t tokenBytes, float* out,
                         uint64_t frames) {
    if (handle == nullptr) return report(orv::kOrvInvalidParameter);
    try {
        return report(orvOf(handle)->decode(tokens, tokenBytes, out, frames) ? orv::kOrvSuccess
                                                                              : orv::kOrvInvalidParameter);
    } catch (...) {
        return report(orv::kOrvUnknownError);
    }
}

int32_t orvfx_block_size(orvfx_processor_t* handle) {
    if (handle == nullptr) {
        setLastError(orv::kOrvInvalidParameter);
        return 0;
    }
    try {
        setLastError(orv::kOrvSuccess);
        return static_cast<int32_t>(orvOf(handle)->getBlockSize());
    } catch (...) {
        setLastError(orv::kOrvUnknownError);
        return 0;
    }
}

uint32_t orvfx_token_bytes(orvfx_processor_t* handle, uint64_t frames) {
    if (handle == nullptr) {
        setLastError(orv::kOrvInvalidParameter);
        return 0;
    }
    try {
        setLastError(orv::kOrvSuccess);
        const uint32_t bytes = orvOf(handle)->getTokenBytes(frames);
        // Only a size beyond 32 bits gives 0 for frames to encode.
        if (bytes == 0 && frames != 0) setLastError(orv::kOrvInvalidParameter);
        return bytes;
    } catch (...) {
        setLastError(orv::kOrvUnknownError);
        return 0;
    }
}

int32_t orvfx_last_error(void) { return lastError.load(std::memory_order_relaxed); }

int32_t orvfx_set_preset(orvfx_processor_t* handle, uint32_t preset) {
    if (handle == nullptr || preset >= orv::kOrvPresetCount) return report(orv::kOrvInvalidParameter);
    try {
        orvOf(handle)->setPreset(preset);
        return report(orv::kOrvSuccess);
    } catch (...) {
        return report(orv::kOrvUnknownError);
    }
}

const char* orvfx_preset_name(uint32_t preset) { return orv::orvPresetName(preset); }

}  // extern "C"
