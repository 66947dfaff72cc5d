// read_metadata and sampling_consistency_report: the header beside what the data hold.
#include "python/functions.hpp"

#include "cwa/header.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelpmoor {

namespace {

constexpr Param path_params[] = {{"file_path", true}};

std::optional<std::string> raw_time(const std::optional<cwa::DateTime>& time) {
    if (!time) return std::nullopt;
    return cwa::format_raw_time(*time);
}

std::optional<std::string> raw_time(const std::optional<std::int64_t>& us) {
    if (!us) return std::nullopt;
    return cwa::timestamp_us_to_raw_string(*us);
}

struct HeaderAndTiming {
    cwa::CwaHeader header;
    cwa::DataTiming timing;
};

// The header is validated before any data block is read; the scan opens the file again.
std::optional<HeaderAndTiming> read_header_and_timing(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
    PyObject* slots[1];
    std::string path;
    if (!bind_arguments(function, path_params, args, nargs, kwnames, slots) ||
        !convert_path(slots[0], "file_path", path)) {
        return std::nullopt;
    }
    auto header = cwa::read_cwa_header(path);
    if (!header) {
        raise_runtime_error(header.error());
        return std::nullopt;
    }
    auto timing = cwa::scan_data_timing(path);
    if (!timing) {
        raise_runtime_error(timing.error());
        return std::nullopt;
    }
    return HeaderAndTiming{std::move(*header), *timing};
}

}  // namespace

PyObject* py_read_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("read_metadata", [&]() -> PyObject* {
        auto read = read_header_and_timing("read_metadata", args, nargs, kwnames);
        if (!read) return nullptr;
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
        auto read = read_header_and_timing("sampling_consistency_report", args, nargs, kwnames);
        if (!read) return nullptr;
        const cwa::CwaHeader& h = read->header;
        const cwa::DataTiming& t = read->timing;

        std::optional<double> header_duration;
        if (h.logging_start_time && h.logging_end_time) {
            const auto& start = *h.logging_start_time;
            const auto& end = *h.logging_end_time;
            const std::int64_t start_day_seconds = start.hour * 3600 + start.minute * 60 + start.second;
            const std::int64_t end_day_seconds = end.hour * 3600 + end.minute * 60 + end.second;
            const std::int64_t delta_us =
                ((cwa::days_from_civil(end.year, end.month, end.day) -
                  cwa::days_from_civil(start.year, start.month, start.day)) * 86400 +
                 (end_day_seconds - start_day_seconds)) * 1000000;
            header_duration = static_cast<double>(delta_us) / 1000000.0;
        }
        std::optional<double> data_duration;
        if (t.first_sample_us && t.last_sample_us) {
            // Saturated extremes must not overflow the difference.
            const auto difference = static_cast<std::int64_t>(static_cast<std::uint64_t>(*t.last_sample_us) -
                                                              static_cast<std::uint64_t>(*t.first_sample_us));
            data_duration = static_cast<double>(difference) / 1000000.0;
        }
        std::optional<double> data_rate;
        if (data_duration && t.sample_count >= 2 && *data_duration > 0.0) {
            data_rate = static_cast<double>(t.sample_count - 1) / *data_duration;
        }

        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        const bool ok = set_item(d, "start_from_header_raw", to_python(raw_time(h.logging_start_time))) &&
                        set_item(d, "end_from_header_raw", to_python(raw_time(h.logging_end_time))) &&
                        set_item(d, "duration_s_from_header", to_python(header_duration)) &&
                        set_item(d, "start_from_data_raw", to_python(raw_time(t.first_sample_us))) &&
                        set_item(d, "end_from_data_raw", to_python(raw_time(t.last_sample_us))) &&
                        set_item(d, "duration_s_from_data", to_python(data_duration)) &&
                        set_item(d, "samplingrate_hz_from_header", to_python(h.sample_rate_hz)) &&
                        set_item(d, "samplingrate_hz_from_data", to_python(data_rate));
        return ok ? dict.release() : nullptr;
    });
}

}  // namespace kelpmoor
