// vbz-sequencer-faults: plays random effects on the legacy back-end against
// the emulated vest on the in-process USB bus under a mix of board faults
// (see FaultMix.h) and prints what fell due and what the board played. No
// network is used.
//
//   vbz-sequencer-faults [--seed N]... [--seconds S] [--faults SET] [--plays DENSITY]
//                        [--short-timing] [--verbose]
//
// Each --seed runs once (default: seed 1). SET is mix (the default: every
// fault switched now and then), none (the same plays on a board without
// fault), or one fault for the whole run: twice, late, no-expiry, swallow.
// --short-timing uses a 250 ms answer time-out and a 100 ms keep-alive
// instead of the real 1 s ones. DENSITY is sparse (the default), dense or
// short (see FaultMix.h). --verbose writes to stderr which signals the
// board played more or fewer times than they fell due, and the error lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/sequencer-faults/FaultMix.h"

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    vbz::tools::FaultMixOptions options;
    std::vector<uint32_t> seeds;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--seed") == 0 && hasValue) {
            seeds.push_back(static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10)));
        } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
            options.seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--faults") == 0 && hasValue &&
                   vbz::tools::faultSetFromName(argv[i + 1], options.faults)) {
            ++i;
        } else if (std::strcmp(argv[i], "--plays") == 0 && hasValue &&
                   vbz::tools::playDensityFromName(argv[i + 1], options.density)) {
            ++i;
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            options.verbose = true;
        } else if (std::strcmp(argv[i], "--short-timing") == 0) {
            options.timing.answerTimeout = 250ms;
            options.timing.keepAliveInterval = 100ms;
            options.timing.settleTime = 5ms;
        } else {
            std::fprintf(stderr,
                         "usage: vbz-sequencer-faults [--seed N]... [--seconds S] [--faults "
                         "mix|none|twice|late|no-expiry|swallow] [--plays sparse|dense|short] "
                         "[--short-timing] [--verbose]\n");
            return 2;
        }
    }
    if (seeds.empty()) seeds.push_back(1);
    int failed = 0;
    for (const uint32_t seed : seeds) {
        options.seed = seed;
        const auto report = vbz::tools::runFaultMix(options);
        std::printf("seed=%u seconds=%g faults=%s %s\n", seed, options.seconds, vbz::tools::faultSetName(options.faults),
                    report.text().c_str());
        std::fflush(stdout);
        if (report.plays == 0) ++failed;
    }
    return failed == 0 ? 0 : 1;
}
