#include "device/HidComUdp.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "device/platform/NetInterfaces.h"
#include "sdk/core/DeviceTypes.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
using Clock = std::chrono::steady_clock;

constexpr const char* kTag = "WIFIStandalone";
constexpr int kReadWaitMs = 10;
constexpr auto kDiscoveryTime = std::chrono::seconds(1);
constexpr int kDiscoveryPollMs = 50;
constexpr uint8_t kDeviceErrorId = 0xFF;
constexpr uint8_t kOldFirmwareError = 0xF9;  // InvalidInternalState (-7)
constexpr uint32_t kLoopbackAddress = 0x7F000001u;
constexpr std::size_t kIpv4SockaddrSize = 16;

constexpr const char* kChecklist =
    "\n"
    "\t - the board is turned on.\n"
    "\t - it is set to use WiFi.\n"
    "\t - the WiFi settings are configured on the board.\n"
    "\t - it is connected to the WiFi and not still trying to connect to it.\n"
    "\t - the device is not already in use by another application.";

void logUnavailable(const std::string& address) {
    LogLine(0, kTag) << "Could not connect to " << address
                     << " - device does not appear to be available.";
}
}  // namespace

HidComUdp::HidComUdp() : kept_(kTag) {
    LogLine(0, kTag) << "INIT";
    const char* step = "";
    const int error = socket_.open(&step);
    if (error == 0) return;
    if (std::strcmp(step, "socket") == 0) {
        LogLine(4, kTag) << "socket(): " << UdpSocket::errorText(error);
    } else if (std::strcmp(step, "non-blocking") == 0) {
        LogLine(4, kTag) << "Failed to put socket into non-blocking mode.";
        reportSocketError(error);
    } else {
        LogLine(4, kTag) << "Failed to enable broadcast option on socket.";
        reportSocketError(error);
    }
}

HidComUdp::~HidComUdp() {
    // A vest left bound would refuse every other host until power-cycled,
    // so it is released even after a link failure cleared `connected`.
    if (connected.load() || bound_) {
        connected.store(true);
        if (unbind() < 0)
            LogLine(3, kTag) << "Device could not unbind properly while disconnecting.";
        connected.store(false);
    }
    socket_.close();
    LogLine(0, kTag) << "DEINIT";
}

int HidComUdp::reportSocketError(int code) {
    if (code == UdpSocket::kWouldBlock) return 0;
    LogLine(4, kTag) << "WSA error: " << code << " (" << UdpSocket::errorText(code) << ")";
    return code;
}

int HidComUdp::write(const uint8_t* frame, int length) {
    if (!connected.load()) return -3;
    if (!writableFrame(frame, length, kTag)) return -6;
    std::memcpy(sendBuffer.data(), frame, static_cast<std::size_t>(length));
    const int n = socket_.sendTo(remote_, sendBuffer.data(), static_cast<std::size_t>(length));
    if (n < 0) {
        if (-n == UdpSocket::kWouldBlock)
            LogLine(4, kTag) << "Could not send a frame to " << remote_.text()
                             << ": the socket is busy.";
        else
            reportSocketError(-n);
        connected.store(false);
        return -6;
    }
    return 0;
}

int HidComUdp::checkAnswer(const uint8_t* data, int count) {
    const auto& lengths = vbz::answerLengths();
    const auto it = count > 0 ? lengths.find(data[0]) : lengths.end();
    if (it != lengths.end() && static_cast<uint32_t>(count) != it->second) {
        LogLine(4, kTag)
            << "Could not process the answer, message is incomplete, waiting for the next message.";
        return -10;
    }
    if (it == lengths.end() || !checkCommandCrc16(data, static_cast<uint16_t>(count))) {
        LogLine(4, kTag) << errorText(-10);
        LogLine(4, kTag) << "Could not process the answer, waiting for the next message.";
        return -10;
    }
    return static_cast<int>(it->second);
}

int HidComUdp::read() {
    if (!connected.load()) return -3;
    // What was put aside while talking to another vest of a search is
    // passed over: it is not this link's.
    if (const int kept = kept_.handOut(receiveBuffer, remote_)) return kept;
    return receive();
}

void HidComUdp::keepVestsOwnFrame() {
    kept_.keep(receiveBuffer.data(), answerLengths.at(receiveBuffer[0]), remote_);
}

int HidComUdp::receive() {
    if (!connected.load()) return -3;
    const int ready = socket_.waitReadable(kReadWaitMs);
    int n = ready;
    std::array<uint8_t, kReceiveBufferSize> datagram{};
    Ipv4Endpoint from;
    if (ready > 0) n = socket_.receiveFrom(datagram.data(), datagram.size(), from);
    if (ready == 0 || n == -UdpSocket::kWouldBlock) return 0;
    if (n < 0) {
        reportSocketError(-n);
        LogLine(4, kTag) << "Could not read data over socket.";
        connected.store(false);
        return -6;
    }
    if (from != remote_) {
        LogLine(3, kTag) << "Ignored a datagram from " << from.text()
                         << ": it is not the device connected (" << remote_.text() << ").";
        return 0;
    }
    if (n == 0) return 0;
    std::memcpy(receiveBuffer.data(), datagram.data(), static_cast<std::size_t>(n));
    return checkAnswer(receiveBuffer.data(), n);
}

int HidComUdp::waitAnswer(uint8_t expectedId, bool forcedBindAllowed, bool& forcedBindWanted) {
    const auto onFrame = [&]() -> std::optional<int> {
        const uint8_t id = receiveBuffer[0];
        if (id == expectedId) return 0;
        if (isVestsOwnFrame(id)) {
            keepVestsOwnFrame();
            return std::nullopt;  // the answer may still come
        }
        if (id != kDeviceErrorId) {
            LogLine(3, kTag) << "Unexpected answer " << hexId(id) << " while waiting for "
                             << hexId(expectedId) << ".";
            return -10;
        }
        if (receiveBuffer[3] == kOldFirmwareError && forcedBindAllowed) {
            forcedBindWanted = true;
            return 0;
        }
        logDeviceError(static_cast<int8_t>(receiveBuffer[3]));
        return std::nullopt;  // and wait on
    };
    // From the socket only: what was put aside is not given back here.
    return readUntil(kAnswerTimeoutSeconds, -6, onFrame, [this] { return receive(); });
}

int HidComUdp::requestAnswer(const uint8_t* frame, int length, uint8_t expectedId) {
    int r = write(frame, length);
    if (r < 0) return r;
    bool forcedBind = false;
    r = waitAnswer(expectedId, true, forcedBind);
    if (!forcedBind) return r;

    LogLine(3, kTag) << "Firmware prior 1.3.3 detected, an update is advised.";
    const auto bind = shortFrame(DeviceCommand::Bind);
    bool ignored = false;
    r = write(bind.data(), static_cast<int>(bind.size()));
    if (r == 0) r = waitAnswer(answerId(DeviceCommand::Bind), false, ignored);
    if (r < 0) {
        LogLine(3, kTag) << "Forced bind failed";
        return r;
    }
    bound_ = true;
    boundVest_ = remote_;
    r = write(frame, length);
    if (r < 0) return r;
    return waitAnswer(expectedId, false, ignored);
}

int HidComUdp::bindRemote() {
    const auto bind = shortFrame(DeviceCommand::Bind);
    const int r = requestAnswer(bind.data(), static_cast<int>(bind.size()),
                                answerId(DeviceCommand::Bind));
    if (r == 0) {
        bound_ = true;
        boundVest_ = remote_;
    }
    return r;
}

int HidComUdp::unbind() {
    if (!bound_) return 0;
    // The vest that was bound, wherever the link points now.
    const Ipv4Endpoint current = remote_;
    remote_ = boundVest_;
    const auto frame = shortFrame(DeviceCommand::Unbind);
    const int r = requestAnswer(frame.data(), static_cast<int>(frame.size()),
                                answerId(DeviceCommand::Unbind));
    bound_ = false;
    remote_ = current;
    if (r < 0)
        LogLine(3, kTag) << "Unbind failed, board might not be in correct state. Wait for it to "
                            "recover or power it back on again.";
    return r;
}

int HidComUdp::close() {
    if (!connected.load()) return -3;
    const int r = unbind();
    if (r < 0) LogLine(3, kTag) << "Device could not unbind properly while disconnecting.";
    connected.store(false);
    kept_.clear();
    return r;
}

std::vector<std::string> HidComUdp::broadcastAddresses() {
    std::vector<Ipv4Interface> interfaces;
    const int error = listIpv4Interfaces(interfaces);
    if (error != 0) {
        LogLine(4, kTag) << "Something went wrong when searching for network interfaces.";
        LogLine(4, kTag) << "getifaddrs: " << UdpSocket::errorText(error);
        return {};
    }
    std::vector<std::string> out;
    for (const auto& i : interfaces) {
        if (!i.up || i.loopback || i.address == kLoopbackAddress) continue;
        out.push_back(Ipv4Endpoint{i.broadcast(), 0}.addressText());
    }
    return out;
}

void HidComUdp::discoveryReceiver(std::vector<std::string>& keys) {
    if (!socket_.isOpen()) return;
    const auto deadline = Clock::now() + kDiscoveryTime;
    std::array<uint8_t, kReceiveBufferSize> datagram{};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - Clock::now());
        if (left.count() <= 0) break;
        const int ready =
            socket_.waitReadable(static_cast<int>(std::min<long long>(left.count() + 1,
                                                                      kDiscoveryPollMs)));
        if (ready == 0) continue;
        if (ready < 0) {
            reportSocketError(-ready);
            std::this_thread::sleep_for(std::chrono::milliseconds(kReadWaitMs));
            continue;
        }
        Ipv4Endpoint from;
        std::size_t fromLength = 0;
        const int n = socket_.receiveFrom(datagram.data(), datagram.size(), from, &fromLength);
        if (n < 0) {
            reportSocketError(-n);
            continue;
        }
        takeDiscoveryAnswer(datagram.data(), n, from, fromLength, keys);
    }
}

void HidComUdp::takeDiscoveryAnswer(const uint8_t* datagram, int count, const Ipv4Endpoint& from,
                                    std::size_t fromLength, std::vector<std::string>& keys) {
    if (fromLength != kIpv4SockaddrSize) LogLine(3, kTag) << "Socket Address of wrong size.";
    if (count <= 0 || checkAnswer(datagram, count) <= 0 ||
        datagram[0] != answerId(DeviceCommand::Discover))
        return;
    const std::string key = from.text();
    if ((datagram[3] & 0xFD) != 0) {
        LogLine(1, kTag) << "A device answered on " << key << " but is not available (status "
                         << static_cast<int>(datagram[3]) << ").";
        return;
    }
    // A vest with two addresses in one subnet hears Discover twice.
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) return;
    keys.push_back(key);
    LogLine(0, kTag) << "A device answered on " << key;
}

std::vector<std::string> HidComUdp::discoverDevices() {
    const auto discover = shortFrame(DeviceCommand::Discover);
    const auto broadcasts = broadcastAddresses();
    std::vector<std::string> keys;
    connected.store(true);
    std::thread receiver;
    try {
        receiver = std::thread([this, &keys] { discoveryReceiver(keys); });
    } catch (const std::system_error& e) {
        LogLine(4, kTag) << "Could not start the discovery receiver: " << e.what();
        connected.store(false);
        return keys;
    }
    for (const auto& text : broadcasts) {
        const auto address = Ipv4Endpoint::parseAddress(text);
        if (!address) continue;
        for (const uint16_t port : kDiscoveryPorts) {
            remote_ = Ipv4Endpoint{*address, port};
            std::memcpy(sendBuffer.data(), discover.data(), discover.size());
            const int n = socket_.sendTo(remote_, sendBuffer.data(), discover.size());
            if (n < 0) {
                reportSocketError(-n);
                LogLine(3, kTag) << "Could not send Discover to " << remote_.text()
                                 << "; going on with the next address.";
            }
        }
    }
    receiver.join();
    connected.store(false);
    return keys;
}

std::vector<std::pair<std::string, Ipv4Endpoint>> HidComUdp::discoverVests() {
    std::vector<std::pair<std::string, Ipv4Endpoint>> vests;
    for (const auto& key : discoverDevices()) {
        if (const auto endpoint = Ipv4Endpoint::parse(key)) vests.emplace_back(key, *endpoint);
    }
    connected.store(true);
    return vests;
}

int HidComUdp::tryVest(uint32_t serial, const std::string& key, bool askSerial) {
    if (askSerial) {
        const auto request = shortFrame(DeviceCommand::GetSerialNumber);
        const int r = requestAnswer(request.data(), static_cast<int>(request.size()),
                                    answerId(DeviceCommand::GetSerialNumber));
        if (r < 0) {
            logUnavailable(key);
            unbind();
            return r;
        }
        if (static_cast<uint32_t>(serialFromFields(receiveBuffer.data())) != serial) {
            unbind();
            return -6;
        }
        if (bound_ && boundVest_ == remote_) return 0;  // bound on its refusal
    }
    // A vest bound earlier in this search is not this one.
    unbind();
    const int r = bindRemote();
    if (r < 0) {
        logUnavailable(key);
        unbind();  // a forced bind may have gone through before the failure
        return r;
    }
    return 0;
}

int HidComUdp::open(uint32_t serial, std::string address) {
    if (connected.load()) return 0;
    LogLine(0, kTag) << "Start Wifi connection routine.";
    bound_ = false;
    kept_.clear();

    if (!address.empty()) {
        const auto endpoint = Ipv4Endpoint::parse(address);
        if (!endpoint) {
            // Never fall back to 0.0.0.0: that would reach this host.
            LogLine(4, kTag) << "Could not read the device address \"" << address
                             << "\": expected a.b.c.d:port.";
            logUnavailable(address);
        } else {
            remote_ = *endpoint;
            connected.store(true);
            const auto request = shortFrame(DeviceCommand::GetSerialNumber);
            int r = requestAnswer(request.data(), static_cast<int>(request.size()),
                                  answerId(DeviceCommand::GetSerialNumber));
            if (r < 0) {
                logUnavailable(address);
                unbind();
            } else if (static_cast<uint32_t>(serialFromFields(receiveBuffer.data())) != serial) {
                LogLine(2, kTag) << "Wrong serial number, rescan devices.";
                unbind();
            } else if (!bound_) {
                r = bindRemote();
                if (r == 0) {
                    LogLine(4, kTag) << "Connected to " << address;
                    return 0;
                }
                logUnavailable(address);
                unbind();
            }
            // Bound by a forced bind: the search below finds the vest again
            // and takes it as bound; if it does not, it is unbound there.
            connected.store(false);
        }
    }

    for (const auto& [key, endpoint] : discoverVests()) {
        remote_ = endpoint;
        if (tryVest(serial, key, serial != 0) == 0) {
            LogLine(0, kTag) << "Connected to " << key;
            return 0;
        }
    }
    unbind();
    connected.store(false);
    logNotAvailable(kTag, "WiFi", serial, kChecklist);
    return -6;
}

int HidComUdp::scan(std::vector<vbz_device_info_t>& devices,
                    std::map<uint32_t, std::string>& addresses, std::vector<std::string>& texts) {
    LogLine(0, kTag) << "Start Wifi scanning routine.";
    // Checked first: a connected transport keeps the vest it bound.
    if (connected.load()) return -11;
    bound_ = false;

    const auto serialRequest = shortFrame(DeviceCommand::GetSerialNumber);
    const auto versionRequest = shortFrame(DeviceCommand::GetVersion);
    const auto typeRequest = shortFrame(DeviceCommand::GetType);
    constexpr int kLength = static_cast<int>(kShortFrameLength);

    for (const auto& [key, endpoint] : discoverVests()) {
        remote_ = endpoint;
        if (requestAnswer(serialRequest.data(), kLength,
                          answerId(DeviceCommand::GetSerialNumber)) < 0) {
            unbind();
            continue;
        }
        const auto serial = static_cast<uint32_t>(serialFromFields(receiveBuffer.data()));
        if (requestAnswer(versionRequest.data(), kLength, answerId(DeviceCommand::GetVersion)) <
            0) {
            unbind();
            continue;
        }
        std::string version = versionFromAnswer(receiveBuffer.data());
        if (requestAnswer(typeRequest.data(), kLength, answerId(DeviceCommand::GetType)) < 0) {
            unbind();
            continue;
        }
        const vbz_device_type_t type = deviceTypeFromCode(readU32(receiveBuffer.data() + 3));
        texts.push_back(std::move(version));
        texts.push_back(key);
        addresses.emplace(serial, key);  // the first address of a serial stays
        appendDevice(devices, VBZ_OUTPUT_WIFI, serial, type);
        unbind();  // releases a forced bind, if one happened
    }
    connected.store(false);
    kept_.clear();  // nobody reads a scanning transport
    return 0;
}

}  // namespace vbz
