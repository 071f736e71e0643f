"""A NUTS step whose mass matrix adapts from the first tuning draws (diagonal, then dense), and
the jittered starting points that go with it.

``pm.sample``'s default keeps the identity mass matrix for the first hundred tuning draws. A
drift-diffusion model's parameters differ in posterior scale by orders of magnitude (a
non-decision time pinned to milliseconds by the fastest responses, a drift rate known to a
tenth), so that with the identity the step size shrinks to the narrowest scale and every draw of
that first window runs a tree of hundreds of steps: with the seven-parameter model, half of a
short run's gradients went there.

Here the first guess of each variance is 1 / |d log p / dx| at the starting points (at most 1):
a start some way from the posterior's centre sees a steep gradient where the posterior is
narrow. From the tenth draw on the estimate is the draws' own variance, updated as they come;
the guess weighs almost nothing then, because its centre, the starting point, is where the
chain walked in from, and its spread would hide a narrow scale. From the 150th tuning draw the
estimate is a dense matrix (``ventrola.bayes.dense_metric``), where the model has at most 200
parameters and estimates an across-trial variability (or where asked): the variabilities of
the full model are correlated with each other and with the group's non-decision time, and with
the dense matrix its hierarchical example takes 15 to 16 leapfrog steps per draw instead of 17
to 28, and 20,000 to 26,000 in tuning per chain instead of 25,000 to 34,000.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional

import numpy as np
import pymc as pm
from pymc.blocking import DictToArrayBijection
from pymc.step_methods.hmc.quadpotential import QuadPotentialDiagAdapt

from ventrola.bayes.dense_metric import DiagonalThenDense

# Draws left out of the first estimate: the chain's walk in from its start.
DISCARDED_DRAWS = 10
# The window of draws each later diagonal estimate comes from, as pm.sample's default.
ADAPTATION_WINDOW = 101
# The dense estimate: from this tuning draw on, in windows doubling from DENSE_WINDOW draws, for
# models of at most DENSE_LIMIT parameters (beyond, its cost per draw and the draws it needs grow
# as the square of their number).
DENSE_AFTER = 150
DENSE_WINDOW = 50
DENSE_LIMIT = 200
# NUTS's target acceptance with the dense matrix, unless the caller chooses one: its longer steps
# met a divergence or two in 2,000 draws of the full model's example at PyMC's 0.8, none at 0.85
# (about 8 % more leapfrog steps).
DENSE_TARGET_ACCEPT = 0.85
# The across-trial variabilities: a model that estimates one of them gets the dense matrix by
# default. Without them (the regression example's random intercepts and slopes) the dense matrix
# took 17 to 20 steps per draw instead of 31 but gave a lower bulk ESS (303 to 360 against 443 to
# 498 over three seeds) and R-hat up to 1.016: no gain per second, a worse R-hat.
VARIABILITIES = ("drift_rate_sd", "starting_point_range", "non_decision_time_range")
# Weight of the gradient's guess once draws come, in draws (it must not be 0).
INITIAL_WEIGHT = 1e-6
SMALLEST_VARIANCE = 1e-10
JITTER_TRIES = 10
NUTS_OPTIONS = ("target_accept", "max_treedepth", "early_max_treedepth", "step_scale")


def chain_generators(random_seed: Any, chains: int) -> list[np.random.Generator]:
    """One generator per chain for the starting points, from ``pm.sample``'s ``random_seed``:
    None, an int, a NumPy generator (or legacy ``RandomState``), or one of these per chain."""
    if isinstance(random_seed, Sequence) and not isinstance(random_seed, (str, bytes)):
        if len(random_seed) != chains:
            raise ValueError(f"random_seed has {len(random_seed)} values for {chains} chains")
        return [np.random.default_rng(seed) for seed in random_seed]
    if isinstance(random_seed, np.random.RandomState):
        random_seed = int(random_seed.randint(2**31))
    parent = np.random.default_rng(random_seed)
    return [np.random.default_rng(int(seed)) for seed in parent.integers(0, 2**63, size=chains)]


def jittered_starts(model: pm.Model, chains: int, random_seed: Any) -> list[dict[str, np.ndarray]]:
    """The model's initial point plus uniform jitter in [-1, 1] on every unconstrained value,
    per chain, drawn again (up to ten times) where the log-probability is not finite, as
    ``pm.sample``'s ``jitter+adapt_diag`` does."""
    initial = model.initial_point()
    log_probability = model.compile_logp()
    starts = []
    for rng in chain_generators(random_seed, chains):
        for _ in range(JITTER_TRIES + 1):
            point = {name: value + rng.uniform(-1.0, 1.0, np.shape(value)) for name, value in initial.items()}
            if np.isfinite(log_probability(point)):
                break
        else:
            raise ValueError("no finite log-probability near the model's initial point after "
                             f"{JITTER_TRIES + 1} jittered tries: check the data against the priors")
        starts.append(point)
    return starts


def constrained(model: pm.Model, points: list[dict[str, np.ndarray]]) -> list[dict[str, np.ndarray]]:
    """Points on the free variables' own scales, as ``pm.sample``'s ``initvals`` take them."""
    names = {rv.name for rv in model.free_RVs}
    outputs = [v for v in model.unobserved_value_vars if v.name in names]
    values_of = model.compile_fn(outputs, inputs=model.value_vars, on_unused_input="ignore", point_fn=False)
    return [dict(zip((v.name for v in outputs), values_of(*(p[v.name] for v in model.value_vars))))
            for p in points]


def estimates_variabilities(model: pm.Model) -> bool:
    """Whether the model has a free across-trial variability (one for all participants or per
    level), whose posteriors are the correlated ones."""
    return any(rv.name == name or rv.name.startswith(name + "_")
               for rv in model.free_RVs for name in VARIABILITIES)


def early_adapting_nuts(
    model: pm.Model, starts: list[dict[str, np.ndarray]], options: dict[str, Any], dense: Optional[bool] = None
) -> pm.NUTS:
    """NUTS over all of the model's free variables with the early-adapting mass matrix (diagonal,
    then dense where ``dense`` says so, by default where the model estimates a variability; never
    beyond DENSE_LIMIT parameters), its first guess from the gradient at the chains' starting
    points (1 where that is not a number)."""
    raveled = [DictToArrayBijection.map({v.name: s[v.name] for v in model.value_vars}).data for s in starts]
    mean = np.mean(raveled, axis=0)
    n = len(mean)
    gradient = model.compile_dlogp()
    steepness = np.mean([np.abs(gradient(start)) for start in starts], axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        guess = np.clip(1.0 / steepness, SMALLEST_VARIANCE, 1.0)
    variance = np.where(np.isnan(guess), 1.0, guess)
    potential: Any
    if n <= DENSE_LIMIT and (estimates_variabilities(model) if dense is None else dense):
        potential = DiagonalThenDense(n, mean, variance, discard=DISCARDED_DRAWS, dense_after=DENSE_AFTER,
                                      adaptation_window=DENSE_WINDOW, initial_weight=INITIAL_WEIGHT)
        options = {"target_accept": DENSE_TARGET_ACCEPT, **options}
    else:
        potential = QuadPotentialDiagAdapt(n, mean, variance, INITIAL_WEIGHT, adaptation_window=ADAPTATION_WINDOW,
                                           discard_window=DISCARDED_DRAWS, early_update=True)
    with model:
        return pm.NUTS(potential=potential, **options)


def adapting_step(model: pm.Model, chains: Optional[int], random_seed: Any, kwargs: dict[str, Any],
                  dense: Optional[bool] = None) -> Optional[tuple[pm.NUTS, list[dict[str, np.ndarray]]]]:
    """The step and the starting points (``initvals``) for ``pm.sample``, taking NUTS's options
    (by name, or in ``pm.sample``'s ``nuts`` dictionary) out of ``kwargs``. None where the caller
    chose a step, an initialisation or starting points, where a free variable is discrete (NUTS
    cannot take it), or where ``chains`` is left to ``pm.sample`` (None)."""
    if (chains is None or any(key in kwargs for key in ("step", "init", "initvals"))
            or model.discrete_value_vars):
        return None
    options = {**kwargs.pop("nuts", {}), **{key: kwargs.pop(key) for key in NUTS_OPTIONS if key in kwargs}}
    starts = jittered_starts(model, chains, random_seed)
    return early_adapting_nuts(model, starts, options, dense), constrained(model, starts)
