// The hid_* functions that the USB transport calls, routed to the vests of
// the emulator's UsbBus. Linked in place of the system's hidapi by tests.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "tools/vest-emulator/usb/UsbBus.h"

using vbz::emu::UsbBus;

// Error texts are fixed literals behind atomic pointers: a device may be
// written on one thread while another reads it, as the sequencer does.
struct hid_device_ {
    std::shared_ptr<UsbBus::Device> device;
    std::atomic<const wchar_t*> lastError{nullptr};
};

namespace {
// Error of the calls without a device (hid_open_path, hid_enumerate).
std::atomic<const wchar_t*> globalError{nullptr};

bool unplugged(hid_device* dev) {
    std::lock_guard<std::mutex> lock(dev->device->mutex);
    return dev->device->unplugged;
}
}  // namespace

extern "C" {

int hid_init(void) {
    UsbBus::instance().countInit();
    return 0;
}

int hid_exit(void) {
    UsbBus::instance().countExit();
    return 0;
}

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    bool failed = false;
    const auto entries = UsbBus::instance().enumerate(vendor_id, product_id, failed);
    if (failed) {
        globalError = L"Emulated enumeration failure";
        return nullptr;
    }
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const auto& e : entries) {
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        if (!info) break;
        info->path = strdup(e.path.c_str());
        info->vendor_id = e.vendorId;
        info->product_id = e.productId;
        info->interface_number = 0;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(struct hid_device_info* devs) {
    if (!devs) return;
    while (devs) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs);
        devs = next;
    }
    UsbBus::instance().enumerationFreed();
}

hid_device* hid_open_path(const char* path) {
    if (!path) {
        globalError = L"No path given";
        return nullptr;
    }
    int error = 0;
    auto device = UsbBus::instance().open(path, error);
    if (!device) {
        // As hidapi's hidraw back-end, which leaves open()'s errno behind.
        globalError = error == EACCES ? L"Permission denied" : L"No such emulated device";
        errno = error;
        return nullptr;
    }
    auto* dev = new (std::nothrow) hid_device_;
    if (dev) dev->device = std::move(device);
    if (!dev) UsbBus::instance().closed();
    return dev;
}

void hid_close(hid_device* dev) {
    if (!dev) return;
    delete dev;
    UsbBus::instance().closed();
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    if (!dev) return -1;
    UsbBus::instance().countWrite();
    if (unplugged(dev)) {
        dev->lastError = L"Emulated device unplugged";
        return -1;
    }
    if (UsbBus::instance().takeWriteFailure()) {
        dev->lastError = L"Emulated write failure";
        return -1;
    }
    if (!data || length == 0) {
        dev->lastError = L"Nothing to write";
        return -1;
    }
    dev->lastError = nullptr;
    dev->device->vest->receive(data, length);
    return static_cast<int>(length);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    using Clock = std::chrono::steady_clock;
    if (!dev) return -1;
    UsbBus::instance().countRead();
    if (UsbBus::instance().takeReadFailure()) {
        dev->lastError = L"Emulated read failure";
        return -1;
    }
    // A negative time-out blocks until a frame comes (or the vest goes).
    const auto deadline = milliseconds < 0
                              ? Clock::time_point::max()
                              : Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (unplugged(dev)) {
            dev->lastError = L"Emulated device unplugged";
            return -1;
        }
        // Wait in slices so that an unplug ends a long wait.
        const auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(20));
        if (auto frame = dev->device->vest->nextFrame(slice)) {
            const std::size_t n = std::min(length, frame->size());
            if (data && n > 0) std::memcpy(data, frame->data(), n);
            dev->lastError = nullptr;
            return static_cast<int>(data ? n : 0);
        }
        if (Clock::now() >= deadline) return 0;
    }
}

const wchar_t* hid_error(hid_device* dev) {
    UsbBus::instance().countError();
    return dev ? dev->lastError.load() : globalError.load();
}

}  // extern "C"
