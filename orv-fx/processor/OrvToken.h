// The token of one 20 ms block of one channel: its four band values, band 1
// first, each an IEEE-754 value in little-endian byte order (binary32 for a
// single-precision processor, 16 bytes; binary64 for double, 32 bytes). No
// header, rate or channel number: a token stream is the tokens of each block
// in channel order, block after block, and is read back by a processor of
// the same precision at any rate.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>

namespace orv {

template <typename U>
struct OrvToken {
    static_assert(std::is_same_v<U, float> || std::is_same_v<U, double>);
    using Bits = std::conditional_t<std::is_same_v<U, float>, uint32_t, uint64_t>;
    static constexpr uint32_t kSize = 4 * sizeof(U);

    std::array<U, 4> bands{};

    // Writes kSize bytes at out.
    void write(uint8_t* out) const {
        for (std::size_t k = 0; k < bands.size(); ++k) {
            const Bits bits = std::bit_cast<Bits>(bands[k]);
            for (std::size_t b = 0; b < sizeof(U); ++b) out[k * sizeof(U) + b] = static_cast<uint8_t>(bits >> (8 * b));
        }
    }

    // Reads kSize bytes at in; the values come back as they were written,
    // with no range check.
    static OrvToken read(const uint8_t* in) {
        OrvToken token;
        for (std::size_t k = 0; k < token.bands.size(); ++k) {
            Bits bits = 0;
            for (std::size_t b = 0; b < sizeof(U); ++b) bits |= static_cast<Bits>(in[k * sizeof(U) + b]) << (8 * b);
            token.bands[k] = std::bit_cast<U>(bits);
        }
        return token;
    }
};

}  // namespace orv
