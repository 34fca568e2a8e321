#include "device/bluetooth/BluezStorage.h"

#include <dirent.h>

#include <fstream>

namespace vbz {

namespace {
bool canList(const std::string& folder) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return false;
    ::closedir(d);
    return true;
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}
}  // namespace

BluezPairing readBluezPairing(const std::string& adapter, const std::string& device,
                              const std::string& root) {
    BluezPairing result;
    const std::string adapterFolder = root + "/" + adapter;
    std::ifstream info(adapterFolder + "/" + device + "/info");
    if (!info) {
        result.state = canList(adapterFolder) ? BluezPairing::State::NotPaired
                                              : BluezPairing::State::Unknown;
        return result;
    }
    // An ini file: a [LinkKey] (BR/EDR) or [LongTermKey] (LE) section means
    // the device is paired; [General] holds Name=.
    result.state = BluezPairing::State::NotPaired;
    std::string section;
    std::string line;
    while (std::getline(info, line)) {
        line = trimmed(line);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            if (section == "LinkKey" || section == "LongTermKey")
                result.state = BluezPairing::State::Paired;
            continue;
        }
        if (section == "General" && line.rfind("Name=", 0) == 0) result.name = line.substr(5);
    }
    return result;
}

}  // namespace vbz
