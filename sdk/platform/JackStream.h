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
// such a stream never holds PortAudio.
//
// Each stream has a thread of its own, which makes every libjack call on the
// client after open (activate, connect, deactivate, close) and runs the
// finished callback of a stream that ended on its own. libjack's own threads
// (process cycles, shutdown and client notifications) are cancelled
// asynchronously when the client is deactivated or closed, wherever they
// are: the notifications they deliver to us only set flags and wake the
// stream's thread, and a deactivation waits until no cycle is inside the
// stream callback and lets no later one enter it. A server that stops
// (SIGTERM) while such a request is on its way answers it only once its
// shutdown is over (jackd waits ten times its client timeout, 5 s by
// default, for a cycle its stopped driver never runs; a close waits twice
// the timeout), and one that stalls answers once it runs again: start, stop
// and the destructor wait for the stream's thread only a bounded time
// (kStartWait, kStopWait, kCloseWait). A client that has not closed by then
// is closed later by that thread, which calls nothing of the caller's any
// more: neither callback is called once stop or the destructor has
// returned. Threads still closing at exit are joined then. A client whose
// server went away stays open until its stream is closed or awaitClosing
// closes it (see there why), and even then until libjack's notification
// thread has ended (10 s at most): a close while the server removes its
// clients can leave a mutex of libjack's locked for good (its notification
// thread holds it then), and makes jackd die of SIGPIPE. The destructor
// does not wait for such a close. A server that was only late is not
// waited for so: its client closes once it has answered.
//
// As with PortAudio, the finished callback runs once the stream stops: on
// stop (on the thread that stops it), or when it ends on its own, as the
// server shuts down or the device's client leaves it (on the stream's
// thread). Once per start; never after the destructor has begun. An ended
// stream hands nothing more to the stream callback. The callback's answer
// is not looked at: a stream ends by stop.
//
// Threads: open, start, stop and the destructor on any one thread at a time,
// which must not hold what the finished callback takes (stop and the
// destructor wait for a finished callback under way); the stream callback on
// JACK's process thread, which allocates nothing and takes no lock; time() on
// any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <jack/types.h>
#include <portaudio.h>

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

    // How long the caller waits for the stream's thread. An activation takes
    // a period or two of the server (a period is at most 8192 frames: 0.19 s
    // at 44.1 kHz), so does a deactivation or a close; only a server that
    // stalls (a machine that swaps, a debugger) or one in the middle of its
    // shutdown takes longer, and libjack cannot tell them apart until the
    // server answers. A start waits through a stall of a second or so: one
    // not done in time fails with paDeviceUnavailable. A stop or a close
    // goes on on the stream's thread, and finishes as soon as a server that
    // was only slow answers. A request queued behind one that is late is not
    // waited for.
    static constexpr std::chrono::milliseconds kStartWait{2000};
    static constexpr std::chrono::milliseconds kStopWait{300};
    static constexpr std::chrono::milliseconds kCloseWait{300};

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
    void setFinishedCallback(PaStreamFinishedCallback* callback);
    const PaStreamInfo* info() const { return &info_; }
    // The stream's clock in seconds (monotonic, whatever the server does).
    static PaTime time();
    // Returns once every client of a destroyed stream is closed, and closes
    // those of streams whose server went away (libjack returns at once
    // then), or of every stream once libjack may have written them off (see
    // noteClientsWrittenOff); such a stream ends. libjack deletes the
    // clients of the process whose server went away as soon as anything in
    // the process opens a new client, and one of ours closed after that
    // would be freed twice: nothing of ours opens a JACK client but under an
    // OpenGate, which does this first. It waits as long as libjack does,
    // which is until the server has finished its shutdown. Any thread but a
    // stream's own.
    static void awaitClosing();
    // Held around every open of a JACK client of ours (openClient holds one;
    // the audio host holds one around PortAudio's initialisation, which opens
    // PortAudio's client): does what awaitClosing does, and keeps every other
    // thread's open waiting until it is destroyed, so that no client of ours
    // opens while written-off clients are still being closed. Not nested;
    // not on a stream's own thread.
    class OpenGate {
    public:
        OpenGate();
        ~OpenGate();
        OpenGate(const OpenGate&) = delete;
        OpenGate& operator=(const OpenGate&) = delete;

    private:
        static void closeLeftovers();
        std::unique_lock<std::mutex> lock_;
    };
    // libjack keeps one "server running" flag for the whole process. A client
    // that hears of its server going away clears it, and so may the client of
    // an open that a running server refuses (jackd refuses an open that it
    // stalls in the middle of). The next client opened in the process then
    // first closes and frees every other one, ours and PortAudio's alike. So
    // once that may have happened, awaitClosing ends and closes every stream
    // of ours, and no client of ours should open while PortAudio holds its
    // own JACK client.
    static void noteClientsWrittenOff();
    // jack_client_open for a client of ours (never starting a server), under
    // an OpenGate; an open that a server refuses is noted as above. Null when
    // it fails.
    static jack_client_t* openClient(const char* name);

    // What libjack's threads and the stream's thread share; outlives the
    // stream while its client is still closing.
    struct Core;

private:
    enum class Job;
    explicit JackStream(std::shared_ptr<Core> core);
    // Hands a request to the stream's thread and waits for it at most limit
    // (not at all behind a request still under way); false when it is not
    // done by then.
    bool request(Job job, std::chrono::milliseconds limit, int* result);

    std::shared_ptr<Core> core_;
    std::thread thread_;
    PaStreamInfo info_{};
    std::atomic<bool> active_{false};
};

}  // namespace vbz
