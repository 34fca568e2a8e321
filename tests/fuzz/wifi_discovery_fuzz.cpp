// Datagrams heard while the Wi-Fi transport discovers vests: any host on the
// network may send one, from any address and port. Each goes through the
// judgement the discovery receiver makes of what it receives; the vests it
// lists must be listed once each, under keys the search can read back.
//
// Each piece of the input (see FuzzReports.h) is one datagram: its sender's
// address (4 bytes) and port (2 bytes), a byte that says whether the
// sender's socket address had the usual size, then the datagram itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "device/HidComUdp.h"
#include "device/platform/UdpSocket.h"
#include "tests/fuzz/FuzzReports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr std::size_t kHeader = 7;
    std::vector<std::string> keys;
    for (const auto& piece :
         vbz_fuzz::pieces(data, size, kHeader + 2 * vbz::kLongestAnswerLength)) {
        if (piece.size() < kHeader) continue;
        const vbz::Ipv4Endpoint from{vbz::readU32(piece.data()), vbz::readU16(piece.data() + 4)};
        const std::size_t fromLength = piece[6] & 1u ? 16 : piece[6];
        // As the receiver gets it: at most the receive buffer's size.
        const std::size_t count =
            std::min(piece.size() - kHeader, vbz::IHidCom::kReceiveBufferSize);
        vbz::HidComUdp::takeDiscoveryAnswer(piece.data() + kHeader, static_cast<int>(count), from,
                                            fromLength, keys);
    }
    if (std::set<std::string>(keys.begin(), keys.end()).size() != keys.size()) __builtin_trap();
    for (const auto& key : keys) {
        // The search skips a key it cannot read; one it reads is that vest.
        const auto endpoint = vbz::Ipv4Endpoint::parse(key);
        if (endpoint && endpoint->text() != key) __builtin_trap();
    }
    return 0;
}
