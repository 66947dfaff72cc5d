#include "python/errors.hpp"

namespace kelpmoor {

namespace {

PyObject* raise_text(PyObject* type, const std::string& text) {
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

}  // namespace

PyObject* raise_error(const cwa::CwaError& error) {
    switch (error.kind()) {
        case cwa::CwaError::Kind::Cancelled:
            // The signal handler's own exception is already pending.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return nullptr;
        case cwa::CwaError::Kind::OutOfMemory:
            return raise_text(PyExc_MemoryError, error.display());
        case cwa::CwaError::Kind::InvalidArgument:
            return raise_text(PyExc_ValueError, error.display());
        case cwa::CwaError::Kind::Message:
        case cwa::CwaError::Kind::Io:
            break;
    }
    return raise_text(PyExc_RuntimeError, error.display());
}

bool signal_pending() noexcept { return PyErr_CheckSignals() != 0; }

PyObject* raise_out_of_memory(const char* function) {
    // Where even this text cannot be formatted, the bare MemoryError of the failure stays.
    return PyErr_Format(PyExc_MemoryError, "kelpmoor ran out of memory in %s: the system refused an allocation",
                        function);
}

Ref take_pending_error_text() {
#if PY_VERSION_HEX >= 0x030C0000
    Ref raised = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), raised = Ref::steal(value), owned_traceback = Ref::steal(traceback);
#endif
    return Ref::steal(raised ? PyObject_Str(raised.get()) : nullptr);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref text = take_pending_error_text();
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

}  // namespace kelpmoor
