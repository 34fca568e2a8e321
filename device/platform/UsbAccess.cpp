#include "device/platform/UsbAccess.h"

#include <unistd.h>

#include <cerrno>

namespace vbz {

std::string usbPermissionHint(const std::string& path, int openError) {
    bool denied = openError == EACCES || openError == EPERM;
    // hidapi may have lost open()'s errno on the way out; the node says it
    // again.
    if (!denied && !path.empty() && ::access(path.c_str(), R_OK | W_OK) != 0)
        denied = errno == EACCES;
    if (!denied) return "";
    return "Permission denied on " + path + ": this user may not open the vest. Install the udev rule " +
           kUsbUdevRule +
           " (see the SDK's README) into /usr/lib/udev/rules.d or /etc/udev/rules.d, then plug the "
           "vest in again.";
}

}  // namespace vbz
