// The capture of a loopback device: a JACK client of our own whose input
// ports take the monitor ports of the client that the device captures, and
// which hands their frames, interleaved, to a PortAudio-style stream
// callback. PortAudioJackHost makes one for each stream it opens on a
// loopback device and owns it until the stream is closed.
//
// It does not go through PortAudio, whose JACK streams cannot be closed once
// the server has died (the close waits for a process cycle that never comes)
// and whose JACK client, once dead, makes Pa_Terminate fail an assertion. So
// a capture never holds PortAudio, and closing one returns at once whatever
// became of the server.
//
// The stream ends on its own (the finished callback runs once, on a JACK
// thread) when the server shuts down or the captured client leaves it.
//
// Threads: open, start, stop and the destructor on any one thread at a time;
// the stream callback on JACK's process thread.
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

class JackCaptureStream {
public:
    // A stream on the first `channels` monitor ports of JACK client
    // `clientName` at `sampleRate` (the server's rate). Null with error set
    // when it cannot be made.
    static std::unique_ptr<JackCaptureStream> open(const std::string& clientName, int channels, double sampleRate,
                                                   PaStreamCallback* callback, void* userData, PaError& error);
    ~JackCaptureStream();
    JackCaptureStream(const JackCaptureStream&) = delete;
    JackCaptureStream& operator=(const JackCaptureStream&) = delete;

    PaError start();
    PaError stop();
    void setFinishedCallback(PaStreamFinishedCallback* callback) { finished_.store(callback); }
    const PaStreamInfo* info() const { return &info_; }

private:
    JackCaptureStream() = default;
    static int process(unsigned frames, void* arg);
    static void onShutdown(void* arg);
    static void onClientRegistration(const char* name, int registered, void* arg);
    // Runs the finished callback once, for a stream that ended on its own.
    void end();

    // libjack reports the server's death from its own threads: quiet until
    // the destructor has closed the client.
    JackMessageQuiet quiet_;
    _jack_client* client_ = nullptr;
    std::string captured_;
    std::vector<_jack_port*> ports_;
    std::vector<std::string> sources_;  // the monitor ports, in channel order
    std::vector<float> interleaved_;    // allocated at open: the process thread never allocates
    PaStreamCallback* callback_ = nullptr;
    void* userData_ = nullptr;
    PaStreamInfo info_{};
    std::atomic<PaStreamFinishedCallback*> finished_{nullptr};
    std::atomic<bool> active_{false};
    std::atomic<bool> ended_{false};
};

}  // namespace vbz
