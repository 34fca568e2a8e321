#include "orv-fx/processor/ORV.h"

#include <new>

#include "orv-fx/processor/OrvSampleRates.h"

namespace orv {

namespace {

template <class T, class U>
std::unique_ptr<BaseORV> makeOrv(std::uint32_t sampleRate, std::uint32_t channels, std::int32_t& error) {
    std::unique_ptr<ORV<T, U>> orv(new (std::nothrow) ORV<T, U>());
    if (!orv) {
        error = kOrvNoMemory;
        return nullptr;
    }
    orv->init(sampleRate, channels);
    error = kOrvSuccess;
    return orv;
}

template <class U>
std::unique_ptr<BaseORV> makeForInput(std::uint32_t inputType, std::uint32_t sampleRate, std::uint32_t channels,
                                      std::int32_t& error) {
    switch (inputType) {
        case kInputShort:
            return makeOrv<std::int16_t, U>(sampleRate, channels, error);
        case kInputInt:
            return makeOrv<std::int32_t, U>(sampleRate, channels, error);
        case kInputFloat:
            return makeOrv<float, U>(sampleRate, channels, error);
        default:
            return makeOrv<double, U>(sampleRate, channels, error);
    }
}

}  // namespace

std::unique_ptr<BaseORV> createOrv(std::uint32_t sampleRate, std::uint32_t channels, std::uint32_t inputType,
                                   std::uint32_t processingType, std::int32_t& error) {
    error = kOrvInvalidParameter;
    if (!isOrvSampleRate(sampleRate) || channels == 0) return nullptr;
    if (inputType > kInputDouble || processingType > kProcessDouble) return nullptr;
    // The token bytes of one block must fit in 32 bits.
    const std::uint32_t tokenSize =
        processingType == kProcessFloat ? OrvChannel<float>::tokenSize() : OrvChannel<double>::tokenSize();
    if (channels > std::numeric_limits<std::uint32_t>::max() / tokenSize) return nullptr;
    if (processingType == kProcessFloat) return makeForInput<float>(inputType, sampleRate, channels, error);
    return makeForInput<double>(inputType, sampleRate, channels, error);
}

}  // namespace orv
