// The one error of the Bluetooth layer: every failure of an inquiry or an
// RFCOMM socket throws it with a text for the caller to log. The layer
// itself logs nothing.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vbz {

class BluetoothException : public std::exception {
public:
    explicit BluetoothException(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

}  // namespace vbz
