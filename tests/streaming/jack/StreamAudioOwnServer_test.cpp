// The audio connection of the streaming back-end on a JACK server of the
// test's own, which the test kills and starts again (so never the shared
// one): disconnecting and destroying must return, without aborting, whatever
// became of the server, and a later connection on a new server must play.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "streaming/HandlerStreaming.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tests/support/ActuatorPatterns.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/Watchdog.h"
#include "tests/support/jack/BurstTrain.h"
#include "tests/support/jack/OwnJackServer.h"

using namespace std::chrono_literals;
using vbz_test::CallbackRecorder;

namespace {
constexpr int kChannels = 20;

class AudioOnOwnServer : public vbz_test::OwnJackServerTest {
protected:
    // A connection to the 20-channel sink playing an effect on actuator 5;
    // false when it did not report "connected".
    static bool connect(HandlerStreaming& handler, CallbackRecorder& reports) {
        handler.setConnectionCallback(&CallbackRecorder::callback, &reports);
        const int pattern =
            handler.loadPatternFromJSON(vbz_test::actuatorPattern(*tsr::makeDefaultLayout(), 5, 0.5, true));
        vbz_effect_properties_t p;
        if (pattern < 0 || handler.playEffect(pattern, p) < 0) return false;
        vbz_audio_settings_t settings;
        settings.deviceName = "VibrenzaVest";
        settings.audioAPI = "JACK Audio Connection Kit";
        settings.sampleRate = 48000;
        settings.bufferSize = 480;
        settings.nbStreamChannel = kChannels;
        if (handler.connectAudio(eCustomDevice, settings) != 0) return false;
        const auto seen = reports.waitFor(1);
        return seen.size() == 1 && seen[0].state == VBZ_STATE_CONNECTED;
    }
};
}  // namespace

TEST_F(AudioOnOwnServer, DisconnectAndDestroyReturnAfterTheServerDiedAndALaterConnectionPlays) {
    {
        CallbackRecorder reports;
        auto handler = std::make_unique<HandlerStreaming>(nullptr);
        ASSERT_TRUE(connect(*handler, reports));
        std::this_thread::sleep_for(300ms);
        server.kill();
        std::this_thread::sleep_for(200ms);
        vbz_test::mustReturnWithin(
            5s,
            [&] {
                handler->disconnect();
                handler.reset();
            },
            "disconnect and destruction after the server died");
    }

    ASSERT_EQ(server.start(), "");
    vbz_test::MonitorRecorder monitor;
    std::string why;
    ASSERT_TRUE(monitor.open(server.name(), "VibrenzaVest", kChannels, 48000, why)) << why;
    CallbackRecorder reports;  // outlives the handler, which reports to it until destroyed
    HandlerStreaming handler(nullptr);
    ASSERT_TRUE(connect(handler, reports)) << "a connection on the new server";
    for (int i = 0; i < 500 && monitor.energy(5) == 0.0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_GT(monitor.energy(5), 0.0) << "the new connection plays";
    vbz_test::mustReturnWithin(5s, [&] { handler.disconnect(); }, "disconnect on the new server");
}
