// The real audio host on a machine with no JACK server (and here no sound
// card): what ALSA and libjack print on their own stays off stderr, and the
// handlers an application gave those libraries keep their messages.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <string>

extern "C" {
#include <alsa/error.h>
}
#include <jack/jack.h>

#include "sdk/platform/PortAudioJackHost.h"
#include "tests/support/CaptureStdout.h"

using vbz_test::CaptureFd;

namespace {

int alsaMessages = 0;
int jackMessages = 0;
void applicationAlsaHandler(const char*, int, const char*, int, const char*, ...) { ++alsaMessages; }
void applicationJackFunction(const char*) { ++jackMessages; }

// libjack looks for a server of a name nobody uses, and never starts one.
void noJackServer() {
    setenv("JACK_DEFAULT_SERVER", ("vbz-no-server-" + std::to_string(getpid())).c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
}

// Two nested initialisations and a second round, as streams and device
// queries make them.
void initializeAndTerminate(vbz::PortAudioJackHost& host) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(host.initialize(), paNoError);
        ASSERT_EQ(host.initialize(), paNoError);
        EXPECT_GE(host.deviceCount(), 0);
        EXPECT_EQ(host.terminate(), paNoError);
        EXPECT_EQ(host.terminate(), paNoError);
    }
}

}  // namespace

TEST(AudioLibraryMessages, NothingReachesStderrAndTheLibrariesDefaultsAreBackAfterwards) {
    noJackServer();
    const auto jackError = jack_error_callback;
    const auto jackInfo = jack_info_callback;

    CaptureFd err(2);
    initializeAndTerminate(vbz::PortAudioJackHost::instance());
    EXPECT_EQ(err.finish(), "");

    EXPECT_EQ(jack_error_callback, jackError);
    EXPECT_EQ(jack_info_callback, jackInfo);
    EXPECT_EQ(snd_lib_error_set_local(nullptr), nullptr);
}

TEST(AudioLibraryMessages, AnApplicationsOwnHandlersStayAndGetTheMessages) {
    noJackServer();
    snd_lib_error_set_handler(applicationAlsaHandler);
    jack_set_error_function(applicationJackFunction);

    initializeAndTerminate(vbz::PortAudioJackHost::instance());

    EXPECT_EQ(snd_lib_error, applicationAlsaHandler);
    EXPECT_EQ(jack_error_callback, applicationJackFunction);
    EXPECT_GT(jackMessages, 0);  // no server to reach
    if (!std::filesystem::exists("/proc/asound/cards")) {
        EXPECT_GT(alsaMessages, 0);
    }
    snd_lib_error_set_handler(nullptr);
    jack_set_error_function(nullptr);
}
