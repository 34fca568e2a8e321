// Cuts a fuzz input into the pieces a vest sends: each piece is one length
// byte (at most maxPiece) followed by that many bytes, the last one cut
// short where the input ends.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vbz_fuzz {

inline std::vector<std::vector<uint8_t>> pieces(const uint8_t* data, std::size_t size,
                                                std::size_t maxPiece) {
    std::vector<std::vector<uint8_t>> out;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t wanted = data[i] % (maxPiece + 1);
        ++i;
        const std::size_t n = std::min(wanted, size - i);
        out.emplace_back(data + i, data + i + n);
        i += n;
    }
    return out;
}

}  // namespace vbz_fuzz
