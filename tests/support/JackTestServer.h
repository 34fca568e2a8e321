// A fixture for tests on the private JACK server that ctest's fixture starts
// (scripts/jack_test_server.sh, dummy driver): points libjack (and PortAudio's
// JACK host API) at it, or skips with the reason when there is none, unless
// VBZ_REQUIRE_JACK=1 asks for a failure instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace vbz_test {

// The first line of a file ("" when it cannot be read).
inline std::string readFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

class JackServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* state = std::getenv("VBZ_JACK_STATE");
        const char* require = std::getenv("VBZ_REQUIRE_JACK");
        const bool required = require && std::string(require) == "1";
        std::string reason;
        if (!state) {
            reason = "VBZ_JACK_STATE is not set (run through ctest)";
        } else {
            server_ = readFirstLine(std::string(state) + "/ready");
            if (server_.empty())
                reason = "no JACK test server: " + readFirstLine(std::string(state) + "/unavailable");
        }
        if (!reason.empty()) {
            if (required) FAIL() << reason;
            GTEST_SKIP() << reason;
        }
        setenv("JACK_DEFAULT_SERVER", server_.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
    }
    // The server's name.
    std::string server_;
};

}  // namespace vbz_test
