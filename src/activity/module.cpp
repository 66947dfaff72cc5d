// kelpmoor_tools._window_sums: the sums beneath the activity methods, one pass each: per-window
// sums of the samples, and the weighted sums of a round of the calibration fit. Arrays come in through the buffer protocol; the sums go back as bytearrays that
// NumPy views without copying again.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "cwa/cancel.hpp"
#include "cwa/header.hpp"
// The reader's errors become the exceptions kelpmoor raises for them, so a recording fails
// here as it fails there.
#include "python/errors.hpp"
#include "lanes.hpp"
#include "recording_sums.hpp"
#include "sphere_sums.hpp"
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
    bool take(PyObject* object, const char* name, const char* type, std::string_view kinds, Py_ssize_t itemsize) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
        held_ = true;
        std::string_view format = view_.format ? view_.format : "B";
        if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
        if (view_.ndim != 1 || view_.itemsize != itemsize || format.size() != 1 ||
            kinds.find(format[0]) == std::string_view::npos) {
            PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional contiguous array of %s", name, type);
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

// (ids, values): the run statistics as two bytearrays, the values row by row (see Field);
// with `extra` (a new reference the tuple takes), (ids, values, extra).
PyObject* to_python(const Runs& runs, PyObject* extra = nullptr) {
    const std::size_t count = runs.id.size();
    PyObject* ids = bytearray_of(runs.id.data(), count * sizeof(std::int64_t));
    PyObject* values =
        ids ? PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * field_count * sizeof(double)))
            : nullptr;
    if (!values) {
        Py_XDECREF(ids);
        Py_XDECREF(extra);
        return nullptr;
    }
    char* row = PyByteArray_AS_STRING(values);
    for (const auto& field : runs.field) {
        if (count) std::memcpy(row, field.data(), count * sizeof(double));
        row += count * sizeof(double);
    }
    // N: the tuple takes the references.
    return extra ? Py_BuildValue("(NNN)", ids, values, extra) : Py_BuildValue("(NN)", ids, values);
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
    if (!time.take(time_object, "time_us", "int64", "lq", 8) || !x.take(x_object, "x", "float32", "f", 4) ||
        !y.take(y_object, "y", "float32", "f", 4) || !z.take(z_object, "z", "float32", "f", 4) ||
        !temperature.take(temperature_object, "temperature", "float32", "f", 4))
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

// Runs `read` (a read of the recording at `path` giving a new reference or nullptr with an
// error set): a refused allocation becomes MemoryError, and a broken invariant of the reader,
// never bad input, is said rather than crashed on.
template <class Read>
PyObject* guarded_read(const char* path, Read&& read) {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        return PyErr_Format(PyExc_RuntimeError, "internal fault while reading %s: %s", path, fault.what());
    }
}

constexpr char recording_sums_doc[] =
    "recording_sums(path, width_us, correction, full)\n--\n\n"
    "window_sums over every sample of the recording at path (a str), read a data block at a\n"
    "time with kelpmoor's decoding: the same (ids, values), each run summed whole, then the\n"
    "first sample's time in microseconds (None, with no run, when the recording holds no\n"
    "sample). kelpmoor's own error when it cannot be read.\n"
    "Holds the interpreter for the walk and stops on a signal (KeyboardInterrupt).";

PyObject* recording_sums_entry(PyObject*, PyObject* args) {
    const char* path = nullptr;
    long long width_us = 0;
    PyObject* correction_object;
    int full = 0;
    if (!PyArg_ParseTuple(args, "sLOp:recording_sums", &path, &width_us, &correction_object, &full))
        return nullptr;
    if (width_us <= 0) {
        PyErr_SetString(PyExc_ValueError, "width_us must be positive");
        return nullptr;
    }
    std::optional<Correction> correction;
    if (correction_object != Py_None && !(correction = parse_correction(correction_object))) return nullptr;
    return guarded_read(path, [&]() -> PyObject* {
        // The walk keeps the interpreter, as kelpmoor's reads do, so that Ctrl-C stops it.
        const cwa::CancelScope cancel(signal_pending);
        auto runs = recording_window_sums(path, width_us, correction ? &*correction : nullptr, full != 0);
        if (!runs) return raise_error(runs.error());
        PyObject* first = runs->first_time_us ? PyLong_FromLongLong(*runs->first_time_us) : Py_NewRef(Py_None);
        return first ? to_python(runs->runs, first) : nullptr;
    });
}

constexpr char recording_header_doc[] =
    "recording_header(path)\n--\n\n"
    "(device_id, session_id, sample_rate_hz) of the recording at path, from its metadata\n"
    "block alone, as kelpmoor.read_metadata gives them; kelpmoor's own error when the\n"
    "file is no recording.";

PyObject* recording_header_entry(PyObject*, PyObject* args) {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s:recording_header", &path)) return nullptr;
    return guarded_read(path, [&]() -> PyObject* {
        auto header = cwa::read_cwa_header(path);
        if (!header) return raise_error(header.error());
        return Py_BuildValue("(kkd)", static_cast<unsigned long>(header->device_id),
                             static_cast<unsigned long>(header->session_id), header->sample_rate_hz);
    });
}

constexpr char sphere_sums_doc[] =
    "sphere_sums(vx, vy, vz, dt, correction, weighted)\n--\n\n"
    "The sums of one round of the calibration fit over still windows (float64 arrays of\n"
    "their mean axes and temperature minus the reference, all as long), each corrected by\n"
    "correction ((offset x3), (scale x3), (coefficient x3), reference; the reference is\n"
    "not used). A tuple: sum w, sum w dt, sum w dt^2; then triples (x, y, z) of sum w v,\n"
    "sum w v^2, sum w v dt, sum w p, sum w p v and sum w p dt; and the sum of the distances\n"
    "to the unit sphere. w is 1 / max(distance, 0.01) when weighted, else 1; p = c / |c|,\n"
    "the closest point on the sphere to the corrected mean c.";

PyObject* sphere_sums_entry(PyObject*, PyObject* args) {
    PyObject *x_object, *y_object, *z_object, *dt_object, *correction_object;
    int weighted = 0;
    if (!PyArg_ParseTuple(args, "OOOOOp:sphere_sums", &x_object, &y_object, &z_object, &dt_object,
                          &correction_object, &weighted))
        return nullptr;
    View x, y, z, dt;
    if (!x.take(x_object, "vx", "float64", "d", 8) || !y.take(y_object, "vy", "float64", "d", 8) ||
        !z.take(z_object, "vz", "float64", "d", 8) || !dt.take(dt_object, "dt", "float64", "d", 8))
        return nullptr;
    if (x.size() != dt.size() || y.size() != dt.size() || z.size() != dt.size()) {
        PyErr_SetString(PyExc_ValueError, "vx, vy, vz and dt must be equally long");
        return nullptr;
    }
    const std::optional<Correction> correction = parse_correction(correction_object);
    if (!correction) return nullptr;
    SphereSums s;
    Py_BEGIN_ALLOW_THREADS
    s = sphere_sums({x.as<double>(), y.as<double>(), z.as<double>()}, dt.as<double>(), *correction, weighted != 0);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(ddd(ddd)(ddd)(ddd)(ddd)(ddd)(ddd)d)", s.weight[0], s.weight[1], s.weight[2],
                         s.v[0], s.v[1], s.v[2], s.vv[0], s.vv[1], s.vv[2], s.vdt[0], s.vdt[1], s.vdt[2],
                         s.p[0], s.p[1], s.p[2], s.pv[0], s.pv[1], s.pv[2], s.pdt[0], s.pdt[1], s.pdt[2],
                         s.distance);
}

constexpr char kernels_doc[] =
    "kernels()\n--\n\n"
    "The names of the kernels this processor runs, narrowest first, and the one in use:\n"
    "(names, active). Every kernel gives the same bits.";

PyObject* kernels_entry(PyObject*, PyObject*) {
    const std::vector<std::string_view> available = kernel_names();
    PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(available.size()));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < available.size(); ++i) {
        PyObject* text = PyUnicode_FromStringAndSize(available[i].data(), static_cast<Py_ssize_t>(available[i].size()));
        if (!text) {
            Py_DECREF(names);
            return nullptr;
        }
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(i), text);
    }
    const std::string_view active = kernel_name(active_kernel());
    return Py_BuildValue("(Ns#)", names, active.data(), static_cast<Py_ssize_t>(active.size()));
}

constexpr char use_kernel_doc[] =
    "use_kernel(name)\n--\n\n"
    "Sum with the kernel of that name from now on (for tests that compare kernels).\n"
    "ValueError for a name this processor cannot run.";

PyObject* use_kernel_entry(PyObject*, PyObject* arg) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!name) return nullptr;
    if (!use_kernel({name, static_cast<std::size_t>(size)})) {
        PyErr_Format(PyExc_ValueError, "no kernel %R on this processor", arg);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"kernels", kernels_entry, METH_NOARGS, kernels_doc},
    {"use_kernel", use_kernel_entry, METH_O, use_kernel_doc},
    {"window_sums", window_sums_entry, METH_VARARGS, window_sums_doc},
    {"recording_sums", recording_sums_entry, METH_VARARGS, recording_sums_doc},
    {"recording_header", recording_header_entry, METH_VARARGS, recording_header_doc},
    {"sphere_sums", sphere_sums_entry, METH_VARARGS, sphere_sums_doc},
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
