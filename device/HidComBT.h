// The transport to a vest paired over Bluetooth: one RFCOMM link on channel
// 1 carries the frames as a byte stream. Vests are found among the listed
// devices by name (device name expression below) and by pairing; each
// candidate is connected, given a moment to settle, and asked its serial
// number. Every BluetoothException of the layer below is caught here and
// becomes a log line and a result code. Log tag "BTStandalone".
//
// The stream is cut into frames here: the length of each message comes from
// answerLengths by its id, so frames that arrive together or in pieces are
// all delivered; an unknown id or a bad CRC drops one byte at a time until a
// frame starts again.
//
// Frames the vest sends of its own accord (a board status, a data request)
// may come before the answer an exchange (an identity request) waits for.
// They do not decide it: they are put aside (device/KeptFrames.h), and
// read() hands them out, oldest first, before the rest of the stream. They
// belong to the socket they came on and are forgotten with it.
//
// Threads: no lock. One thread may read while another writes (read() uses
// the receive side, write() the send side); scan, open and close run on the
// owner's thread while no I/O is under way.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/IHidCom.h"
#include "device/KeptFrames.h"
#include "device/bluetooth/BtLinkFactory.h"

namespace vbz {

class HidComBT final : public IHidCom {
public:
    struct Timing {
        // Time the vest gets after the link opens, before the first request.
        std::chrono::milliseconds settle{1000};
        // Time an answer may take during open and scan.
        std::chrono::milliseconds answerWait{1500};
    };

    static constexpr int kChannel = 1;

    HidComBT();
    // The factory supplies the inquiry and the sockets (BlueZ by default).
    explicit HidComBT(std::shared_ptr<BtLinkFactory> factory);
    HidComBT(std::shared_ptr<BtLinkFactory> factory, Timing timing);
    ~HidComBT() override;

    int scan(std::vector<vbz_device_info_t>& devices, std::map<uint32_t, std::string>& addresses,
             std::vector<std::string>& texts) override;
    int open(uint32_t serial, std::string address) override;
    int close() override;
    int write(const uint8_t* frame, int length) override;
    // Never waits: hands out a frame put aside during an exchange, if any;
    // else 0 when no whole frame is there yet.
    int read() override;

    // True when a device of this name may be a vest.
    static bool isVestName(const std::string& name);
    bool hasInquiry() const { return inquiry_ != nullptr; }

private:
    static constexpr std::size_t kStreamBufferSize = 512;

    // Releases the socket (if any), forgets unread bytes and frames put
    // aside, clears `connected`.
    void closePort();
    // Makes the socket for this address (throws as the factory does).
    void makeSocket(const std::string& address);
    // Connects the socket made by makeSocket, lets the vest settle and asks
    // its serial number: the answer's length, or a negative result. Throws
    // BluetoothException.
    int askSerial();
    // The devices the inquiry lists that are paired and named like a vest;
    // nullopt (logged) when the inquiry failed. Needs inquiry_.
    std::optional<std::vector<BtDeviceInfo>> pairedVests();
    // makeSocket and askSerial for this address: the vest's serial number, or
    // nullopt (socket released) when no good answer came. Throws
    // BluetoothException.
    std::optional<uint32_t> reachSerial(const std::string& address);
    // The first message that arrives decides, but for frames of the vest's
    // own, which are put aside for read() while the wait goes on: the length
    // of the awaited answer (now in receiveBuffer), -6 for a device error or
    // a time-out, -10 (socket released) for anything else. Throws
    // BluetoothException.
    int waitForAnswer(uint8_t expectedId);
    // Sends a request without touching the send buffer; throws.
    void request(DeviceCommand command);
    // Appends what the socket has ready to the stream buffer; throws.
    void fillStream();
    // Takes the first whole good frame of the stream buffer into the receive
    // buffer: its length, 0 when more bytes are needed, -10 (logged) after
    // dropping bytes that start no frame.
    int takeFrame();
    void consume(std::size_t count);

    std::shared_ptr<BtLinkFactory> factory_;
    Timing timing_;
    std::unique_ptr<BtInquiry> inquiry_;
    std::unique_ptr<BtRfcommSocket> socket_;
    // Bytes received and not yet delivered as frames (read side only).
    std::array<uint8_t, kStreamBufferSize> stream_{};
    std::size_t streamLength_ = 0;
    // Frames of the vest's own that came during an exchange on this socket.
    // Filled by the exchanges and emptied by read(), which never run at once
    // (scan, open and close run while no I/O is under way).
    KeptFrames<> kept_;
};

}  // namespace vbz
