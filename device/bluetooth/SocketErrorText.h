// The system's text of a socket error number, as "(code) text".
#pragma once

#include <string>

namespace vbz {

// "(97) Address family not supported by protocol"; "Unknown" when the
// system has no text for the code.
std::string socketErrorText(int code);

}  // namespace vbz
