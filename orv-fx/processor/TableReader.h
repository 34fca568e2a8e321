// Plays a waveform row at any speed into blocks at an output rate, with
// linear interpolation. Between calls it keeps its fractional position and,
// once a row has ended, the row's last sample read: a looping row (the
// rumble) goes on from its start without a seam, and a pulse played once ends
// in a short ramp to 0 (readTail) instead of a step. One reader belongs to one
// generator; no locking, no allocation.
#pragma once

#include "orv-fx/processor/WaveformTable.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace orv {

template <typename T>
class TableReader {
public:
    // Row samples per second. A rate that is not a finite positive number, or
    // that would make the step zero or infinite, changes nothing.
    void setTableRate(T rate);
    // Output samples per second; refused like a table rate.
    void setOutputRate(T rate);
    // Back to the row's start with nothing held; the rates stay.
    void reset();

    // Fills out from index n on, advancing n and the caller's row position.
    // true: out is full. false: the row has ended (position is then 0) or
    // the reader cannot advance; the caller then reads again from the start
    // (a loop) or plays the tail.
    bool read(const WaveformRow& row, uint64_t& position, std::span<T> out, std::size_t& n);
    // After a row has ended: the ramp from the held sample to 0, advancing n.
    // true: the ramp is complete and the reader reset; false: out filled first.
    bool readTail(std::span<T> out, std::size_t& n);
    // Reads the row again and again until out is full, as a looping row is
    // played. false only when reading cannot advance (an empty row, or a
    // step longer than the row): the rest of out is then left as it is.
    bool readLooping(const WaveformRow& row, uint64_t& position, std::span<T> out, std::size_t& n);

    T tableRate() const { return tableRate_; }
    T outputRate() const { return outputRate_; }
    T step() const { return step_; }
    T x() const { return x_; }
    T held() const { return held_; }
    bool hasHeld() const { return hasHeld_; }
    T threshold() const { return threshold_; }

private:
    bool setRates(T tableRate, T outputRate);
    bool endRow(const WaveformRow& row, uint64_t& position, uint64_t index);

    T tableRate_ = 1;
    T outputRate_ = 1;
    T step_ = 1;
    T x_ = 0;
    T held_ = 0;
    bool hasHeld_ = false;
    T threshold_ = T(1) / T(200);
};

extern template class TableReader<float>;
extern template class TableReader<double>;

}  // namespace orv
