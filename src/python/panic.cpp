#include "python/panic.hpp"

namespace kelpmoor {

namespace {

constexpr char companion_name[] = "kelpmoor._faults";

// Created once per process, like the module itself, and never released.
PyObject* panic_type = nullptr;
PyObject* rebuild_function = nullptr;

// PanicException(*args): what an unpickled fault is made from.
PyObject* rebuild(PyObject*, PyObject* args) { return PyObject_Call(panic_type, args, nullptr); }

// (rebuild, args), plus the instance's attributes (notes among them) when it has any, as
// BaseException.__reduce__ gives them.
PyObject* reduce(PyObject* self, PyObject*) {
    Ref args = Ref::steal(PyObject_GetAttrString(self, "args"));
    if (!args) return nullptr;
    Ref state = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!state) return nullptr;
    if (PyDict_Check(state.get()) && PyDict_GET_SIZE(state.get()) > 0) {
        return PyTuple_Pack(3, rebuild_function, args.get(), state.get());
    }
    return PyTuple_Pack(2, rebuild_function, args.get());
}

PyMethodDef rebuild_def = {"rebuild", rebuild, METH_VARARGS, "rebuild(*args)\n--\n\nAn unpickled PanicException."};
PyMethodDef reduce_def = {"__reduce__", reduce, METH_NOARGS, nullptr};

}  // namespace

bool create_panic_type() {
    if (panic_type) return true;
    Ref type = Ref::steal(PyErr_NewExceptionWithDoc(
        "kelpmoor.PanicException", "An internal fault of kelpmoor: a broken invariant, never bad input.",
        PyExc_RuntimeError, nullptr));
    if (!type) return false;
    Ref reduce_method = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &reduce_def));
    if (!reduce_method || PyObject_SetAttrString(type.get(), "__reduce__", reduce_method.get()) < 0) return false;

    Ref companion = Ref::steal(PyModule_New(companion_name));
    if (!companion) return false;
    Ref name = Ref::steal(PyUnicode_FromString(companion_name));
    if (!name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(&rebuild_def, companion.get(), name.get()));
    if (!function || PyModule_AddObjectRef(companion.get(), "rebuild", function.get()) < 0 ||
        PyModule_AddObjectRef(companion.get(), "PanicException", type.get()) < 0 ||
        PyDict_SetItemString(PyImport_GetModuleDict(), companion_name, companion.get()) < 0) {
        return false;
    }
    rebuild_function = function.release();
    panic_type = type.release();
    return true;
}

PyObject* raise_panic(const char* message) {
    // Never without the type once the module exists; a plain RuntimeError otherwise, so that a
    // failure is never returned without an exception.
    PyErr_SetString(panic_type ? panic_type : PyExc_RuntimeError, message);
    return nullptr;
}

}  // namespace kelpmoor
