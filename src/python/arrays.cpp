#include "python/arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kelpmoor_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdlib>

#include "python/errors.hpp"

namespace kelpmoor {

namespace {

constexpr const char* storage_capsule_name = "kelpmoor.column_storage";

void free_storage(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, storage_capsule_name)); }

// NumPy is loaded on first use, so importing kelpmoor does not import NumPy. A NumPy that cannot
// be loaded is an ImportError: its own, or, where its loader failed some other way (a build
// that does not fit), one that carries that failure's text.
bool load_numpy() {
    if (PyArray_ImportNumPyAPI() == 0) return true;
    if (PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    Ref text = take_pending_error_text();
    if (text) PyErr_Format(PyExc_ImportError, "NumPy cannot be loaded: %U", text.get());
    return false;
}

template <class T>
Ref to_array(cwa::Column<T>&& column, int type_number) {
    if (!load_numpy()) return {};  // the column stays with the caller, which frees it
    npy_intp length = static_cast<npy_intp>(column.size());
    T* data = column.data();
    Ref owner;
    if (data) {
        owner = Ref::steal(PyCapsule_New(data, storage_capsule_name, free_storage));
        if (!owner) return {};
        column.release();  // the capsule frees it from now on
    }
    Ref array = Ref::steal(PyArray_SimpleNewFromData(1, &length, type_number, data));
    if (!array || !owner) return array;
    // SetBaseObject consumes the reference it is given, even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) return {};
    return array;
}

}  // namespace

Ref column_to_array(cwa::Column<float>&& column) { return to_array(std::move(column), NPY_FLOAT32); }

Ref column_to_array(cwa::Column<std::int64_t>&& column) { return to_array(std::move(column), NPY_INT64); }

}  // namespace kelpmoor
