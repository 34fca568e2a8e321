#include "sequencer/SampleRecord.h"

#include <bit>

#include "device/Frame.h"

namespace vbz::seq {

SampleRecord::SampleRecord() {
    header[kCommandId] = commandId(DeviceCommand::PlaySample);
    writeU16(&header[kSyncWord], vbz::kSyncWord);  // the offset shadows the word
}

float SampleRecord::f32(Offset at) const { return std::bit_cast<float>(readU32(&header[at])); }

void SampleRecord::setF32(Offset at, float value) { writeU32(&header[at], std::bit_cast<uint32_t>(value)); }

}  // namespace vbz::seq
