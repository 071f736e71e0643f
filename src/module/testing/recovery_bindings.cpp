#include "module/testing/bindings.hpp"

namespace ventrola::testing {

int add_recovery_functions(PyObject*) { return 0; }

}  // namespace ventrola::testing
