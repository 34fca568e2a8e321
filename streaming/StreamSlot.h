// The current stream of a back-end that streams a sample source (to a vest
// or to an audio device), and the two connection routines that run it. The
// streaming and audio-to-haptics back-ends each own one slot and differ only
// in their source and in what they do once a vest answers.
//
// The stream is replaced only under the handler mutex, read by copying its
// shared pointer under it, and never destroyed while the mutex is held (a
// stream's destructor takes it). Once the owner closes the slot, a stream
// swapped in afterwards is stopped at once, so a routine that was about to
// start ends promptly.
//
// Threads: ensureKind and the routines on the owner's worker thread; current,
// close and release from any thread (release only once the worker is joined).
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "streaming/IStream.h"
#include "vibrenza/vbz_types.h"

class IHandler;

namespace vbz {

inline constexpr int kStreamAudioKind = 0;
inline constexpr int kStreamHidKind = 1;

class StreamSlot {
public:
    // Makes a new stream of a kind (1 vest, 0 audio device).
    using Factory = std::function<std::shared_ptr<IStream>(int kind)>;
    // The production streams over (source, mutex, owner).
    static Factory defaultFactory(AbstractCore* source, std::mutex* mutex, IHandler* owner);

    // Starts with a vest stream.
    StreamSlot(std::mutex& mutex, Factory factory);

    std::shared_ptr<IStream> current();
    // Makes the current stream one of the wanted kind; the old one is
    // destroyed outside the mutex.
    void ensureKind(int kind);
    // For the owner's destructor: from now on every stream is stopped; the
    // current one at once.
    void close();
    // Drops the stream, outside the mutex.
    void release();

private:
    std::mutex& mutex_;
    Factory factory_;
    // Guarded by mutex_.
    std::shared_ptr<IStream> stream_;
    bool closing_ = false;
};

// The vest connection on the worker thread: connects the stream, then (after
// onConnected) reports "connected" with the vest's serial number, runs the
// stream until it ends, resets it and reports "disconnected" with the run's
// result; a failed connection reports "disconnected" with its code and the
// serial number asked for.
void runVestConnection(IHandler& owner, IStream& stream, vbz_output_t output, unsigned serialNumber,
                       const std::function<void()>& onConnected = {});
// The audio-device connection on the worker thread: opens the stream (a
// StreamAudio), runs it (it reports "connected" itself), resets it and
// reports "disconnected" with the result and serial number 0xFFFFFFFF.
void runAudioConnection(IHandler& owner, IStream& stream, vbz_audio_preset_t preset,
                        vbz_audio_settings_t settings);

}  // namespace vbz
