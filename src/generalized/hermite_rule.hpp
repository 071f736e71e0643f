// Gauss-Hermite rules of any size, for averages over a normally distributed
// drift offset: int e^(-x^2) h(x) dx = sum w_k h(x_k). Built once per size
// and kept for the life of the process.
#pragma once

#include <cstddef>
#include <vector>

namespace ventrola::generalized {

struct HermiteRule {
    std::vector<double> nodes;    // ascending
    std::vector<double> weights;  // sum to sqrt(pi)
};

const HermiteRule& hermite_rule(std::size_t size);

// Nodes enough for E[h(v + sv X)], X standard normal, when h is a choice
// probability or a density: these change over drift distances of about
// 1 / separation, so the rule grows with the offset's spread over that scale.
std::size_t hermite_size(double spread_over_scale);

}  // namespace ventrola::generalized
