// Where reading errors, allocation failures and internal faults become Python exceptions.
#pragma once

#include "python/ref.hpp"

#include <new>
#include <string>

#include "cwa/error.hpp"

namespace kelpmoor {

// Each returns nullptr so entry points can `return raise_...(...)`.
PyObject* raise_runtime_error(const cwa::CwaError& error);
PyObject* raise_value_error(const cwa::CwaError& error);
PyObject* raise_panic(const char* message);
// Re-raises a pending TypeError as "argument '<name>': <message>"; other errors pass unchanged.
void prefix_argument_error(const char* name);

// Runs an entry point's body; nothing thrown inside reaches the interpreter.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        return raise_panic(fault.what());
    } catch (...) {
        return raise_panic("unknown internal fault");
    }
}

}  // namespace kelpmoor
