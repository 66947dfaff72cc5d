// Small conversions from core values to Python objects.
#pragma once

#include "python/ref.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelpmoor {

inline Ref to_python(const std::string& text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline Ref to_python(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
inline Ref to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref to_python(std::uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }
inline Ref to_python(std::uint32_t value) { return to_python(static_cast<std::uint64_t>(value)); }
inline Ref to_python(std::uint16_t value) { return to_python(static_cast<std::uint64_t>(value)); }
inline Ref to_python(std::uint8_t value) { return to_python(static_cast<std::uint64_t>(value)); }
template <class T>
Ref to_python(const std::optional<T>& value) {
    return value ? to_python(*value) : Ref::borrow(Py_None);
}

// Inserts `value` (which may be empty after a failed conversion) under `key`.
inline bool set_item(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace kelpmoor
