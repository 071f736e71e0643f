// The frame every call of a module function runs: argument matching against a
// static parameter list, and the conversions of scalar arguments.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "module/call_error.hpp"

namespace ventrola::py {

constexpr std::size_t MAX_PARAMETERS = 13;

// One function's parameter list: every parameter may be given by position or
// by keyword; the first `required` have no default.
struct ArgumentSpec {
    const char* function_name;
    std::array<const char*, MAX_PARAMETERS> parameters;
    std::size_t parameter_count;
    std::size_t required;
};

// One borrowed object per parameter, NULL where the argument was not given.
using ArgumentSlots = std::array<PyObject*, MAX_PARAMETERS>;

// Matches positional arguments and keywords to the parameters; raises the
// interpreter's usual TypeError texts on mismatch.
CallResult<ArgumentSlots> parse_call_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs);

// Conversions; on failure the exception gets the note "while processing '<name>'".
CallResult<double> convert_double(PyObject* object, const char* name);
CallResult<std::uint64_t> convert_u64(PyObject* object, const char* name);

// Adds the conversion note to a failed conversion of argument `name`.
CallError with_argument_note(CallError error, const char* name);

}  // namespace ventrola::py
