#include "sdk/core/ErrorText.h"

#include <map>

namespace vbz {

namespace {
const std::map<int, std::string>& errorTexts() {
    // Built once, read-only afterwards; the wording is part of the log format.
    static const std::map<int, std::string> table = {
        {0, "No error"},
        {-1, "Other"},
        {-2, "Invalid parameter"},
        {-3, "No device connected"},
        {-4, "Output is not supported on this platform"},
        {-5, "Invalid Json"},
        {-6, "Device not reachable. It is either no turned on, properly set, or already in use "
             "with another application."},
        {-7, "A priority command is waiting to be processed"},
        {-8, "No available slot on the board"},
        {-9, "No Vibrenza instance created"},
        {-10, "Received an invalid message"},
        {-11, "Process is already running"},
        {-12, "A device is already connected"},
        {-14, "Play was ignored due to overall trigger strategy"},
        {-15, "PortAudio raised an error"},
        {-16, "An error happened with the socket"},
        {-17, "ORV-fx library returned an error"},
        {-100, "Core - Invalid argument"},
        {-99, "Core - Invalid vpt file"},
        {-98, "Core - Invalid layout"},
        {-97, "Core - Instance already allocated"},
        {-96, "Core - Sequence not allocated"},
        {-95, "Core - Pattern not allocated"},
        {-94, "Core - Pattern in use"},
        {-93, "Core - Sequence already playing"},
        {-92, "Core - Invalid Operation"},
    };
    return table;
}
// Fill the table while the library loads, before any thread of the SDK.
[[maybe_unused]] const auto& kLoaded = errorTexts();
}  // namespace

std::string errorText(int code) {
    const auto& table = errorTexts();
    auto it = table.find(code);
    return it == table.end() ? std::string("Unknown error") : it->second;
}

}  // namespace vbz
