// Test hooks for parameter recovery: summary statistics, the EZ estimator, the
// simulation objective, the Nelder-Mead optimizer (driven by Python cost
// functions) and the two-phase fit.
#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "module/call_error.hpp"
#include "module/fault_boundary.hpp"
#include "module/interpreter_lock.hpp"
#include "module/testing/bindings.hpp"
#include "recovery/ez_estimator.hpp"
#include "recovery/nelder_mead.hpp"
#include "recovery/observed_trials.hpp"
#include "recovery/sim_objective.hpp"
#include "recovery/simplex.hpp"
#include "recovery/simulation_fit.hpp"
#include "recovery/summary_statistics.hpp"

namespace ventrola::testing {
namespace {

using py::PyRef;

// ---- conversions from Python (NULL / nullopt with an exception set) ----

std::optional<std::vector<double>> to_doubles(PyObject* sequence) {
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) return std::nullopt;
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));  // new reference
        if (!item) return std::nullopt;
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
        values.push_back(value);
    }
    return values;
}

std::optional<std::vector<bool>> to_bools(PyObject* sequence) {
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) return std::nullopt;
    std::vector<bool> values;
    values.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));  // new reference
        if (!item) return std::nullopt;
        const int truth = PyObject_IsTrue(item.get());
        if (truth < 0) return std::nullopt;
        values.push_back(truth != 0);
    }
    return values;
}

std::optional<std::uint64_t> to_u64(PyObject* object) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
    return value;
}

template <std::size_t N>
std::optional<std::array<double, N>> to_fixed_doubles(PyObject* sequence, const char* what) {
    auto values = to_doubles(sequence);
    if (!values) return std::nullopt;
    if (values->size() != N) {
        PyErr_Format(PyExc_ValueError, "%s needs %d values", what, static_cast<int>(N));
        return std::nullopt;
    }
    std::array<double, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = (*values)[i];
    return out;
}

// Observed trials from a list of choices and a list of response times, each
// record not timed out, or with the timed_out flags of an optional third list.
std::optional<std::vector<TrialOutcome>> to_trials(PyObject* choices, PyObject* rts, PyObject* timed_out) {
    auto flags = to_bools(choices);
    if (!flags) return std::nullopt;
    auto times = to_doubles(rts);
    if (!times) return std::nullopt;
    std::vector<bool> cut(flags->size(), false);
    if (timed_out != nullptr) {
        auto given = to_bools(timed_out);
        if (!given) return std::nullopt;
        cut = std::move(*given);
    }
    if (times->size() != flags->size() || cut.size() != flags->size()) {
        PyErr_SetString(PyExc_ValueError, "the trial lists differ in length");
        return std::nullopt;
    }
    std::vector<TrialOutcome> trials;
    trials.reserve(flags->size());
    for (std::size_t i = 0; i < flags->size(); ++i) trials.push_back(TrialOutcome{(*times)[i], (*flags)[i], cut[i]});
    return trials;
}

std::optional<DiffusionParams> to_params(PyObject* sequence) {
    auto v = to_fixed_doubles<5>(sequence, "parameters");
    if (!v) return std::nullopt;
    return DiffusionParams{(*v)[0], (*v)[1], (*v)[2], (*v)[3], (*v)[4]};
}

// ---- conversions to Python (objects that must be made, or a fault) ----

PyRef float_object(double value) { return py::checked(PyFloat_FromDouble(value)); }
PyRef int_object(std::uint64_t value) { return py::checked(PyLong_FromUnsignedLongLong(value)); }
PyRef str_object(std::string_view text) {
    return py::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef tuple_of(std::initializer_list<PyRef*> items) {
    PyRef tuple = py::checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyRef* item : items) PyTuple_SetItem(tuple.get(), i++, item->release());  // steals
    return tuple;
}

PyRef list_of_doubles(const std::vector<double>& values) {
    PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), float_object(values[i]).release());  // steals
    }
    return list;
}

void set_item(PyObject* dict, const char* key, PyRef value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) {
        PyErr_WriteUnraisable(nullptr);
        raise_fault("cannot fill a result dictionary");
    }
}

PyRef params_dict(const DiffusionParams& p) {
    PyRef dict = py::checked(PyDict_New());
    set_item(dict.get(), "drift_rate", float_object(p.drift_rate));
    set_item(dict.get(), "boundary_separation", float_object(p.boundary_separation));
    set_item(dict.get(), "starting_point", float_object(p.starting_point));
    set_item(dict.get(), "non_decision_time", float_object(p.non_decision_time));
    set_item(dict.get(), "noise_sd", float_object(p.noise_sd));
    return dict;
}

PyRef params_tuple(const DiffusionParams& p) {
    PyRef d = float_object(p.drift_rate), b = float_object(p.boundary_separation), z = float_object(p.starting_point),
          t = float_object(p.non_decision_time), s = float_object(p.noise_sd);
    return tuple_of({&d, &b, &z, &t, &s});
}

PyRef summary_tuple(const SummaryStatistics& s) {
    PyRef a = float_object(s.accuracy), m = float_object(s.mean_rt), v = float_object(s.var_rt),
          nv = int_object(s.n_valid), nu = int_object(s.n_upper);
    return tuple_of({&a, &m, &v, &nv, &nu});
}

std::optional<SummaryStatistics> to_summary(PyObject* sequence) {
    if (PySequence_Size(sequence) != 5) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "a summary has 5 fields");
        return std::nullopt;
    }
    double reals[3];
    std::uint64_t counts[2];
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));  // new reference
        if (!item) return std::nullopt;
        if (i < 3) {
            reals[i] = PyFloat_AsDouble(item.get());
            if (reals[i] == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
        } else {
            auto count = to_u64(item.get());
            if (!count) return std::nullopt;
            counts[i - 3] = *count;
        }
    }
    return SummaryStatistics{reals[0], reals[1], reals[2], counts[0], counts[1]};
}

PyObject* raise_error(const Error& error) {
    py::CallError::from(error).raise();
    return nullptr;
}

using py::without_lock;

// ---- summary statistics and the EZ estimator ----

// compute_summary(choices, rts[, timed_out]) -> (accuracy, mean_rt, var_rt,
// n_valid, n_upper) or None.
PyObject* compute_summary_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *choices, *rts, *timed_out = nullptr;
        if (!PyArg_ParseTuple(args, "OO|O", &choices, &rts, &timed_out)) return nullptr;
        auto trials = to_trials(choices, rts, timed_out);
        if (!trials) return nullptr;
        const auto summary = compute_summary(*trials);
        if (!summary) return PyRef::ref(Py_None).release();
        return summary_tuple(*summary).release();
    });
}

// pair_observed_trials(choices: bytes, rts) -> list of (rt, choice, timed_out).
PyObject* pair_observed_trials_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        const char* bytes = nullptr;
        Py_ssize_t n_bytes = 0;
        PyObject* rts;
        if (!PyArg_ParseTuple(args, "y#O", &bytes, &n_bytes, &rts)) return nullptr;
        auto times = to_doubles(rts);
        if (!times) return nullptr;
        auto trials = pair_observed_trials(reinterpret_cast<const std::uint8_t*>(bytes),
                                           static_cast<std::size_t>(n_bytes), times->data(), times->size());
        if (!trials) return raise_error(trials.error());
        PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(trials->size())));
        for (std::size_t i = 0; i < trials->size(); ++i) {
            const TrialOutcome& t = (*trials)[i];
            PyRef rt = float_object(t.rt);
            PyRef choice = PyRef::ref(t.choice ? Py_True : Py_False);
            PyRef cut = PyRef::ref(t.timed_out ? Py_True : Py_False);
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple_of({&rt, &choice, &cut}).release());
        }
        return list.release();
    });
}

// pair_unbacked_trials(n): pairs two arrays of length n that are too large to
// exist, with no memory behind them; the reservation fails before any element
// is read, which is what this hook checks.
PyObject* pair_unbacked_trials_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* n_object;
        if (!PyArg_ParseTuple(args, "O", &n_object)) return nullptr;
        auto n = to_u64(n_object);
        if (!n) return nullptr;
        if (*n < (std::uint64_t{1} << 50)) {
            PyErr_SetString(PyExc_ValueError, "only lengths of 2**50 or more are safe here");
            return nullptr;
        }
        auto trials = pair_observed_trials(nullptr, *n, nullptr, *n);
        if (!trials) return raise_error(trials.error());
        raise_fault("records reserved for arrays that do not exist");
    });
}

// ez_from_statistics(accuracy, mean_rt, var_rt, n_valid) -> dict; ValueError
// with the estimator's message on failure.
PyObject* ez_from_statistics_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        double accuracy, mean_rt, var_rt;
        PyObject* n_object;
        if (!PyArg_ParseTuple(args, "dddO", &accuracy, &mean_rt, &var_rt, &n_object)) return nullptr;
        auto n = to_u64(n_object);
        if (!n) return nullptr;
        const auto estimate = ez_from_statistics(accuracy, mean_rt, var_rt, *n);
        if (!estimate) return raise_error(to_error(estimate.error()));
        return params_dict(*estimate).release();
    });
}

// ez_estimate(choices, rts[, timed_out]) -> dict; VentrolaError on failure.
PyObject* ez_estimate_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *choices, *rts, *timed_out = nullptr;
        if (!PyArg_ParseTuple(args, "OO|O", &choices, &rts, &timed_out)) return nullptr;
        auto trials = to_trials(choices, rts, timed_out);
        if (!trials) return nullptr;
        const auto estimate = ez_estimate(*trials);
        if (!estimate) return raise_error(to_error(estimate.error()));
        return params_dict(*estimate).release();
    });
}

// ---- simulation objective ----

// summary_seed(accuracy, mean_rt, var_rt, n_valid, n_upper) -> int.
PyObject* summary_seed_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        auto summary = to_summary(args);
        if (!summary) return nullptr;
        return int_object(summary_seed(*summary)).release();
    });
}

PyObject* no_target() { return raise_error(to_error(FitError{FitErrorKind::NoTarget, {}})); }

// sim_objective(choices, rts) -> (target summary, n_sim, seed); VentrolaError
// when the data have no summary.
PyObject* sim_objective_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *choices, *rts;
        if (!PyArg_ParseTuple(args, "OO", &choices, &rts)) return nullptr;
        auto trials = to_trials(choices, rts, nullptr);
        if (!trials) return nullptr;
        const auto objective = make_sim_objective(*trials);
        if (!objective) return no_target();
        PyRef target = summary_tuple(objective->target), n_sim = int_object(objective->n_sim),
              seed = int_object(objective->seed);
        return tuple_of({&target, &n_sim, &seed}).release();
    });
}

double cost_unlocked(const SimObjective& objective, const std::vector<double>& x) {
    return without_lock([&] { return objective_cost(objective, x); });
}

// objective_cost(choices, rts, x) -> float, for the objective of the observed
// data; VentrolaError when the data have no summary.
PyObject* objective_cost_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *choices, *rts, *x_object;
        if (!PyArg_ParseTuple(args, "OOO", &choices, &rts, &x_object)) return nullptr;
        auto trials = to_trials(choices, rts, nullptr);
        if (!trials) return nullptr;
        auto x = to_doubles(x_object);
        if (!x) return nullptr;
        const auto objective = make_sim_objective(*trials);
        if (!objective) return no_target();
        return float_object(cost_unlocked(*objective, *x)).release();
    });
}

// objective_cost_for(target summary, seed, x) -> float, for an objective
// assembled from the given target and seed.
PyObject* objective_cost_for_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *target_object, *seed_object, *x_object;
        if (!PyArg_ParseTuple(args, "OOO", &target_object, &seed_object, &x_object)) return nullptr;
        auto target = to_summary(target_object);
        if (!target) return nullptr;
        auto seed = to_u64(seed_object);
        if (!seed) return nullptr;
        auto x = to_doubles(x_object);
        if (!x) return nullptr;
        const SimObjective objective{*target, SIM_TRIALS, *seed};
        return float_object(cost_unlocked(objective, *x)).release();
    });
}

// ---- Nelder-Mead ----

// build_simplex(x0, relative_step, floor) -> list of four lists.
PyObject* build_simplex_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* x0_object;
        double relative_step, floor;
        if (!PyArg_ParseTuple(args, "Odd", &x0_object, &relative_step, &floor)) return nullptr;
        auto x0 = to_fixed_doubles<3>(x0_object, "x0");
        if (!x0) return nullptr;
        const auto simplex = build_simplex(*x0, relative_step, floor);
        PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(simplex.size())));
        for (std::size_t i = 0; i < simplex.size(); ++i) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), list_of_doubles(simplex[i]).release());  // steals
        }
        return list.release();
    });
}

// Thrown out of a cost evaluation when the Python cost function raised; the
// exception stays pending in the interpreter.
struct PythonCostRaised {};

// minimize(cost, simplex, budget) -> (outcome, step kinds), where outcome is
// ("Solved", best, cost, iterations), ("NoSolution",) or ("Failed", text). The
// cost function gets each vector as a tuple of floats; whatever it raises ends
// the run and is raised again here.
PyObject* minimize_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *cost_object, *simplex_object, *budget_object;
        if (!PyArg_ParseTuple(args, "OOO", &cost_object, &simplex_object, &budget_object)) return nullptr;
        const Py_ssize_t size = PySequence_Size(simplex_object);
        if (size < 0) return nullptr;
        std::vector<std::vector<double>> simplex;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyRef vertex = PyRef::steal(PySequence_GetItem(simplex_object, i));  // new reference
            if (!vertex) return nullptr;
            auto x = to_doubles(vertex.get());
            if (!x) return nullptr;
            simplex.push_back(std::move(*x));
        }
        bool shaped = !simplex.empty() && simplex.size() == simplex.front().size() + 1;
        for (const auto& x : simplex) shaped = shaped && x.size() == simplex.front().size();
        if (!shaped) {
            PyErr_SetString(PyExc_ValueError, "the simplex needs n + 1 vectors of one length n > 0");
            return nullptr;
        }
        auto budget = to_u64(budget_object);
        if (!budget) return nullptr;

        const auto cost = [cost_object](std::span<const double> x) -> double {
            PyRef point = py::checked(PyTuple_New(static_cast<Py_ssize_t>(x.size())));
            for (std::size_t i = 0; i < x.size(); ++i) {
                PyTuple_SetItem(point.get(), static_cast<Py_ssize_t>(i), float_object(x[i]).release());  // steals
            }
            PyRef call_args = tuple_of({&point});
            PyRef value = PyRef::steal(PyObject_CallObject(cost_object, call_args.get()));  // new reference
            if (!value) throw PythonCostRaised{};
            const double result = PyFloat_AsDouble(value.get());
            if (result == -1.0 && PyErr_Occurred() != nullptr) throw PythonCostRaised{};
            return result;
        };
        std::vector<StepKind> steps;
        RunOutcome outcome;
        try {
            outcome = minimize(cost, std::move(simplex), *budget, [&steps](StepKind kind) { steps.push_back(kind); });
        } catch (const PythonCostRaised&) {
            return nullptr;
        }

        PyRef result;
        if (const auto* solved = std::get_if<Solved>(&outcome)) {
            PyRef tag = str_object("Solved"), best = list_of_doubles(solved->best), value = float_object(solved->cost),
                  iterations = int_object(solved->iterations);
            result = tuple_of({&tag, &best, &value, &iterations});
        } else if (const auto* failed = std::get_if<Failed>(&outcome)) {
            PyRef tag = str_object("Failed"), text = str_object(failed->message);
            result = tuple_of({&tag, &text});
        } else {
            PyRef tag = str_object("NoSolution");
            result = tuple_of({&tag});
        }
        PyRef kinds = py::checked(PyList_New(static_cast<Py_ssize_t>(steps.size())));
        for (std::size_t i = 0; i < steps.size(); ++i) {
            PyList_SetItem(kinds.get(), static_cast<Py_ssize_t>(i), str_object(step_kind_name(steps[i])).release());
        }
        return tuple_of({&result, &kinds}).release();
    });
}

// ---- the fit ----

// coarse_budget(max_iters) -> int; refinement_budget(max_iters, t1) -> int.
PyObject* coarse_budget_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject* m_object;
        if (!PyArg_ParseTuple(args, "O", &m_object)) return nullptr;
        auto m = to_u64(m_object);
        if (!m) return nullptr;
        return int_object(coarse_budget(*m)).release();
    });
}

PyObject* refinement_budget_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *m_object, *t1_object;
        if (!PyArg_ParseTuple(args, "OO", &m_object, &t1_object)) return nullptr;
        auto m = to_u64(m_object);
        if (!m) return nullptr;
        auto t1 = to_u64(t1_object);
        if (!t1) return nullptr;
        return int_object(refinement_budget(*m, *t1)).release();
    });
}

// refinement_wins(coarse_cost, refined_cost) -> bool.
PyObject* refinement_wins_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        double coarse_cost, refined_cost;
        if (!PyArg_ParseTuple(args, "dd", &coarse_cost, &refined_cost)) return nullptr;
        return PyBool_FromLong(refinement_wins(coarse_cost, refined_cost) ? 1 : 0);
    });
}

// warm_start(choices, rts) -> the five start parameters without a guess.
PyObject* warm_start_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *choices, *rts;
        if (!PyArg_ParseTuple(args, "OO", &choices, &rts)) return nullptr;
        auto trials = to_trials(choices, rts, nullptr);
        if (!trials) return nullptr;
        return params_tuple(warm_start(*trials)).release();
    });
}

// fit_by_simulation(choices, rts, start, max_iters) -> dict with the five
// parameters, iterations and final_cost; VentrolaError with the fit's message.
PyObject* fit_by_simulation_hook(PyObject*, PyObject* args) {
    return py::guarded_entry([&]() -> PyObject* {
        PyObject *choices, *rts, *start_object, *m_object;
        if (!PyArg_ParseTuple(args, "OOOO", &choices, &rts, &start_object, &m_object)) return nullptr;
        auto trials = to_trials(choices, rts, nullptr);
        if (!trials) return nullptr;
        auto start = to_params(start_object);
        if (!start) return nullptr;
        auto m = to_u64(m_object);
        if (!m) return nullptr;
        const auto fit = without_lock([&] { return fit_by_simulation(*trials, *start, *m); });
        if (!fit) return raise_error(to_error(fit.error()));
        PyRef dict = params_dict(fit->params);
        set_item(dict.get(), "iterations", int_object(fit->iterations));
        set_item(dict.get(), "final_cost", float_object(fit->final_cost));
        set_item(dict.get(), "evaluations", int_object(fit->evaluations));
        return dict.release();
    });
}

PyMethodDef recovery_methods[] = {
    {"compute_summary", compute_summary_hook, METH_VARARGS, "Summary statistics of a trial set, or None."},
    {"pair_observed_trials", pair_observed_trials_hook, METH_VARARGS, "Pair choice bytes with response times."},
    {"pair_unbacked_trials", pair_unbacked_trials_hook, METH_VARARGS, "Pair two impossibly long arrays."},
    {"ez_from_statistics", ez_from_statistics_hook, METH_VARARGS, "The EZ equations on given statistics."},
    {"ez_estimate", ez_estimate_hook, METH_VARARGS, "The EZ estimate of a trial set."},
    {"summary_seed", summary_seed_hook, METH_VARARGS, "The objective's seed for five summary fields."},
    {"sim_objective", sim_objective_hook, METH_VARARGS, "Target, trial count and seed of an objective."},
    {"objective_cost", objective_cost_hook, METH_VARARGS, "Cost of a vector against observed data."},
    {"objective_cost_for", objective_cost_for_hook, METH_VARARGS, "Cost of a vector for a given target and seed."},
    {"build_simplex", build_simplex_hook, METH_VARARGS, "The starting simplex around a vector."},
    {"minimize", minimize_hook, METH_VARARGS, "Nelder-Mead over a Python cost function."},
    {"coarse_budget", coarse_budget_hook, METH_VARARGS, "Iteration budget of the coarse phase."},
    {"refinement_budget", refinement_budget_hook, METH_VARARGS, "Iteration budget of the refinement phase."},
    {"refinement_wins", refinement_wins_hook, METH_VARARGS, "Whether the refined result replaces the coarse one."},
    {"warm_start", warm_start_hook, METH_VARARGS, "Start parameters when no guess is given."},
    {"fit_by_simulation", fit_by_simulation_hook, METH_VARARGS, "The two-phase simulation-based fit."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_recovery_functions(PyObject* module) { return PyModule_AddFunctions(module, recovery_methods); }

}  // namespace ventrola::testing
