#include "device/bluetooth/BluezDeviceList.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include "device/bluetooth/BluetoothException.h"
#include "device/bluetooth/BtAddress.h"
#include "device/bluetooth/SocketErrorText.h"

namespace vbz {

namespace {
constexpr const char* kService = "org.bluez";
constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
// bluetoothd answers from memory; a daemon that takes longer is stuck.
constexpr uint64_t kCallTimeoutUsec = 5'000'000;
constexpr std::size_t kMaxNameLength = 248;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// One object of bluetoothd's tree, with the properties read here.
struct BluezObject {
    std::string path;
    bool adapter = false;
    bool device = false;
    bool powered = false;
    std::string address;
    std::string name;
    std::string alias;
    std::string adapterPath;
    bool paired = false;
    bool connected = false;
    uint32_t deviceClass = 0;
    bool inRange = false;  // RSSI is there only while a discovery sees the device
};

Bus openBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty()) {
        if (sd_bus_open_system(&bus) < 0) return nullptr;
        return Bus(bus);
    }
    if (sd_bus_new(&bus) < 0) return nullptr;
    Bus owned(bus);
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0)
        return nullptr;
    return owned;
}

[[noreturn]] void malformed(int r) {
    if (r == -ENOMEM)
        throw BluetoothException("Out of memory: Unable to allocate memory resource for inquiry");
    throw BluetoothException(socketErrorText(EBADMSG));
}

// r < 0 means the message does not have the expected shape.
void check(int r) {
    if (r < 0) malformed(r);
}

// True when the variant in front of the message holds this type; skips it
// otherwise (a property of an unexpected type is as good as absent).
bool variantHolds(sd_bus_message* m, const char* type) {
    const char* contents = nullptr;
    check(sd_bus_message_peek_type(m, nullptr, &contents));
    if (contents && std::strcmp(contents, type) == 0) return true;
    check(sd_bus_message_skip(m, "v"));
    return false;
}

void readString(sd_bus_message* m, const char* type, std::string& value) {
    if (!variantHolds(m, type)) return;
    const char* text = nullptr;
    check(sd_bus_message_read(m, "v", type, &text));
    value = text ? text : "";
}

void readBool(sd_bus_message* m, bool& value) {
    if (!variantHolds(m, "b")) return;
    int flag = 0;
    check(sd_bus_message_read(m, "v", "b", &flag));
    value = flag != 0;
}

void readU32(sd_bus_message* m, uint32_t& value) {
    if (variantHolds(m, "u")) check(sd_bus_message_read(m, "v", "u", &value));
}

// Calls fn(key) for each entry of the dictionary in front of the message
// (entries of this signature, the key a text or an object path); fn reads
// or skips the value.
template <typename F>
void forEachEntry(sd_bus_message* m, const char* entry, F&& fn) {
    const std::string array = std::string("{") + entry + "}";
    check(sd_bus_message_enter_container(m, 'a', array.c_str()));
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', entry)) > 0) {
        const char* key = nullptr;
        check(sd_bus_message_read_basic(m, entry[0], &key));
        fn(std::string(key ? key : ""));
        check(sd_bus_message_exit_container(m));
    }
    check(r);
    check(sd_bus_message_exit_container(m));
}

// The a{sv} of one interface.
void readProperties(sd_bus_message* m, BluezObject& object) {
    forEachEntry(m, "sv", [&](const std::string& name) {
        if (name == "Address") {
            readString(m, "s", object.address);
        } else if (name == "Name") {
            readString(m, "s", object.name);
        } else if (name == "Alias") {
            readString(m, "s", object.alias);
        } else if (name == "Adapter") {
            readString(m, "o", object.adapterPath);
        } else if (name == "Paired") {
            readBool(m, object.paired);
        } else if (name == "Connected") {
            readBool(m, object.connected);
        } else if (name == "Powered") {
            readBool(m, object.powered);
        } else if (name == "Class") {
            readU32(m, object.deviceClass);
        } else {
            if (name == "RSSI") object.inRange = true;
            check(sd_bus_message_skip(m, "v"));
        }
    });
}

// The a{oa{sa{sv}}} answer of GetManagedObjects.
std::vector<BluezObject> readObjects(sd_bus_message* m) {
    std::vector<BluezObject> objects;
    forEachEntry(m, "oa{sa{sv}}", [&](const std::string& path) {
        BluezObject object;
        object.path = path;
        forEachEntry(m, "sa{sv}", [&](const std::string& interface) {
            if (interface == kAdapterInterface || interface == kDeviceInterface) {
                (interface == kAdapterInterface ? object.adapter : object.device) = true;
                readProperties(m, object);
            } else {
                check(sd_bus_message_skip(m, "a{sv}"));
            }
        });
        if (object.adapter || object.device) objects.push_back(std::move(object));
    });
    return objects;
}

// hci2 before hci10.
bool pathBefore(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The first powered adapter, else the first one; empty when there is none.
std::string firstAdapter(const std::vector<BluezObject>& objects) {
    const BluezObject* chosen = nullptr;
    for (const BluezObject& o : objects) {
        if (!o.adapter) continue;
        if (!chosen || (o.powered && !chosen->powered) ||
            (o.powered == chosen->powered && pathBefore(o.path, chosen->path)))
            chosen = &o;
    }
    return chosen ? chosen->path : std::string();
}

bool belongsTo(const BluezObject& device, const std::string& adapter) {
    if (!device.adapterPath.empty()) return device.adapterPath == adapter;
    return device.path.rfind(adapter + "/", 0) == 0;
}
}  // namespace

std::optional<std::vector<BtDeviceInfo>> bluezDeviceList(const std::string& busAddress) {
    Bus bus = openBus(busAddress);
    if (!bus) return std::nullopt;

    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &raw, kService, "/",
                                       "org.freedesktop.DBus.ObjectManager",
                                       "GetManagedObjects") < 0)
        return std::nullopt;
    Message call(raw);
    // Asking must not start bluetoothd: a system without it is answered by
    // the radio inquiry instead.
    if (sd_bus_message_set_auto_start(call.get(), 0) < 0) return std::nullopt;

    sd_bus_error error = SD_BUS_ERROR_NULL;
    raw = nullptr;
    const int r = sd_bus_call(bus.get(), call.get(), kCallTimeoutUsec, &error, &raw);
    sd_bus_error_free(&error);
    if (r < 0) return std::nullopt;
    Message reply(raw);

    std::vector<BluezObject> objects = readObjects(reply.get());
    const std::string adapter = firstAdapter(objects);
    std::vector<BtDeviceInfo> devices;
    if (adapter.empty()) return devices;

    std::stable_sort(objects.begin(), objects.end(), [](const BluezObject& a, const BluezObject& b) {
        if (a.paired != b.paired) return a.paired;
        return pathBefore(a.path, b.path);
    });
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (const BluezObject& o : objects) {
        if (!o.device || !belongsTo(o, adapter)) continue;
        const auto bytes = parseBtAddress(o.address);
        if (!bytes) continue;
        BtDeviceInfo info;
        info.address = formatBtAddress(*bytes);
        info.name = (o.alias.empty() ? o.name : o.alias).substr(0, kMaxNameLength);
        info.lastSeen = o.inRange ? now : 0;
        info.connected = o.connected;
        info.remembered = o.paired;
        // Trusted only lets a device in without asking; a bond is a pairing.
        info.authenticated = o.paired;
        setDeviceClass(info, o.deviceClass);
        devices.push_back(std::move(info));
    }
    return devices;
}

}  // namespace vbz
