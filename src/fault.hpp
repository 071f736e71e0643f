// Internal faults: broken invariants of the extension itself, never caused by
// ordinary input. They travel as this one exception type and are caught at the
// boundary of every Python entry, where they become PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace ventrola {

class InternalFault : public std::runtime_error {
public:
    explicit InternalFault(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void raise_fault(const std::string& message) { throw InternalFault(message); }

}  // namespace ventrola
