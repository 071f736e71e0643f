// Test hooks for the one-trial likelihood and the quadrature rules behind its
// averages over the start point and the non-decision time.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <span>
#include <vector>

#include "likelihood/quadrature.hpp"
#include "likelihood/scaled_erfc.hpp"
#include "likelihood/wiener.hpp"
#include "model/parameter_checks.hpp"
#include "module/fault_boundary.hpp"
#include "module/testing/bindings.hpp"

namespace ventrola::testing {
namespace {

using py::PyRef;

// The eight parameters in the order of FullModelParams.
bool parse_parameters(PyObject* args, FullModelParams& p) {
    return PyArg_ParseTuple(args, "dddddddd", &p.drift_rate, &p.boundary_separation, &p.starting_point,
                            &p.non_decision_time, &p.drift_rate_sd, &p.starting_point_range, &p.non_decision_time_range,
                            &p.noise_sd) != 0;
}

// The choice and response time, then the eight parameters.
bool parse_trial(PyObject* args, int& upper, double& rt, FullModelParams& p) {
    return PyArg_ParseTuple(args, "pddddddddd", &upper, &rt, &p.drift_rate, &p.boundary_separation, &p.starting_point,
                            &p.non_decision_time, &p.drift_rate_sd, &p.starting_point_range, &p.non_decision_time_range,
                            &p.noise_sd) != 0;
}

// gauss_legendre_rule(n) -> (nodes, weights)
PyObject* gauss_legendre_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        int n = 0;
        if (!PyArg_ParseTuple(args, "i", &n)) return nullptr;
        if (n < 1 || n > likelihood::MAX_RULE_NODES) {
            PyErr_SetString(PyExc_ValueError, "no rule of that size");
            return nullptr;
        }
        const likelihood::GaussLegendreRule rule = likelihood::gauss_legendre(n);
        PyRef nodes = py::checked(float_tuple(rule.nodes));
        PyRef weights = py::checked(float_tuple(rule.weights));
        return PyTuple_Pack(2, nodes.get(), weights.get());
    });
}

// gauss_laguerre_rule(n) -> (nodes, log_weights), log_weights = log(weight) + node
PyObject* gauss_laguerre_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        int n = 0;
        if (!PyArg_ParseTuple(args, "i", &n)) return nullptr;
        if (n < 1 || n > likelihood::MAX_LAGUERRE_NODES) {
            PyErr_SetString(PyExc_ValueError, "no rule of that size");
            return nullptr;
        }
        const likelihood::GaussLaguerreRule rule = likelihood::gauss_laguerre(n);
        PyRef nodes = py::checked(float_tuple(rule.nodes));
        PyRef log_weights = py::checked(float_tuple(rule.log_weights));
        return PyTuple_Pack(2, nodes.get(), log_weights.get());
    });
}

// gauss_lobatto_rule(n) -> (nodes, weights)
PyObject* gauss_lobatto_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        int n = 0;
        if (!PyArg_ParseTuple(args, "i", &n)) return nullptr;
        if (n < 2 || n > likelihood::MAX_LOBATTO_NODES) {
            PyErr_SetString(PyExc_ValueError, "no rule of that size");
            return nullptr;
        }
        const likelihood::GaussLobattoRule rule = likelihood::gauss_lobatto(n);
        std::vector<double> weights(rule.log_weights.size());
        for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = std::exp(rule.log_weights[i]);
        PyRef nodes = py::checked(float_tuple(rule.nodes));
        PyRef weight_tuple = py::checked(float_tuple(weights));
        return PyTuple_Pack(2, nodes.get(), weight_tuple.get());
    });
}

// mills_ratio(y) -> R(y), the normal tail beyond y over the density at y
PyObject* mills_ratio_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        double y = 0;
        if (!PyArg_ParseTuple(args, "d", &y)) return nullptr;
        return PyFloat_FromDouble(likelihood::mills_ratio(y));
    });
}

// rule_size(slope, curvature, accuracy[, weight]) -> nodes, 0 for none;
// accuracy 0 for values, 1 (or True) for derivatives, 2 for averaged
// log-densities; weight the integrand's share of the whole (default 1)
PyObject* rule_size_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        double slope = 0, curvature = 0, weight = 1;
        int level = 0;
        if (!PyArg_ParseTuple(args, "ddi|d", &slope, &curvature, &level, &weight)) return nullptr;
        const auto accuracy = level == 2   ? likelihood::Accuracy::Density
                              : level == 1 ? likelihood::Accuracy::Derivative
                                           : likelihood::Accuracy::Value;
        return PyLong_FromLong(likelihood::rule_size(slope, curvature, accuracy, weight));
    });
}

// check_wiener_parameters(v, a, w, t0, sv, sz, st0, s) -> None or the message
PyObject* check_parameters_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        FullModelParams p{};
        if (!parse_parameters(args, p)) return nullptr;
        const std::optional<Error> error = check_parameters(p);
        if (!error) Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(error->message.data(), static_cast<Py_ssize_t>(error->message.size()));
    });
}

// parameter_requirements() -> {name: requirement}, in the parameters' order
PyObject* parameter_requirements_hook(PyObject*, PyObject*) {
    return py::guarded_entry([&]() -> PyObject* {
        PyRef table = py::checked(PyDict_New());
        for (const ParameterDomain& domain : parameter_domains()) {
            PyRef requirement = py::checked(PyUnicode_FromStringAndSize(
                domain.requirement.data(), static_cast<Py_ssize_t>(domain.requirement.size())));
            const std::string name(domain.name);
            if (PyDict_SetItemString(table.get(), name.c_str(), requirement.get()) < 0) return nullptr;
        }
        return table.release();
    });
}

// The one-trial functions take (upper, rt, v, a, w, t0, sv, sz, st0, s) and
// parameters that passed the check.
template <double (*Function)(bool, double, const FullModelParams&)>
PyObject* one_trial_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        int upper = 0;
        double rt = 0;
        FullModelParams p{};
        if (!parse_trial(args, upper, rt, p)) return nullptr;
        return PyFloat_FromDouble(Function(upper != 0, rt, p));
    });
}

// wiener_gradient(...) -> (log_density, (d/dv, d/da, d/dw, d/dt0, d/dsv, d/dsz, d/dst0))
PyObject* gradient_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        int upper = 0;
        double rt = 0;
        FullModelParams p{};
        if (!parse_trial(args, upper, rt, p)) return nullptr;
        const likelihood::LogDensityGradient g = likelihood::log_density_gradient(upper != 0, rt, p);
        PyRef partials = py::checked(float_tuple(g.partials));
        return Py_BuildValue("(dO)", g.log_density, partials.get());
    });
}

// bench_wiener(rts, uppers, gradient, v, a, w, t0, sv, sz, st0, s) -> (seconds, sum):
// the log-density (or with its gradient) of each trial, rts as float64 bytes
// and uppers as one byte each, timed here so that Python's overhead is not
// counted, in processor time, which a busy shared machine disturbs far less
// than the wall clock
PyObject* bench_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* rt_bytes = nullptr;
        const char* upper_bytes = nullptr;
        Py_ssize_t rt_length = 0, n = 0;
        int gradient = 0;
        FullModelParams p{};
        if (!PyArg_ParseTuple(args, "y#y#pdddddddd", &rt_bytes, &rt_length, &upper_bytes, &n, &gradient, &p.drift_rate,
                              &p.boundary_separation, &p.starting_point, &p.non_decision_time, &p.drift_rate_sd,
                              &p.starting_point_range, &p.non_decision_time_range, &p.noise_sd)) {
            return nullptr;
        }
        if (rt_length != n * static_cast<Py_ssize_t>(sizeof(double))) {
            PyErr_SetString(PyExc_ValueError, "one float64 response time per choice byte");
            return nullptr;
        }
        std::vector<double> times(static_cast<std::size_t>(n));
        std::memcpy(times.data(), rt_bytes, static_cast<std::size_t>(rt_length));
        const std::vector<char> choices(upper_bytes, upper_bytes + n);
        double sink = 0;
        const std::clock_t start = std::clock();
        for (std::size_t i = 0; i < times.size(); ++i) {
            sink += gradient != 0 ? likelihood::log_density_gradient(choices[i] != 0, times[i], p).partials[0]
                                  : likelihood::log_density(choices[i] != 0, times[i], p);
        }
        const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        // The sum keeps the loop from being optimised away.
        return Py_BuildValue("(dd)", seconds, sink);
    });
}

PyMethodDef variability_methods[] = {
    {"gauss_legendre_rule", gauss_legendre_hook, METH_VARARGS, "The n-node Gauss-Legendre rule on [-1, 1]."},
    {"gauss_laguerre_rule", gauss_laguerre_hook, METH_VARARGS,
     "The n-node Gauss-Laguerre rule as (nodes, log(weight) + node)."},
    {"gauss_lobatto_rule", gauss_lobatto_hook, METH_VARARGS, "The n-node Gauss-Lobatto rule on [-1, 1]."},
    {"mills_ratio", mills_ratio_hook, METH_VARARGS, "The normal tail beyond y over the normal density at y."},
    {"rule_size", rule_size_hook, METH_VARARGS, "Nodes for exp(slope s + curvature s^2) on [-1, 1]."},
    {"check_wiener_parameters", check_parameters_hook, METH_VARARGS, "None, or why the parameters are refused."},
    {"parameter_requirements", parameter_requirements_hook, METH_NOARGS,
     "Each parameter's name and what its refusal says a usable value must be."},
    {"wiener_log_density", one_trial_hook<likelihood::log_density>, METH_VARARGS, "log f(rt, choice)."},
    {"wiener_density", one_trial_hook<likelihood::density>, METH_VARARGS, "f(rt, choice)."},
    {"wiener_distribution", one_trial_hook<likelihood::distribution>, METH_VARARGS, "P(choice and RT <= rt)."},
    {"wiener_gradient", gradient_hook, METH_VARARGS, "The log-density and its seven partial derivatives."},
    {"bench_wiener", bench_hook, METH_VARARGS, "Seconds for the log-densities (or gradients) of a set of trials."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_variability_functions(PyObject* module) { return PyModule_AddFunctions(module, variability_methods); }

}  // namespace ventrola::testing
