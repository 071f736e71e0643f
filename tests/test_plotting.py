"""Pictures of a fit: what the figures hold, the inputs they accept, and the optional matplotlib."""

import struct
import textwrap

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pandas as pd
import pytest

import ventrola
from ventrola import plotting
from ventrola.plotting import MAX_PANELS, QUANTILES, plot_fit, save_fit_plots

PARAMETERS = ("drift_rate", "boundary_separation", "starting_point", "non_decision_time", "noise_sd")


@pytest.fixture(scope="module")
def trials():
    choices, rts, _ = ventrola.simulate(1.0, 1.5, 0.5, 0.3, 3000, 11)
    return choices, rts


@pytest.fixture(scope="module")
def fitted(trials):
    return ventrola.fit_ez(*trials)


def artists(ax, kind, gid):
    found = ax.patches if kind == "patch" else ax.lines
    return [a for a in found if a.get_gid() == gid]


def histogram(ax, gid):
    """The bin heights and edges of one boundary's observed histogram."""
    (patch,) = artists(ax, "patch", gid)
    data = patch.get_data()
    return np.asarray(data.values), np.asarray(data.edges)


def bar_heights(ax, gid):
    return histogram(ax, gid)[0]


def bar_area(ax, gid):
    heights, edges = histogram(ax, gid)
    return float(np.sum(heights * np.diff(edges)))


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


class TestPlotFit:
    def test_distributions_mirror_the_lower_boundary_and_scale_by_share(self, trials, fitted):
        choices, rts = trials
        fig = plot_fit((choices, rts), fitted)
        rt_ax, qp_ax = fig.axes
        upper, lower = bar_heights(rt_ax, "observed-upper"), bar_heights(rt_ax, "observed-lower")
        assert len(upper) == len(lower) > 0
        assert (upper >= 0).all() and upper.max() > 0
        assert (lower <= 0).all() and lower.min() < 0
        # Areas are shares of all trials: together nearly 1 (the slowest 0.5 % lie past the
        # last bin), split between the boundaries as the choices are.
        up_area, low_area = bar_area(rt_ax, "observed-upper"), -bar_area(rt_ax, "observed-lower")
        assert 0.98 <= up_area + low_area <= 1.0 + 1e-9
        assert up_area / (up_area + low_area) == pytest.approx(choices.mean(), abs=0.01)

        (pred_upper,) = artists(rt_ax, "line", "predicted-upper")
        (pred_lower,) = artists(rt_ax, "line", "predicted-lower")
        assert (pred_upper.get_ydata() >= 0).all() and pred_upper.get_ydata().max() > 0
        assert (pred_lower.get_ydata() <= 0).all() and pred_lower.get_ydata().min() < 0
        assert "(s)" in rt_ax.get_xlabel()
        legend = [t.get_text() for t in rt_ax.get_legend().get_texts()]
        assert any("observed" in t for t in legend) and any("predicted" in t for t in legend)

    def test_quantile_probability_markers_sit_at_the_observed_proportions(self, trials, fitted):
        choices, rts = trials
        _, qp_ax = plot_fit((choices, rts), fitted).axes
        for gid, chosen, share in (
            ("observed-quantiles-upper", choices, choices.mean()),
            ("observed-quantiles-lower", ~choices, 1 - choices.mean()),
        ):
            (markers,) = artists(qp_ax, "line", gid)
            np.testing.assert_allclose(markers.get_xdata(), share)
            np.testing.assert_allclose(markers.get_ydata(), np.quantile(rts[chosen], QUANTILES))
        predicted = artists(qp_ax, "line", "predicted-quantiles")
        assert len(predicted) == len(QUANTILES)
        # EZ reproduces the accuracy, so the prediction lands on the observed proportions.
        for line in predicted:
            shares = sorted(line.get_xdata())
            np.testing.assert_allclose(shares, [1 - choices.mean(), choices.mean()], atol=0.015)
        assert "(s)" in qp_ax.get_ylabel()
        assert "proportion" in qp_ax.get_xlabel()

    def test_prediction_comes_from_the_parameters_and_is_repeatable(self, trials, fitted):
        unbiased = dict(fitted, drift_rate=0.0)
        first, second = (plot_fit(trials, unbiased, n_sim=4000).axes[1] for _ in range(2))
        # No drift: both boundaries equally likely, whatever the data say.
        for line in artists(first, "line", "predicted-quantiles"):
            np.testing.assert_allclose(line.get_xdata(), 0.5, atol=0.03)
        def quantiles(ax):
            return [line.get_ydata().tolist() for line in artists(ax, "line", "predicted-quantiles")]

        assert quantiles(first) == quantiles(second)
        assert quantiles(plot_fit(trials, unbiased, n_sim=4000, seed=1).axes[1]) != quantiles(first)

    def test_table_forms_give_the_same_picture(self, trials, fitted):
        choices, rts = trials
        reference = bar_heights(plot_fit((choices, rts), fitted, bins=25).axes[0], "observed-lower")
        tables = [
            (pd.DataFrame({"rt": rts, "choice": choices}), {}),
            (pd.DataFrame({"rt": rts, "choice": choices.astype(int)}), {}),
            (pd.DataFrame({"ms": rts * 1000, "r": np.where(choices, "hit", "miss")}),
             {"rt": "ms", "choice": "r", "rt_unit": "ms", "upper": "hit"}),
            ((np.where(choices, "hit", "miss"), (rts * 1000).tolist()), {"rt_unit": "ms", "upper": "hit"}),
        ]
        for data, options in tables:
            heights = bar_heights(plot_fit(data, fitted, bins=25, **options).axes[0], "observed-lower")
            np.testing.assert_allclose(heights, reference, rtol=1e-9)

    def test_given_bin_edges_and_axes_are_used(self, trials, fitted):
        from matplotlib.figure import Figure

        fig = Figure()
        axes = fig.subplots(1, 2)
        edges = np.linspace(0.2, 2.0, 10)
        assert plot_fit(trials, fitted, ax=axes, bins=edges, title="mine") is fig
        np.testing.assert_allclose(histogram(axes[0], "observed-upper")[1], edges)
        assert fig.get_suptitle() == "mine"

    def test_unusable_input_is_named(self, trials, fitted):
        choices, rts = trials
        table = pd.DataFrame({"rt": rts, "response": np.where(choices, "correct", "error")})
        cases = [
            (dict(data=table, choice="answer"), "'answer'"),
            (dict(data=table, choice="response"), "upper="),
            (dict(data=table.assign(rt="slow"), choice="response", upper="correct"), "'rt'"),
            (dict(data=table.assign(rt=np.nan), choice="response", upper="correct"), "missing"),
            (dict(data=(choices, np.full(len(rts), np.inf))), "finite"),
            (dict(data=(choices, rts), rt_unit="min"), "rt_unit"),
            (dict(data=(choices, rts[:-1])), "length"),
            (dict(data=(choices, rts), bins=[1.0, 0.5]), "bins"),
        ]
        for kwargs, fragment in cases:
            with pytest.raises(ValueError) as raised:
                plot_fit(params=fitted, **kwargs)
            assert fragment in str(raised.value), kwargs
        with pytest.raises(ValueError, match="'non_decision_time'"):
            plot_fit(trials, {"drift_rate": 1.0, "boundary_separation": 1.0})
        with pytest.raises(TypeError, match="DataFrame"):
            plot_fit(rts, fitted)


class TestExactPrediction:
    """A dict with all seven parameters (a maximum-likelihood fit) is drawn from the exact model."""

    full = dict(drift_rate=1.0, boundary_separation=1.5, starting_point=0.5,
                non_decision_time=0.3, drift_rate_sd=0.0, starting_point_range=0.0, non_decision_time_range=0.0,
                noise_sd=1.0)

    def test_shares_and_quantiles_are_the_model_s(self, trials):
        many_choices, many_rts, _ = ventrola.simulate_ddm(1.0, 1.5, 0.5, 0.3, 200_000, 3, method="exact")
        rt_ax, qp_ax = plot_fit(trials, self.full).axes
        v, a = self.full["drift_rate"], self.full["boundary_separation"]
        upper_share = (1 - np.exp(-2 * v * a * 0.5)) / (1 - np.exp(-2 * v * a))
        lines = artists(qp_ax, "line", "predicted-quantiles")
        assert len(lines) == len(QUANTILES)
        for level, line in zip(QUANTILES, lines):
            np.testing.assert_allclose(line.get_xdata(), [1 - upper_share, upper_share], rtol=0, atol=1e-8)
            simulated = [np.quantile(many_rts[~many_choices], level), np.quantile(many_rts[many_choices], level)]
            np.testing.assert_allclose(line.get_ydata(), simulated, atol=0.006)
        legend = [t.get_text() for t in rt_ax.get_legend().get_texts()]
        assert "predicted (exact density)" in legend

    def test_density_curves_carry_each_boundary_s_share(self, trials):
        rt_ax = plot_fit(trials, self.full, bins=np.linspace(0.0, 12.0, 40)).axes[0]
        (upper,) = artists(rt_ax, "line", "predicted-upper")
        (lower,) = artists(rt_ax, "line", "predicted-lower")
        v, a = self.full["drift_rate"], self.full["boundary_separation"]
        upper_share = (1 - np.exp(-2 * v * a * 0.5)) / (1 - np.exp(-2 * v * a))
        area = np.trapezoid if hasattr(np, "trapezoid") else np.trapz
        assert area(upper.get_ydata(), upper.get_xdata()) == pytest.approx(upper_share, abs=2e-3)
        assert -area(lower.get_ydata(), lower.get_xdata()) == pytest.approx(1 - upper_share, abs=2e-3)

    def test_lapses_add_their_share(self, trials):
        choices, rts = trials
        lapsing = dict(self.full, contamination=0.2)
        _, qp_ax = plot_fit(trials, lapsing).axes
        v, a = self.full["drift_rate"], self.full["boundary_separation"]
        upper_share = 0.8 * (1 - np.exp(-2 * v * a * 0.5)) / (1 - np.exp(-2 * v * a)) + 0.1
        for line in artists(qp_ax, "line", "predicted-quantiles"):
            np.testing.assert_allclose(line.get_xdata(), [1 - upper_share, upper_share], rtol=0, atol=1e-8)
        # The lapses spread evenly up to the slowest trial, so the slowest quantiles stretch.
        without = artists(plot_fit(trials, self.full).axes[1], "line", "predicted-quantiles")
        assert (artists(qp_ax, "line", "predicted-quantiles")[-1].get_ydata() > without[-1].get_ydata()).all()

    def test_a_table_of_maximum_likelihood_fits_draws_exact_panels(self, tmp_path):
        trials, fits = grouped_trials(["a", "b", "c"])
        for name in ("drift_rate_sd", "starting_point_range", "non_decision_time_range", "contamination"):
            fits[name] = 0.0
        fits.loc[2, "boundary_separation"] = -1.0
        fig = save_fit_plots(trials, fits, tmp_path / "grid.png", **dict(TestSaveFitPlots.options, n_sim=10))
        panels = [ax for ax in fig.axes if ax.axison]
        # Ten simulated trials would give a ragged step curve; the exact one is smooth and dense.
        curves = [artists(ax, "line", "predicted-upper") for ax in panels[:2]]
        assert all(len(found) == 1 and len(found[0].get_xdata()) > 100 for found in curves)
        notes = [t.get_text() for t in panels[2].texts if t.get_gid() == "note"]
        assert len(notes) == 1 and notes[0].startswith("cannot draw the fit")


def grouped_trials(groups, n=200):
    """Trials of several subjects, times in ms and labelled choices, with one fit per subject."""
    tables, fits = [], []
    for i, subject in enumerate(groups):
        choices, rts = ventrola.simulate(0.8 + 0.1 * i, 1.2, 0.5, 0.3, n, 100 + i)[:2]
        tables.append(pd.DataFrame({"subject": subject, "rt": rts * 1000, "resp": np.where(choices, "c", "e")}))
        fits.append(dict(subject=subject, **ventrola.fit_ez(choices, rts), error=None))
    return pd.concat(tables, ignore_index=True), pd.DataFrame(fits)


def panel_titles(fig):
    return [ax.get_title() for ax in fig.axes if ax.axison]


class TestSaveFitPlots:
    options = dict(rt="rt", choice="resp", by=["subject"], rt_unit="ms", upper="c", n_sim=3000)

    def test_one_group_gets_the_two_panel_figure(self, tmp_path):
        trials, fits = grouped_trials(["s1"])
        path = tmp_path / "fit.png"
        fig = save_fit_plots(trials, fits, path, **self.options)
        width, height = png_size(path)
        assert width > 2 * height
        rt_ax, qp_ax = fig.axes
        assert artists(rt_ax, "line", "predicted-upper")
        assert artists(qp_ax, "line", "observed-quantiles-upper")
        assert "subject=s1" in fig.get_suptitle()

    def test_no_group_columns_means_one_group_of_all_trials(self, tmp_path):
        trials, fits = grouped_trials(["s1"])
        options = dict(self.options, by=[])
        fig = save_fit_plots(trials, fits.drop(columns="subject"), tmp_path / "fit.png", **options)
        assert "all trials" in fig.get_suptitle()
        assert bar_heights(fig.axes[0], "observed-upper").max() > 0

    def test_several_groups_get_a_grid_and_failed_ones_a_note(self, tmp_path):
        trials, fits = grouped_trials(["a", "b", "c", "d"])
        fits.loc[1, list(PARAMETERS)] = np.nan
        fits["error"] = pd.array([None, "accuracy is at chance", None, None], dtype="string")
        fits.loc[2, "non_decision_time"] = -0.05
        path = tmp_path / "grid.png"
        fig = save_fit_plots(trials, fits, path, **self.options)
        assert path.stat().st_size > 10_000
        panels = [ax for ax in fig.axes if ax.axison]
        assert [ax.get_title() for ax in panels] == ["subject=a", "subject=b", "subject=c", "subject=d"]
        predicted = [bool(artists(ax, "line", "predicted-upper")) for ax in panels]
        assert predicted == [True, False, False, True]
        notes = [" ".join(t.get_text().split()) for ax in panels for t in ax.texts if t.get_gid() == "note"]
        assert notes == ["not fitted: accuracy is at chance", "cannot simulate the fit: t0 must be >= 0"]
        # Each panel's bars hold its own trials: the areas add up to (nearly) all of them.
        for ax, subject in zip(panels, "abcd"):
            area = bar_area(ax, "observed-upper") - bar_area(ax, "observed-lower")
            assert 0.97 <= area <= 1.0 + 1e-9, subject
        assert "4 groups" in fig.get_suptitle()

    def test_two_group_columns_and_more_groups_than_panels(self, tmp_path, monkeypatch):
        # A smaller cap keeps the test quick; the cut is the same at the real one.
        assert MAX_PANELS == 48
        monkeypatch.setattr(plotting, "MAX_PANELS", 4)
        trials, fits = grouped_trials([f"s{i}" for i in range(6)], n=100)
        trials["block"] = np.where(trials.subject == "s1", 2, 1)
        fits.insert(1, "block", [1, 2, 1, 1, 1, 1])
        path = tmp_path / "grid.png"
        fig = save_fit_plots(trials, fits, path, **dict(self.options, by=["subject", "block"], n_sim=500))
        assert png_size(path)[0] > 0
        assert panel_titles(fig) == ["subject=s0, block=1", "subject=s1, block=2", "subject=s2, block=1",
                                     "subject=s3, block=1"]
        assert "first 4 of 6 groups" in fig.get_suptitle()

    def test_a_group_without_trials_is_noted(self, tmp_path):
        trials, fits = grouped_trials(["a", "b"])
        fig = save_fit_plots(trials[trials.subject == "a"], fits, tmp_path / "g.png", **self.options)
        notes = [t.get_text() for ax in fig.axes for t in ax.texts if t.get_gid() == "note"]
        assert notes == ["no trials in the table"]


def test_matplotlib_is_optional_and_never_touches_the_global_backend(python_subprocess):
    missing = textwrap.dedent(
        """
        import sys
        sys.modules["matplotlib"] = None
        import ventrola, ventrola.plotting
        choices, rts, _ = ventrola.simulate(1.0, 1.5, 0.5, 0.3, 500, 1)
        try:
            ventrola.plotting.plot_fit((choices, rts), ventrola.fit_ez(choices, rts))
        except ImportError as exc:
            print(exc)
        """
    )
    assert 'pip install "ventrola[plot]"' in python_subprocess(missing).decode()
    present = textwrap.dedent(
        """
        import sys
        import ventrola, ventrola.plotting
        print("matplotlib" in sys.modules)
        choices, rts, _ = ventrola.simulate(1.0, 1.5, 0.5, 0.3, 500, 1)
        ventrola.plotting.plot_fit((choices, rts), ventrola.fit_ez(choices, rts), n_sim=500)
        print("matplotlib.pyplot" in sys.modules)
        """
    )
    assert python_subprocess(present).decode().split() == ["False", "False"]
