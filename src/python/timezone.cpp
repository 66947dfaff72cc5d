#include "python/timezone.hpp"

#include <datetime.h>

#include "python/args.hpp"

namespace kelpmoor {

namespace {

// The datetime C API is loaded on first use, so importing the module initialises nothing.
bool datetime_api_ready() {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

}  // namespace

bool convert_tzinfo(PyObject* value, const char* name, PyObject*& out) {
    out = nullptr;
    if (is_none(value)) return true;
    if (!datetime_api_ready()) return false;
    if (!PyTZInfo_Check(value)) return wrong_type(value, name, "a datetime.tzinfo");
    out = value;
    return true;
}

bool fixed_timezone_offset_us(PyObject* timezone, std::optional<std::int64_t>& out) {
    out.reset();
    if (is_none(timezone)) return true;
    if (!datetime_api_ready()) return false;
    Ref offset = Ref::steal(PyObject_CallMethod(timezone, "utcoffset", "O", Py_None));
    if (!offset) return false;
    if (!PyDelta_Check(offset.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDelta'", Py_TYPE(offset.get())->tp_name);
        return false;
    }
    const std::int64_t days = PyDateTime_DELTA_GET_DAYS(offset.get());
    const std::int64_t seconds = PyDateTime_DELTA_GET_SECONDS(offset.get());
    const std::int64_t micros = PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
    // A custom tzinfo may return up to a billion days; refuse offsets that 64 bits cannot hold.
    const __int128 total = static_cast<__int128>(days) * 86400000000 + seconds * 1000000 + micros;
    if (total < INT64_MIN || total > INT64_MAX) {
        PyErr_SetString(PyExc_OverflowError, "timezone offset does not fit in 64-bit microseconds");
        return false;
    }
    out = static_cast<std::int64_t>(total);
    return true;
}

}  // namespace kelpmoor
