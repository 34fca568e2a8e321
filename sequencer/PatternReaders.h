// Readers of the legacy pattern model: fill sample records from the JSON tree
// that the engine's loader has validated. Number conversions saturate (NaN
// gives 0); a value of the wrong JSON type throws the library's type error.
#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "sequencer/IVicinity.h"
#include "sequencer/SampleRecord.h"

namespace vbz::seq {

// Saturating conversions of JSON numbers (booleans read as 0 or 1).
float jsonToF32(const nlohmann::json& value);
int jsonToInt(const nlohmann::json& value);
uint64_t jsonToU64(const nlohmann::json& value);
uint8_t jsonToU8(const nlohmann::json& value);

// Fills one record from a sample object; 0, or -5 with an error line under
// "Pattern" for a signal index or a keyframe count the vest cannot take.
int readSample(SampleRecord& record, const nlohmann::json& sample, uint8_t trackVolume);

// Merge the spatial keyframes with the volume keyframes into the record's
// keyframes, gains and (vicinity reader) vicinity lists; byte 7 = their count.
void readWeightKeyframes(SampleRecord& record, const nlohmann::json& spatKeyframes,
                         const nlohmann::json& volumeKeyframes);
void readVicinityKeyframes(SampleRecord& record, const nlohmann::json& spatKeyframes,
                           const nlohmann::json& volumeKeyframes);

// A sphere (kind 0) whose distribution gain is the vicinity's "amplitude".
std::shared_ptr<IVicinity> readVicinity(const nlohmann::json& vicinity);

// Multiplies the amplitude (gain of distribution 0) of every vicinity by g.
void scaleVicinityAmplitudes(const VicinityList& list, float g);

}  // namespace vbz::seq
