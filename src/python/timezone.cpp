#include "python/timezone.hpp"

#include <datetime.h>

#include "cwa/checked_arithmetic.hpp"
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
    // The time of day is normalised to [0, 1 day), so a negative day count is taken one day
    // nearer zero and the time of day one day below it: both parts then share the sign of the
    // total, and a part overflows only when the total does.
    constexpr std::int64_t day_us = 86400000000;
    const std::int64_t time_of_day_us = seconds * 1000000 + micros;
    const std::int64_t whole_days = days < 0 ? days + 1 : days;
    const std::int64_t rest_us = days < 0 ? time_of_day_us - day_us : time_of_day_us;
    std::optional<std::int64_t> total = cwa::checked_mul(whole_days, day_us);
    if (total) total = cwa::checked_add(*total, rest_us);
    if (!total) {
        PyErr_SetString(PyExc_OverflowError, "timezone offset does not fit in 64-bit microseconds");
        return false;
    }
    out = *total;
    return true;
}

}  // namespace kelpmoor
