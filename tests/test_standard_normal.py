"""Normal variates by the symmetric ziggurat: the stored tables, every branch
with scripted draws, the reference variates, and the distribution."""
import json
import math
import random
import struct
from pathlib import Path

import pytest

import _ventrola_testing as vt

DATA_COPY = Path(__file__).resolve().parent / "data" / "stream-draws.json"
SHARED_ORIGINAL = Path(__file__).resolve().parents[2] / "shared" / "reference" / "stream-draws.json"
REFERENCE = DATA_COPY if DATA_COPY.exists() else SHARED_ORIGINAL

V = 0.00492867323399
X, F = vt.ziggurat_tables()
MASK64 = 0xFFFFFFFFFFFFFFFF


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


R = from_bits(0x400D3BB48209AD33)


def density(x):
    return math.exp(-(x * x) / 2)


# ---- the three conversions and the method, written out from their definitions


def symmetric(v):
    return from_bits((v >> 12) | 0x4000000000000000) - 3.0


def half_open(v):
    return float(v >> 11) * 2.0**-53


def open_uniform(v):
    return from_bits((v >> 12) | 0x3FF0000000000000) + -0.9999999999999999


def python_normal(draws):
    """(variate, draws used), or None when `draws` runs out."""
    it = iter(draws)
    used = 0

    def take():
        nonlocal used
        used += 1
        return next(it)

    try:
        while True:
            v = take()
            i = v & 0xFF
            u = symmetric(v)
            x = u * X[i]
            if X[i + 1] > abs(x):
                return x, used
            if i == 0:
                while True:
                    a = open_uniform(take())
                    c = open_uniform(take())
                    tx = math.log(a) / R
                    ty = math.log(c) * -2.0
                    if not tx * tx > ty:
                        break
                return (tx - R if u < 0 else R - tx), used
            t = half_open(take()) * (F[i] - F[i + 1])
            t = t + F[i + 1]
            if math.exp((x * x) * -0.5) > t:
                return x, used
    except StopIteration:
        return None


def draw(layer, m, unused=0):
    """A 64-bit draw with the given layer (bits 0-7), bits 8-11 and m = v >> 12."""
    return (m << 12) | (unused << 8) | layer


U_ZERO = 1 << 51  # m giving u = 0
U_MINUS_ONE = 0  # m giving u = -1
U_MAX = (1 << 52) - 1  # the largest u, 1 - 2**-51
UNIFORM_NEAR_ONE = MASK64  # open and half-open uniforms just below 1
UNIFORM_SMALL = 1 << 12  # open uniform 3 * 2**-53
UNIFORM_HALF = 1 << 63  # open and half-open uniforms at (about) 0.5


def scripted(draws):
    value, used = vt.scripted_normal(draws)
    assert (value, used) == python_normal(draws), [hex(d) for d in draws]
    return value, used


# ---- the tables ---------------------------------------------------------------


def test_table_sizes_ends_and_telling_values():
    assert len(X) == len(F) == 257
    assert bits(X[0]) == 0x400F493B78164498
    assert X[0] == 3.91075795953709
    assert bits(X[1]) == 0x400D3BB48209AD33
    assert (X[2], X[3], X[255], X[256]) == (3.4492782985609645, 3.320244733839166, 0.2152418959132738, 0.0)
    assert bits(F[0]) == 0x3F3F4A946F0D1E21 and F[0] == 0.000477467764586655
    assert bits(F[3]) == 0x3F708A1F03B0D9D7 and F[3] == 0.004037972593371872
    assert bits(F[94]) == 0x3FCA6B7E0B1996DF and F[94] == 0.2064054063986793
    assert (F[1], F[255], F[256]) == (0.001260285930498598, 0.9771017012827313, 1.0)


def test_layer_edges_follow_their_recurrence_bit_for_bit():
    assert X[0] == V / density(R)
    for i in range(1, 255):
        assert X[i + 1] == math.sqrt(-2 * math.log(V / X[i] + density(X[i]))), i
    assert all(X[i] > X[i + 1] for i in range(256))


def test_densities_follow_the_edges_except_three_stored_entries():
    exceptions = {0, 3, 94}
    for i in range(256):
        computed = math.exp(-X[i] * X[i] / 2)
        if i in exceptions:
            assert F[i] != computed and abs(bits(F[i]) - bits(computed)) <= 8, i
        else:
            assert F[i] == computed, i


# ---- the branches ------------------------------------------------------------


def test_fast_accept_uses_one_draw_and_ignores_bits_8_to_11():
    m = U_ZERO + 12345678
    for layer in (1, 7, 128, 254):
        value, used = scripted([draw(layer, m)])
        assert used == 1 and value == symmetric(draw(layer, m)) * X[layer]
        assert scripted([draw(layer, m, unused=0xF)]) == (value, 1)


def test_sign_follows_bit_63():
    below = scripted([draw(10, U_ZERO - 1000)])[0]
    above = scripted([draw(10, U_ZERO + 1000)])[0]
    assert below < 0 < above


def test_u_zero_is_accepted_fast_in_every_layer_but_255():
    for layer in range(255):
        assert scripted([draw(layer, U_ZERO)]) == (0.0, 1), layer


def test_layer_255_always_goes_to_the_wedge_test():
    # x = 0: p = 1 and t = 1 + U * (F[255] - 1), so U = 0.5 accepts and U = 0
    # (t = 1, p > t false) rejects and starts over.
    assert scripted([draw(255, U_ZERO), UNIFORM_HALF]) == (0.0, 2)
    assert scripted([draw(255, U_ZERO), 0, draw(3, U_ZERO)]) == (0.0, 3)
    with pytest.raises(ValueError):
        vt.scripted_normal([draw(255, U_ZERO), 0])
    # Even the smallest nonzero |x| there needs the wedge draw.
    value, used = scripted([draw(255, U_ZERO + 1), UNIFORM_HALF])
    assert used == 2 and value == 2.0**-51 * X[255]


def test_u_minus_one_reaches_the_wedge_at_the_outer_edge():
    # x = -X[i], where the density F[i] lies below every t in (F[i], F[i+1]].
    with pytest.raises(ValueError, match="more than 2 draws"):
        vt.scripted_normal([draw(40, U_MINUS_ONE), UNIFORM_HALF])
    value, used = scripted([draw(40, U_MINUS_ONE), UNIFORM_HALF, draw(40, U_ZERO)])
    assert (value, used) == (0.0, 3)


def test_wedge_rejection_starts_over_with_a_fresh_draw():
    # At the outer edge with U just below 1, t rounds up to the edge density.
    layer = next(i for i in range(1, 255) if python_normal([draw(i, U_MINUS_ONE), UNIFORM_NEAR_ONE]) is None)
    with pytest.raises(ValueError):
        vt.scripted_normal([draw(layer, U_MINUS_ONE), UNIFORM_NEAR_ONE])
    value, used = scripted([draw(layer, U_MINUS_ONE), UNIFORM_NEAR_ONE, draw(6, U_ZERO + 99)])
    assert used == 3 and value == symmetric(draw(6, U_ZERO + 99)) * X[6]


def test_base_layer_inside_r_is_accepted_fast():
    value, used = scripted([draw(0, U_ZERO + (1 << 50))])  # u = 0.5
    assert used == 1 and value == 0.5 * X[0] and abs(value) < R


@pytest.mark.parametrize("m, sign", [(U_MINUS_ONE, -1), (U_MAX, 1)])
def test_base_layer_beyond_r_samples_the_tail(m, sign):
    value, used = scripted([draw(0, m), UNIFORM_HALF, UNIFORM_NEAR_ONE // 3])
    assert used == 3
    assert sign * value > R


def test_tail_passes_retry_with_two_fresh_draws_each():
    reject = [UNIFORM_SMALL, UNIFORM_NEAR_ONE]  # tx*tx = 36.7**2 / R**2 far above ty ~ 0
    accept = [UNIFORM_HALF, UNIFORM_NEAR_ONE // 3]
    assert python_normal([draw(0, U_MINUS_ONE)] + reject) is None
    for retries in range(4):
        value, used = scripted([draw(0, U_MINUS_ONE)] + reject * retries + accept)
        assert used == 3 + 2 * retries and value < -R
    with pytest.raises(ValueError):
        vt.scripted_normal([draw(0, U_MINUS_ONE)] + reject * 3)


def test_random_scripts_match_the_written_out_method():
    rng = random.Random(2024)
    for _ in range(3000):
        script = [rng.getrandbits(64) for _ in range(9)]
        if rng.random() < 0.3:
            script[0] &= ~0xFF  # base layer
        elif rng.random() < 0.3:
            script[0] |= 0xFF  # top layer
        expected = python_normal(script)
        assert expected is not None
        assert vt.scripted_normal(script) == expected


# ---- variates from real streams ----------------------------------------------


def floats(data):
    return struct.unpack(f"<{len(data) // 8}d", data)


def test_reference_variates():
    reference = json.loads(REFERENCE.read_text())
    assert len(reference["normals"]) >= 3
    for entry in reference["normals"]:
        expected = [float.fromhex(h) for h in entry["normals_hex"]]
        got = floats(vt.normals(entry["seed"], entry["stream"], len(expected)))
        assert [bits(g) for g in got] == [bits(e) for e in expected], (entry["seed"], entry["stream"])


def test_variates_follow_the_stream_draws_one_call_at_a_time():
    draws = vt.stream_draws(77, 3, 400)
    expected = []
    position = 0
    while True:
        result = python_normal(draws[position:])
        if result is None:
            break
        expected.append(result[0])
        position += result[1]
    assert len(expected) > 300
    assert list(floats(vt.normals(77, 3, len(expected)))) == expected


def normal_cdf(x):
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def test_a_million_variates_have_the_standard_normal_distribution():
    n = 1_000_000
    sample = floats(vt.normals(20240601, 11, n))
    mean = math.fsum(sample) / n
    variance = math.fsum((z - mean) ** 2 for z in sample) / (n - 1)
    # Five standard errors: 1/sqrt(n) for the mean, sqrt(2/(n-1)) for the variance.
    assert abs(mean) < 5 / math.sqrt(n)
    assert abs(variance - 1) < 5 * math.sqrt(2 / (n - 1))

    # Kolmogorov-Smirnov against the normal CDF; 1.628/sqrt(n) is the 1% critical value.
    ordered = sorted(sample)
    statistic = max(
        max((k + 1) / n - normal_cdf(z), normal_cdf(z) - k / n) for k, z in enumerate(ordered)
    )
    assert statistic < 1.628 / math.sqrt(n)

    # Beyond R only through the tail: its expected share is 2 * (1 - CDF(R)).
    beyond = sum(1 for z in sample if abs(z) > R)
    expected = 2 * (1 - normal_cdf(R)) * n
    assert abs(beyond - expected) < 5 * math.sqrt(expected)
