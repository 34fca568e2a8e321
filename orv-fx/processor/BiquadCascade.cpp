#include "orv-fx/processor/BiquadCascade.h"

namespace orv {

template <typename U>
SectionList<U> sectionListFromRows(std::span<const std::vector<double>> rows) {
    SectionList<U> list;
    for (const std::vector<double>& r : rows) {
        if (r.size() != 6) break;
        list.push_back({static_cast<U>(r[0]), static_cast<U>(r[1]), static_cast<U>(r[2]), static_cast<U>(r[3]),
                        static_cast<U>(r[4]), static_cast<U>(r[5])});
    }
    return list;
}

template <typename U>
BiquadCascade<U>::BiquadCascade(const SectionList<U>& sections)
    : sections_(sections), state_(sections.size(), State{U(0), U(0)}) {}

template <typename U>
void BiquadCascade<U>::reset() {
    for (State& s : state_) s = {U(0), U(0)};
}

template <typename U>
void BiquadCascade<U>::process(std::span<U> samples) {
    // Each section depends only on its own state and on the output of the
    // one before, so running the whole block through one section at a time
    // gives the same samples as running each sample through all sections,
    // while the state stays in registers instead of a store and reload per
    // sample.
    for (std::size_t k = 0; k < sections_.size(); ++k) {
        const BiquadSection<U> c = sections_[k];
        U w1 = state_[k].w1;
        U w2 = state_[k].w2;
        for (U& sample : samples) {
            // The grouping of each sum is part of the result: outputs are
            // compared bit for bit across machines.
            const U w = (sample - c.a1 * w1) - c.a2 * w2;
            sample = (c.b1 * w1 + c.b0 * w) + c.b2 * w2;
            w2 = w1;
            w1 = w;
        }
        state_[k] = {w1, w2};
    }
}

template class BiquadCascade<float>;
template class BiquadCascade<double>;
template SectionList<float> sectionListFromRows<float>(std::span<const std::vector<double>>);
template SectionList<double> sectionListFromRows<double>(std::span<const std::vector<double>>);

}  // namespace orv
