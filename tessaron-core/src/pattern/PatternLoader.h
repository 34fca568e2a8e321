// Reading and validating a haptic pattern given as JSON text.
//
// loadPatternFromJson parses the text (no exceptions, no comments), checks it
// field by field, logs the first problem of each part through the engine log
// channel at error level, and returns a PatternEntry. The pattern table owns
// the entries; sequences build their object model from the stored tree.
//
// Threads: the functions keep no state of their own and may be called from
// any thread; messages go through tsr_log, whose callback runs on the caller's
// thread. Nothing here throws for bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <nlohmann/json.hpp>

namespace tsr {

// The loader's result and the pattern table's value.
struct PatternEntry {
    bool ok = false;
    // patternBoost / 100 when ok, else 0.
    double boost = 0.0;
    // The parsed document (patternBoost inserted when it was absent); a
    // discarded value when the text did not parse.
    nlohmann::json root = nlohmann::json(nlohmann::json::value_t::discarded);
    // Largest number of samples that play at the same time; 0 unless ok.
    uint64_t maxSimultaneousSamples = 0;

    bool isValid() const { return ok; }
};

// One required key of an object. type is a JSON value kind code:
// 0 null, 1 object, 2 array, 3 string, 4 boolean, 5 integer,
// 6 unsigned integer, 7 number (any numeric kind), 8 binary, 9 discarded.
// With kind 7, positive asks for a value of 0 or more.
struct FieldSpec {
    const char* fieldName;
    int type;
    bool positive;
};

// The word used for a kind in the field-type message.
const char* fieldTypeWord(int type, bool positive);

// Checks each spec in order and stops at the first failure, which (unless
// silent) is logged and clears result. True when every spec passes.
bool checkFieldSpecs(const nlohmann::json& value, std::span<const FieldSpec> specs, bool silent,
                     bool& result);

// True when value is an array of exactly count items (any count when count is
// 0) and every item is a number within [min, max]. Logs nothing.
bool checkNumberArray(const nlohmann::json& value, std::size_t count, double min, double max);

// Fills entry.maxSimultaneousSamples from the tracks array of a valid tree.
// Repetitions are not considered: a sample occupies
// [timestamp, timestamp + maxDuration), and a maxDuration of 0 lasts to the
// end of the pattern.
void countMaxSimultaneousSamples(PatternEntry& entry, const nlohmann::json& tracks);

// text ends at its first zero byte; a null text gives an invalid entry.
PatternEntry loadPatternFromJson(const char* text);

}  // namespace tsr
