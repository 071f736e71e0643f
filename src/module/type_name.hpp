// The TypeError of an argument of the wrong kind, named by its type's
// qualified name.
#pragma once

#include <string>

#include "module/call_error.hpp"

namespace ventrola::py {

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// TypeError "'<qualname>' object is not an instance of '<expected>'".
CallError not_an_instance(PyObject* object, const char* expected);

}  // namespace ventrola::py
