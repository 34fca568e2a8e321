// The transport to a vest plugged in over USB: a HID device of vendor
// 0x34A8 (any product) reached through hidapi. Each frame is one output
// report and each message of the vest one input report; the command id is
// the report id. Log tag "HIDStandalone".
//
// hidapi is initialised for the first live USB transport of the process and
// released after the last one, under a process-wide mutex, so transports
// may be made and destroyed on several threads at once.
#pragma once

#include <cstdint>
#include <string>

#include "device/IHidCom.h"

struct hid_device_;

namespace vbz {

class HidComUsb final : public IHidCom {
public:
    HidComUsb();
    ~HidComUsb() override;

    int scan(std::vector<vbz_device_info_t>& devices, std::map<uint32_t, std::string>& addresses,
             std::vector<std::string>& texts) override;
    int open(uint32_t serial, std::string path) override;
    // The device stays open (unused) until the next open, scan or the
    // destructor.
    int close() override;
    int write(const uint8_t* frame, int length) override;
    // Waits up to 10 ms for one input report.
    int read() override;

    // Live USB transports in the process (for tests and diagnostics).
    static int liveTransports();

private:
    enum class Wait { Answered, TimedOut };

    // Logs hidapi's error text of the open device; false when there is no
    // device or no text.
    bool reportHidError();
    std::string hidErrorText();
    // Copies the frame into the send buffer and hands it to hidapi.
    int sendRaw(const uint8_t* frame, std::size_t length);
    // Reads until a good frame with this id arrives, at most 0.5 s from now.
    Wait waitForAnswer(uint8_t id);
    // Closes the device and clears `connected`.
    void dropDevice();
    // Asks the open device its serial number: 0 when it is the wanted one
    // (connected), 1 when another (still open), -6 when the exchange failed
    // (device closed).
    int trySerial(const std::string& path, uint32_t serial, bool logSendFailure);

    hid_device_* device_ = nullptr;
    const wchar_t* lastErrorText_ = nullptr;  // set only while reportHidError runs
};

}  // namespace vbz
