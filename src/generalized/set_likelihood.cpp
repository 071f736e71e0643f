#include "generalized/set_likelihood.hpp"

namespace ventrola::generalized {

std::vector<std::size_t> differentiated_parameters(const ModelShape& shape, const GeneralParameters& p,
                                                   const std::array<bool, GENERAL_PARAMETER_COUNT>& wanted) {
    std::vector<std::size_t> slots{V, A, W};
    // At a range or deviation of 0 the density is even in it: no derivative to carry.
    if (p.starting_point_range > 0.0) slots.push_back(SZ);
    if (p.drift_rate_sd > 0.0) slots.push_back(SV);
    switch (shape.bound) {
        case BoundFamily::Linear:
        case BoundFamily::Exponential:
        case BoundFamily::Hyperbolic: slots.push_back(COLLAPSE_TIME); break;
        case BoundFamily::Weibull:
            slots.push_back(COLLAPSE_TIME);
            slots.push_back(COLLAPSE_SHAPE);
            slots.push_back(COLLAPSE_FLOOR);
            break;
        case BoundFamily::Constant:
        case BoundFamily::Tabulated: break;
    }
    if (shape.drift == DriftFamily::Dmc) {
        slots.push_back(AMPLITUDE);
        slots.push_back(AUTOMATIC_TIME);
        slots.push_back(AUTOMATIC_SHAPE);
    }
    if (shape.leak) slots.push_back(LEAK);
    // The noise's partial comes from the scaling relation, out of these four.
    const auto needed = [&](std::size_t index) {
        return wanted[index] || (wanted[S] && (index == V || index == A || index == SV || index == AMPLITUDE));
    };
    std::erase_if(slots, [&](std::size_t index) { return !needed(index); });
    return slots;
}

}  // namespace ventrola::generalized
