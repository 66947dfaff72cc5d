// write_cwa_csv: a read written straight to a CSV file.
#include "python/functions.hpp"

#include "cwa/operations.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/request.hpp"

namespace kelpmoor {

namespace {

constexpr auto csv_params = parameters({
    {"file_path", true},   {"output_path", true}, {"cut"},           {"include_magnetometer"},
    {"include_temperature"}, {"include_light"},   {"include_battery"}, {"resample_hz"},
    {"resample_method"},   {"fixed_utc_offset_timezone", false, true},
});

}  // namespace

PyObject* py_write_cwa_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("write_cwa_csv", [&]() -> PyObject* {
        PyObject* slots[std::size(csv_params)];
        std::string path, output_path;
        if (!bind_arguments("write_cwa_csv", csv_params, args, nargs, kwnames, slots) ||
            !convert_path(slots[0], "file_path", path) || !convert_path(slots[1], "output_path", output_path)) {
            return nullptr;
        }
        const auto call = plan_call(std::move(path), slots + 2, false);
        if (!call) return nullptr;
        if (auto written = cwa::export_csv(call->read, output_path, call->offset_us.value_or(0)); !written) {
            return raise_error(written.error());
        }
        Py_RETURN_NONE;
    });
}

}  // namespace kelpmoor
