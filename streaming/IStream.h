// The output side of the streaming back-ends: takes the signal of a sample
// source to a destination (a vest, an audio device) and owns the link to it.
// A back-end makes its stream with (source, handler mutex, itself), shares it
// through a std::shared_ptr, and replaces it when a connection needs the
// other kind. For one connection the back-end calls connect, then run (which
// blocks for the whole connection), then reset.
//
// Threads: scanDevices, connect, run and reset are called on the back-end's
// worker thread; stop and the getters from any thread, also while run
// executes. A stream never holds the handler mutex while it waits for its
// device, and its destructor takes that mutex: never destroy a stream with
// the handler mutex held.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "streaming/AbstractCore.h"
#include "vibrenza/vbz_types.h"

class IHandler;

namespace vbz {

class IStream {
public:
    // source and mutex outlive the stream; owner may be null in tests.
    IStream(AbstractCore* source, std::mutex* mutex, IHandler* owner)
        : owner(owner), source(source), mutex(mutex) {}
    virtual ~IStream() = default;
    IStream(const IStream&) = delete;
    IStream& operator=(const IStream&) = delete;

    // 1 for a vest stream, 0 for an audio-device stream.
    virtual int kind() = 0;
    virtual int scanDevices(vbz_output_t output) = 0;
    // First record of the last scan (owned by the stream), null when none.
    virtual vbz_device_info_t* getFirstScannedDevice() = 0;
    virtual int connect(vbz_output_t output, unsigned serialNumber) = 0;
    // Asks a running run() to end; any thread.
    virtual int stop() = 0;
    // Blocks until the stream ends; 0 or a negative code.
    virtual int run() = 0;
    virtual unsigned getVibrenzaSerialNumber() = 0;
    virtual std::string getVibrenzaVersion() = 0;
    virtual int getVibrenzaType() = 0;
    // Clears the per-run state after run() returned.
    virtual int reset() = 0;

protected:
    uint8_t opened = 0;  // an open audio stream (audio-device stream only)
    IHandler* owner;
    AbstractCore* source;
    std::mutex* mutex;
};

}  // namespace vbz

using vbz::IStream;
