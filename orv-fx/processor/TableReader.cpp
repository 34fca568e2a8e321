#include "orv-fx/processor/TableReader.h"

#include <algorithm>
#include <cmath>

namespace orv {

template <typename T>
bool TableReader<T>::setRates(T tableRate, T outputRate) {
    if (!(tableRate > T(0)) || !(outputRate > T(0)) || !std::isfinite(tableRate) || !std::isfinite(outputRate)) {
        return false;
    }
    const T step = tableRate / outputRate;
    if (!(step > T(0)) || !std::isfinite(step)) return false;
    tableRate_ = tableRate;
    outputRate_ = outputRate;
    step_ = step;
    threshold_ = std::min(step / T(200), T(0.5));
    return true;
}

template <typename T>
void TableReader<T>::setTableRate(T rate) {
    setRates(rate, outputRate_);
}

template <typename T>
void TableReader<T>::setOutputRate(T rate) {
    setRates(tableRate_, rate);
}

template <typename T>
void TableReader<T>::reset() {
    x_ = 0;
    held_ = 0;
    hasHeld_ = false;
}

template <typename T>
bool TableReader<T>::endRow(const WaveformRow& row, uint64_t& position, uint64_t index) {
    const uint64_t remaining = row.length - position;
    if (index < remaining) {
        held_ = static_cast<T>(row.samples[position + index]);
        hasHeld_ = true;
    } else {
        hasHeld_ = false;
    }
    // Relative to the row's start for the next pass: at least -1, because a
    // position past index 0 comes with x below 1.
    x_ = x_ - static_cast<T>(remaining);
    position = 0;
    return false;
}

template <typename T>
bool TableReader<T>::read(const WaveformRow& row, uint64_t& position, std::span<T> out, std::size_t& n) {
    const uint64_t length = row.length;
    if (position >= length) {
        position = 0;
        return false;
    }
    const uint64_t remaining = length - position;
    while (n < out.size()) {
        T left;
        T right;
        T weight;
        if (x_ >= -threshold_) {
            // A position within rounding before the row's start reads as its
            // start: the stretch from the held sample is already behind.
            uint64_t i = 0;
            if (x_ >= static_cast<T>(remaining)) {
                i = remaining;  // far past the end; no integer conversion of it
            } else if (x_ >= T(1)) {
                i = static_cast<uint64_t>(x_);
            }
            if (i >= remaining - 1) return endRow(row, position, i);
            left = static_cast<T>(row.samples[position + i]);
            right = static_cast<T>(row.samples[position + i + 1]);
            weight = x_ < T(0) ? T(0) : x_ - std::floor(x_);
        } else if (x_ < T(-1)) {
            return false;
        } else {
            // Between the previous pass's last sample (at -1) and row[0].
            left = hasHeld_ ? held_ : T(0);
            right = static_cast<T>(row.samples[position]);
            weight = x_ - std::floor(x_);
        }
        out[n] = left + weight * (right - left);
        ++n;
        x_ += step_;
    }
    if (x_ > T(0)) {
        const T whole = std::floor(x_);
        x_ -= whole;
        position = whole >= static_cast<T>(remaining) ? length : position + static_cast<uint64_t>(whole);
    }
    return true;
}

template <typename T>
bool TableReader<T>::readTail(std::span<T> out, std::size_t& n) {
    if (!hasHeld_) {
        reset();
        return true;
    }
    // The ramp reads a one-sample row of value 0 in place of the next pass.
    while (n < out.size()) {
        if (x_ >= -threshold_ || x_ < T(-1)) {
            reset();
            return true;
        }
        out[n] = held_ + (x_ - std::floor(x_)) * (T(0) - held_);
        ++n;
        x_ += step_;
    }
    if (x_ > T(0)) x_ -= std::floor(x_);
    return false;
}

template <typename T>
bool TableReader<T>::readLooping(const WaveformRow& row, uint64_t& position, std::span<T> out, std::size_t& n) {
    // A pass that ends the row may write nothing (its position was at the
    // end); two such passes in a row mean the reader cannot advance.
    int idlePasses = 0;
    while (n < out.size()) {
        const std::size_t before = n;
        if (read(row, position, out, n)) return true;
        idlePasses = n == before ? idlePasses + 1 : 0;
        if (idlePasses >= 2) return false;
    }
    return true;
}

template class TableReader<float>;
template class TableReader<double>;

}  // namespace orv
