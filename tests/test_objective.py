"""The simulation objective: its seed, its validity test and its cost."""
import math
import struct

import pytest

import _ventrola
import _ventrola_testing as testing

PENALTY = 1e9
MASK = (1 << 64) - 1
NO_TARGET = "target data has no usable trials, or fewer than two upper-boundary trials"

# Observed data of the worked example: accuracy 0.75, mean 0.5, variance 0.25.
CHOICES = [True, True, True, False]
RTS = [0.0, 0.5, 1.0, 0.8]


def word(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def reference_seed(accuracy, mean_rt, var_rt, n_valid, n_upper):
    h = ((word(accuracy) ^ 0x9E3779B97F4A7C15) * 0xFF51AFD7ED558CCD) & MASK
    for w in (word(mean_rt), word(var_rt), n_valid, n_upper):
        h = ((h ^ (h >> 33) ^ w) * 0xFF51AFD7ED558CCD) & MASK
    return ((h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53) & MASK


def simulated_summary(x, seed):
    """Summary of the trials the objective simulates for x, made through the public simulate."""
    choices, rts, _ = _ventrola.simulate(x[0], x[1], 0.5, x[2], 5000, seed)
    return testing.compute_summary(choices.tolist(), rts.tolist())


def reference_cost(simulated, target):
    ea = (simulated[0] - target[0]) / target[0]
    em = (simulated[1] - target[1]) / target[1]
    ev = (simulated[2] - target[2]) / target[2]
    return (ev * ev) * 0.5 + ((em * em) + (ea * ea))


class TestSeed:
    def test_worked_example(self):
        assert testing.summary_seed(0.75, 0.5, 0.25, 4, 3) == 0x90B399DC42A3CFC9
        assert testing.sim_objective(CHOICES, RTS) == ((0.75, 0.5, 0.25, 4, 3), 5000, 0x90B399DC42A3CFC9)
        assert reference_seed(0.75, 0.5, 0.25, 4, 3) == 0x90B399DC42A3CFC9

    @pytest.mark.parametrize(
        "summary",
        [
            (0.6, 0.41, 0.013, 10, 6),
            (1.0, -0.0, 0.0, 2**64 - 1, 2**63),
            (0.5, math.nan, math.inf, 5000, 2500),
            (0.75, 0.5, 0.25, 3, 4),
        ],
    )
    def test_fields_enter_as_bit_patterns_and_64_bit_counts(self, summary):
        assert testing.summary_seed(*summary) == reference_seed(*summary)

    def test_objective_seed_is_the_seed_of_its_target(self):
        choices = [True, False, True, True, False, True]
        rts = [0.41, 0.9, 0.37, 0.52, 0.66, 0.48]
        target, n_sim, seed = testing.sim_objective(choices, rts)
        assert target == testing.compute_summary(choices, rts)
        assert (n_sim, seed) == (5000, testing.summary_seed(*target))

    def test_bit_identical_summaries_share_seed_and_costs(self):
        reordered = ([False, True, True, True], [7.5, 0.0, 0.5, 1.0])
        assert testing.sim_objective(*reordered) == testing.sim_objective(CHOICES, RTS)
        x = [1.2, 0.9, 0.25]
        assert testing.objective_cost(*reordered, x) == testing.objective_cost(CHOICES, RTS, x)


class TestValidity:
    @pytest.mark.parametrize(
        "x",
        [
            [1.0, 1e-6, 0.3],
            [1.0, 1.0, -0.5],
            [1.0, 1.0, -5e-324],
            [1.0, 0.0, 0.3],
            [1.0, -1.0, 0.3],
            [math.nan, 1.0, 0.3],
            [1.0, math.nan, 0.3],
            [1.0, 1.0, math.nan],
            [1.0, math.inf, 0.3],
            [-math.inf, 1.0, 0.3],
            [1.0, 1.0, math.inf],
        ],
    )
    def test_invalid_vectors_cost_the_penalty(self, x):
        assert testing.objective_cost(CHOICES, RTS, x) == PENALTY

    def test_boundaries_just_above_the_minimum_and_negative_zero_times_are_simulated(self):
        just_above = testing.objective_cost(CHOICES, RTS, [1.0, math.nextafter(1e-6, 1.0), 0.3])
        assert just_above != PENALTY and math.isfinite(just_above)
        negative_zero = testing.objective_cost(CHOICES, RTS, [1.0, 1.0, -0.0])
        assert negative_zero != PENALTY
        assert negative_zero == testing.objective_cost(CHOICES, RTS, [1.0, 1.0, 0.0])

    def test_simulations_without_a_summary_cost_the_penalty(self):
        # Almost no trial reaches the upper boundary against this drift.
        assert testing.objective_cost(CHOICES, RTS, [-50.0, 1.0, 0.3]) == PENALTY
        # Every trial reaches the time cap between these boundaries.
        assert testing.objective_cost(CHOICES, RTS, [0.0, 1000.0, 0.3]) == PENALTY

    @pytest.mark.parametrize(
        ("choices", "rts"),
        [([], []), ([False, False, False], [0.5, 0.6, 0.7]), ([True, False, False], [0.5, 0.6, 0.7])],
    )
    def test_data_without_a_summary_have_no_objective(self, choices, rts):
        for call in (lambda: testing.sim_objective(choices, rts), lambda: testing.objective_cost(choices, rts, [1.0, 1.0, 0.3])):
            with pytest.raises(ValueError) as caught:
                call()
            assert type(caught.value).__name__ == "VentrolaError"
            assert caught.value.args == (NO_TARGET,)


class TestCost:
    def test_same_vector_same_cost(self):
        x = [0.8, 1.3, 0.2]
        first = testing.objective_cost(CHOICES, RTS, x)
        assert struct.pack("<d", first) == struct.pack("<d", testing.objective_cost(CHOICES, RTS, x))

    def test_only_the_first_three_elements_are_read(self):
        x = [0.8, 1.3, 0.2]
        assert testing.objective_cost(CHOICES, RTS, x + [math.nan]) == testing.objective_cost(CHOICES, RTS, x)

    def test_zero_when_the_simulated_statistics_equal_the_target(self):
        x, seed = (1.1, 1.2, 0.3), 424242
        target = simulated_summary(x, seed)
        assert testing.objective_cost_for(target, seed, list(x)) == 0.0
        assert testing.objective_cost_for(target, seed + 1, list(x)) > 0.0

    @pytest.mark.parametrize(
        "target",
        [(0.53, 0.46, 0.158, 100, 53), (1.0, 1.11, 0.063, 7, 7), (0.65, 0.92, 0.199, 20, 13)],
    )
    def test_weights_and_grouping_to_the_bit(self, target):
        x, seed = (0.9, 1.4, 0.25), 99
        simulated = simulated_summary(x, seed)
        expected = reference_cost(simulated, target)
        # These targets are chosen so that summing the terms in another order
        # changes the last bits.
        ea, em, ev = ((s - t) / t for s, t in zip(simulated[:3], target[:3]))
        assert expected != ((ev * ev) * 0.5 + em * em) + ea * ea
        assert expected != ((ev * ev) * 0.5 + ea * ea) + em * em
        assert struct.pack("<d", testing.objective_cost_for(target, seed, list(x))) == struct.pack("<d", expected)

    def test_the_objective_of_observed_data_simulates_with_their_seed(self):
        x = [0.9, 1.4, 0.25]
        target, _, seed = testing.sim_objective(CHOICES, RTS)
        expected = reference_cost(simulated_summary(x, seed), target)
        assert testing.objective_cost(CHOICES, RTS, x) == expected

    def test_degenerate_targets_give_non_finite_costs(self):
        x = [1.0, 1.0, 0.3]
        # Equal upper-boundary times: target variance 0.
        assert testing.objective_cost([True, True, False], [0.5, 0.5, 0.9], x) == math.inf
        # Upper-boundary times summing to zero: target mean 0.
        assert testing.objective_cost([True, True, False], [-0.5, 0.5, 0.9], x) == math.inf
        # A NaN upper-boundary time: target mean and variance NaN.
        assert math.isnan(testing.objective_cost([True, True, False], [math.nan, 0.5, 0.9], x))
        # Invalid vectors still cost the penalty.
        assert testing.objective_cost([True, True, False], [0.5, 0.5, 0.9], [1.0, 0.0, 0.3]) == PENALTY
