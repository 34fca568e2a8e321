// The device frame shared by every link to the vest, in both directions:
// command id, sync word, a payload fixed by the id, CRC-16 (little-endian).
// A frame has no length field; the host knows every message length from
// answerLengths().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace vbz {

enum class DeviceCommand : uint8_t {
    PlaySample = 0x01,
    StopSlot = 0x02,
    ResumeAll = 0x03,
    StopAll = 0x04,
    PauseAll = 0x05,
    SetMuteStatus = 0x06,
    GetStatus = 0x07,
    GetSerialNumber = 0x08,
    GetVersion = 0x09,
    GetType = 0x0A,
    Discover = 0x10,
    Bind = 0x11,
    Unbind = 0x12,
    GetStreamInfo = 0x13,
    StartStream = 0x14,
    StopStream = 0x15,
    DataRequest = 0x16,
    StreamData = 0x96,
    BoardStatus = 0xA0,
    DeviceError = 0xFF,
};

// Error codes a vest reports in a DeviceError frame (or in the status of
// the GetStreamInfo answer).
enum class DeviceErrorCode : int8_t {
    InvalidCrc = -1,
    InvalidCommandId = -2,
    InvalidSyncWord = -3,
    InvalidParameters = -4,
    CommandNotAvailable = -5,
    InvalidRemoteAddress = -6,
    InvalidInternalState = -7,
};

inline constexpr uint8_t commandId(DeviceCommand c) { return static_cast<uint8_t>(c); }
// An answer carries the id of the command it answers with bit 7 set.
inline constexpr uint8_t answerId(DeviceCommand c) { return commandId(c) | 0x80u; }

// Frames the vest sends of its own accord: a data request, its stop of the
// stream, a board status. They answer no request, so they never decide an
// exchange; a device error is not among them (it refuses a request).
inline constexpr bool isVestsOwnFrame(uint8_t id) {
    return id == commandId(DeviceCommand::DataRequest) ||
           id == commandId(DeviceCommand::StopStream) ||
           id == commandId(DeviceCommand::BoardStatus);
}

inline constexpr uint16_t kSyncWord = 0xDEAD;
inline constexpr uint8_t kSyncByte1 = 0xAD;
inline constexpr uint8_t kSyncByte2 = 0xDE;
inline constexpr std::size_t kShortFrameLength = 5;    // id, sync word, CRC
inline constexpr std::size_t kLongestAnswerLength = 105;  // answer to GetVersion
inline constexpr std::size_t kStreamDataLength = 1012;
inline constexpr std::size_t kVersionTextLength = 100;
inline constexpr uint16_t kUsbVendorId = 0x34A8;

// CRC-16/CCITT-FALSE over count bytes (poly 0x1021, init 0xFFFF, no
// reflection, no final XOR).
uint16_t crc16(const uint8_t* data, std::size_t count);

// Stores the CRC of bytes [0, length-2) at [length-2] (low byte) and
// [length-1]. Does nothing for a null frame or a length below 2.
void commandCrc16(uint8_t* frame, uint16_t length);

// True when the u16 at [length-2] (low byte first) is the CRC of the bytes
// before it. A null frame or a length below 2 fails. The sync word is not
// looked at: receivers accept a frame on its id and CRC alone.
bool checkCommandCrc16(const uint8_t* frame, uint16_t length);

// Total length (CRC included) of every message the host accepts, by id.
// Built once; never changes.
const std::map<uint8_t, uint32_t>& answerLengths();

// A 5-byte request (no payload) with its sync word and CRC.
std::array<uint8_t, kShortFrameLength> shortFrame(DeviceCommand c);

// Text of a device error code; codes outside the table share one text.
const char* deviceErrorText(int8_t code);

// Logs the code's text at error level under "HidCom"; returns -6 whatever
// the code.
int logDeviceError(int8_t code);

// The serial number carried by a GetSerialNumber answer: the decimal text
// of byte [6] ("%02d", first two characters), byte [5] (likewise) and the
// u16 at [3..4] ("%04d"), read as one number. 0 for a null frame.
int serialFromFields(const uint8_t* frame);

// A frame id as log lines write it: "0x" and two upper-case hex digits.
std::string hexId(uint8_t id);

// The version text carried by a GetVersion answer: the payload up to its
// first NUL, at most kVersionTextLength characters.
std::string versionFromAnswer(const uint8_t* frame);

// Little-endian field access for frame payloads.
inline uint16_t readU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void writeU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void writeU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace vbz
