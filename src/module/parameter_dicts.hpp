// Model parameters as plain dictionaries: the result of both fits, and the
// `initial_guess` argument of fit_sim.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>

#include "model/parameters.hpp"
#include "module/call_error.hpp"

namespace ventrola::py {

// Every entry of an initial_guess dictionary, key text (UTF-8) to value.
using GuessMap = std::unordered_map<std::string, double>;

// A new dict with the five parameter keys in their fixed order.
CallResult<PyRef> params_to_dict(const DiffusionParams& params);

// No map for None; otherwise every entry converted. Failures are the
// interpreter's or TypeError (the caller adds the argument note); a dict that
// changes while it is read is an internal fault.
CallResult<std::optional<GuessMap>> read_initial_guess(PyObject* object);

// The start parameters of a fit; ValueError "initial_guess is missing '<key>'".
CallResult<DiffusionParams> guess_to_params(const GuessMap& guess);

}  // namespace ventrola::py
