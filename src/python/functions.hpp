// The six entry points, registered by the module in this order.
#pragma once

#include "python/ref.hpp"

namespace kelpmoor {

PyObject* py_read_metadata(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_sampling_consistency_report(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* py_seconds(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_blocks(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_read_cwa_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_write_cwa_csv(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelpmoor
