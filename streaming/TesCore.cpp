#include "streaming/TesCore.h"

namespace vbz {

unsigned TesCore::getChannelCount() { return core_.layout_actuator_count(); }

unsigned TesCore::getBufferSize() { return static_cast<unsigned>(core_.config_buffer_size_get()); }

void TesCore::setBufferSize(unsigned n) { core_.config_buffer_size_set(n); }

double TesCore::getSampleRate() { return core_.config_sample_rate_get(); }

void TesCore::setSampleRate(double hz) { core_.config_sample_rate_set(hz); }

void TesCore::render() { core_.render_buffer(); }

double TesCore::getSample(unsigned channel, unsigned index) {
    return core_.buffers_get()[channel][index];
}

}  // namespace vbz
