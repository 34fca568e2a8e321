// An emulated vest with its playback board, for tests of the legacy back-end
// through the real transports.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/LegacyBoardProbes.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/WifiVest.h"
#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"

namespace vbz_test {

// The board flags a host that sends a command before the last one's answer
// came or answerLimit passed.
struct LegacyVest {
    explicit LegacyVest(uint32_t serial,
                        std::chrono::steady_clock::duration answerLimit = std::chrono::seconds(1)) {
        vest = std::make_shared<vbz::emu::VestModel>(vbz::emu::VestIdentity::withSerial(serial));
        board = std::make_unique<vbz::emu::LegacyBoard>(vest);
        vest->checkOneCommandAtATime(answerLimit);
    }
    // The next play the board decodes after `before` plays.
    std::optional<vbz::emu::DecodedPlay> playAfter(std::size_t before) {
        if (!eventually([&] { return board->plays().size() > before; })) return std::nullopt;
        return board->plays()[before];
    }
    std::vector<float> stopFades() const { return stopSlotFades(*vest); }
    // The board saw no violation; the first one otherwise.
    void expectNoViolation() const {
        EXPECT_EQ(board->violationCount(), 0u) << (board->violations().empty() ? "" : board->violations().front());
    }
    std::shared_ptr<vbz::emu::VestModel> vest;
    std::unique_ptr<vbz::emu::LegacyBoard> board;
};

// The only vest on the USB bus while it lives; the board saw no violation.
struct UsbLegacyVest : LegacyVest {
    explicit UsbLegacyVest(uint32_t serial) : LegacyVest(serial) {
        vbz::emu::UsbBus::instance().reset();
        vbz::emu::UsbBus::instance().plug(vest);
    }
    ~UsbLegacyVest() {
        expectNoViolation();
        vbz::emu::UsbBus::instance().reset();
    }
};

// Reached over Wi-Fi only: the USB bus is left empty.
struct WifiLegacyVest : LegacyVest {
    explicit WifiLegacyVest(uint32_t serial) : LegacyVest(serial) { vbz::emu::UsbBus::instance().reset(); }
    // Serves the vest on the vest side of net; false with the reason in error.
    bool serve(VethPair& net, std::string* error) { return serveOnVestSide(net, server, vest, error); }
    vbz::emu::UdpVestServer server;
};

}  // namespace vbz_test
