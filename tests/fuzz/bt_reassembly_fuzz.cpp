// Vest bytes through the Bluetooth transport's frame reassembly: the
// transport is opened on one end of a Unix socket pair (its serial number
// answer already waiting), then the input's pieces (see FuzzReports.h) are
// written to the other end one at a time, each followed by read() until the
// transport has taken every whole frame and dropped what starts none.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "device/Frame.h"
#include "device/HidComBT.h"
#include "tests/fuzz/FuzzReports.h"

namespace {

constexpr uint32_t kSerial = 21030042;

// The socket's other end is kept by the factory for the fuzz input.
class PairFactory : public vbz::BtLinkFactory {
public:
    ~PairFactory() override {
        if (peer >= 0) ::close(peer);
    }
    std::unique_ptr<vbz::BtRfcommSocket> makeSocket(const std::string& address,
                                                    int channel) override {
        return std::make_unique<Socket>(*this, address, channel);
    }
    int peer = -1;

private:
    class Socket : public vbz::BtRfcommSocket {
    public:
        Socket(PairFactory& f, const std::string& address, int channel)
            : BtRfcommSocket(address, channel), factory_(f) {}
        ~Socket() override { close(); }

    protected:
        int openLink() override {
            int ends[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
            factory_.peer = ends[1];
            // The serial number answer: 21 03 0042.
            uint8_t answer[9] = {0x88, 0xAD, 0xDE, 42, 0, 3, 21, 0, 0};
            vbz::commandCrc16(answer, sizeof answer);
            if (::write(ends[1], answer, sizeof answer) != static_cast<ssize_t>(sizeof answer))
                __builtin_trap();
            return ends[0];
        }

    private:
        PairFactory& factory_;
    };
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto factory = std::make_shared<PairFactory>();
    vbz::HidComBT::Timing timing;
    timing.settle = std::chrono::milliseconds(0);
    timing.answerWait = std::chrono::milliseconds(200);
    vbz::HidComBT bt(factory, timing);
    if (bt.open(kSerial, "00:11:22:33:44:55") != 0) __builtin_trap();
    for (const auto& piece : vbz_fuzz::pieces(data, size, 256)) {
        if (!piece.empty() &&
            ::write(factory->peer, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size()))
            __builtin_trap();
        // Every byte is either part of a frame taken or dropped one at a time.
        for (int guard = 0;; ++guard) {
            const int r = bt.read();
            if (r == 0 || r == -3 || r == -6) break;
            if (r > static_cast<int>(bt.receiveBuffer.size()) || guard > 4096) __builtin_trap();
        }
    }
    bt.close();
    return 0;
}
