// UTF-8 text of a str under the limited API of 3.9 (which lacks
// PyUnicode_AsUTF8AndSize).
#pragma once

#include <optional>
#include <string>

#include "module/py_ref.hpp"

namespace ventrola::py {

// The text of a str; nullopt with the interpreter's error pending on failure.
std::optional<std::string> utf8_text(PyObject* str);

}  // namespace ventrola::py
