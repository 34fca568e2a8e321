// The device transport: one object is one link to one vest over one kind of
// connection, moving whole frames (device/Frame.h). The back-ends make a new
// transport for each scan or connection, own the connected one alone, and
// destroy it through the virtual destructor.
//
// Threads: a transport has no lock. A connected transport may be written
// from one thread while another reads it: write() touches only the send
// buffer, read() only the receive buffer, and `connected` is atomic. scan()
// and open() run on the owner's worker thread while no I/O is under way.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/Frame.h"
#include "vibrenza/vbz_types.h"

namespace vbz {

class IHidCom {
public:
    static constexpr std::size_t kReceiveBufferSize = kLongestAnswerLength;  // 105
    static constexpr std::size_t kSendBufferSize = 1024;

    IHidCom();
    virtual ~IHidCom();
    IHidCom(const IHidCom&) = delete;
    IHidCom& operator=(const IHidCom&) = delete;

    // Finds every reachable vest and asks each for its serial number,
    // version and type. Appends one record per vest to devices (linked in
    // order), inserts serial -> address into addresses unless the serial is
    // there already, and appends version text then address text to texts.
    // Leaves the transport closed. 0 (also when nothing is found), -1, -11.
    virtual int scan(std::vector<vbz_device_info_t>& devices,
                     std::map<uint32_t, std::string>& addresses,
                     std::vector<std::string>& texts) = 0;
    // Connects to the vest of this serial (0: any). A non-empty address is
    // tried first; then every device of this kind is searched. 0, -1, -6.
    virtual int open(uint32_t serial, std::string address) = 0;
    // -3 when not connected; else releases the link and clears `connected`.
    virtual int close() = 0;
    // -3 when not connected; -6 for a null frame or a length outside
    // [1, 1024] (nothing sent) or a failed send (which disconnects); else 0.
    virtual int write(const uint8_t* frame, int length) = 0;
    // -3 when not connected; 0 when nothing arrived; -6 on a link failure
    // (which disconnects); -10 for a rejected message; else the table length
    // of the good frame now in receiveBuffer.
    virtual int read() = 0;

    bool isConnected() const { return connected.load(); }

    std::atomic<bool> connected{false};
    // The last frame received, id at byte 0, payload from byte 3.
    std::array<uint8_t, kReceiveBufferSize> receiveBuffer{};
    std::array<uint8_t, kSendBufferSize> sendBuffer{};
    const std::map<uint8_t, uint32_t>& answerLengths;

protected:
    // How long a command waits for the vest's answer over USB and Wi-Fi.
    static constexpr float kAnswerTimeoutSeconds = 0.5f;

    // Calls read() until onFrame, given each good frame (in receiveBuffer),
    // returns a result; gives up with `failed` once `seconds` have passed, or
    // at once when the link is gone (a dead link cannot answer any more).
    template <class OnFrame>
    int readUntil(float seconds, int failed, OnFrame onFrame) {
        return readUntil(seconds, failed, onFrame, [this] { return read(); });
    }
    // The same, reading with readOnce (a transport whose read() hands out
    // frames it put aside must not be given them back while it waits).
    template <class OnFrame, class ReadOnce>
    int readUntil(float seconds, int failed, OnFrame onFrame, ReadOnce readOnce) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        for (;;) {
            const int r = readOnce();
            if (r > 0) {
                if (const std::optional<int> result = onFrame()) return *result;
            }
            if (r == -3 || r == -6) return failed;
            const float elapsed = std::chrono::duration<float>(Clock::now() - start).count();
            if (elapsed >= seconds) return failed;
        }
    }

    // Appends a scanned vest and links every record to the next one (the
    // vector may have moved its records, so the whole chain is rebuilt).
    static void appendDevice(std::vector<vbz_device_info_t>& devices, vbz_output_t output,
                             uint32_t serial, vbz_device_type_t type);
    // True when write() may send this frame; logs the refusal under tag.
    static bool writableFrame(const uint8_t* frame, int length, const char* tag);
    // Logs that no vest (serial 0) or not this one was found over the link
    // (its name in the text: "USB", "WiFi", "Bluetooth"), then what the user
    // should check.
    static void logNotAvailable(const char* tag, const char* link, uint32_t serial,
                                const char* checklist);
};

}  // namespace vbz
