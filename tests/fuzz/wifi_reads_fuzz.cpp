// Datagrams arriving at a bound Wi-Fi transport, over real UDP on the
// loopback interface of the fuzzer's own network namespace (FuzzIsolation
// leaves the one it was started in; nothing here reaches another).
//
// An emulated vest is bound through the transport's open(); then the input's
// datagrams (see FuzzReports.h, up to twice the longest frame) reach the
// transport one read() each, from the vest or, where the header says so,
// from a stranger on the network. The last few come between the Unbind and
// its answer, where close() must pass over them or fail on them.
//
// Header byte: bits 0-2, how many datagrams come before the Unbind answer;
// bits 3-7, which of the first five come from the stranger.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device/HidComUdp.h"
#include "tests/fuzz/FuzzReports.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"

namespace {

constexpr uint32_t kSerial = 21030042;
constexpr uint32_t kLoopback = 0x7F000001u;

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::abort();
}

void bringLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    ifreq r{};
    std::strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd, SIOCGIFFLAGS, &r) != 0) fail("SIOCGIFFLAGS lo");
    r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
    if (::ioctl(fd, SIOCSIFFLAGS, &r) != 0) fail("SIOCSIFFLAGS lo");
    ::close(fd);
}

// The vest, its server and a stranger's socket, made once: a server's
// thread would cost more to start than a run.
struct Network {
    Network() {
        bringLoopbackUp();
        vest = std::make_shared<vbz::emu::VestModel>(vbz::emu::VestIdentity::withSerial(kSerial));
        vest->setRecordLimit(1);
        std::string error;
        const auto at = server.add(vest, {kLoopback, 0}, &error);
        if (!at || !server.start(&error)) {
            std::fprintf(stderr, "vest server: %s\n", error.c_str());
            std::abort();
        }
        address = at->text();
        stranger = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (stranger < 0) fail("socket");
    }
    void fromStranger(const vbz::emu::UdpEndpoint& to, const std::vector<uint8_t>& bytes) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to.port);
        a.sin_addr.s_addr = htonl(to.address);
        ::sendto(stranger, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::shared_ptr<vbz::emu::VestModel> vest;
    vbz::emu::UdpVestServer server;
    std::string address;
    int stranger = -1;
};

// What a back-end reads from a good frame of these ids.
void useFrame(const vbz::HidComUdp& t, int length) {
    if (length > static_cast<int>(t.receiveBuffer.size())) __builtin_trap();
    const uint8_t* rx = t.receiveBuffer.data();
    if (rx[0] == 0x88) (void)vbz::serialFromFields(rx);
    if (rx[0] == 0x89 && vbz::versionFromAnswer(rx).size() > vbz::kVersionTextLength)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Network net;
    if (size < 1) return 0;
    const std::size_t beforeUnbind = data[0] & 7u;
    const unsigned strangerMask = data[0] >> 3;
    const auto datagrams = vbz_fuzz::pieces(data + 1, size - 1, 2 * vbz::kLongestAnswerLength);
    const std::size_t read = datagrams.size() - std::min(beforeUnbind, datagrams.size());

    net.vest->clearFaults();
    vbz::HidComUdp t;
    // The vest is always there; a machine too busy to answer within the
    // time-out is no finding.
    if (t.open(kSerial, net.address) != 0) return 0;
    const auto host = net.server.peer(0);
    if (!host) return 0;
    for (std::size_t i = 0; i < read; ++i) {
        if (i < 5 && (strangerMask >> i) & 1u)
            net.fromStranger(*host, datagrams[i]);
        else
            net.vest->sendUnsolicited(datagrams[i]);
        const int r = t.read();
        if (r > 0) useFrame(t, r);
    }
    vbz::emu::AnswerFault early;
    early.ownFramesFirst.assign(datagrams.begin() + static_cast<std::ptrdiff_t>(read),
                                datagrams.end());
    early.times = 1;
    net.vest->setFault(0x12, early);
    t.close();
    return 0;
}
