// One fast-call argument parser for all entry points, driven by a parameter table, and the
// typed converters that name the argument in every TypeError.
#pragma once

#include "python/ref.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace kelpmoor {

struct Param {
    const char* name;
    bool required = false;
    bool keyword_only = false;
};

// A function's parameter table, checked as it is compiled: bind_arguments takes the parameters
// before the first keyword-only one as the positional ones, so a keyword-only parameter
// followed by a positional one would silently shift every slot after it.
template <std::size_t N>
consteval std::array<Param, N> parameters(const Param (&table)[N]) {
    bool keyword_only_seen = false;
    for (const Param& param : table) {
        if (keyword_only_seen && !param.keyword_only) throw "keyword-only parameters must come last";
        keyword_only_seen = keyword_only_seen || param.keyword_only;
    }
    return std::to_array(table);
}

// Places each argument in the slot of its parameter (borrowed; nullptr when not given).
// Returns false with a TypeError set on too many positionals, unknown, duplicated or missing
// arguments.
bool bind_arguments(const char* function, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

bool is_none(PyObject* value);  // true for nullptr (not given) and for None

// Each converter returns false with the Python error set. A null `name` leaves the
// interpreter's own TypeError unprefixed.
bool convert_str(PyObject* value, const char* name, std::string& out);
// A file name: a str only, in the bytes Python's own open() would hand the system (the
// file-system encoding and its error handler, as os.fsencode), so any name Python can open works.
bool convert_path(PyObject* value, const char* name, std::string& out);
bool convert_bool(PyObject* value, const char* name, bool default_value, bool& out);
bool convert_optional_f64(PyObject* value, const char* name, std::optional<double>& out);
bool convert_optional_usize(PyObject* value, const char* name, std::optional<std::size_t>& out);
// Raises "argument '<name>': '<type>' object is not <expected>" and returns false.
bool wrong_type(PyObject* value, const char* name, const char* expected);

}  // namespace kelpmoor
