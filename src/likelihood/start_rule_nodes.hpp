// The nodes of a start rule (start_rule.hpp), as offsets from the range's centre.
#pragma once

#include <cmath>
#include <cstddef>

#include "likelihood/quadrature.hpp"

namespace ventrola::likelihood {

template <class Visit>
void for_each_start_offset(const StartRule& rule, double half, Visit&& visit) {
    if (rule.one_sided) {
        // In z = rate x + spread x^2, x the distance from the end in d, dx =
        // dz / sqrt(rate^2 + 4 spread z); the average is the integral over 2 half.
        const GaussLaguerreRule gl = gauss_laguerre(rule.nodes);
        const double log_share = -std::log(2 * half);
        for (std::size_t i = 0; i < gl.nodes.size(); ++i) {
            const double z = gl.nodes[i];
            const double root = std::sqrt(rule.rate * rule.rate + 4 * rule.spread * z);
            const double distance = 2 * z / (rule.rate + root);
            visit(rule.from_low_end ? distance - half : half - distance, log_share + gl.log_weights[i] - std::log(root));
        }
        return;
    }
    const GaussLegendreRule gl = gauss_legendre(rule.nodes);
    const double log_share = std::log(rule.span / (2.0 * half * rule.pieces));
    for (int piece = 0; piece < rule.pieces; ++piece) {
        for (std::size_t i = 0; i < gl.nodes.size(); ++i) {
            visit(rule.mid + rule.span * ((2 * piece + 1 - rule.pieces + gl.nodes[i]) / rule.pieces),
                  log_share + gl.log_weights[i]);
        }
    }
}

}  // namespace ventrola::likelihood
