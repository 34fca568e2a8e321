// vbz-vest-emulator: an emulated vest on standard input and output.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "tools/vest-emulator/StdioAdapter.h"
#include "tools/vest-emulator/VestModel.h"

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
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::cout << kUsage;
            return 0;
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
        } else {
            std::cerr << "bad option or value: " << arg << " " << value << "\n" << kUsage;
            return 2;
        }
    }

    VestModel vest(identity);
    StdioAdapter adapter(vest, std::cin, std::cout, std::cerr);
    const int badLines = adapter.run(std::chrono::milliseconds(waitMs));
    const auto problems = vest.violations();
    for (const auto& p : problems) std::cerr << "host frame: " << p << "\n";
    return (badLines > 0 || !problems.empty()) ? 1 : 0;
}
