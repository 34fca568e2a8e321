// A cascade of second-order sections (direct form II) that filters blocks in
// place, used by the band detectors. Its sections are copied from one of the
// shared filter tables at construction; its state runs on from block to
// block until reset. Owned by one detector; no locking, no allocation after
// construction.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace orv {

// (b0 + b1 z^-1 + b2 z^-2) / (a0 + a1 z^-1 + a2 z^-2) with a0 = 1: the other
// coefficients are already divided by it, so the recursion never reads a0.
template <typename U>
struct BiquadSection {
    U b0;
    U b1;
    U b2;
    U a0;
    U a1;
    U a2;
};

template <typename U>
using SectionList = std::vector<BiquadSection<U>>;

// One section per row of six coefficients (b0, b1, b2, a0, a1, a2), each
// converted to U; the list ends at the first row that does not hold six.
template <typename U>
SectionList<U> sectionListFromRows(std::span<const std::vector<double>> rows);

template <typename U>
class BiquadCascade {
public:
    struct State {
        U w1;
        U w2;
    };

    explicit BiquadCascade(const SectionList<U>& sections);

    bool isEmpty() const { return sections_.empty(); }
    void reset();
    // Each sample goes through every section in order; an empty cascade
    // leaves the samples as they are.
    void process(std::span<U> samples);

    const SectionList<U>& sections() const { return sections_; }
    const std::vector<State>& state() const { return state_; }

private:
    SectionList<U> sections_;
    std::vector<State> state_;
};

extern template class BiquadCascade<float>;
extern template class BiquadCascade<double>;
extern template SectionList<float> sectionListFromRows<float>(std::span<const std::vector<double>>);
extern template SectionList<double> sectionListFromRows<double>(std::span<const std::vector<double>>);

}  // namespace orv
