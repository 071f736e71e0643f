// A sum of positive terms known by their logarithms, together with the
// term-weighted means of K values attached to them. Everything is kept
// relative to the largest term so far, so terms far below the double range
// (densities of e^-1000) still add up to a finite logarithm.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace ventrola::likelihood {

template <std::size_t K>
class LogWeightedSum {
public:
    void add(double log_term, const std::array<double, K>& values) {
        if (log_term == -std::numeric_limits<double>::infinity()) return;
        if (log_term > largest_) rescale(log_term);
        const double term = std::exp(log_term - largest_);
        // A term that underflows adds nothing, and its values (which may be
        // infinite where the density vanishes) must not add either.
        if (term == 0) return;
        total_ += term;
        for (std::size_t k = 0; k < K; ++k) weighted_[k] += term * values[k];
    }

    // Adds factor * exp(log_scale), factor >= 0 and of moderate size, without
    // taking its logarithm.
    void add_split(double factor, double log_scale, const std::array<double, K>& values = {}) {
        if (factor == 0 || log_scale == -std::numeric_limits<double>::infinity()) return;
        if (log_scale > largest_) rescale(log_scale);
        const double term = factor * std::exp(log_scale - largest_);
        if (term == 0) return;
        total_ += term;
        for (std::size_t k = 0; k < K; ++k) weighted_[k] += term * values[k];
    }

    // -inf when nothing positive was added.
    double log_total() const {
        if (total_ == 0) return -std::numeric_limits<double>::infinity();
        return largest_ + std::log(total_);
    }

    // sum(term * values[k]) / sum(term).
    double mean(std::size_t k) const { return weighted_[k] / total_; }

private:
    // Everything so far relative to a new largest term. exp(-inf) = 0 drops
    // the empty start, and terms so far below the new one that they vanish
    // take their values with them (which may be infinite where the density
    // vanishes, and would leave NaN). A NaN term falls through to the sums
    // and poisons them, as it should.
    void rescale(double log_largest) {
        const double scale = std::exp(largest_ - log_largest);
        if (scale == 0) {
            total_ = 0;
            weighted_.fill(0);
        } else {
            total_ *= scale;
            for (std::size_t k = 0; k < K; ++k) weighted_[k] *= scale;
        }
        largest_ = log_largest;
    }

    double largest_ = -std::numeric_limits<double>::infinity();
    double total_ = 0;
    std::array<double, K> weighted_{};
};

}  // namespace ventrola::likelihood
