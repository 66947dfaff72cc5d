// seconds() and blocks(): cut dictionaries, and reading them back.
#include "python/cuts.hpp"

#include <cstring>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace kelpmoor {

namespace {

constexpr auto bound_params = parameters({{"start"}, {"end"}});

Ref optional_float(std::optional<double> value) {
    return value ? Ref::steal(PyFloat_FromDouble(*value)) : Ref::borrow(Py_None);
}

Ref optional_int(std::optional<std::size_t> value) {
    return value ? Ref::steal(PyLong_FromSize_t(*value)) : Ref::borrow(Py_None);
}

// {"type": ..., "start": ..., "end": ...}, in that order.
PyObject* cut_dict(const char* type, Ref start, Ref end) {
    if (!start || !end) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    Ref type_text = Ref::steal(PyUnicode_FromString(type));
    if (!type_text || PyDict_SetItemString(dict.get(), "type", type_text.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "start", start.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "end", end.get()) < 0) {
        return nullptr;
    }
    return dict.release();
}

// A strong reference to the value (empty when the key is missing), since converting a value
// may run Python code that changes the dict. A failing lookup leaves its error set.
bool lookup(PyObject* dict, const char* key, Ref& out) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    if (!name) return false;
    out = Ref::borrow(PyDict_GetItemWithError(dict, name.get()));
    return out || !PyErr_Occurred();
}

}  // namespace

PyObject* py_seconds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("seconds", [&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_arguments("seconds", bound_params, args, nargs, kwnames, slots)) return nullptr;
        cwa::SecondsCut cut;
        if (!convert_optional_f64(slots[0], "start", cut.start) || !convert_optional_f64(slots[1], "end", cut.end)) {
            return nullptr;
        }
        if (auto valid = cwa::CutConfig{cut}.validate(); !valid) return raise_error(valid.error());
        return cut_dict("seconds", optional_float(cut.start), optional_float(cut.end));
    });
}

PyObject* py_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("blocks", [&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_arguments("blocks", bound_params, args, nargs, kwnames, slots)) return nullptr;
        cwa::BlocksCut cut;
        if (!convert_optional_usize(slots[0], "start", cut.start) ||
            !convert_optional_usize(slots[1], "end", cut.end)) {
            return nullptr;
        }
        if (auto valid = cwa::CutConfig{cut}.validate(); !valid) return raise_error(valid.error());
        return cut_dict("blocks", optional_int(cut.start), optional_int(cut.end));
    });
}

bool parse_cut_config(PyObject* cut, cwa::CutConfig& out) {
    out = cwa::CutConfig{cwa::WholeFileCut{}};
    if (is_none(cut)) return true;
    if (!PyDict_Check(cut)) {
        PyErr_SetString(PyExc_ValueError, "cut must be created by seconds() or blocks()");
        return false;
    }
    Ref held_type;
    if (!lookup(cut, "type", held_type)) return false;
    PyObject* type = held_type.get();
    if (!type) {
        PyErr_SetString(PyExc_ValueError, "cut is missing type");
        return false;
    }
    if (!PyUnicode_Check(type)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", Py_TYPE(type)->tp_name);
        return false;
    }
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(type, &length);
    if (!text) return false;
    const std::string_view kind(text, static_cast<std::size_t>(length));

    // Values keep the interpreter's own conversion errors here: no argument name to add.
    Ref start, end;
    if (kind == "blocks") {
        cwa::BlocksCut blocks;
        if (!lookup(cut, "start", start) || !convert_optional_usize(start.get(), nullptr, blocks.start) ||
            !lookup(cut, "end", end) || !convert_optional_usize(end.get(), nullptr, blocks.end)) {
            return false;
        }
        out.kind = blocks;
    } else if (kind == "seconds") {
        cwa::SecondsCut seconds;
        if (!lookup(cut, "start", start) || !convert_optional_f64(start.get(), nullptr, seconds.start) ||
            !lookup(cut, "end", end) || !convert_optional_f64(end.get(), nullptr, seconds.end)) {
            return false;
        }
        out.kind = seconds;
    } else {
        PyErr_SetString(PyExc_ValueError, "cut type must be 'seconds' or 'blocks'");
        return false;
    }
    return true;
}

}  // namespace kelpmoor
