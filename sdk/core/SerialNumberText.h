// Text forms of a vest's serial number and saturating numeric conversions
// shared by the SDK object and the back-ends.
#pragma once

#include <string>

namespace vbz {
// "AA-BB-CCCC" from the decimal value: AA = (n / 1000000) mod 256 (first two
// characters of at least two digits), BB = (n / 10000) mod 100, CCCC = n mod
// 10000. Always 10 characters.
std::string serialNumberText(unsigned int serialNumber);

// x truncated toward zero, saturated at the 32-bit range; NaN gives 0.
int saturatingToInt(double x);
}  // namespace vbz
