// Fixed UTC offsets from datetime.tzinfo objects.
#pragma once

#include "python/ref.hpp"

#include <cstdint>
#include <optional>

namespace kelpmoor {

// Accepts nullptr/None or a datetime.tzinfo instance (borrowed into `out`).
bool convert_tzinfo(PyObject* value, const char* name, PyObject*& out);

// The offset of `timezone` in microseconds from utcoffset(None); nothing for no timezone.
// Returns false with the Python error set.
bool fixed_timezone_offset_us(PyObject* timezone, std::optional<std::int64_t>& out);

}  // namespace kelpmoor
