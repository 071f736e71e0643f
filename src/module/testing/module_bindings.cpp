// Test hooks for array exchange and parameter dictionaries: each runs the
// same code an entry runs, with the note the call frame would add.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "module/arrays.hpp"
#include "module/call_frame.hpp"
#include "module/fault_boundary.hpp"
#include "module/numpy_api.hpp"
#include "module/parameter_dicts.hpp"
#include "module/testing/bindings.hpp"
#include "parallel/owned_buffer.hpp"

namespace ventrola::testing {
namespace {

using py::CallError;
using py::CallResult;
using py::ElementSpan;
using py::ElementType;
using py::finish;
using py::PyRef;

CallResult<ElementType> element_type(const char* kind) {
    const std::string_view name(kind);
    if (name == "bool") return ElementType::Bool;
    if (name == "double") return ElementType::Double;
    return py::raise_later(CallError::of(PyExc_ValueError, "kind must be 'bool' or 'double'"));
}

// Buffers made by make_counted_output_array report here when they are freed.
std::atomic<long long> released_buffers{0};

void release_counted(void* data, std::size_t, std::size_t) {
    std::free(data);
    released_buffers.fetch_add(1);
}

PyRef element_object(const ElementSpan& span, ElementType type, std::size_t i) {
    if (type == ElementType::Bool) {
        return py::checked(PyBool_FromLong(static_cast<const unsigned char*>(span.data)[i] != 0));
    }
    double value;
    std::memcpy(&value, static_cast<const char*>(span.data) + i * sizeof(double), sizeof value);
    return py::checked(PyFloat_FromDouble(value));
}

// borrow_and_view(obj, kind, name): converts `obj` as the frame converts an
// array argument called `name`, checks its layout, and returns the elements
// read through the view as a list.
PyObject* borrow_and_view(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* object = nullptr;
        const char *kind = nullptr, *name = nullptr;
        if (!PyArg_ParseTuple(args, "Oss", &object, &kind, &name)) return nullptr;
        return finish([&]() -> CallResult<PyRef> {
            auto type = element_type(kind);
            if (!type) return py::raise_later(std::move(type.error()));
            auto view = py::borrow_input_array(object, *type);
            if (!view) return py::raise_later(py::with_argument_note(std::move(view.error()), name));
            auto span = py::view_elements(*view, name);
            if (!span) return py::raise_later(std::move(span.error()));
            PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(span->length)));
            for (std::size_t i = 0; i < span->length; ++i) {
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), element_object(*span, *type, i).release());
            }
            return list;
        }());
    });
}

template <class T>
CallResult<RawBuffer> buffer_from_list(PyObject* values) {
    const Py_ssize_t count = PyList_Size(values);
    if (count < 0) return py::raise_later(CallError::fetch());
    OwnedBuffer<T> buffer;
    if (!OwnedBuffer<T>::try_reserve(buffer, static_cast<std::size_t>(count))) {
        return py::raise_later(CallError::of(PyExc_MemoryError, "cannot reserve the buffer"));
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GetItem(values, i);
        if constexpr (std::is_same_v<T, bool>) {
            const int truth = PyObject_IsTrue(item);
            if (truth < 0) return py::raise_later(CallError::fetch());
            buffer.push_unchecked(truth != 0);
        } else {
            const double value = PyFloat_AsDouble(item);
            if (value == -1.0 && PyErr_Occurred() != nullptr) return py::raise_later(CallError::fetch());
            buffer.push_unchecked(value);
        }
    }
    return buffer.release();
}

// make_output_array(kind, values): an output array around a buffer holding
// the list's values.
PyObject* make_output_array(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* kind = nullptr;
        PyObject* values = nullptr;
        if (!PyArg_ParseTuple(args, "sO!", &kind, &PyList_Type, &values)) return nullptr;
        return finish([&]() -> CallResult<PyRef> {
            auto type = element_type(kind);
            if (!type) return py::raise_later(std::move(type.error()));
            auto buffer =
                *type == ElementType::Bool ? buffer_from_list<bool>(values) : buffer_from_list<double>(values);
            if (!buffer) return py::raise_later(std::move(buffer.error()));
            return py::make_output_array(*buffer, *type);
        }());
    });
}

// make_counted_output_array(kind, n): an output array of n elements (element
// i is float(i), or i % 3 == 0 for bool) whose buffer, when freed, adds one to
// released_buffer_count().
PyObject* make_counted_output_array(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* kind = nullptr;
        Py_ssize_t count = 0;
        if (!PyArg_ParseTuple(args, "sn", &kind, &count)) return nullptr;
        return finish([&]() -> CallResult<PyRef> {
            auto type = element_type(kind);
            if (!type) return py::raise_later(std::move(type.error()));
            if (count < 0) return py::raise_later(CallError::of(PyExc_ValueError, "n must not be negative"));
            const auto n = static_cast<std::size_t>(count);
            RawBuffer raw{};
            if (*type == ElementType::Bool) {
                OwnedBuffer<bool> buffer;
                if (!OwnedBuffer<bool>::try_reserve(buffer, n))
                    return py::raise_later(CallError::of(PyExc_MemoryError, ""));
                for (std::size_t i = 0; i < n; ++i) buffer.push_unchecked(i % 3 == 0);
                raw = buffer.release();
            } else {
                OwnedBuffer<double> buffer;
                if (!OwnedBuffer<double>::try_reserve(buffer, n))
                    return py::raise_later(CallError::of(PyExc_MemoryError, ""));
                for (std::size_t i = 0; i < n; ++i) buffer.push_unchecked(static_cast<double>(i));
                raw = buffer.release();
            }
            raw.release = release_counted;
            return py::make_output_array(raw, *type);
        }());
    });
}

PyObject* released_buffer_count(PyObject*, PyObject*) { return PyLong_FromLongLong(released_buffers.load()); }

PyObject* load_numpy_api(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* {
        py::numpy::array_api();
        Py_RETURN_NONE;
    });
}

PyObject* numpy_api_loaded(PyObject*, PyObject*) { return PyBool_FromLong(py::numpy::array_api_loaded()); }

CallResult<std::optional<py::GuessMap>> read_guess_argument(PyObject* object) {
    auto guess = py::read_initial_guess(object);
    if (!guess) return py::raise_later(py::with_argument_note(std::move(guess.error()), "initial_guess"));
    return guess;
}

// read_initial_guess(obj): the map read from `obj` as a dict, or None.
PyObject* read_initial_guess(PyObject*, PyObject* object) {
    return py::guarded_entry([&]() -> PyObject* {
        return finish([&]() -> CallResult<PyRef> {
            auto guess = read_guess_argument(object);
            if (!guess) return py::raise_later(std::move(guess.error()));
            if (!*guess) return PyRef::ref(Py_None);
            PyRef dict = py::checked(PyDict_New());
            for (const auto& [key, value] : **guess) {
                PyRef number = py::checked(PyFloat_FromDouble(value));
                if (PyDict_SetItemString(dict.get(), key.c_str(), number.get()) < 0) {
                    return py::raise_later(CallError::fetch());
                }
            }
            return dict;
        }());
    });
}

// guess_to_params(obj): the start parameters read from an initial guess, as
// a 5-tuple in the parameters' order.
PyObject* guess_to_params(PyObject*, PyObject* object) {
    return py::guarded_entry([&]() -> PyObject* {
        return finish([&]() -> CallResult<PyRef> {
            auto guess = read_guess_argument(object);
            if (!guess) return py::raise_later(std::move(guess.error()));
            if (!*guess) return py::raise_later(CallError::of(PyExc_ValueError, "no guess given"));
            auto params = py::guess_to_params(**guess);
            if (!params) return py::raise_later(std::move(params.error()));
            return py::checked(Py_BuildValue("(ddddd)", params->drift_rate, params->boundary_separation,
                                             params->starting_point, params->non_decision_time, params->noise_sd));
        }());
    });
}

// params_to_dict((drift_rate, boundary_separation, starting_point,
// non_decision_time, noise_sd)): the result dictionary of a fit.
PyObject* params_to_dict(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        DiffusionParams params{};
        if (!PyArg_ParseTuple(args, "(ddddd)", &params.drift_rate, &params.boundary_separation, &params.starting_point,
                              &params.non_decision_time, &params.noise_sd)) {
            return nullptr;
        }
        return finish(py::params_to_dict(params));
    });
}

PyMethodDef module_methods[] = {
    {"borrow_and_view", borrow_and_view, METH_VARARGS,
     "borrow_and_view(obj, kind, name): convert and view an input array; its elements as a list."},
    {"make_output_array", make_output_array, METH_VARARGS,
     "make_output_array(kind, values): an output array around a buffer of the values."},
    {"make_counted_output_array", make_counted_output_array, METH_VARARGS,
     "make_counted_output_array(kind, n): an output array whose buffer's release is counted."},
    {"released_buffer_count", released_buffer_count, METH_NOARGS,
     "How many buffers of make_counted_output_array have been freed."},
    {"load_numpy_api", load_numpy_api, METH_NOARGS, "Load NumPy's function table now."},
    {"numpy_api_loaded", numpy_api_loaded, METH_NOARGS, "Whether NumPy's function table is loaded."},
    {"read_initial_guess", read_initial_guess, METH_O, "read_initial_guess(obj): the guess map as a dict, or None."},
    {"guess_to_params", guess_to_params, METH_O, "guess_to_params(obj): the start parameters as a 5-tuple."},
    {"params_to_dict", params_to_dict, METH_VARARGS, "params_to_dict(params): the result dict of a 5-tuple."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_module_functions(PyObject* module) { return PyModule_AddFunctions(module, module_methods); }

}  // namespace ventrola::testing
