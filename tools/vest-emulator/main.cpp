// vbz-vest-emulator: an emulated vest on standard input and output, or
// served over UDP.
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <pthread.h>
#include <sstream>
#include <string>
#include <vector>

#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/LevelChart.h"
#include "tools/vest-emulator/StdioAdapter.h"
#include "tools/vest-emulator/StreamingVest.h"
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
    "streaming (after a StartStream frame the vest asks for blocks: over UDP in\n"
    "real time, on standard input each DataRequest follows the answer to the\n"
    "previous one; every StreamData frame is checked and decoded):\n"
    "  --channels N     actuator channels the vest reports (default 20)\n"
    "  --durations LIST requested durations in microseconds, comma-separated,\n"
    "                   used in turn (default 12500)\n"
    "  --requests N     requests to send, then fall silent (default: no limit)\n"
    "  --stop-after N   stop the stream from the vest after N requests\n"
    "  --wav FILE       at the end, write the decoded signals to FILE: 16-bit\n"
    "                   PCM at 2000 Hz, one channel per actuator\n"
    "  --levels         at the end, draw each actuator's level over time\n"
    "                   (decoded signals are kept only for --wav and --levels;\n"
    "                   otherwise the emulator does not grow over a long run)\n"
    "legacy playback board (PlaySample and the slot commands, always on): at the\n"
    "  end, the samples it played, per slot.\n"
    "  --sample-ms N    how long a sample without maximum duration plays\n"
    "                   (default 500)\n"
    "  --help           this text\n";

// "legacy board: 7 samples played (2 muted); slot 0 x3, slot 1 x4"
std::string boardSummary(const std::vector<vbz::emu::DecodedPlay>& plays) {
    std::map<int, int> perSlot;
    int muted = 0;
    int refused = 0;
    for (const auto& p : plays) {
        if (p.status >= vbz::emu::LegacyBoard::kSlots) {
            ++refused;
            continue;
        }
        ++perSlot[p.status];
        if (p.flags & 1) ++muted;
    }
    std::ostringstream out;
    out << "legacy board: " << (plays.size() - static_cast<std::size_t>(refused)) << " samples played ("
        << muted << " muted)";
    const char* sep = "; ";
    for (const auto& [slot, count] : perSlot) {
        out << sep << "slot " << slot << " x" << count;
        sep = ", ";
    }
    if (refused > 0) out << "; " << refused << " refused";
    return out.str();
}

bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& out) {
    try {
        std::size_t used = 0;
        out = std::stoull(text, &used, 0);
        return used == text.size() && out <= max;
    } catch (const std::exception&) {
        return false;
    }
}

// "12500,25000": each at most 10 s.
bool parseDurations(const std::string& text, std::vector<uint32_t>& out) {
    std::vector<uint32_t> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        unsigned long long n = 0;
        if (!parseNumber(item, 10000000ULL, n)) return false;
        values.push_back(static_cast<uint32_t>(n));
    }
    if (values.empty()) return false;
    out = std::move(values);
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    using namespace vbz::emu;
    VestIdentity identity = VestIdentity::withSerial(21030042);
    unsigned long long waitMs = 100;
    std::string udpAddress;
    unsigned long long discoverStatus = 0;
    bool oldFirmware = false;
    StreamingOptions streaming;
    std::string wavPath;
    bool levels = false;
    vbz::emu::LegacyBoardOptions boardOptions;
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
        if (arg == "--levels") {
            levels = true;
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
        } else if (arg == "--channels" && parseNumber(value, 255ULL, n)) {
            streaming.channelCount = static_cast<uint8_t>(n);
        } else if (arg == "--durations" && parseDurations(value, streaming.durationsUs)) {
        } else if (arg == "--requests" && parseNumber(value, 1000000000ULL, n)) {
            streaming.silentAfter = static_cast<int>(n);
        } else if (arg == "--stop-after" && parseNumber(value, 1000000000ULL, n)) {
            streaming.stopAfter = static_cast<int>(n);
        } else if (arg == "--sample-ms" && parseNumber(value, 600000ULL, n) && n > 0) {
            boardOptions.defaultSignalSeconds = static_cast<double>(n) / 1000.0;
        } else if (arg == "--wav" && !value.empty()) {
            wavPath = value;
        } else {
            std::cerr << "bad option or value: " << arg << " " << value << "\n" << kUsage;
            return 2;
        }
    }

    // Without a use for the signals, only the checks and statistics are
    // kept, so that a long run (a soak) stays the same size.
    streaming.keepSignals = !wavPath.empty() || levels;
    if (!streaming.keepSignals) streaming.blockHistory = 4096;
    auto vest = std::make_shared<VestModel>(identity);
    if (!streaming.keepSignals) vest->setRecordLimit(256);
    vest->setDiscoverStatus(static_cast<uint8_t>(discoverStatus));
    vest->setOldFirmware(oldFirmware);
    std::unique_ptr<LegacyBoard> board;
    int badLines = 0;
    std::unique_ptr<StreamingVest> stream;
    if (!udpAddress.empty()) {
        // Signals are taken by sigwait below, not by a handler.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        // Made after the mask, so that their threads leave the signals to
        // sigwait too.
        stream = std::make_unique<StreamingVest>(vest, streaming);
        board = std::make_unique<LegacyBoard>(vest, boardOptions);
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
        streaming.pacing = StreamingOptions::Pacing::Lockstep;
        stream = std::make_unique<StreamingVest>(vest, streaming);
        board = std::make_unique<LegacyBoard>(vest, boardOptions);
        StdioAdapter adapter(*vest, std::cin, std::cout, std::cerr);
        badLines = adapter.run(std::chrono::milliseconds(waitMs));
    }
    auto problems = board->violations();  // the model's and the board's
    for (const auto& p : stream->problems()) problems.push_back("stream: " + p);
    for (const auto& p : problems) std::cerr << "host frame: " << p << "\n";
    const auto stats = stream->stats();
    if (stats.requests > 0)
        std::cerr << "stream: " << stats.requests << " requests, " << stats.answered
                  << " answered, request to frame p50 " << stats.p50 * 1e6 << " us, p99 "
                  << stats.p99 * 1e6 << " us, max " << stats.max * 1e6 << " us\n";
    if (const auto plays = board->plays(); !plays.empty()) std::cerr << boardSummary(plays) << "\n";
    if (levels) std::cout << levelChart(stream->signals(), 2000) << std::flush;
    bool wavFailed = false;
    if (!wavPath.empty()) {
        wavFailed = !writeWav(wavPath, stream->signals(), 2000);
        if (wavFailed) std::cerr << "could not write " << wavPath << "\n";
    }
    return (badLines > 0 || !problems.empty() || wavFailed) ? 1 : 0;
}
