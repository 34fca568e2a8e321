// A sphere vicinity that counts the mirror combinations a weight computation
// asks it for.
#pragma once

#include <cstddef>

#include "tessaron-core/src/spatial/Vicinity.h"

namespace vbz_test {

class CountingSphere : public tsr::VicinitySphere {
public:
    using tsr::VicinitySphere::VicinitySphere;
    void weights(const tsr::ILayout& layout, const tsr::SpatialProperties& props, tsr::Matrix& out,
                 std::size_t column, bool mx, bool my, bool mz) override {
        ++calls;
        tsr::VicinitySphere::weights(layout, props, out, column, mx, my, mz);
    }
    int calls = 0;
};

}  // namespace vbz_test
