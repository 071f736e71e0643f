"""Pictures of generalized fits: the bounds and drift drawn against the engine's own model (a path
without noise must leave where the engine's simulation says), plot_fit's curves from the model's
density, and the delta plot's numbers."""
import math

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("matplotlib")

import ventrola
from ventrola import DDM, model_functions

BASE = dict(drift_rate=1.0, boundary_separation=2.0, non_decision_time=0.3)
NOISELESS = [
    (DDM(bound="linear"), dict(collapse_time=1.5)),
    (DDM(bound="exponential"), dict(collapse_time=0.6)),
    (DDM(bound="hyperbolic"), dict(collapse_time=0.4)),
    (DDM(bound="weibull"), dict(collapse_time=0.5, collapse_shape=2.5, collapse_floor=0.3)),
    (DDM(drift="dmc"), dict(automatic_amplitude=0.4, automatic_time=0.05, automatic_shape=3.0)),
    (DDM(leak=True), dict(leak=0.5)),
    (DDM(bound=lambda t, k=2.0: 1.0 / (1.0 + k * t)), {}),
]


@pytest.mark.parametrize(("model", "own"), NOISELESS, ids=[repr(m) for m, _ in NOISELESS])
def test_bound_and_drift_agree_with_the_engine(model, own):
    params = {**BASE, **own, "noise_sd": 1e-6}
    _choices, rts, _ = model.simulate(1, 0, **params)
    engine_exit = float(rts[0]) - BASE["non_decision_time"]
    # The same noiseless path integrated finely in NumPy from the picture's functions.
    dt = 1e-5
    times = np.arange(0.0, 5.0, dt)
    drift = np.nan_to_num(model_functions.drift(model, times, params))
    leak = params.get("leak", 0.0)
    y = np.zeros_like(times)
    for k in range(1, len(times)):
        y[k] = y[k - 1] + (drift[k - 1] - leak * y[k - 1]) * dt
    crossed = np.flatnonzero(np.abs(y) >= model_functions.half_width(model, times, params))
    assert abs(times[crossed[0]] - engine_exit) < 2e-3, (times[crossed[0]], engine_exit)


def test_plot_model_draws_the_fit_s_bounds_and_drift():
    model = DDM(bound="exponential", drift="dmc")
    fit = {**BASE, "collapse_time": 0.7, "automatic_amplitude": -0.5, "automatic_time": 0.04,
           "automatic_shape": 2.0, "model": model}
    figure = ventrola.plot_model(fit, n_paths=4, seed=3)
    top, bottom = figure.axes
    upper = next(line for line in top.lines if line.get_gid() == "upper-bound")
    t, b = upper.get_data()
    np.testing.assert_allclose(b, 1.0 * np.exp(-t / 0.7))
    drift_line = next(line for line in bottom.lines if line.get_gid() == "drift")
    t, v = drift_line.get_data()
    assert v[0] == pytest.approx(1.0 - 0.5 * math.e / 0.04) and v[-1] == pytest.approx(1.0, abs=1e-3)
    assert sum(line.get_gid() == "path" for line in top.lines) == 4
    with pytest.raises(ValueError, match="collapse_time must be > 0"):
        ventrola.plot_model({**fit, "collapse_time": -1.0})
    with pytest.raises(TypeError, match="model must be a ventrola.DDM"):
        ventrola.plot_model(BASE, model="exponential")


def test_plot_fit_draws_a_generalized_fit_from_its_density():
    model = DDM(bound="hyperbolic")
    choices, rts, _ = model.simulate(800, 2, **BASE, collapse_time=0.5)
    fit = ventrola.fit_ml(choices, rts, model=model)
    figure = ventrola.plot_fit((choices, rts), fit)
    rt_ax, qp_ax = figure.axes[:2]
    line = next(line for line in rt_ax.lines if line.get_gid() == "predicted-upper")
    t, density = line.get_data()
    expected = (1 - fit["contamination"]) * model.pdf(True, t, **{k: fit[k] for k in model.parameter_names})
    lapses = fit["contamination"] * np.where(t <= rts.max(), 0.5 / rts.max(), 0.0)
    np.testing.assert_allclose(density, expected + lapses, rtol=1e-12)
    assert "collapse time" in figure._suptitle.get_text()
    # The predicted quantiles are where the model's distribution function reaches them.
    quantiles = np.array([l.get_ydata() for l in qp_ax.lines if l.get_gid() == "predicted-quantiles"])
    params = {k: fit[k] for k in model.parameter_names}
    share = model.cdf(True, np.inf, **params)
    reached = (1 - fit["contamination"]) * model.cdf(True, quantiles[:, -1], **params) + \
        fit["contamination"] * 0.5 * quantiles[:, -1] / rts.max()
    p_upper = (1 - fit["contamination"]) * share + fit["contamination"] * 0.5
    np.testing.assert_allclose(reached / p_upper, [0.1, 0.3, 0.5, 0.7, 0.9], atol=2e-3)


def test_save_fit_plots_reads_a_generalized_table(tmp_path):
    model = DDM(bound="linear")
    parts = [ventrola.simulate_frame(1.0, 2.0, 0.5, 0.3, 300, 5 + k, model=model, collapse_time=1.5).assign(block=k)
             for k in range(2)]
    trials = pd.concat(parts, ignore_index=True)
    fits = ventrola.fit_frame(trials, by="block", method="ml", model=model)
    figure = ventrola.save_fit_plots(trials, fits, tmp_path / "fits.png", rt="rt", choice="choice", by="block",
                                     model=model)
    assert (tmp_path / "fits.png").stat().st_size > 0
    assert not [t for ax in figure.axes for t in ax.texts if t.get_gid() == "note"]


def test_the_delta_plot_shows_quantile_differences_observed_and_predicted():
    model = DDM(drift="dmc")
    params = dict(drift_rate=1.5, boundary_separation=1.6, non_decision_time=0.3)
    parts = []
    for level, amplitude in (("congruent", 0.6), ("incongruent", -0.6)):
        choices, rts, _ = model.simulate(600, 3, automatic_amplitude=amplitude, **params)
        parts.append(pd.DataFrame({"choice": choices, "rt": rts, "congruency": level}))
    trials = pd.concat(parts, ignore_index=True)
    fits = {"congruent": {**params, "automatic_amplitude": 0.6}, "incongruent": {**params, "automatic_amplitude": -0.6}}
    figure = ventrola.plot_delta(trials, fits, factor="congruency", model=model)
    ax = figure.axes[0]
    observed = next(line for line in ax.lines if line.get_gid() == "observed-delta")
    correct = trials[trials["choice"]]
    q = {level: np.quantile(correct[correct["congruency"] == level]["rt"], [0.1, 0.3, 0.5, 0.7, 0.9])
         for level in ("congruent", "incongruent")}
    np.testing.assert_allclose(observed.get_ydata(), q["incongruent"] - q["congruent"])
    np.testing.assert_allclose(observed.get_xdata(), (q["incongruent"] + q["congruent"]) / 2)
    predicted = next(line for line in ax.lines if line.get_gid() == "predicted-delta").get_ydata()
    # An early activation slows the fast incongruent responses most: the effect shrinks over quantiles.
    assert predicted[0] > 0 and predicted[-1] < predicted[1]
    with pytest.raises(ValueError, match="two levels"):
        ventrola.plot_delta(trials.assign(congruency="one"), fits, factor="congruency", model=model)
    with pytest.raises(ValueError, match="no fit for level 'incongruent'"):
        ventrola.plot_delta(trials, {"congruent": fits["congruent"]}, factor="congruency", model=model)
