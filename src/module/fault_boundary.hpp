// The boundary every Python entry runs inside: internal faults (and anything
// else thrown by mistake) become PanicException instead of leaving the
// extension, and the interpreter stays usable.
#pragma once

#include <exception>
#include <new>

#include "fault.hpp"
#include "module/exceptions.hpp"

namespace ventrola::py {

// `body` returns the entry's result (a new reference, or NULL / -1 with an
// exception set); `failed` is what the entry returns when a fault is caught.
template <class Result, class Body>
Result run_in_boundary(Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const InternalFault& fault) {
        raise_panic(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        raise_panic(other.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return failed;
}

template <class Body>
PyObject* guarded_entry(Body&& body) noexcept {
    return run_in_boundary<PyObject*>(nullptr, static_cast<Body&&>(body));
}

}  // namespace ventrola::py
