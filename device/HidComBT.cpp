#include "device/HidComBT.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <regex>
#include <thread>
#include <vector>

#include "device/bluetooth/BluetoothException.h"
#include "sdk/core/DeviceTypes.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
constexpr const char* kTag = "BTStandalone";
constexpr uint8_t kDeviceErrorId = commandId(DeviceCommand::DeviceError);
constexpr std::size_t kDeviceErrorLength = 6;
constexpr const char* kChecklist =
    "\n"
    "\t - Bluetooth is enabled on your system.\n"
    "\t - the board is already paired with your system.\n"
    "\t - the board is turned on.\n"
    "\t - the board is set to use Bluetooth.\n"
    "\t - the board is not already in use by another application.";

const std::regex& deviceNamePattern() {
    static const std::regex pattern(R"(((rvd)[-_\s.]*(mk)[-_\s.](i|v|x)+|vibrenza))",
                                    std::regex::ECMAScript | std::regex::icase);
    return pattern;
}
}  // namespace

bool HidComBT::isVestName(const std::string& name) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    try {
        return std::regex_search(lower, deviceNamePattern());
    } catch (const std::regex_error&) {
        return false;  // a name too long or odd for the matcher is no vest's
    }
}

HidComBT::HidComBT() : HidComBT(std::make_shared<BtLinkFactory>(), Timing{}) {}

HidComBT::HidComBT(std::shared_ptr<BtLinkFactory> factory)
    : HidComBT(std::move(factory), Timing{}) {}

HidComBT::HidComBT(std::shared_ptr<BtLinkFactory> factory, Timing timing)
    : factory_(factory ? std::move(factory) : std::make_shared<BtLinkFactory>()),
      timing_(timing),
      kept_(kTag) {
    try {
        inquiry_ = factory_->makeInquiry();
    } catch (const BluetoothException& e) {
        LogLine(4, kTag) << "Failed to initialize Bluetooth: " << e.what();
    }
}

HidComBT::~HidComBT() {
    closePort();
    inquiry_.reset();
}

void HidComBT::closePort() {
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
    streamLength_ = 0;
    kept_.clear();  // they came on this socket
    connected.store(false);
}

int HidComBT::close() {
    if (!connected.load() || !socket_) return -3;
    closePort();
    return 0;
}

int HidComBT::write(const uint8_t* frame, int length) {
    if (!connected.load() || !socket_) return -3;
    if (!writableFrame(frame, length, kTag)) return -6;
    std::memcpy(sendBuffer.data(), frame, static_cast<std::size_t>(length));
    try {
        socket_->write(sendBuffer.data(), static_cast<std::size_t>(length));
    } catch (const BluetoothException& e) {
        LogLine(3, kTag) << "Cannot send BT message: " << e.what();
        connected.store(false);
        return -6;
    }
    return 0;
}

int HidComBT::read() {
    if (!connected.load() || !socket_) {
        LogLine(0, kTag) << "Unable to get next command: " << errorText(-3);
        return -3;
    }
    // They came before anything still in the stream.
    if (const int kept = kept_.handOut(receiveBuffer)) return kept;
    try {
        fillStream();
    } catch (const BluetoothException& e) {
        connected.store(false);
        LogLine(0, kTag) << "Unable to get next command: " << e.what();
        return -6;
    }
    return takeFrame();
}

void HidComBT::fillStream() {
    // Bytes stay queued in the socket while a whole frame is already here.
    const std::size_t room = stream_.size() - streamLength_;
    if (room == 0) return;
    const int n = socket_->read(stream_.data() + streamLength_, room);
    if (n > 0) streamLength_ += static_cast<std::size_t>(n);
}

void HidComBT::consume(std::size_t count) {
    count = std::min(count, streamLength_);
    std::memmove(stream_.data(), stream_.data() + count, streamLength_ - count);
    streamLength_ -= count;
}

int HidComBT::takeFrame() {
    std::size_t dropped = 0;
    while (streamLength_ > 0) {
        const auto it = answerLengths.find(stream_[0]);
        if (it != answerLengths.end()) {
            const std::size_t length = it->second;
            if (streamLength_ < length) break;  // the rest is on its way
            if (checkCommandCrc16(stream_.data(), static_cast<uint16_t>(length))) {
                if (dropped > 0) break;  // report the rejected bytes first
                std::memcpy(receiveBuffer.data(), stream_.data(), length);
                consume(length);
                return static_cast<int>(length);
            }
        }
        consume(1);
        ++dropped;
    }
    if (dropped == 0) return 0;
    LogLine(3, kTag) << "Could not process the answer, waiting for the next message.";
    return -10;
}

void HidComBT::request(DeviceCommand command) {
    const auto frame = shortFrame(command);
    socket_->write(frame.data(), frame.size());
}

int HidComBT::waitForAnswer(uint8_t expectedId) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const float limit = std::chrono::duration<float>(timing_.answerWait).count();
    for (;;) {
        if (std::chrono::duration<float>(Clock::now() - start).count() >= limit) {
            connected.store(false);
            LogLine(3, kTag) << "Timeout, no answer from remote BT device.";
            return -6;
        }
        const std::size_t before = streamLength_;
        fillStream();
        // Until the first message is whole, let the link work instead of
        // spinning on it.
        const auto waitForMore = [&] {
            if (streamLength_ == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
        if (streamLength_ == 0) {
            waitForMore();
            continue;
        }
        const uint8_t id = stream_[0];
        if (id == kDeviceErrorId) {
            if (streamLength_ < kDeviceErrorLength) {
                waitForMore();
                continue;
            }
            const auto code = static_cast<int8_t>(stream_[3]);
            consume(kDeviceErrorLength);
            return logDeviceError(code);  // -6
        }
        const auto it = answerLengths.find(id);
        if (it != answerLengths.end() && streamLength_ < it->second) {
            waitForMore();
            continue;
        }
        const bool good = it != answerLengths.end() &&
                          checkCommandCrc16(stream_.data(), static_cast<uint16_t>(it->second));
        if (good && id == expectedId) {
            std::memcpy(receiveBuffer.data(), stream_.data(), it->second);
            consume(it->second);
            return static_cast<int>(it->second);
        }
        if (good && isVestsOwnFrame(id)) {
            // It answers nothing: the answer may still come, within the
            // same time.
            kept_.keep(stream_.data(), it->second);
            consume(it->second);
            continue;
        }
        closePort();
        return -10;
    }
}

void HidComBT::makeSocket(const std::string& address) {
    closePort();  // never two sockets at once
    socket_ = factory_->makeSocket(address, kChannel);
    if (!socket_) throw BluetoothException("No socket for " + address);
}

int HidComBT::askSerial() {
    socket_->connect();
    std::this_thread::sleep_for(timing_.settle);
    request(DeviceCommand::GetSerialNumber);
    return waitForAnswer(answerId(DeviceCommand::GetSerialNumber));
}

std::optional<std::vector<BtDeviceInfo>> HidComBT::pairedVests() {
    std::vector<BtDeviceInfo> listed;
    try {
        listed = inquiry_->inquire();
    } catch (const BluetoothException& e) {
        LogLine(4, kTag) << "Failed to inquire bluetooth devices: " << e.what();
        return std::nullopt;
    }
    std::erase_if(listed, [](const BtDeviceInfo& device) {
        return !isVestName(device.name) || !device.authenticated;
    });
    return listed;
}

std::optional<uint32_t> HidComBT::reachSerial(const std::string& address) {
    makeSocket(address);
    if (askSerial() <= 0) {
        closePort();
        return std::nullopt;
    }
    return static_cast<uint32_t>(serialFromFields(receiveBuffer.data()));
}

int HidComBT::open(uint32_t serial, std::string address) {
    if (connected.load()) return 0;
    LogLine(0, kTag) << "Start bluetooth connection routine.";

    if (!address.empty()) {
        bool made = false;
        try {
            makeSocket(address);
            made = true;
        } catch (const BluetoothException&) {
            LogLine(0, kTag) << "The scanned devices list is not up-to-date anymore. "
                             << "Targeted device might have been unplugged. Search for another one.";
        }
        if (made) {
            try {
                if (askSerial() > 0) {
                    if (static_cast<uint32_t>(serialFromFields(receiveBuffer.data())) == serial) {
                        LogLine(0, kTag) << "Connected to " << address;
                        connected.store(true);
                        return 0;
                    }
                    LogLine(0, kTag) << "Wrong Serial Number, rescan devices.";
                }
                closePort();
            } catch (const BluetoothException& e) {
                LogLine(3, kTag) << "Failed to connect to " << address << ": " << e.what();
                closePort();
            }
        }
    }

    if (!inquiry_) return -1;
    const auto vests = pairedVests();
    if (!vests) return -6;

    for (const BtDeviceInfo& device : *vests) {
        LogLine(0, kTag) << "Try to connect to device " << device.name;
        try {
            const auto found = reachSerial(device.address);
            if (!found) continue;
            if (serial == 0) {
                LogLine(2, kTag) << "Connected to " << device.address;
                connected.store(true);
                return 0;
            }
            if (*found == serial) {
                LogLine(2, kTag) << "Connected to " << *found << " at address " << device.address;
                connected.store(true);
                return 0;
            }
            closePort();
        } catch (const BluetoothException& e) {
            LogLine(3, kTag) << "Failed to connect to " << device.name << ": " << e.what();
            closePort();
        }
    }

    logNotAvailable(kTag, "Bluetooth", serial, kChecklist);
    return -6;
}

int HidComBT::scan(std::vector<vbz_device_info_t>& devices,
                   std::map<uint32_t, std::string>& addresses, std::vector<std::string>& texts) {
    LogLine(0, kTag) << "Start bluetooth scanning routine.";
    if (!inquiry_) return -1;
    const auto vests = pairedVests();
    if (!vests) return -1;

    for (const BtDeviceInfo& device : *vests) {
        LogLine(0, kTag) << "Try to scan " << device.name;
        try {
            const auto found = reachSerial(device.address);
            if (!found) continue;
            const uint32_t serial = *found;

            request(DeviceCommand::GetVersion);
            if (waitForAnswer(answerId(DeviceCommand::GetVersion)) <= 0) {
                closePort();
                continue;
            }
            std::string version = versionFromAnswer(receiveBuffer.data());

            request(DeviceCommand::GetType);
            if (waitForAnswer(answerId(DeviceCommand::GetType)) <= 0) {
                closePort();
                continue;
            }
            const vbz_device_type_t type = deviceTypeFromCode(readU32(receiveBuffer.data() + 3));

            texts.push_back(std::move(version));
            texts.push_back(device.address);
            addresses.emplace(serial, device.address);  // the first address of a serial stays
            appendDevice(devices, VBZ_OUTPUT_BLUETOOTH, serial, type);
            LogLine(0, kTag) << "Device found - Serial number: " << serial;
            closePort();
        } catch (const BluetoothException& e) {
            LogLine(3, kTag) << "Failed to scan device " << device.name << ": " << e.what();
            closePort();
        }
    }
    return 0;
}

}  // namespace vbz
