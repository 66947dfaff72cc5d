// write_cwa_csv: a read written straight to a CSV file.
#include "python/functions.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/request.hpp"

namespace kelpmoor {

namespace {

constexpr Param csv_params[] = {
    {"file_path", true},   {"output_path", true}, {"cut"},           {"include_magnetometer"},
    {"include_temperature"}, {"include_light"},   {"include_battery"}, {"resample_hz"},
    {"resample_method"},   {"fixed_utc_offset_timezone", false, true},
};

}  // namespace

PyObject* py_write_cwa_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* slots[std::size(csv_params)];
        ReadRequest request;
        std::string output_path;
        if (!bind_arguments("write_cwa_csv", csv_params, args, nargs, kwnames, slots) ||
            !convert_str(slots[0], "file_path", request.path) || !convert_str(slots[1], "output_path", output_path) ||
            !convert_read_arguments(slots + 2, false, request)) {
            return nullptr;
        }
        PyErr_SetString(PyExc_NotImplementedError, "write_cwa_csv is not available yet");
        return nullptr;
    });
}

}  // namespace kelpmoor
