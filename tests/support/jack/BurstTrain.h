// A burst train on the JACK test server, for the audio-to-haptics tests and
// benchmark: a player client that plays short tone bursts into a sink (whose
// monitor ports a loopback capture takes), the steady-clock time of each
// burst's onset, a recorder of another sink's monitor port, and the cutting
// of a timed signal into active segments.
#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace vbz_test {

using SteadyTime = std::chrono::steady_clock::time_point;

// The steady-clock time of frame `offset` of a JACK cycle that began at
// cycleStart, at the server's rate.
inline SteadyTime frameTime(SteadyTime cycleStart, jack_nframes_t offset, double rate) {
    return cycleStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(offset) / rate));
}

inline jack_client_t* openTestClient(const std::string& server, const char* name, std::string& why) {
    jack_status_t status{};
    jack_client_t* client = jack_client_open(
        name, static_cast<jack_options_t>(JackNoStartServer | JackUseExactName | JackServerName), &status,
        server.c_str());
    if (!client) why = std::string("cannot open the JACK client ") + name + " (status " + std::to_string(status) + ")";
    return client;
}

// Plays `count` bursts of a sine (hz, amplitude) of `burstSeconds` every
// `periodSeconds` on both of its ports, once armed; silence otherwise.
class BurstPlayer {
public:
    struct Train {
        int count = 5;
        double hz = 80.0;
        double amplitude = 0.5;
        double burstSeconds = 0.1;
        double periodSeconds = 0.5;
    };

    // Connects the player's two outputs to <sink>:playback_1 and _2.
    bool open(const std::string& server, const std::string& sink, Train train, std::string& why) {
        train_ = train;
        client_ = openTestClient(server, "VbzBurstPlayer", why);
        if (!client_) return false;
        rate_ = static_cast<double>(jack_get_sample_rate(client_));
        for (int k = 0; k < 2; ++k) {
            const std::string name = "out_" + std::to_string(k + 1);
            ports_[static_cast<size_t>(k)] =
                jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
            if (!ports_[static_cast<size_t>(k)]) {
                why = "cannot register the player's ports";
                return false;
            }
        }
        // Before the process thread can run: it writes the onsets.
        onsets_.assign(static_cast<size_t>(train.count), SteadyTime{});
        jack_set_process_callback(client_, &BurstPlayer::process, this);
        if (jack_activate(client_) != 0) {
            why = "cannot activate the player";
            return false;
        }
        for (int k = 0; k < 2; ++k) {
            const std::string from = "VbzBurstPlayer:out_" + std::to_string(k + 1);
            const std::string to = sink + ":playback_" + std::to_string(k + 1);
            if (jack_connect(client_, from.c_str(), to.c_str()) != 0) {
                why = "cannot connect " + from + " to " + to;
                return false;
            }
        }
        return true;
    }
    ~BurstPlayer() {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    void arm() { armed_.store(true); }
    bool finished() const { return finished_.load(); }
    // Onset of each burst (valid once finished).
    const std::vector<SteadyTime>& onsets() const { return onsets_; }
    const Train& train() const { return train_; }

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<BurstPlayer*>(arg);
        const SteadyTime cycle = std::chrono::steady_clock::now();
        float* out[2];
        for (int k = 0; k < 2; ++k)
            out[k] = static_cast<float*>(jack_port_get_buffer(self->ports_[static_cast<size_t>(k)], frames));
        const Train& t = self->train_;
        const auto burst = static_cast<long>(t.burstSeconds * self->rate_);
        const auto period = static_cast<long>(t.periodSeconds * self->rate_);
        for (jack_nframes_t i = 0; i < frames; ++i) {
            float s = 0.0f;
            if (self->armed_.load(std::memory_order_acquire) && !self->finished_.load(std::memory_order_relaxed)) {
                const long pos = self->position_++;
                const long index = pos / period;
                const long within = pos % period;
                if (index >= t.count) {
                    self->finished_.store(true);
                } else if (within < burst) {
                    if (within == 0) self->onsets_[static_cast<size_t>(index)] = frameTime(cycle, i, self->rate_);
                    s = static_cast<float>(t.amplitude * std::sin(2.0 * std::numbers::pi * t.hz *
                                                                  static_cast<double>(within) / self->rate_));
                }
            }
            out[0][i] = s;
            out[1][i] = s;
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::array<jack_port_t*, 2> ports_{};
    Train train_;
    double rate_ = 48000.0;
    std::atomic<bool> armed_{false}, finished_{false};
    long position_ = 0;  // process thread only
    std::vector<SteadyTime> onsets_;
};

// One sample of a signal with the steady-clock time it was seen.
struct TimedSample {
    SteadyTime at;
    float value;
};

// Records <sink>:monitor_<port> for ports 1..n: for port 1 every sample with
// its time, for every port its energy. Keeps at most `capacity` samples.
class MonitorRecorder {
public:
    bool open(const std::string& server, const std::string& sink, int ports, std::size_t capacity, std::string& why) {
        client_ = openTestClient(server, "VbzMonitorRecorder", why);
        if (!client_) return false;
        rate_ = static_cast<double>(jack_get_sample_rate(client_));
        samples_.resize(capacity);
        energy_ = std::vector<std::atomic<double>>(static_cast<size_t>(ports));
        for (int k = 0; k < ports; ++k) {
            const std::string name = "in_" + std::to_string(k + 1);
            ports_.push_back(jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
        }
        jack_set_process_callback(client_, &MonitorRecorder::process, this);
        if (jack_activate(client_) != 0) {
            why = "cannot activate the recorder";
            return false;
        }
        for (int k = 0; k < ports; ++k) {
            const std::string from = sink + ":monitor_" + std::to_string(k + 1);
            const std::string to = "VbzMonitorRecorder:in_" + std::to_string(k + 1);
            if (jack_connect(client_, from.c_str(), to.c_str()) != 0) {
                why = "cannot connect " + from + " to " + to;
                return false;
            }
        }
        return true;
    }
    ~MonitorRecorder() {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    // Samples of port 1 recorded so far (call once recording is over).
    std::vector<TimedSample> samples() const {
        return {samples_.begin(), samples_.begin() + static_cast<long>(count_.load())};
    }
    double energy(int port) const { return energy_[static_cast<size_t>(port)].load(); }

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<MonitorRecorder*>(arg);
        const SteadyTime cycle = std::chrono::steady_clock::now();
        for (size_t k = 0; k < self->ports_.size(); ++k) {
            const auto* in = static_cast<const float*>(jack_port_get_buffer(self->ports_[k], frames));
            double e = 0.0;
            for (jack_nframes_t i = 0; i < frames; ++i) e += static_cast<double>(in[i]) * in[i];
            self->energy_[k].store(self->energy_[k].load() + e);
            if (k != 0) continue;
            std::size_t n = self->count_.load();
            for (jack_nframes_t i = 0; i < frames && n < self->samples_.size(); ++i, ++n)
                self->samples_[n] = {frameTime(cycle, i, self->rate_), in[i]};
            self->count_.store(n);
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ports_;
    double rate_ = 48000.0;
    std::vector<TimedSample> samples_;
    std::atomic<std::size_t> count_{0};
    std::vector<std::atomic<double>> energy_;
};

struct Segment {
    SteadyTime begin, end;  // first and last active sample
};

// Active stretches of a signal in time order: samples whose magnitude
// exceeds threshold, with gaps shorter than `gap` bridged.
inline std::vector<Segment> activeSegments(std::vector<TimedSample> samples, float threshold,
                                           std::chrono::milliseconds gap) {
    std::vector<Segment> out;
    for (const TimedSample& s : samples) {
        if (!(std::fabs(s.value) > threshold)) continue;
        if (!out.empty() && s.at - out.back().end < gap)
            out.back().end = s.at;
        else
            out.push_back({s.at, s.at});
    }
    return out;
}

inline double millisecondsBetween(SteadyTime from, SteadyTime to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace vbz_test
