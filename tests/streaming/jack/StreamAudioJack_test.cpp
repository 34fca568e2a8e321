// The audio connection of the streaming back-end on a real JACK server (the
// test server with the dummy driver): a recording client of this test is
// the output device, and receives the effect on the actuator's channel,
// nothing on the other actuators and silence on the surplus channels.
#include <gtest/gtest.h>

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sdk/core/SdkPersistentState.h"
#include "streaming/HandlerStreaming.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tests/support/ActuatorPatterns.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/JackTestServer.h"
#include "tests/support/LogRecorder.h"

using namespace std::chrono_literals;
using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;

namespace {
constexpr int kPorts = 24;

// Energy of one JACK port buffer. The buffer lives in JACK's shared memory
// and was written by another client's process thread, which JACK orders
// before this one where ThreadSanitizer cannot see it: the TSan build
// suppresses races whose access is in this function (scripts/tsan.supp),
// so it must read nothing else.
__attribute__((noinline)) double jackPortBufferEnergy(const float* in, jack_nframes_t frames) {
    double e = 0.0;
    for (jack_nframes_t i = 0; i < frames; ++i) e += static_cast<double>(in[i]) * in[i];
    return e;
}

// A JACK client with kPorts input ports that sums the energy each receives.
class Recorder {
public:
    bool open(const std::string& server, std::string& why) {
        jack_status_t status{};
        client_ = jack_client_open("VbzRecorder",
                                   static_cast<jack_options_t>(JackNoStartServer | JackUseExactName | JackServerName),
                                   &status, server.c_str());
        if (!client_) {
            why = "cannot open the recording client (status " + std::to_string(status) + ")";
            return false;
        }
        for (int k = 0; k < kPorts; ++k) {
            const std::string name = "playback_" + std::to_string(k + 1);
            ports_[static_cast<size_t>(k)] =
                jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        }
        jack_set_process_callback(client_, &Recorder::process, this);
        return jack_activate(client_) == 0;
    }
    ~Recorder() {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    double energy(int port) const { return energy_[static_cast<size_t>(port)].load(); }
    long nonSilentFrames() const { return nonSilentFrames_.load(); }

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Recorder*>(arg);
        bool any = false;
        for (int k = 0; k < kPorts; ++k) {
            const auto* in = static_cast<const float*>(jack_port_get_buffer(self->ports_[static_cast<size_t>(k)], frames));
            const double e = jackPortBufferEnergy(in, frames);
            if (e > 0.0) {
                any = true;
                self->energy_[static_cast<size_t>(k)].store(self->energy_[static_cast<size_t>(k)].load() + e);
            }
        }
        if (any) self->nonSilentFrames_.fetch_add(static_cast<long>(frames));
        return 0;
    }
    jack_client_t* client_ = nullptr;
    std::array<jack_port_t*, kPorts> ports_{};
    std::array<std::atomic<double>, kPorts> energy_{};
    std::atomic<long> nonSilentFrames_{0};
};

class JackAudio : public vbz_test::JackServerTest {
protected:
    LogRecorder log;
};
}  // namespace

TEST_F(JackAudio, TheEffectPlaysOnItsActuatorsChannelAndSurplusChannelsStaySilent) {
    Recorder recorder;
    std::string why;
    ASSERT_TRUE(recorder.open(server_, why)) << why;

    CallbackRecorder reports;
    {
        HandlerStreaming handler(nullptr);
        handler.setConnectionCallback(&CallbackRecorder::callback, &reports);
        const int pattern =
            handler.loadPatternFromJSON(vbz_test::actuatorPattern(*tsr::makeDefaultLayout(), 5, 0.5, true));
        ASSERT_GE(pattern, 0);
        vbz_effect_properties_t p;
        ASSERT_GE(handler.playEffect(pattern, p), 0);

        vbz_audio_settings_t settings;
        settings.deviceName = "VbzRecorder";
        settings.audioAPI = "JACK Audio Connection Kit";
        settings.sampleRate = 48000;
        settings.bufferSize = 480;  // the server's period
        settings.nbStreamChannel = kPorts;
        ASSERT_EQ(handler.connectAudio(eCustomDevice, settings), 0);
        auto seen = reports.waitFor(1);
        ASSERT_EQ(seen.size(), 1u);
        ASSERT_EQ(seen[0].state, VBZ_STATE_CONNECTED) << "error " << seen[0].error;
        EXPECT_EQ(handler.getVibrenzaVersion(), "Experimental-AudioConnection");

        // Half a second of sound, or give up after 20 s.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (recorder.nonSilentFrames() < 24000 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(handler.disconnect(), 0);
        seen = reports.waitFor(2);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[1].state, VBZ_STATE_DISCONNECTED);
        EXPECT_EQ(seen[1].error, 0);
    }
    EXPECT_GE(recorder.nonSilentFrames(), 24000);
    const double target = recorder.energy(5);
    EXPECT_GT(target, 0.0);
    for (int k = 0; k < 20; ++k)
        if (k != 5) {
            EXPECT_LT(recorder.energy(k), 1e-3 * target) << "actuator " << k;
        }
    for (int k = 20; k < kPorts; ++k) EXPECT_EQ(recorder.energy(k), 0.0) << "surplus channel " << k;
    EXPECT_TRUE(LogRecorder::has(2, "StreamAudio", "Found valid output device 'VbzRecorder' using 'JACK Audio Connection Kit'"));
    bool summary = false;
    for (const auto& line : LogRecorder::lines())
        summary = summary || (line.tag == "StreamAudio" && line.text.rfind("Stop streaming signal:\n", 0) == 0);
    EXPECT_TRUE(summary);
}
