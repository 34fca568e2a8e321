#include "sdk/core/SerialNumberText.h"

#include <climits>
#include <cmath>
#include <cstdio>

namespace vbz {

std::string serialNumberText(unsigned int serialNumber) {
    const unsigned q = (serialNumber / 1000000u) % 256u;
    char head[8];
    std::snprintf(head, sizeof head, "%02u", q);
    char text[16];
    std::snprintf(text, sizeof text, "%c%c-%02u-%04u", head[0], head[1],
                  (serialNumber / 10000u) % 100u, serialNumber % 10000u);
    return text;
}

int saturatingToInt(double x) {
    if (std::isnan(x)) return 0;
    if (x >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (x <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(x);
}

}  // namespace vbz
