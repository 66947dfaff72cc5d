// Where reading errors, allocation failures and internal faults become Python exceptions.
#pragma once

#include "python/ref.hpp"

#include <new>
#include <string>

#include "cwa/cancel.hpp"
#include "cwa/error.hpp"
#include "python/panic.hpp"

namespace kelpmoor {

// Each returns nullptr so entry points can `return raise_...(...)`.
// The exception of a core error follows from its kind alone: ValueError for a cut or rate
// refused as an argument, MemoryError for memory the call cannot have, the pending exception
// of a cancelled call, and RuntimeError for everything the recording or the system did.
PyObject* raise_error(const cwa::CwaError& error);
// A MemoryError for an allocation that failed where the core could not say what it was for.
PyObject* raise_out_of_memory(const char* function);
// Clears the pending exception and returns its text (empty, with that failure set, when even
// the text cannot be had).
Ref take_pending_error_text();
// Re-raises a pending TypeError as "argument '<name>': <message>"; other errors pass unchanged.
void prefix_argument_error(const char* name);

// The core's cancellation hook: a Ctrl-C (or any exception a signal handler raises) stops the
// call, and the exception stays pending for the caller.
bool signal_pending() noexcept;

// Runs the body of the entry point named `function`; nothing thrown inside reaches the
// interpreter, and long loops inside can be stopped by a signal.
template <class Body>
PyObject* guard(const char* function, Body&& body) noexcept {
    try {
        cwa::CancelScope cancel_on_signal(signal_pending);
        return body();
    } catch (const std::bad_alloc&) {
        return raise_out_of_memory(function);
    } catch (const std::exception& fault) {
        return raise_panic(fault.what());
    } catch (...) {
        return raise_panic("unknown internal fault");
    }
}

}  // namespace kelpmoor
