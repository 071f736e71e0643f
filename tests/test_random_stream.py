"""The per-trial random stream: key derivation, the ChaCha block function, every
compiled refill variant, and the 64-bit draws against reference vectors."""
import json
import random
from pathlib import Path

import pytest

import _ventrola_testing as vt

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF
CONSTANTS = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]

# The reference vectors travel with the tests; the shared original is checked
# too when this checkout sits next to it.
DATA_COPY = Path(__file__).resolve().parent / "data" / "stream-draws.json"
SHARED_ORIGINAL = Path(__file__).resolve().parents[2] / "shared" / "reference" / "stream-draws.json"
REFERENCE_FILES = [path for path in (DATA_COPY, SHARED_ORIGINAL) if path.exists()]


def load_reference(path):
    return json.loads(path.read_text())


# ---- independent Python definitions ----------------------------------------


def pcg32_key(seed):
    state = seed
    key = []
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & MASK64
        xorshifted = (((state >> 18) ^ state) >> 27) & MASK32
        rotation = state >> 59
        key.append(((xorshifted >> rotation) | (xorshifted << ((32 - rotation) % 32))) & MASK32)
    return key


def rotl32(value, bits):
    return ((value << bits) | (value >> (32 - bits))) & MASK32


def python_chacha(words, rounds):
    w = list(words)

    def quarter(a, b, c, d):
        w[a] = (w[a] + w[b]) & MASK32
        w[d] = rotl32(w[d] ^ w[a], 16)
        w[c] = (w[c] + w[d]) & MASK32
        w[b] = rotl32(w[b] ^ w[c], 12)
        w[a] = (w[a] + w[b]) & MASK32
        w[d] = rotl32(w[d] ^ w[a], 8)
        w[c] = (w[c] + w[d]) & MASK32
        w[b] = rotl32(w[b] ^ w[c], 7)

    for _ in range(rounds // 2):
        quarter(0, 4, 8, 12)
        quarter(1, 5, 9, 13)
        quarter(2, 6, 10, 14)
        quarter(3, 7, 11, 15)
        quarter(0, 5, 10, 15)
        quarter(1, 6, 11, 12)
        quarter(2, 7, 8, 13)
        quarter(3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(w, words)]


def input_block(key, counter, stream):
    counter &= MASK64
    return CONSTANTS + list(key) + [counter & MASK32, counter >> 32, stream & MASK32, stream >> 32]


def python_draws(seed, stream, n):
    """Draw k is keystream words 2k (low half) and 2k+1 (high half), blocks from 0."""
    key = pcg32_key(seed)
    words = []
    block = 0
    while len(words) < 2 * n:
        words += python_chacha(input_block(key, block, stream), 8)
        block += 1
    return [words[2 * k] | (words[2 * k + 1] << 32) for k in range(n)]


@pytest.fixture
def restore_refill_variant():
    default = vt.active_refill_variant()
    yield
    vt.set_refill_variant(default)


# ---- the block function -----------------------------------------------------

RFC7539_KEY = [int.from_bytes(bytes(range(4 * i, 4 * i + 4)), "little") for i in range(8)]
# Block counter 1 and nonce 00:00:00:09:00:00:00:4a:00:00:00:00 as words 12..15.
RFC7539_INPUT = CONSTANTS + RFC7539_KEY + [0x00000001, 0x09000000, 0x4A000000, 0x00000000]
# The serialized block of RFC 7539, section 2.3.2, as little-endian words.
RFC7539_OUTPUT = [
    0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3,
    0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
    0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9,
    0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
]


def test_rfc7539_block_vector_at_20_rounds_in_the_reference_and_every_variant():
    assert python_chacha(RFC7539_INPUT, 20) == RFC7539_OUTPUT
    for variant in vt.refill_variants():
        assert vt.chacha_block(RFC7539_INPUT, 20, variant) == RFC7539_OUTPUT, variant


def test_scalar_block_matches_python_definition_at_8_and_20_rounds():
    rng = random.Random(7539)
    for _ in range(40):
        words = [rng.getrandbits(32) for _ in range(16)]
        assert vt.chacha_block(words, 8) == python_chacha(words, 8)
        assert vt.chacha_block(words, 20) == python_chacha(words, 20)


def test_block_function_rejects_unknown_round_counts_and_variants():
    with pytest.raises(ValueError):
        vt.chacha_block(RFC7539_INPUT, 12)
    with pytest.raises(ValueError):
        vt.chacha_block(RFC7539_INPUT, 8, "no-such-variant")
    with pytest.raises(ValueError):
        vt.set_refill_variant("no-such-variant")


# ---- the vectorised refills -------------------------------------------------


def edge_states(rng):
    """Keys, counters and stream numbers that stress the counter arithmetic."""
    counters = [
        0, 1, 4,
        MASK32 - 3, MASK32 - 2, MASK32 - 1, MASK32,  # carry from word 12 into word 13
        (5 << 32) | (MASK32 - 1),
        MASK64 - 3, MASK64 - 2, MASK64 - 1, MASK64,  # wrap at 2**64
    ]
    streams = [0, 1, MASK32, 1 << 32, (1 << 32) + 5, MASK64, rng.getrandbits(64)]
    states = []
    for counter in counters:
        for stream in streams:
            states.append(([rng.getrandbits(32) for _ in range(8)], counter, stream))
    for _ in range(300):
        counter = rng.getrandbits(64) if rng.random() < 0.5 else rng.getrandbits(32)
        states.append(([rng.getrandbits(32) for _ in range(8)], counter, rng.getrandbits(64)))
    return states


@pytest.mark.parametrize("variant", vt.refill_variants())
def test_every_variant_gives_the_scalar_words(variant):
    rng = random.Random(20)
    for key, counter, stream in edge_states(rng):
        for rounds in (8, 20):
            expected = []
            for j in range(4):
                expected += vt.chacha_block(input_block(key, counter + j, stream), rounds)
            assert vt.refill_blocks(variant, key, counter, stream, rounds) == expected, (
                variant, hex(counter), hex(stream), rounds)


def test_refill_across_the_counter_carry_and_wrap_matches_python_definition():
    rng = random.Random(64)
    key = [rng.getrandbits(32) for _ in range(8)]
    for counter in (MASK32 - 1, MASK64 - 1):
        stream = (1 << 40) + 3
        expected = []
        for j in range(4):
            expected += python_chacha(input_block(key, counter + j, stream), 8)
        for variant in vt.refill_variants():
            assert vt.refill_blocks(variant, key, counter, stream) == expected, variant


def test_the_default_variant_is_the_last_available_one():
    variants = vt.refill_variants()
    assert variants[0] == "scalar"
    assert vt.active_refill_variant() == variants[-1]


# ---- key derivation and draws -----------------------------------------------


def test_key_words_follow_pcg32_for_edge_and_random_seeds():
    rng = random.Random(32)
    seeds = [0, 1, 2, MASK64, MASK64 - 1, 1 << 63] + [rng.getrandbits(64) for _ in range(200)]
    for seed in seeds:
        assert vt.key_words(seed) == pcg32_key(seed), seed


def test_key_derivation_with_a_zero_rotation_keeps_the_xorshifted_word():
    # A seed whose first advanced state has its top five bits clear.
    multiplier, increment = 6364136223846793005, 11634580027462260723
    seed = next(s for s in range(1 << 20) if ((s * multiplier + increment) & MASK64) >> 59 == 0)
    state = (seed * multiplier + increment) & MASK64
    assert vt.key_words(seed)[0] == (((state >> 18) ^ state) >> 27) & MASK32


@pytest.mark.parametrize("path", REFERENCE_FILES, ids=lambda path: path.parent.name)
def test_reference_key_words_and_draws(path):
    reference = load_reference(path)
    assert len(reference["stream_draws"]) >= 7
    for entry in reference["stream_draws"]:
        seed, stream = entry["seed"], entry["stream"]
        assert vt.key_words(seed) == [int(word, 16) for word in entry["key_words_hex"]]
        expected = [int(draw, 16) for draw in entry["draws_hex"]]
        assert vt.stream_draws(seed, stream, len(expected)) == expected, (seed, stream)


def test_data_copy_of_the_reference_equals_the_shared_original():
    assert DATA_COPY.exists()
    if SHARED_ORIGINAL.exists():
        assert DATA_COPY.read_bytes() == SHARED_ORIGINAL.read_bytes()


def test_reference_draws_under_every_forced_variant(restore_refill_variant):
    reference = load_reference(REFERENCE_FILES[0])
    for variant in vt.refill_variants():
        vt.set_refill_variant(variant)
        assert vt.active_refill_variant() == variant
        for entry in reference["stream_draws"]:
            expected = [int(draw, 16) for draw in entry["draws_hex"]]
            assert vt.stream_draws(entry["seed"], entry["stream"], len(expected)) == expected, variant


def test_draws_match_python_definition_across_three_refills():
    # 100 draws use 200 words: the refills with block counters 0, 4 and 8 (the
    # 33rd and 65th draws each start a new refill).
    for seed, stream in [(0, 0), (MASK64, 7), (99, (1 << 32) + 1), (5, MASK64)]:
        assert vt.stream_draws(seed, stream, 100) == python_draws(seed, stream, 100)


def test_trials_with_the_same_seed_differ_only_by_stream_number():
    seed = 12345
    low = vt.stream_draws(seed, 5, 40)
    high = vt.stream_draws(seed, (1 << 32) + 5, 40)
    assert low != high
    assert high == python_draws(seed, (1 << 32) + 5, 40)
    assert vt.stream_draws(seed, 5, 40) == low  # a fresh stream starts over
