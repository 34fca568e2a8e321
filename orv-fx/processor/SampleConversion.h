// Conversions between a processor's interface sample type T (short, int,
// float, double) and its processing precision U (float, double). Every rule
// computes in U so that float and double processors stay exact to their own
// precision; integer outputs round half away from zero and saturate.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace orv {

// Interface sample to processing value. Input is not clamped: -32768 becomes
// slightly below -1, as the integer scales are symmetric.
template <class U, class T>
U toProcessing(T x) {
    static_assert(std::is_floating_point_v<U>);
    if constexpr (std::is_same_v<T, std::int16_t>) {
        return static_cast<U>(x) / static_cast<U>(32767);
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        if constexpr (std::is_same_v<U, float>) {
            // 1/2147483647 rounds to exactly 2^-31 in single precision.
            return static_cast<float>(x) * static_cast<float>(1.0 / 2147483647.0);
        } else {
            return static_cast<double>(x) / 2147483647.0;
        }
    } else {
        static_assert(std::is_floating_point_v<T>);
        return static_cast<U>(x);
    }
}

// Processing value to interface sample. Integer outputs saturate and give 0
// for NaN (a cast of NaN to an integer is undefined); floating outputs keep
// NaN but turn infinities into the largest finite values of T.
template <class T, class U>
T fromProcessing(U y) {
    static_assert(std::is_floating_point_v<U>);
    if constexpr (std::is_same_v<T, std::int16_t>) {
        if (std::isnan(y)) return 0;
        const U r = std::round(static_cast<U>(32767) * y);
        if (r > static_cast<U>(32767)) return 32767;
        if (r < static_cast<U>(-32768)) return -32768;
        return static_cast<std::int16_t>(r);
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        if (std::isnan(y)) return 0;
        // In single precision the factor is 2147483648, so +1.0 lands just
        // above the largest int and must saturate rather than wrap.
        const U r = std::round(static_cast<U>(2147483647.0) * y);
        if (r >= static_cast<U>(2147483647.0)) return std::numeric_limits<std::int32_t>::max();
        if (r < static_cast<U>(-2147483648.0)) return std::numeric_limits<std::int32_t>::min();
        return static_cast<std::int32_t>(r);
    } else {
        static_assert(std::is_floating_point_v<T>);
        // Clamped in the wider type: a float infinity becomes DBL_MAX in a
        // double output, a double beyond FLT_MAX becomes FLT_MAX in a float.
        using W = std::common_type_t<T, U>;
        constexpr W kMax = static_cast<W>(std::numeric_limits<T>::max());
        W v = static_cast<W>(y);
        if (v > kMax) v = kMax;
        else if (v < -kMax) v = -kMax;
        return static_cast<T>(v);
    }
}

}  // namespace orv
