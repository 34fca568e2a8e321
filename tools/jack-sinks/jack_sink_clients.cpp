// Test helper: joins a running JACK server with clients that behave like the
// sinks of a desktop sound server seen through its JACK interface. Each client
// has N input ports "playback_<k>" and N output ports "monitor_<k>" that carry
// what the sink plays.
//
//   jack_sink_clients <server name> <client>:<channels> [<client>:<channels>...]
//
// Prints "ready" once every client is active, then stays until SIGTERM or
// SIGINT. Never starts a server.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jack/jack.h>
#include <pthread.h>

namespace {

struct Sink {
    jack_client_t* client = nullptr;
    std::vector<jack_port_t*> playback;
    std::vector<jack_port_t*> monitor;
};

int copyToMonitor(jack_nframes_t frames, void* arg) {
    auto* sink = static_cast<Sink*>(arg);
    for (size_t k = 0; k < sink->playback.size(); ++k) {
        auto* in = static_cast<const float*>(jack_port_get_buffer(sink->playback[k], frames));
        auto* out = static_cast<float*>(jack_port_get_buffer(sink->monitor[k], frames));
        std::memcpy(out, in, sizeof(float) * frames);
    }
    return 0;
}

bool openSink(const char* server, const std::string& clientArg, Sink& sink) {
    const auto colon = clientArg.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string name = clientArg.substr(0, colon);
    const int channels = std::atoi(clientArg.c_str() + colon + 1);
    if (channels < 1 || channels > 64) return false;
    jack_status_t status{};
    sink.client = jack_client_open(
        name.c_str(),
        static_cast<jack_options_t>(JackNoStartServer | JackUseExactName | JackServerName),
        &status, server);
    if (!sink.client) {
        std::fprintf(stderr, "jack_sink_clients: cannot open client %s (status 0x%x)\n",
                     name.c_str(), static_cast<unsigned>(status));
        return false;
    }
    for (int k = 1; k <= channels; ++k) {
        const std::string in = "playback_" + std::to_string(k);
        const std::string out = "monitor_" + std::to_string(k);
        jack_port_t* pin = jack_port_register(sink.client, in.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                              JackPortIsInput, 0);
        jack_port_t* pout = jack_port_register(sink.client, out.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               JackPortIsOutput, 0);
        if (!pin || !pout) return false;
        sink.playback.push_back(pin);
        sink.monitor.push_back(pout);
    }
    if (jack_set_process_callback(sink.client, copyToMonitor, &sink) != 0) return false;
    return jack_activate(sink.client) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <server> <client>:<channels>...\n", argv[0]);
        return 2;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<Sink> sinks(static_cast<size_t>(argc - 2));
    bool ok = true;
    for (int i = 2; i < argc && ok; ++i) ok = openSink(argv[1], argv[i], sinks[static_cast<size_t>(i - 2)]);
    if (ok) {
        std::printf("ready\n");
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
    }
    for (auto& sink : sinks)
        if (sink.client) jack_client_close(sink.client);
    return ok ? 0 : 1;
}
