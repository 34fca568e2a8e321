// The vest behind a stream socket: host bytes are cut into frames however
// they arrive, and a byte that starts no command is answered as the vest
// answers an unknown command.
#include "tools/vest-emulator/StreamAdapter.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

using namespace vbz::emu;

namespace {
// Receives until `count` bytes came or the link stays quiet for a while.
std::vector<uint8_t> receive(int fd, std::size_t count) {
    std::vector<uint8_t> got;
    uint8_t chunk[256];
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}
}  // namespace

TEST(StreamAdapter, HostFramesInPiecesOrTogetherAreAllAnswered) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    auto vest = std::make_shared<VestModel>(VestIdentity::withSerial(21030042));
    {
        StreamAdapter adapter(vest, ends[1]);
        const Frame serial = makeFrame(0x08, 5);
        const Frame type = makeFrame(0x0A, 5);
        std::vector<uint8_t> bytes = {0x77};  // no command starts with it
        bytes.insert(bytes.end(), serial.begin(), serial.end());
        bytes.insert(bytes.end(), type.begin(), type.begin() + 2);
        ASSERT_EQ(::send(ends[0], bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(::send(ends[0], type.data() + 2, 3, 0), 3);

        const auto got = receive(ends[0], 6 + 9 + 9);
        ASSERT_EQ(got.size(), 24u);
        EXPECT_EQ(got[0], 0xFF);
        EXPECT_EQ(static_cast<int8_t>(got[3]), -2);
        EXPECT_EQ(got[6], 0x88);
        EXPECT_EQ(got[15], 0x8A);
        EXPECT_TRUE(frameCrcOk(got.data() + 15, 9));
        EXPECT_EQ(vest->countReceived(0x0A), 1u);
        EXPECT_EQ(vest->violations().size(), 1u);

        ::close(ends[0]);
        for (int i = 0; i < 2000 && !adapter.finished(); ++i) ::usleep(1000);
        EXPECT_TRUE(adapter.finished()) << "the host's hang-up ends the service";
    }
}
