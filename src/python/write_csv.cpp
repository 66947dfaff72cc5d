// write_cwa_csv: a read written straight to a CSV file.
#include "python/functions.hpp"

#include "cwa/csv.hpp"
#include "cwa/plan.hpp"
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
    return guard("write_cwa_csv", [&]() -> PyObject* {
        PyObject* slots[std::size(csv_params)];
        ReadRequest request;
        std::string output_path;
        if (!bind_arguments("write_cwa_csv", csv_params, args, nargs, kwnames, slots) ||
            !convert_path(slots[0], "file_path", request.path) || !convert_path(slots[1], "output_path", output_path) ||
            !convert_read_arguments(slots + 2, false, request) || !prepare_read(slots[2], request)) {
            return nullptr;
        }
        const cwa::ReadPlan& plan = request.plan;
        if (auto checked = cwa::check_time_range(plan.range_start_time, plan.range_end_time); !checked) {
            return raise_runtime_error(checked.error());
        }
        if (auto distinct = cwa::check_output_is_not_input(request.path, output_path); !distinct) {
            return raise_runtime_error(distinct.error());
        }
        const std::int64_t offset_us = request.offset_us.value_or(0);
        cwa::Status written;
        if (request.resample_hz || plan.range_start_time || plan.range_end_time) {
            // The output is created only once the whole read has succeeded.
            auto data = run_read(request);
            if (!data) return nullptr;
            written = cwa::write_data_result_csv(output_path, *data, request.channels, offset_us);
        } else {
            written = cwa::write_cwa_csv_data(request.path, output_path, plan.start_block, plan.block_count,
                                              request.channels, offset_us);
        }
        if (!written) return raise_runtime_error(written.error());
        Py_RETURN_NONE;
    });
}

}  // namespace kelpmoor
