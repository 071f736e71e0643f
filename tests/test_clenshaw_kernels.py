"""Every compiled copy of the time tables' Clenshaw kernels sums each series as
the baseline does, bit for bit, and the baseline sums them correctly."""

import numpy as np
import pytest
from numpy.polynomial import chebyshev

import _ventrola_testing as testing

SHAPES = {"profile": (17, 9), "antiderivative": (18, 10)}
POINTS = (-1.0, -0.999999, -0.5, -1e-300, 0.0, 0.3, 0.7071067811865476, 1.0)


def decaying_series(rng, rows, columns):
    """Coefficients that fall off with the degree, as a smooth cell's do, with mixed signs and scales."""
    scale = 10.0 ** rng.uniform(-12, 3, size=columns)
    return rng.standard_normal((rows, columns)) * scale * 0.4 ** np.arange(rows)[:, None]


@pytest.mark.parametrize("kind", SHAPES)
def test_every_copy_gives_the_baselines_bits_and_the_series_sums(kind):
    rng = np.random.default_rng(20261208)
    variants = testing.clenshaw_variants()
    assert variants[0] == "baseline"
    for _ in range(20):
        series = decaying_series(rng, *SHAPES[kind])
        flat = series.tobytes()
        for z in (*POINTS, *rng.uniform(-1, 1, 4)):
            baseline = np.array(testing.clenshaw_series("baseline", kind, flat, z))
            for variant in variants[1:]:
                assert testing.clenshaw_series(variant, kind, flat, z) == tuple(baseline), (variant, z)
            exact = chebyshev.chebval(z, series)
            assert np.all(np.abs(baseline - exact) <= 1e-14 * np.abs(series).sum(axis=0)), z


def test_unknown_copies_kinds_and_shapes_are_refused():
    flat = np.zeros(17 * 9).tobytes()
    with pytest.raises(ValueError, match="not available"):
        testing.clenshaw_series("avx512-of-the-future", "profile", flat, 0.0)
    with pytest.raises(ValueError, match="no Clenshaw kernel"):
        testing.clenshaw_series("baseline", "derivative", flat, 0.0)
    with pytest.raises(ValueError, match="expected 180"):
        testing.clenshaw_series("baseline", "antiderivative", flat, 0.0)
