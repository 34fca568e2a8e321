#include "device/Frame.h"

#include <cstdio>
#include <cstring>

#include "sdk/core/LogLine.h"

namespace vbz {

uint16_t crc16(const uint8_t* data, std::size_t count) {
    uint16_t crc = 0xFFFF;
    if (!data) return crc;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            if (crc & 0x8000u)
                crc = static_cast<uint16_t>((crc << 1) ^ 0x1021u);
            else
                crc = static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

void commandCrc16(uint8_t* frame, uint16_t length) {
    if (!frame || length < 2) return;
    writeU16(frame + length - 2, crc16(frame, length - 2u));
}

bool checkCommandCrc16(const uint8_t* frame, uint16_t length) {
    if (!frame || length < 2) return false;
    return readU16(frame + length - 2) == crc16(frame, length - 2u);
}

const std::map<uint8_t, uint32_t>& answerLengths() {
    static const std::map<uint8_t, uint32_t> table = {
        {0x81, 11}, {0x82, 11}, {0x83, 10}, {0x84, 10}, {0x85, 10},
        {0x86, 10}, {0x87, 10}, {0x88, 9},  {0x89, 105}, {0x8A, 9},
        {0x8B, 5},  {0x8C, 37}, {0x8D, 6},  {0x8E, 52}, {0x8F, 6},
        {0x90, 10}, {0x91, 6},  {0x92, 6},  {0x93, 7},  {0x94, 6},
        {0x95, 6},  {0xA0, 10}, {0xFF, 6},  {0x15, 5},  {0x16, 13},
    };
    return table;
}

std::array<uint8_t, kShortFrameLength> shortFrame(DeviceCommand c) {
    std::array<uint8_t, kShortFrameLength> f{commandId(c), kSyncByte1, kSyncByte2, 0, 0};
    commandCrc16(f.data(), static_cast<uint16_t>(f.size()));
    return f;
}

std::string hexId(uint8_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", id);
    return text;
}

const char* deviceErrorText(int8_t code) {
    switch (code) {
        case -1: return "The received message had an invalid CRC.";
        case -2: return "The received message had an invalid command ID.";
        case -3: return "The received message had an invalid sync word.";
        case -4: return "The received message had invalid parameters.";
        case -5: return "The command is not available on this type of connection.";
        case -6: return "The provided remote address of port is invalid.";
        case -7: return "Invalid internal state.";
        default: return "The received message had an error which code is unknown.";
    }
}

int logDeviceError(int8_t code) {
    LogLine(4, "HidCom") << deviceErrorText(code);
    return -6;
}

std::string versionFromAnswer(const uint8_t* frame) {
    const char* text = reinterpret_cast<const char*>(frame + 3);
    return std::string(text, strnlen(text, kVersionTextLength));
}

int serialFromFields(const uint8_t* frame) {
    if (!frame) return 0;
    // Each byte field keeps only its first two characters: a value of 100 or
    // more prints three digits and the next field overwrites the third.
    char high[8];
    char middle[8];
    char low[8];
    std::snprintf(high, sizeof high, "%02d", frame[6]);
    std::snprintf(middle, sizeof middle, "%02d", frame[5]);
    std::snprintf(low, sizeof low, "%04d", readU16(frame + 3));
    int serial = 0;
    auto addDigits = [&serial](const char* text, std::size_t maxDigits) {
        for (std::size_t i = 0; i < maxDigits && text[i] != '\0'; ++i)
            serial = serial * 10 + (text[i] - '0');
    };
    addDigits(high, 2);
    addDigits(middle, 2);
    addDigits(low, 5);  // at most 99 99 65535: fits in an int
    return serial;
}

}  // namespace vbz
