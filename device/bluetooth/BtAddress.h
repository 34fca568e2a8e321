// Bluetooth device addresses as text and as bytes, and the class-of-device
// split of a listed device. Independent of BlueZ.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/bluetooth/BtDeviceInfo.h"

namespace vbz {

// Six bytes, most significant first (the order of the text form).
using BtAddressBytes = std::array<uint8_t, 6>;

// Accepts exactly six pairs of hexadecimal digits separated by colons
// ("00:1A:7d:DA:71:13"), bare or in parentheses; anything else is nullopt.
std::optional<BtAddressBytes> parseBtAddress(const std::string& text);

// "00:1A:7D:DA:71:13": upper-case pairs separated by colons.
std::string formatBtAddress(const BtAddressBytes& bytes);

// Fills the three class fields from a 24-bit class of device.
void setDeviceClass(BtDeviceInfo& info, uint32_t classOfDevice);

}  // namespace vbz
