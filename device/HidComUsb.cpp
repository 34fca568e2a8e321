#include "device/HidComUsb.h"

#include <hidapi/hidapi.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "device/platform/UsbAccess.h"
#include "sdk/core/DeviceTypes.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
constexpr const char* kTag = "HIDStandalone";
constexpr int kReadTimeoutMs = 10;
constexpr const char* kChecklist =
    "\n"
    "\t - the board is turned on.\n"
    "\t - it is set to use plug to the computer.\n"
    "\t - the Operating System is not using the device as the default audio output device.\n"
    "\t - the device is not already in use by another application.";

std::mutex& hidLifetimeMutex() {
    static std::mutex m;
    return m;
}
int liveUsbTransports = 0;  // guarded by hidLifetimeMutex()

// hidapi's texts are wide; keep the low byte of each unit.
std::string narrow(const wchar_t* text) {
    std::string out;
    if (!text) return out;
    for (; *text != L'\0'; ++text) {
        const char c = static_cast<char>(static_cast<uint32_t>(*text) & 0xFFu);
        out.push_back(c == '\0' ? '?' : c);
    }
    return out;
}

// Frees hidapi's enumeration on every way out of a search.
struct Enumeration {
    hid_device_info* list = hid_enumerate(kUsbVendorId, 0);
    Enumeration() = default;
    Enumeration(const Enumeration&) = delete;
    Enumeration& operator=(const Enumeration&) = delete;
    ~Enumeration() {
        if (list) hid_free_enumeration(list);
    }
};
// hid_open_path; a failure for want of permission is logged with the way
// out (after the caller's own line, hence the deferred hint).
hid_device* openPath(const std::string& path, std::string& permissionHint) {
    errno = 0;
    hid_device* device = hid_open_path(path.c_str());
    if (!device) permissionHint = usbPermissionHint(path, errno);
    return device;
}

void logPermissionHint(const std::string& hint) {
    if (!hint.empty()) LogLine(4, kTag) << hint;
}
}  // namespace

HidComUsb::HidComUsb() {
    std::lock_guard<std::mutex> lock(hidLifetimeMutex());
    // hid_init's result is not looked at: a failure shows on the first open.
    if (liveUsbTransports == 0) hid_init();
    ++liveUsbTransports;
}

HidComUsb::~HidComUsb() {
    connected.store(false);
    if (device_) {
        hid_close(device_);
        device_ = nullptr;
    }
    std::lock_guard<std::mutex> lock(hidLifetimeMutex());
    if (--liveUsbTransports == 0) hid_exit();
}

int HidComUsb::liveTransports() {
    std::lock_guard<std::mutex> lock(hidLifetimeMutex());
    return liveUsbTransports;
}

bool HidComUsb::reportHidError() {
    if (!device_) return false;
    lastErrorText_ = hid_error(device_);
    const bool reported = lastErrorText_ && *lastErrorText_ != L'\0';
    if (reported) LogLine(4, kTag) << narrow(lastErrorText_);
    lastErrorText_ = nullptr;
    return reported;
}

std::string HidComUsb::hidErrorText() {
    const wchar_t* text = hid_error(device_);
    if (!text || *text == L'\0') return "No Error Reported";
    return narrow(text);
}

void HidComUsb::dropDevice() {
    if (device_) {
        hid_close(device_);
        device_ = nullptr;
    }
    connected.store(false);
}

int HidComUsb::sendRaw(const uint8_t* frame, std::size_t length) {
    std::memcpy(sendBuffer.data(), frame, length);
    return hid_write(device_, sendBuffer.data(), length);
}

int HidComUsb::close() {
    if (!connected.load()) return -3;
    connected.store(false);
    return 0;
}

int HidComUsb::write(const uint8_t* frame, int length) {
    if (!connected.load()) return -3;
    if (!writableFrame(frame, length, kTag)) return -6;
    if (!device_ || sendRaw(frame, static_cast<std::size_t>(length)) < 0) {
        reportHidError();
        connected.store(false);
        return -6;
    }
    return 0;
}

int HidComUsb::read() {
    if (!connected.load()) return -3;
    const int n =
        device_ ? hid_read_timeout(device_, receiveBuffer.data(), receiveBuffer.size(), kReadTimeoutMs)
                : -1;
    if (n < 0) {
        reportHidError();
        connected.store(false);
        return -6;
    }
    if (n == 0) return 0;
    // Judged on the table length of its id, whatever count arrived.
    const auto it = answerLengths.find(receiveBuffer[0]);
    if (it != answerLengths.end() &&
        checkCommandCrc16(receiveBuffer.data(), static_cast<uint16_t>(it->second))) {
        return static_cast<int>(it->second);
    }
    LogLine(4, kTag) << errorText(-10);
    LogLine(4, kTag) << "Could not process the answer, waiting for the next message.";
    return -10;
}

HidComUsb::Wait HidComUsb::waitForAnswer(uint8_t id) {
    // Frames with other ids are passed over.
    const int r = readUntil(kAnswerTimeoutSeconds, -6, [&]() -> std::optional<int> {
        if (receiveBuffer[0] == id) return 0;
        return std::nullopt;
    });
    return r == 0 ? Wait::Answered : Wait::TimedOut;
}

int HidComUsb::trySerial(const std::string& path, uint32_t serial, bool logSendFailure) {
    const auto request = shortFrame(DeviceCommand::GetSerialNumber);
    connected.store(true);
    if (sendRaw(request.data(), request.size()) < 0) {
        reportHidError();
        if (logSendFailure) LogLine(4, kTag) << "Could not send command to device.";
        dropDevice();
        return -6;
    }
    if (waitForAnswer(answerId(DeviceCommand::GetSerialNumber)) != Wait::Answered) {
        dropDevice();
        return -6;
    }
    if (static_cast<uint32_t>(serialFromFields(receiveBuffer.data())) == serial) {
        LogLine(0, kTag) << "Connected to " << path;
        return 0;
    }
    return 1;  // answered with another serial
}

int HidComUsb::open(uint32_t serial, std::string path) {
    if (connected.load()) return 0;
    if (device_) dropDevice();
    LogLine(0, kTag) << "Start USB connection routine.";

    if (!path.empty()) {
        std::string hint;
        device_ = openPath(path, hint);
        if (!device_) {
            LogLine(2, kTag) << "The scanned devices list is not up-to-date anymore. "
                             << "Targeted device might have been unplugged. "
                             << "Search for another one.";
            logPermissionHint(hint);
        } else {
            const int r = trySerial(path, serial, true);
            if (r == 0) return 0;
            if (r > 0) {
                LogLine(2, kTag) << "Wrong serial number, rescan devices.";
                dropDevice();
            }
        }
    }

    Enumeration devices;
    for (hid_device_info* d = devices.list; d; d = d->next) {
        const std::string entryPath = d->path ? d->path : "";
        std::string hint;
        device_ = d->path ? openPath(entryPath, hint) : nullptr;
        if (!device_) {
            LogLine(4, kTag) << "Could not open port: " << entryPath;
            logPermissionHint(hint);
            continue;
        }
        if (serial == 0) {
            connected.store(true);
            LogLine(0, kTag) << "Connected to " << entryPath;
            return 0;
        }
        const int r = trySerial(entryPath, serial, false);
        if (r == 0) return 0;
        if (r > 0) {
            LogLine(2, kTag) << "Wrong serial number: " << entryPath;
            dropDevice();
        }
    }

    logNotAvailable(kTag, "USB", serial, kChecklist);
    return -6;
}

int HidComUsb::scan(std::vector<vbz_device_info_t>& devices,
                    std::map<uint32_t, std::string>& addresses, std::vector<std::string>& texts) {
    LogLine(0, kTag) << "Start USB scanning routine.";
    if (connected.load()) return -11;
    if (device_) dropDevice();

    const auto serialRequest = shortFrame(DeviceCommand::GetSerialNumber);
    const auto versionRequest = shortFrame(DeviceCommand::GetVersion);
    const auto typeRequest = shortFrame(DeviceCommand::GetType);

    Enumeration found;
    for (hid_device_info* d = found.list; d; d = d->next) {
        const std::string path = d->path ? d->path : "";
        std::string hint;
        device_ = d->path ? openPath(path, hint) : nullptr;
        if (!device_) {
            LogLine(4, kTag) << "Could not open port: " << path;
            logPermissionHint(hint);
            continue;
        }
        connected.store(true);

        if (sendRaw(serialRequest.data(), serialRequest.size()) < 0) {
            reportHidError();
            LogLine(4, kTag) << hidErrorText();
            dropDevice();
            continue;
        }
        if (waitForAnswer(answerId(DeviceCommand::GetSerialNumber)) != Wait::Answered) {
            dropDevice();
            continue;
        }
        const auto serial = static_cast<uint32_t>(serialFromFields(receiveBuffer.data()));

        if (sendRaw(versionRequest.data(), versionRequest.size()) < 0) {
            LogLine(4, kTag) << hidErrorText();
            dropDevice();
            continue;
        }
        if (waitForAnswer(answerId(DeviceCommand::GetVersion)) != Wait::Answered) {
            dropDevice();
            continue;
        }
        std::string version = versionFromAnswer(receiveBuffer.data());

        if (sendRaw(typeRequest.data(), typeRequest.size()) < 0) {
            LogLine(4, kTag) << hidErrorText();
            dropDevice();
            continue;
        }
        if (waitForAnswer(answerId(DeviceCommand::GetType)) != Wait::Answered) {
            dropDevice();
            continue;
        }
        const vbz_device_type_t type = deviceTypeFromCode(readU32(receiveBuffer.data() + 3));

        dropDevice();
        texts.push_back(std::move(version));
        texts.push_back(path);
        addresses.emplace(serial, path);  // the first address of a serial stays
        appendDevice(devices, VBZ_OUTPUT_USB, serial, type);
    }
    return 0;
}

}  // namespace vbz
