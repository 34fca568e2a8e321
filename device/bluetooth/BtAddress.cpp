#include "device/bluetooth/BtAddress.h"

namespace vbz {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<BtAddressBytes> parseBtAddress(const std::string& text) {
    constexpr std::size_t kBareLength = 17;  // 6 pairs and 5 colons
    std::string_view s(text);
    if (s.size() == kBareLength + 2 && s.front() == '(' && s.back() == ')')
        s = s.substr(1, kBareLength);
    if (s.size() != kBareLength) return std::nullopt;

    BtAddressBytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t at = i * 3;
        const int high = hexDigit(s[at]);
        const int low = hexDigit(s[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        if (i + 1 < bytes.size() && s[at + 2] != ':') return std::nullopt;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return bytes;
}

std::string formatBtAddress(const BtAddressBytes& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) text.push_back(':');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

void setDeviceClass(BtDeviceInfo& info, uint32_t classOfDevice) {
    info.deviceClass = classOfDevice & 0x1FFCu;
    info.majorDeviceClass = classOfDevice & 0x1F00u;
    info.serviceClass = classOfDevice >> 13;
}

}  // namespace vbz
