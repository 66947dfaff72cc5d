// read_cwa_file: a read handed to pandas as float32 columns on a microsecond DatetimeIndex.
#include "python/functions.hpp"

#include "cwa/operations.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/request.hpp"

namespace kelpmoor {

namespace {

constexpr auto read_params = parameters({
    {"file_path", true},   {"cut"},           {"include_magnetometer"}, {"include_temperature"},
    {"include_light"},     {"include_battery"}, {"resample_hz"},        {"resample_method"},
    {"fixed_utc_offset_timezone", false, true},
});

bool insert_column(PyObject* columns, const char* name, cwa::FloatColumn&& column) {
    return set_item(columns, name, column_to_array(std::move(column)));
}

// Calls pandas.<name>(argument, **keywords).
Ref call_pandas(PyObject* pandas, const char* name, PyObject* argument, PyObject* keywords) {
    Ref callable = Ref::steal(PyObject_GetAttrString(pandas, name));
    if (!callable) return {};
    Ref positional = Ref::steal(PyTuple_Pack(1, argument));
    if (!positional) return {};
    return Ref::steal(PyObject_Call(callable.get(), positional.get(), keywords));
}

PyObject* build_data_frame(cwa::CwaDataResult data, bool utc) {
    Ref columns = Ref::steal(PyDict_New());
    if (!columns) return nullptr;
    for (std::size_t a = 0; a < 3; ++a) {
        if (!insert_column(columns.get(), cwa::acc_channel_names[a], std::move(data.acc[a]))) return nullptr;
    }
    for (std::size_t c = 0; c < cwa::sensor_channel_count; ++c) {
        auto& column = data.sensors[c];
        if (column && !insert_column(columns.get(), cwa::sensor_channel_names[c], std::move(*column))) return nullptr;
    }
    for (std::size_t c = 0; c < cwa::aux_channel_count; ++c) {
        auto& column = data.aux[c];
        if (column && !insert_column(columns.get(), cwa::aux_channel_names[c], std::move(*column))) return nullptr;
    }

    Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
    if (!pandas) return nullptr;
    Ref index_keywords = Ref::steal(PyDict_New());
    if (!index_keywords || !set_item(index_keywords.get(), "name", to_python(std::string("timestamp"))) ||
        !set_item(index_keywords.get(), "copy", to_python(false)) ||
        !set_item(index_keywords.get(), "dtype",
                  to_python(std::string(utc ? "datetime64[us, UTC]" : "datetime64[us]")))) {
        return nullptr;
    }
    Ref timestamps = column_to_array(std::move(data.timestamps_us));
    if (!timestamps) return nullptr;
    Ref index = call_pandas(pandas.get(), "DatetimeIndex", timestamps.get(), index_keywords.get());
    if (!index) return nullptr;

    Ref frame_keywords = Ref::steal(PyDict_New());
    if (!frame_keywords || !set_item(frame_keywords.get(), "index", std::move(index)) ||
        !set_item(frame_keywords.get(), "copy", to_python(false))) {
        return nullptr;
    }
    return call_pandas(pandas.get(), "DataFrame", columns.get(), frame_keywords.get()).release();
}

}  // namespace

PyObject* py_read_cwa_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard("read_cwa_file", [&]() -> PyObject* {
        PyObject* slots[std::size(read_params)];
        std::string path;
        if (!bind_arguments("read_cwa_file", read_params, args, nargs, kwnames, slots) ||
            !convert_path(slots[0], "file_path", path)) {
            return nullptr;
        }
        const auto call = plan_call(std::move(path), slots + 1, true);
        if (!call) return nullptr;
        auto data = cwa::read_recording(call->read, call->offset_us);
        if (!data) return raise_error(data.error());
        return build_data_frame(std::move(*data), call->offset_us.has_value());
    });
}

}  // namespace kelpmoor
