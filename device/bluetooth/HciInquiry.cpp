#include "device/bluetooth/HciInquiry.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "device/bluetooth/BluetoothException.h"
#include "device/bluetooth/BluezStorage.h"
#include "device/bluetooth/BtAddress.h"
#include "device/bluetooth/SocketErrorText.h"

namespace vbz {

namespace {
constexpr int kInquiryLength = 8;       // in units of 1.28 s
constexpr int kMaxResponses = 255;
constexpr int kNameTimeoutMs = 5000;
constexpr std::size_t kMaxNameLength = 248;

BtAddressBytes bytesOf(const bdaddr_t& a) {
    BtAddressBytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = a.b[bytes.size() - 1 - i];
    return bytes;
}

// The device has a link open now; `authenticated` when that link is.
bool openLink(int hci, const bdaddr_t& address, bool& authenticated) {
    // The request is followed by room for one answer record.
    alignas(hci_conn_info_req) alignas(hci_conn_info)
        unsigned char buffer[sizeof(hci_conn_info_req) + sizeof(hci_conn_info)] = {};
    auto* request = reinterpret_cast<hci_conn_info_req*>(buffer);
    bacpy(&request->bdaddr, &address);
    request->type = ACL_LINK;
    if (::ioctl(hci, HCIGETCONNINFO, request) < 0) return false;
    hci_conn_info info{};
    std::memcpy(&info, buffer + offsetof(hci_conn_info_req, conn_info), sizeof info);
    authenticated = (info.link_mode & HCI_LM_AUTH) != 0;
    return true;
}

struct HciDevice {
    int fd = -1;
    ~HciDevice() {
        if (fd >= 0) hci_close_dev(fd);
    }
};

struct InquiryResults {
    inquiry_info* list = nullptr;
    ~InquiryResults() { std::free(list); }
};
}  // namespace

std::vector<BtDeviceInfo> hciInquiry() {
    std::vector<BtDeviceInfo> devices;
    const int adapter = hci_get_route(nullptr);
    if (adapter < 0) {
        // No adapter, or no Bluetooth in the kernel: nothing to list.
        if (errno == ENODEV || errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT) return devices;
        throw BluetoothException(socketErrorText(errno));
    }
    HciDevice hci;
    hci.fd = hci_open_dev(adapter);
    if (hci.fd < 0) throw BluetoothException(socketErrorText(errno));

    bdaddr_t adapterAddress{};
    const bool adapterKnown = hci_devba(adapter, &adapterAddress) == 0;
    const std::string adapterText = adapterKnown ? formatBtAddress(bytesOf(adapterAddress)) : "";

    // Without flushing, the kernel answers from a recent inquiry at once.
    InquiryResults results;
    const int count =
        hci_inquiry(adapter, kInquiryLength, kMaxResponses, nullptr, &results.list, 0);
    if (count < 0 && errno == ENOMEM)
        throw BluetoothException("Out of memory: Unable to allocate memory resource for inquiry");
    if (count < 0) throw BluetoothException(socketErrorText(errno));
    const int64_t seen = static_cast<int64_t>(std::time(nullptr));

    for (int i = 0; i < count; ++i) {
        const inquiry_info& found = results.list[i];
        BtDeviceInfo info;
        info.address = formatBtAddress(bytesOf(found.bdaddr));
        info.lastSeen = seen;

        char name[kMaxNameLength + 1] = {};
        if (hci_read_remote_name_with_clock_offset(hci.fd, &found.bdaddr, found.pscan_rep_mode,
                                                   found.clock_offset | 0x8000,
                                                   static_cast<int>(kMaxNameLength), name,
                                                   kNameTimeoutMs) == 0)
            info.name = name;

        const BluezPairing pairing = adapterKnown ? readBluezPairing(adapterText, info.address)
                                                  : BluezPairing{};
        if (info.name.empty()) info.name = pairing.name.substr(0, kMaxNameLength);
        info.remembered = pairing.state == BluezPairing::State::Paired;
        info.authenticated = pairing.state != BluezPairing::State::NotPaired;
        bool linkAuthenticated = false;
        info.connected = openLink(hci.fd, found.bdaddr, linkAuthenticated);
        if (linkAuthenticated) info.authenticated = true;

        setDeviceClass(info, static_cast<uint32_t>(found.dev_class[0]) |
                                 (static_cast<uint32_t>(found.dev_class[1]) << 8) |
                                 (static_cast<uint32_t>(found.dev_class[2]) << 16));
        devices.push_back(std::move(info));
    }
    return devices;
}

}  // namespace vbz
