// The decision-time level of the likelihood: one boundary's first-passage
// time density and distribution function for noise 1, with drift variability
// integrated in closed form. The one-trial functions of wiener.hpp scale by
// the noise, shift by the non-decision time and average over the start and
// non-decision-time ranges on top of these.
#pragma once

namespace ventrola::likelihood {

// Parameters in units of noise 1: v/s, a/s, w, sv/s.
struct DecisionParameters {
    double v;
    double a;
    double w;
    double sv;
};

// log f(t) for the response at the upper (true) or lower boundary, t > 0 the
// decision time. -inf for t <= 0; finite wherever the true value is, even
// where f itself underflows a double.
double decision_log_density(bool upper, double t, const DecisionParameters& p);

// f(t) = factor * exp(exponent), factor positive and of moderate size (or 0
// where f is), for sums of many densities that would otherwise take the
// logarithm of each only to exponentiate it again.
struct SplitDensity {
    double factor;
    double exponent;
};
SplitDensity decision_split_density(bool upper, double t, const DecisionParameters& p);

struct DecisionLogDensityGradient {
    double log_density;
    double d_v;   // d log f / d v
    double d_a;   // d log f / d a
    double d_w;   // d log f / d w
    double d_sv;  // d log f / d sv
    double d_t;   // d log f / d t
};

// The log-density and its partial derivatives in one pass sharing the series.
DecisionLogDensityGradient decision_log_density_gradient(bool upper, double t, const DecisionParameters& p);

// F(t) = P(response at that boundary and decision time <= t); 0 for t <= 0,
// the boundary's probability for t = +inf.
double decision_distribution(bool upper, double t, const DecisionParameters& p);

// The probability of reaching that boundary at all (drift variability included).
double boundary_probability(bool upper, const DecisionParameters& p);

}  // namespace ventrola::likelihood
