// vbz_bank_gen --out <file> [--assets <dir>]
// Produces the signal bank's samples for the library build: from the recorded
// ".csv" assets in <dir> (one per row, at the row's name), or synthesised
// stand-ins when no folder is given.
#include "tessaron-core/bankgen/BankBuilder.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    std::string out, assets;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--assets") == 0 && i + 1 < argc) {
            assets = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s --out <file> [--assets <dir>]\n", argv[0]);
            return 2;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "usage: %s --out <file> [--assets <dir>]\n", argv[0]);
        return 2;
    }
    std::vector<float> samples;
    samples.reserve(tsr::bank::kTotalSamples);
    std::string error;
    if (!tsr::bankgen::buildBank(tsr::bank::kRows, assets, samples, error) ||
        !tsr::bankgen::writeBank(out, samples, error)) {
        std::fprintf(stderr, "vbz_bank_gen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
