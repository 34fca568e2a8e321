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
    const std::size_t count = sections_.size();
    for (U& sample : samples) {
        U x = sample;
        // The grouping of each sum is part of the result: outputs are
        // compared bit for bit across machines.
        for (std::size_t k = 0; k < count; ++k) {
            const BiquadSection<U>& c = sections_[k];
            State& s = state_[k];
            const U w = (x - c.a1 * s.w1) - c.a2 * s.w2;
            const U y = (c.b1 * s.w1 + c.b0 * w) + c.b2 * s.w2;
            s.w2 = s.w1;
            s.w1 = w;
            x = y;
        }
        sample = x;
    }
}

template class BiquadCascade<float>;
template class BiquadCascade<double>;
template SectionList<float> sectionListFromRows<float>(std::span<const std::vector<double>>);
template SectionList<double> sectionListFromRows<double>(std::span<const std::vector<double>>);

}  // namespace orv
