// A stream on a JACK device through a JACK client of our own, in either
// direction: a capture, whose input ports take the monitor ports of the
// client that a loopback device captures, or a playback, whose output ports
// feed the input ports of the client that an output device is. It hands
// float32 frames (interleaved, or one buffer per channel) to a
// PortAudio-style stream callback, in blocks of the stream's frames per
// buffer whatever the JACK period. PortAudioJackHost makes one for each
// stream it opens on such a device and owns it until the stream is closed.
//
// It does not go through PortAudio, whose JACK streams cannot be closed once
// the server has died (the close waits for a process cycle that never comes)
// and whose JACK client, once dead, makes Pa_Terminate fail an assertion. So
// such a stream never holds PortAudio, and closing one returns at once
// whatever became of the server.
//
// As with PortAudio, the finished callback runs once the stream stops: on
// stop (or on closing an active stream), or when it ends on its own (on a
// JACK thread) as the server shuts down or the device's client leaves it.
// An ended stream hands nothing more to the stream callback. The callback's answer is
// not looked at: a stream ends by stop.
//
// Threads: open, start, stop and the destructor on any one thread at a time;
// the stream callback on JACK's process thread, which allocates nothing and
// takes no lock; time() on any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <portaudio.h>

#include "sdk/platform/AudioLibraryMessageScope.h"

struct _jack_client;
struct _jack_port;

namespace vbz {

class JackStream {
public:
    enum class Direction { Capture, Playback };
    struct Format {
        int channels = 0;
        bool nonInterleaved = false;
        // paFramesPerBufferUnspecified: the JACK period at open.
        unsigned long framesPerBuffer = paFramesPerBufferUnspecified;
    };

    // A stream on the first `format.channels` ports of JACK client
    // `clientName` (its monitor ports for a capture, its input ports for a
    // playback) at `sampleRate` (the server's rate). Null with error set when
    // it cannot be made.
    static std::unique_ptr<JackStream> open(Direction direction, const std::string& clientName, Format format,
                                            double sampleRate, PaStreamCallback* callback, void* userData,
                                            PaError& error);
    ~JackStream();
    JackStream(const JackStream&) = delete;
    JackStream& operator=(const JackStream&) = delete;

    PaError start();
    PaError stop();
    void setFinishedCallback(PaStreamFinishedCallback* callback) { finished_.store(callback); }
    const PaStreamInfo* info() const { return &info_; }
    // The stream's clock in seconds (monotonic, whatever the server does).
    static PaTime time();

private:
    JackStream() = default;
    static int process(unsigned frames, void* arg);
    // One process cycle of a running stream.
    void cycle(unsigned frames);
    static void onShutdown(void* arg);
    static void onClientRegistration(const char* name, int registered, void* arg);
    // Runs the finished callback, once per start.
    void sayFinished();
    // The stream ended on its own.
    void end();
    float& sample(std::size_t channel, std::size_t frame) {
        return nonInterleaved_ ? block_[channel * blockFrames_ + frame] : block_[frame * ports_.size() + channel];
    }
    void handOver();

    // libjack reports the server's death from its own threads: quiet until
    // the destructor has closed the client.
    JackMessageQuiet quiet_;
    _jack_client* client_ = nullptr;
    Direction direction_ = Direction::Capture;
    std::string device_;  // the client whose ports the stream takes or feeds
    std::vector<_jack_port*> ports_;
    std::vector<std::string> peers_;  // the device's ports, in channel order
    // One block for the callback, allocated at open: the process thread
    // never allocates. blockAt_ is the frames of it already played or filled.
    std::vector<float> block_;
    std::vector<float*> channelBuffers_;  // into block_, when non-interleaved
    std::size_t blockFrames_ = 0;
    std::size_t blockAt_ = 0;
    bool nonInterleaved_ = false;
    PaStreamCallback* callback_ = nullptr;
    void* userData_ = nullptr;
    PaStreamInfo info_{};
    std::atomic<PaStreamFinishedCallback*> finished_{nullptr};
    std::atomic<bool> active_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> finishedSaid_{false};
    std::atomic<bool> leaving_{false};    // stop is under way: cycles return at once
    std::atomic<bool> inProcess_{false};  // a process cycle runs
};

}  // namespace vbz
