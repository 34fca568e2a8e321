// The sample source that streams pull from: a block of samples per channel
// (actuator), whose size and rate the stream sets before each render. The
// engine wrapper (TesCore) and the audio-to-haptics core implement it; the
// source lives inside the back-end that owns the stream.
//
// Threads: a source has no lock. The stream calls render() under its
// owner's handler mutex and reads the block with getSample() afterwards on
// the same thread; the block size and rate are changed only by that thread.
#pragma once

namespace vbz {

class AbstractCore {
public:
    virtual ~AbstractCore() = default;
    // Channels in a block (actuators).
    virtual unsigned getChannelCount() = 0;
    // Samples per channel in the current block.
    virtual unsigned getBufferSize() = 0;
    // Samples per channel of the next blocks.
    virtual void setBufferSize(unsigned n) = 0;
    virtual double getSampleRate() = 0;
    // Sample rate of the next blocks, in Hz.
    virtual void setSampleRate(double hz) = 0;
    // Computes the next block of every channel.
    virtual void render() = 0;
    // One sample of the current block, nominally in [-1, 1]. Callers stay
    // below getChannelCount() and getBufferSize(); nothing is checked.
    virtual double getSample(unsigned channel, unsigned index) = 0;
    // Whether the source advances with time; only such a source is
    // fast-forwarded over a gap in the vest's requests.
    virtual bool isPlaying() = 0;
};

}  // namespace vbz

using vbz::AbstractCore;
