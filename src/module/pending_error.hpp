// The pending interpreter error as text, for fault messages that go on with
// the error that caused them.
#pragma once

#include <string>

#include "module/py_ref.hpp"

namespace ventrola::py {

// "<type name>: <str(value)>" of the pending exception, which is cleared.
std::string take_pending_error_text();

}  // namespace ventrola::py
