// The sample source over the rendering engine: one TessaronCore, whose
// buffers the streams read. The streaming back-end owns the TesCore (and
// makes the engine calls of its API operations on core()); its streams pull
// blocks through the AbstractCore operations, each a direct call of the
// engine.
//
// Threads: no lock of its own. Every call that can run beside a stream is
// made under the owning back-end's handler mutex.
#pragma once

#include <cstddef>
#include <memory>

#include "streaming/AbstractCore.h"
#include "tessaron-core/src/tsr/TessaronCore.h"

namespace vbz {

class TesCore final : public AbstractCore {
public:
    TesCore(std::shared_ptr<tsr::ILayout> layout, double sampleRate, std::size_t bufferSize)
        : core_(std::move(layout), sampleRate, bufferSize) {}

    // Actuators of the engine's layout.
    unsigned getChannelCount() override;
    unsigned getBufferSize() override;
    // 0 becomes 1, with the engine's warning.
    void setBufferSize(unsigned n) override;
    double getSampleRate() override;
    // Rates not above 0 are refused with the engine's warning.
    void setSampleRate(double hz) override;
    void render() override;
    double getSample(unsigned channel, unsigned index) override;
    // The engine always advances with time.
    bool isPlaying() override { return true; }

    tsr::TessaronCore& core() { return core_; }

private:
    tsr::TessaronCore core_;
};

}  // namespace vbz

using vbz::TesCore;
