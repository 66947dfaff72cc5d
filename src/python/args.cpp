#include "python/args.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace kelpmoor {

namespace {

bool name_matches(PyObject* keyword, const char* name) {
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return static_cast<std::size_t>(length) == std::strlen(name) && std::memcmp(text, name, length) == 0;
}

}  // namespace

bool wrong_type(PyObject* value, const char* name, const char* expected) {
    Ref actual = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (!actual) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not %s", name, actual.get(), expected);
    return false;
}

namespace {

bool is_numpy_bool(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return std::strcmp(type->tp_name, "numpy.bool") == 0 || std::strcmp(type->tp_name, "numpy.bool_") == 0;
}

}  // namespace

bool bind_arguments(const char* function, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    Py_ssize_t positional = 0;
    Py_ssize_t required = 0;
    for (const Param& param : params) {
        if (!param.keyword_only) ++positional;
        if (param.required) ++required;
        slots[&param - params.data()] = nullptr;
    }
    if (nargs > positional) {
        if (required == positional) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", function,
                         positional, positional == 1 ? "" : "s", nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
                         function, required, positional, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t index = params.size();
        for (std::size_t p = 0; p < params.size(); ++p) {
            if (name_matches(keyword, params[p].name)) {
                index = p;
                break;
            }
        }
        if (index == params.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
            return false;
        }
        if (slots[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, params[index].name);
            return false;
        }
        slots[index] = args[nargs + k];
    }
    for (std::size_t p = 0; p < params.size(); ++p) {
        if (params[p].required && !slots[p]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, params[p].name,
                         p + 1);
            return false;
        }
    }
    return true;
}

bool is_none(PyObject* value) { return value == nullptr || value == Py_None; }

bool convert_str(PyObject* value, const char* name, std::string& out) {
    if (!PyUnicode_Check(value)) return wrong_type(value, name, "a str");
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (!text) return false;
    out.assign(text, static_cast<std::size_t>(length));
    return true;
}

bool convert_path(PyObject* value, const char* name, std::string& out) {
    if (!PyUnicode_Check(value)) return wrong_type(value, name, "a str");
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(value));
    if (!encoded) return false;
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

bool convert_bool(PyObject* value, const char* name, bool default_value, bool& out) {
    if (value == nullptr) {
        out = default_value;
        return true;
    }
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    if (is_numpy_bool(value)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    return wrong_type(value, name, "a bool");
}

bool convert_optional_f64(PyObject* value, const char* name, std::optional<double>& out) {
    out.reset();
    if (is_none(value)) return true;
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) {
        if (name) prefix_argument_error(name);
        return false;
    }
    out = converted;
    return true;
}

bool convert_optional_usize(PyObject* value, const char* name, std::optional<std::size_t>& out) {
    out.reset();
    if (is_none(value)) return true;
    Ref index = Ref::steal(PyNumber_Index(value));
    std::size_t converted = index ? PyLong_AsSize_t(index.get()) : static_cast<std::size_t>(-1);
    if (converted == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        if (name) prefix_argument_error(name);
        return false;
    }
    out = converted;
    return true;
}

}  // namespace kelpmoor
