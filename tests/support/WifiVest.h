// Emulated vests served over UDP on the vest side of a veth pair, where the
// host side's discovery finds them and nothing else.
#pragma once

#include <memory>
#include <string>

#include "tests/support/NetNamespace.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"

namespace vbz_test {

// Serves vest on the first port discovery tries; false, with the reason in
// error, when the socket or the server's thread cannot start.
inline bool serveOnVestSide(VethPair& net, vbz::emu::UdpVestServer& server,
                            std::shared_ptr<vbz::emu::VestModel> vest, std::string* error = nullptr) {
    bool started = false;
    net.vest().run([&] {
        if (server.add(std::move(vest), {0, 33624}, error)) started = server.start(error);
    });
    return started;
}

}  // namespace vbz_test
