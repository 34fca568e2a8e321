#include "device/bluetooth/SocketErrorText.h"

#include <cstring>

namespace vbz {

namespace {
// The GNU strerror_r returns its text (which may not be the buffer); the
// XSI one returns an int and fills the buffer.
[[maybe_unused]] const char* errorTextOf(char* result, const char*) { return result; }
[[maybe_unused]] const char* errorTextOf(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
}  // namespace

std::string socketErrorText(int code) {
    char buffer[256] = {};
    const char* text = errorTextOf(strerror_r(code, buffer, sizeof buffer), buffer);
    if (!text || *text == '\0' || std::strncmp(text, "Unknown error", 13) == 0) return "Unknown";
    std::string result = "(";
    result.append(std::to_string(code));
    result.append(") ");
    result.append(text);
    return result;
}

}  // namespace vbz
