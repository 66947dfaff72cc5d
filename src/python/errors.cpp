#include "python/errors.hpp"

namespace kelpmoor {

namespace {

PyObject* raise_text(PyObject* type, const std::string& text) {
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

PyObject* panic_type() {
    // Created once per process, like the module itself, and never released.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kelpmoor.PanicException", "An internal fault of kelpmoor: a broken invariant, never bad input.",
        PyExc_RuntimeError, nullptr);
    return type;
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

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (!type) return nullptr;
    PyErr_SetString(type, message);
    return nullptr;
}

PyObject* raise_out_of_memory(const char* function) {
    // Where even this text cannot be formatted, the bare MemoryError of the failure stays.
    return PyErr_Format(PyExc_MemoryError, "kelpmoor ran out of memory in %s: the system refused an allocation",
                        function);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_traceback = Ref::steal(traceback);
    Ref text = Ref::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

}  // namespace kelpmoor
