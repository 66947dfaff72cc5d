#include "python/arrays.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kelpmoor_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdlib>

#include "cwa/error.hpp"

namespace kelpmoor {

namespace {

constexpr const char* storage_capsule_name = "kelpmoor.column_storage";

void free_storage(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, storage_capsule_name)); }

// NumPy is loaded on first use, so importing kelpmoor does not import NumPy.
void require_numpy() {
    if (PyArray_ImportNumPyAPI() < 0) {
        PyErr_Clear();
        cwa::internal_fault("Failed to access NumPy array API capsule");
    }
}

template <class T>
Ref to_array(cwa::Column<T>&& column, int type_number) {
    require_numpy();
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
