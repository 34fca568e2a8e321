// The emulator's USB adapter: a process-wide bus of emulated vests that the
// hidapi double (hidapi_double.cpp) serves. A program that links the double
// instead of the system's hidapi sees every vest plugged into this bus as a
// HID device, enumerated with a path of its own ("vbz-emu-usb/<n>").
//
// hid_read_timeout really waits up to its time-out for the vest's next
// frame, so a transport's pacing is real. Failure switches make hidapi
// calls fail; counters tell which calls were made.
//
// Threads: every function may be called from any thread.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/vest-emulator/VestModel.h"

namespace vbz::emu {

struct HidCallCounters {
    int init = 0;
    int exit = 0;
    int enumerate = 0;
    int freeEnumeration = 0;
    int openPath = 0;
    int close = 0;
    int write = 0;
    int readTimeout = 0;
    int error = 0;
};

class UsbBus {
public:
    static constexpr uint16_t kVendorId = 0x34A8;

    static UsbBus& instance();

    // Plugs a vest in; returns its path. Paths are never reused.
    std::string plug(std::shared_ptr<VestModel> vest, uint16_t vendorId = kVendorId,
                     uint16_t productId = 0x0001);
    // Unplugs a vest: handles open on it fail from now on.
    void unplug(const std::string& path);
    // Unplugs everything, zeroes the counters and the switches.
    void reset();

    HidCallCounters counters() const;
    // hid_open_path handles not closed yet.
    int openHandles() const;
    // Enumerations not freed yet.
    int liveEnumerations() const;
    // hid_init calls not balanced by hid_exit.
    int initDepth() const;

    // Failure switches. A count applies to the next n calls of that kind.
    // hid_open_path of this path fails with errno set to error (EACCES: as
    // for a node that the user may not open).
    void failOpen(const std::string& path, bool fail = true, int error = EIO);
    void failNextWrites(int n);
    void failNextReads(int n);
    void failEnumerate(bool fail = true);

    // --- used by the hidapi double ---------------------------------------
    struct Device;
    struct Entry {
        std::string path;
        uint16_t vendorId;
        uint16_t productId;
    };
    std::vector<Entry> enumerate(uint16_t vendorId, uint16_t productId, bool& failed);
    // Null when the path cannot be opened; error then holds the errno.
    std::shared_ptr<Device> open(const std::string& path, int& error);
    void closed();
    void enumerationFreed();
    void countInit();
    void countExit();
    void countError();
    bool takeWriteFailure();
    bool takeReadFailure();
    void countWrite();
    void countRead();

private:
    UsbBus() = default;

    struct Slot {
        Entry entry;
        std::shared_ptr<Device> device;
    };
    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    std::map<std::string, int> failingOpens_;  // path -> errno
    int writeFailures_ = 0;
    int readFailures_ = 0;
    bool enumerateFails_ = false;
    int nextPathNumber_ = 1;
    int openHandles_ = 0;
    int liveEnumerations_ = 0;
    int initDepth_ = 0;
    HidCallCounters counters_;
};

// A plugged vest as the double's handles see it.
struct UsbBus::Device {
    std::shared_ptr<VestModel> vest;
    std::string path;
    std::mutex mutex;
    bool unplugged = false;  // guarded by mutex
};

}  // namespace vbz::emu
