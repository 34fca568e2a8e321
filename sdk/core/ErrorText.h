// Fixed English text of every vbz_error_t code, for log lines only.
#pragma once

#include <string>

namespace vbz {
// The code's text, or "Unknown error" for a code without one (-13 included).
std::string errorText(int code);
}  // namespace vbz

using vbz::errorText;
