// kelpmoor_tools._window_sums: the per-window sums of the activity methods, one pass over the
// samples. Arrays come in through the buffer protocol; the sums go back as bytearrays that
// NumPy views without copying again.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "window_sums.hpp"

namespace kelpmoor::activity {

namespace {

// A buffer view held for exactly as long as this object lives.
class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A one-dimensional contiguous array of `itemsize`-byte items of one of `kinds`
    // (struct-module codes); false with a Python error set otherwise.
    bool take(PyObject* object, const char* name, std::string_view kinds, Py_ssize_t itemsize) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
        held_ = true;
        std::string_view format = view_.format ? view_.format : "B";
        if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
        if (view_.ndim != 1 || view_.itemsize != itemsize || format.size() != 1 ||
            kinds.find(format[0]) == std::string_view::npos) {
            PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional contiguous array of %s", name,
                         itemsize == 8 ? "int64" : "float32");
            return false;
        }
        return true;
    }
    Py_ssize_t size() const noexcept { return view_.shape ? view_.shape[0] : view_.len / view_.itemsize; }
    template <class T>
    std::span<const T> as() const noexcept {
        return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(size())};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A new reference, or nullptr with a Python error set.
PyObject* bytearray_of(const void* data, std::size_t bytes) {
    PyObject* out = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes));
    if (out && bytes) std::memcpy(PyByteArray_AS_STRING(out), data, bytes);
    return out;
}

PyObject* to_python(const Runs& runs) {
    const std::size_t count = runs.id.size();
    std::vector<double> fields(count * field_count);
    for (std::size_t f = 0; f < field_count; ++f)
        std::copy(runs.field[f].begin(), runs.field[f].end(), fields.begin() + static_cast<std::ptrdiff_t>(f * count));
    PyObject* ids = bytearray_of(runs.id.data(), count * sizeof(std::int64_t));
    if (!ids) return nullptr;
    PyObject* values = bytearray_of(fields.data(), fields.size() * sizeof(double));
    if (!values) {
        Py_DECREF(ids);
        return nullptr;
    }
    return Py_BuildValue("(NN)", ids, values);   // N: the tuple takes both references
}

std::optional<Correction> parse_correction(PyObject* object) {
    Correction k;
    if (!PyArg_ParseTuple(object, "(ddd)(ddd)(ddd)d;correction must be (offset, scale, coefficient, reference)",
                          &k.offset[0], &k.offset[1], &k.offset[2], &k.scale[0], &k.scale[1], &k.scale[2],
                          &k.coefficient[0], &k.coefficient[1], &k.coefficient[2], &k.reference))
        return std::nullopt;
    return k;
}

constexpr char window_sums_doc[] =
    "window_sums(time_us, x, y, z, temperature, width_us, correction, full)\n--\n\n"
    "Per run of consecutive samples in one window of width_us microseconds: (ids, values),\n"
    "two bytearrays: int64 window numbers, and float64 rows of the run statistics\n"
    "(count, temperature, mx, my, mz, vx, vy, vz, enmo, lox, loy, loz, hix, hiy, hiz),\n"
    "each row as long as ids. time_us is int64, the other arrays float32, all as long.\n"
    "correction is None or ((offset x3), (scale x3), (coefficient x3), reference).\n"
    "Without full, the enmo and extreme rows hold zeros.";

PyObject* window_sums_entry(PyObject*, PyObject* args) {
    PyObject *time_object, *x_object, *y_object, *z_object, *temperature_object, *correction_object;
    long long width_us = 0;
    int full = 0;
    if (!PyArg_ParseTuple(args, "OOOOOLOp:window_sums", &time_object, &x_object, &y_object, &z_object,
                          &temperature_object, &width_us, &correction_object, &full))
        return nullptr;
    if (width_us <= 0) {
        PyErr_SetString(PyExc_ValueError, "width_us must be positive");
        return nullptr;
    }
    View time, x, y, z, temperature;
    if (!time.take(time_object, "time_us", "lq", 8) || !x.take(x_object, "x", "f", 4) ||
        !y.take(y_object, "y", "f", 4) || !z.take(z_object, "z", "f", 4) ||
        !temperature.take(temperature_object, "temperature", "f", 4))
        return nullptr;
    const Py_ssize_t n = time.size();
    if (x.size() != n || y.size() != n || z.size() != n || temperature.size() != n) {
        PyErr_SetString(PyExc_ValueError, "time_us, x, y, z and temperature must be equally long");
        return nullptr;
    }
    std::optional<Correction> correction;
    if (correction_object != Py_None && !(correction = parse_correction(correction_object))) return nullptr;

    const Samples samples{time.as<std::int64_t>(), x.as<float>(), y.as<float>(), z.as<float>(),
                          temperature.as<float>()};
    Runs runs;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        runs = window_sums(samples, width_us, correction ? &*correction : nullptr, full != 0);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    try {
        return to_python(runs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef methods[] = {
    {"window_sums", window_sums_entry, METH_VARARGS, window_sums_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "kelpmoor_tools._window_sums",
    "Per-window sums of accelerometer samples in one pass (private helper of kelpmoor_tools.activity).",
    -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kelpmoor::activity

PyMODINIT_FUNC PyInit__window_sums() { return PyModule_Create(&kelpmoor::activity::module); }
