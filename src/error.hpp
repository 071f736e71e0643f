// Error values returned by the computing code. Only the Python call frame turns
// them into exceptions; the kind names the Python class to raise.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace ventrola {

enum class ErrorKind {
    ValueError,     // the built-in ValueError: unusable but well-typed input
    VentrolaError,  // the module's own ValueError subclass: a recovery failed
    MemoryError,    // a buffer of the requested size cannot be reserved
    Interrupted,    // the caller asked the work to stop; its own exception says why
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected<Error>(Error{kind, std::move(message)});
}

}  // namespace ventrola
