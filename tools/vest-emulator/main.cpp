// vbz-vest-emulator: an emulated vest on standard input and output, or
// served over UDP.
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <string>

#include "tools/vest-emulator/StdioAdapter.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"

namespace {
constexpr const char* kUsage =
    "usage: vbz-vest-emulator [options]\n"
    "  Reads host frames in hexadecimal, one per line, from standard input and\n"
    "  writes the vest's frames the same way. At the end, lists what was wrong\n"
    "  with the host's frames; the exit status is 1 when anything was.\n"
    "options:\n"
    "  --serial N       serial number (at most eight digits, default 21030042)\n"
    "  --version TEXT   version text (default \"VBZ-EMU 1.4.2\")\n"
    "  --type CODE      device type code (default 0x0123FFFF)\n"
    "  --wait MS        how long to wait for late replies (default 100)\n"
    "  --udp ADDR:PORT  serve over UDP on this address and port instead, until\n"
    "                   SIGINT or SIGTERM (0.0.0.0 also hears Discover broadcasts).\n"
    "                   Discovery broadcasts reach every host of the network: run\n"
    "                   it only inside a network namespace of your own\n"
    "                   (scripts/netns.sh).\n"
    "  --discover-status N  status byte of the Discover answer (default 0;\n"
    "                   the host lists only 0 and 2)\n"
    "  --old-firmware   refuse requests with device error -7 until bound\n"
    "  --help           this text\n";

bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& out) {
    try {
        std::size_t used = 0;
        out = std::stoull(text, &used, 0);
        return used == text.size() && out <= max;
    } catch (const std::exception&) {
        return false;
    }
}
}  // namespace

int main(int argc, char** argv) {
    using namespace vbz::emu;
    VestIdentity identity = VestIdentity::withSerial(21030042);
    unsigned long long waitMs = 100;
    std::string udpAddress;
    unsigned long long discoverStatus = 0;
    bool oldFirmware = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--old-firmware") {
            oldFirmware = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "missing value after " << arg << "\n" << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        unsigned long long n = 0;
        if (arg == "--serial" && parseNumber(value, 99999999ULL, n)) {
            const auto version = identity.version;
            const auto type = identity.typeCode;
            identity = VestIdentity::withSerial(static_cast<uint32_t>(n));
            identity.version = version;
            identity.typeCode = type;
        } else if (arg == "--version" && value.size() <= 100) {
            identity.version = value;
        } else if (arg == "--type" && parseNumber(value, 0xFFFFFFFFULL, n)) {
            identity.typeCode = static_cast<uint32_t>(n);
        } else if (arg == "--wait" && parseNumber(value, 60000ULL, n)) {
            waitMs = n;
        } else if (arg == "--udp" && UdpEndpoint::parse(value)) {
            udpAddress = value;
        } else if (arg == "--discover-status" && parseNumber(value, 255ULL, n)) {
            discoverStatus = n;
        } else {
            std::cerr << "bad option or value: " << arg << " " << value << "\n" << kUsage;
            return 2;
        }
    }

    auto vest = std::make_shared<VestModel>(identity);
    vest->setDiscoverStatus(static_cast<uint8_t>(discoverStatus));
    vest->setOldFirmware(oldFirmware);
    int badLines = 0;
    if (!udpAddress.empty()) {
        // Signals are taken by sigwait below, not by a handler.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        UdpVestServer server;
        std::string error;
        const auto bound = server.add(vest, *UdpEndpoint::parse(udpAddress), &error);
        if (!bound || !server.start(&error)) {
            std::cerr << "cannot serve over UDP: " << error << "\n";
            return 2;
        }
        std::cout << "serving on " << bound->text() << std::endl;
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    } else {
        StdioAdapter adapter(*vest, std::cin, std::cout, std::cerr);
        badLines = adapter.run(std::chrono::milliseconds(waitMs));
    }
    const auto problems = vest->violations();
    for (const auto& p : problems) std::cerr << "host frame: " << p << "\n";
    return (badLines > 0 || !problems.empty()) ? 1 : 0;
}
