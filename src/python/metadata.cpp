// read_metadata and sampling_consistency_report: the header beside what the data hold, as dicts.
#include "python/functions.hpp"

#include "cwa/operations.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelpmoor {

namespace {

constexpr auto path_params = parameters({{"file_path", true}});

std::optional<std::string> raw_time(const std::optional<cwa::DateTime>& time) {
    if (!time) return std::nullopt;
    return cwa::format_raw_time(*time);
}

std::optional<std::string> raw_time(const std::optional<std::int64_t>& us) {
    if (!us) return std::nullopt;
    return cwa::timestamp_us_to_raw_string(*us);
}

// The one path argument both functions take.
std::optional<std::string> path_argument(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    PyObject* slots[1];
    std::string path;
    if (!bind_arguments(function, path_params, args, nargs, kwnames, slots) ||
        !convert_path(slots[0], "file_path", path)) {
        return std::nullopt;
    }
    return path;
}

}  // namespace

PyObject* py_read_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("read_metadata", [&]() -> PyObject* {
        const auto path = path_argument("read_metadata", args, nargs, kwnames);
        if (!path) return nullptr;
        const auto read = cwa::read_metadata(*path);
        if (!read) return raise_error(read.error());
        const cwa::CwaHeader& h = read->header;
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        const bool ok = set_item(d, "packet_header", to_python(h.packet_header)) &&
                        set_item(d, "packet_length", to_python(h.packet_length)) &&
                        set_item(d, "hardware_type", to_python(h.hardware_type)) &&
                        set_item(d, "device_id", to_python(h.device_id)) &&
                        set_item(d, "session_id", to_python(h.session_id)) &&
                        set_item(d, "upper_device_id", to_python(h.upper_device_id)) &&
                        set_item(d, "logging_start_time_raw", to_python(raw_time(h.logging_start_time))) &&
                        set_item(d, "logging_end_time_raw", to_python(raw_time(h.logging_end_time))) &&
                        set_item(d, "last_change_time_raw", to_python(raw_time(h.last_change_time))) &&
                        set_item(d, "start_from_data_raw", to_python(raw_time(read->timing.first_sample_us))) &&
                        set_item(d, "end_from_data_raw", to_python(raw_time(read->timing.last_sample_us))) &&
                        set_item(d, "flash_led", to_python(h.flash_led)) &&
                        set_item(d, "sensor_config", to_python(h.sensor_config)) &&
                        set_item(d, "sample_rate_hz", to_python(h.sample_rate_hz)) &&
                        set_item(d, "accel_range", to_python(h.accel_range)) &&
                        set_item(d, "firmware_revision", to_python(h.firmware_revision)) &&
                        set_item(d, "annotation", to_python(h.annotation)) &&
                        set_item(d, "gyro_range", to_python(h.gyro_range)) &&
                        set_item(d, "magnetometer_enabled", to_python(h.magnetometer_enabled));
        return ok ? dict.release() : nullptr;
    });
}

PyObject* py_sampling_consistency_report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("sampling_consistency_report", [&]() -> PyObject* {
        const auto path = path_argument("sampling_consistency_report", args, nargs, kwnames);
        if (!path) return nullptr;
        const auto report = cwa::sampling_consistency_report(*path);
        if (!report) return raise_error(report.error());
        const cwa::SamplingReport& r = *report;
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        const bool ok = set_item(d, "start_from_header_raw", to_python(raw_time(r.header_start))) &&
                        set_item(d, "end_from_header_raw", to_python(raw_time(r.header_end))) &&
                        set_item(d, "duration_s_from_header", to_python(r.header_duration_s)) &&
                        set_item(d, "start_from_data_raw", to_python(raw_time(r.data_first_us))) &&
                        set_item(d, "end_from_data_raw", to_python(raw_time(r.data_last_us))) &&
                        set_item(d, "duration_s_from_data", to_python(r.data_duration_s)) &&
                        set_item(d, "samplingrate_hz_from_header", to_python(r.header_rate_hz)) &&
                        set_item(d, "samplingrate_hz_from_data", to_python(r.data_rate_hz));
        return ok ? dict.release() : nullptr;
    });
}

}  // namespace kelpmoor
