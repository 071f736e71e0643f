// Test hooks for the random stream and the normal variates: key words and
// draws of a (seed, stream), the scalar ChaCha block and every compiled refill
// variant, the ziggurat tables, variates from real or scripted draws, and
// timing loops measured here so that Python's overhead is not counted.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "module/fault_boundary.hpp"
#include "module/testing/bindings.hpp"
#include "simulation/chacha_block.hpp"
#include "simulation/chacha_refill.hpp"
#include "simulation/normal_tables.hpp"
#include "simulation/random_stream.hpp"
#include "simulation/standard_normal.hpp"

namespace ventrola::testing {
namespace {

using py::PyRef;

std::optional<std::uint64_t> to_u64(PyObject* object) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
    return value;
}

// A sequence of exactly `count` integers, each below 2^bits.
std::optional<std::vector<std::uint64_t>> to_words(PyObject* sequence, Py_ssize_t count, int bits) {
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) return std::nullopt;
    if (count >= 0 && size != count) {
        PyErr_Format(PyExc_ValueError, "expected %zd words, got %zd", count, size);
        return std::nullopt;
    }
    std::vector<std::uint64_t> words;
    words.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));  // new reference
        if (!item) return std::nullopt;
        const auto word = to_u64(item.get());
        if (!word) return std::nullopt;
        if (bits < 64 && (*word >> bits) != 0) {
            PyErr_Format(PyExc_OverflowError, "word %zd does not fit in %d bits", i, bits);
            return std::nullopt;
        }
        words.push_back(*word);
    }
    return words;
}

template <class Word>
PyObject* list_of_ints(const Word* words, std::size_t count) {
    PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(words[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

PyObject* list_of_floats(const double* values, std::size_t count) {
    PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

const RefillVariant* variant_argument(const char* name) {
    const RefillVariant* variant = find_refill_variant(name);
    if (variant == nullptr) PyErr_Format(PyExc_ValueError, "refill variant '%s' is not available here", name);
    return variant;
}

std::optional<RefillFunction> refill_with_rounds(const RefillVariant& variant, int rounds) {
    if (rounds == 8) return variant.chacha8;
    if (rounds == 20) return variant.chacha20;
    PyErr_Format(PyExc_ValueError, "rounds must be 8 or 20, not %d", rounds);
    return std::nullopt;
}

// Forces a refill variant for the lifetime of the object, then puts the
// previous one back.
class ForcedVariant {
public:
    explicit ForcedVariant(const RefillVariant& variant) : previous_(active_refill_variant().name) {
        set_refill_variant(variant.name);
    }
    ForcedVariant(const ForcedVariant&) = delete;
    ForcedVariant& operator=(const ForcedVariant&) = delete;
    ~ForcedVariant() { set_refill_variant(previous_); }

private:
    std::string_view previous_;
};

// The stream of (seed, stream number) and how many values to take from it.
struct StreamRequest {
    RandomStream stream;
    std::size_t n;
};

// (seed, stream, n)
std::optional<StreamRequest> stream_request(PyObject* args) {
    unsigned long long seed = 0, stream_number = 0;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "KKn", &seed, &stream_number, &n)) return std::nullopt;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must not be negative");
        return std::nullopt;
    }
    StreamRequest request{RandomStream::from_seed(seed), static_cast<std::size_t>(n)};
    request.stream.set_stream(stream_number);
    return request;
}

// key_words(seed) -> list of the 8 derived key words
PyObject* key_words_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        unsigned long long seed = 0;
        if (!PyArg_ParseTuple(args, "K", &seed)) return nullptr;
        const RandomStream stream = RandomStream::from_seed(seed);
        return list_of_ints(stream.input().key.data(), stream.input().key.size());
    });
}

// stream_draws(seed, stream, n) -> list of the first n 64-bit draws
PyObject* stream_draws_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        auto request = stream_request(args);
        if (!request) return nullptr;
        RandomStream& stream = request->stream;
        std::vector<std::uint64_t> draws(request->n);
        for (std::uint64_t& draw : draws) draw = stream.next_u64();
        return list_of_ints(draws.data(), draws.size());
    });
}

// refill_variants() -> tuple of the variant names available here, the
// reference first and the one chosen by default last
PyObject* refill_variants_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* { return name_tuple(available_refill_variants()); });
}

// active_refill_variant() -> name of the variant streams use now
PyObject* active_refill_variant_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* {
        const std::string_view name = active_refill_variant().name;
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

// set_refill_variant(name) -> None: every stream uses that variant from now on
PyObject* set_refill_variant_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* name = nullptr;
        if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
        const RefillVariant* variant = variant_argument(name);
        if (variant == nullptr) return nullptr;
        set_refill_variant(variant->name);
        Py_RETURN_NONE;
    });
}

// chacha_block(words, rounds, variant="scalar") -> list of 16 output words.
// The scalar reference takes any 16 input words; a refill variant computes
// the first block of its refill, so words 0..3 must be the ChaCha constants.
PyObject* chacha_block_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* words_object = nullptr;
        int rounds = 0;
        const char* variant_name = "scalar";
        if (!PyArg_ParseTuple(args, "Oi|s", &words_object, &rounds, &variant_name)) return nullptr;
        const auto words = to_words(words_object, 16, 32);
        if (!words) return nullptr;
        ChachaBlock input{};
        for (int i = 0; i < 16; ++i) input[i] = static_cast<std::uint32_t>((*words)[i]);

        if (std::string_view(variant_name) == "scalar") {
            ChachaBlock output{};
            if (rounds == 8) {
                output = chacha_block<8>(input);
            } else if (rounds == 20) {
                output = chacha_block<20>(input);
            } else {
                PyErr_Format(PyExc_ValueError, "rounds must be 8 or 20, not %d", rounds);
                return nullptr;
            }
            return list_of_ints(output.data(), output.size());
        }

        const RefillVariant* variant = variant_argument(variant_name);
        if (variant == nullptr) return nullptr;
        const auto refill = refill_with_rounds(*variant, rounds);
        if (!refill) return nullptr;
        for (int i = 0; i < 4; ++i) {
            if (input[i] != CHACHA_CONSTANTS[i]) {
                PyErr_SetString(PyExc_ValueError, "a refill variant needs the ChaCha constants in words 0..3");
                return nullptr;
            }
        }
        ChachaInput state;
        for (int i = 0; i < 8; ++i) state.key[i] = input[4 + i];
        state.counter = input[12] | (std::uint64_t{input[13]} << 32);
        state.stream = input[14] | (std::uint64_t{input[15]} << 32);
        std::array<std::uint32_t, REFILL_WORDS> out{};
        (*refill)(state, out.data());
        return list_of_ints(out.data(), 16);
    });
}

// refill_blocks(variant, key, counter, stream, rounds=8) -> list of the 64
// words of the four blocks counter .. counter+3
PyObject* refill_blocks_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* variant_name = nullptr;
        PyObject* key_object = nullptr;
        unsigned long long counter = 0, stream_number = 0;
        int rounds = 8;
        if (!PyArg_ParseTuple(args, "sOKK|i", &variant_name, &key_object, &counter, &stream_number, &rounds)) {
            return nullptr;
        }
        const RefillVariant* variant = variant_argument(variant_name);
        if (variant == nullptr) return nullptr;
        const auto refill = refill_with_rounds(*variant, rounds);
        if (!refill) return nullptr;
        const auto key = to_words(key_object, 8, 32);
        if (!key) return nullptr;
        ChachaInput state;
        for (int i = 0; i < 8; ++i) state.key[i] = static_cast<std::uint32_t>((*key)[i]);
        state.counter = counter;
        state.stream = stream_number;
        std::array<std::uint32_t, REFILL_WORDS> out{};
        (*refill)(state, out.data());
        return list_of_ints(out.data(), out.size());
    });
}

// ziggurat_tables() -> (X, F): the two tables of 257 doubles as lists
PyObject* ziggurat_tables_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* {
        PyRef x = PyRef::steal(list_of_floats(ZIGGURAT_X.data(), ZIGGURAT_X.size()));
        if (!x) return nullptr;
        PyRef f = PyRef::steal(list_of_floats(ZIGGURAT_F.data(), ZIGGURAT_F.size()));
        if (!f) return nullptr;
        return PyTuple_Pack(2, x.get(), f.get());
    });
}

// normals(seed, stream, n) -> bytes of n float64 variates from that stream
PyObject* normals_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        auto request = stream_request(args);
        if (!request) return nullptr;
        RandomStream& stream = request->stream;
        std::vector<double> values(request->n);
        for (double& value : values) value = standard_normal(stream);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                         static_cast<Py_ssize_t>(values.size() * sizeof(double)));
    });
}

// Hands out a fixed list of draws; asking for more than it holds ends the variate.
class ScriptedStream {
public:
    struct Exhausted {};

    explicit ScriptedStream(std::vector<std::uint64_t> draws) : draws_(std::move(draws)) {}

    std::uint64_t next_u64() {
        if (used_ == draws_.size()) throw Exhausted{};
        return draws_[used_++];
    }

    std::size_t used() const noexcept { return used_; }

private:
    std::vector<std::uint64_t> draws_;
    std::size_t used_ = 0;
};

// scripted_normal(draws) -> (variate, draws consumed); ValueError when the
// variate needs more draws than given
PyObject* scripted_normal_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* draws_object = nullptr;
        if (!PyArg_ParseTuple(args, "O", &draws_object)) return nullptr;
        auto draws = to_words(draws_object, -1, 64);
        if (!draws) return nullptr;
        ScriptedStream stream(std::move(*draws));
        double value = 0;
        try {
            value = standard_normal(stream);
        } catch (const ScriptedStream::Exhausted&) {
            PyErr_Format(PyExc_ValueError, "the variate needs more than %zu draws", stream.used());
            return nullptr;
        }
        return Py_BuildValue("(dn)", value, static_cast<Py_ssize_t>(stream.used()));
    });
}

template <class Work>
double seconds_of(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// bench_draws(variant, count) -> seconds for `count` 64-bit draws from one
// stream refilled by that variant
PyObject* bench_draws_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* variant_name = nullptr;
        unsigned long long count = 0;
        if (!PyArg_ParseTuple(args, "sK", &variant_name, &count)) return nullptr;
        const RefillVariant* variant = variant_argument(variant_name);
        if (variant == nullptr) return nullptr;
        const ForcedVariant forced(*variant);
        RandomStream stream = RandomStream::from_seed(count);
        stream.set_stream(1);
        std::uint64_t sum = 0;
        const double seconds = seconds_of([&] {
            for (unsigned long long i = 0; i < count; ++i) sum += stream.next_u64();
        });
        // Keeps the draws observable so that the loop is not optimised away.
        volatile std::uint64_t sink = sum;
        static_cast<void>(sink);
        return PyFloat_FromDouble(seconds);
    });
}

// bench_normals(count) -> seconds for `count` variates from one stream
PyObject* bench_normals_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        unsigned long long count = 0;
        if (!PyArg_ParseTuple(args, "K", &count)) return nullptr;
        RandomStream stream = RandomStream::from_seed(count);
        stream.set_stream(1);
        double sum = 0;
        const double seconds = seconds_of([&] {
            for (unsigned long long i = 0; i < count; ++i) sum += standard_normal(stream);
        });
        volatile double sink = sum;
        static_cast<void>(sink);
        return PyFloat_FromDouble(seconds);
    });
}

PyMethodDef stream_methods[] = {
    {"key_words", key_words_hook, METH_VARARGS, "The eight ChaCha key words derived from a seed."},
    {"stream_draws", stream_draws_hook, METH_VARARGS, "The first n 64-bit draws of (seed, stream)."},
    {"refill_variants", refill_variants_hook, METH_NOARGS,
     "Names of the refill variants available here, the default last."},
    {"active_refill_variant", active_refill_variant_hook, METH_NOARGS, "The refill variant streams use now."},
    {"set_refill_variant", set_refill_variant_hook, METH_VARARGS, "Force the refill variant of every stream."},
    {"chacha_block", chacha_block_hook, METH_VARARGS,
     "ChaCha block of 16 input words at 8 or 20 rounds, by the scalar reference or a refill variant."},
    {"refill_blocks", refill_blocks_hook, METH_VARARGS,
     "The 64 words of one four-block refill by a variant: (variant, key, counter, stream, rounds=8)."},
    {"ziggurat_tables", ziggurat_tables_hook, METH_NOARGS, "The ziggurat tables (X, F) as lists."},
    {"normals", normals_hook, METH_VARARGS, "n standard normal variates of (seed, stream) as float64 bytes."},
    {"scripted_normal", scripted_normal_hook, METH_VARARGS,
     "One variate from a list of 64-bit draws: (value, draws consumed)."},
    {"bench_draws", bench_draws_hook, METH_VARARGS, "Seconds for count draws with a refill variant."},
    {"bench_normals", bench_normals_hook, METH_VARARGS, "Seconds for count standard normal variates."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_stream_functions(PyObject* module) { return PyModule_AddFunctions(module, stream_methods); }

}  // namespace ventrola::testing
