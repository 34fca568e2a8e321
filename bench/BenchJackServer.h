// The private JACK server (dummy driver) of the benchmarks that run on one:
// started with scripts/jack_test_server.sh for the run, stopped at exit.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/JackTestServer.h"

namespace vbz_bench {

// The benchmark target defines VBZ_JACK_SCRIPT, VBZ_JACK_BENCH_STATE and
// VBZ_JACK_SINKS. `up` says whether the server runs; libjack (and PortAudio's
// JACK host API) are then pointed at it.
struct JackServer {
    std::string name;
    bool up = false;
    explicit JackServer(const std::string& prefix) : name(prefix + std::to_string(::getpid())) {
        const std::string start = std::string("bash ") + VBZ_JACK_SCRIPT + " start " + VBZ_JACK_BENCH_STATE + " " +
                                  name + " " + VBZ_JACK_SINKS + " >/dev/null";
        up = std::system(start.c_str()) == 0 &&
             vbz_test::readFirstLine(std::string(VBZ_JACK_BENCH_STATE) + "/ready") == name;
        if (up) {
            setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
            setenv("JACK_NO_START_SERVER", "1", 1);
        }
    }
    ~JackServer() {
        const std::string stop = std::string("bash ") + VBZ_JACK_SCRIPT + " stop " + VBZ_JACK_BENCH_STATE + " " + name;
        if (std::system(stop.c_str()) != 0) return;
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;
};

}  // namespace vbz_bench
