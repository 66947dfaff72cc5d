// The kelpmoor module: six functions with text-signature docstrings, and __all__.
#include "python/functions.hpp"

namespace kelpmoor {

namespace {

constexpr char module_doc[] = "Fast, bit-exact reading of CWA accelerometer recordings into pandas and CSV.";

constexpr char read_metadata_doc[] =
    "read_metadata(file_path)\n--\n\n"
    "Read CWA header and sample timing metadata without timezone conversion.\n"
    "Scans packet metadata without decoding sensor values.\n"
    "`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`\n"
    "are naive ISO 8601 strings preserving the unaltered sensor clock values,\n"
    "or None when unset. Convert them to UTC or local time for most analysis.\n"
    "`start_from_data_raw` and `end_from_data_raw` are the first and last actual\n"
    "sample timestamps, including packet sample offsets and continuity correction,\n"
    "or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.\n"
    "`last_change_time_raw` records the last metadata write, which need not be\n"
    "the last clock synchronization; check your configuration software.";

constexpr char report_doc[] =
    "sampling_consistency_report(file_path)\n--\n\n"
    "Return a sampling consistency report for a CWA file.\n"
    "\n"
    "Compares what the metadata block claims with what the data packets hold.\n"
    "All times are the raw device clock, as naive ISO 8601 strings.\n"
    "`start_from_header_raw` and `end_from_header_raw` are None when the header\n"
    "uses an unset marker. `duration_s_from_data` is the inclusive first-to-last\n"
    "sample span: for N evenly spaced samples it covers N - 1 sample periods, so\n"
    "`samplingrate_hz_from_data` is (N - 1) / `duration_s_from_data`. The data\n"
    "timestamps use the packet timestamp, timestampOffset and continuity\n"
    "correction of `read_cwa_file`.";

constexpr char seconds_doc[] = "seconds(start=None, end=None)\n--\n\n";

constexpr char blocks_doc[] = "blocks(start=None, end=None)\n--\n\n";

constexpr char read_cwa_file_doc[] =
    "read_cwa_file(file_path, cut=None, include_magnetometer=True, include_temperature=True, "
    "include_light=True, include_battery=True, resample_hz=None, resample_method=\"cubic\", *, "
    "fixed_utc_offset_timezone=None)\n--\n\n"
    "Python interface for reading CWA data.\n"
    "\n"
    "Returns a pandas DataFrame of float32 columns (acc_x, acc_y, acc_z, then gyro_*\n"
    "and mag_* when the data hold them, then temperature, light and battery when\n"
    "selected) indexed by a DatetimeIndex named \"timestamp\" in microseconds.\n"
    "`cut` is a dict from `seconds()` (offsets from the first sample) or `blocks()`\n"
    "(data block indices). With `resample_hz`, rows lie on a regular grid,\n"
    "interpolated by a four-point cubic (`resample_method` \"cubic\" is the only method).\n"
    "Timestamps are the device clock (naive index) unless `fixed_utc_offset_timezone`\n"
    "gives a fixed-offset datetime.timezone: the offset is then subtracted and the\n"
    "index is UTC-aware.";

constexpr char write_cwa_csv_doc[] =
    "write_cwa_csv(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method=\"cubic\", *, fixed_utc_offset_timezone=None)\n--\n\n"
    "Write CWA samples directly to CSV.\n"
    "\n"
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;\n"
    "with it, numeric `time` values are UTC Unix seconds.\n"
    "Otherwise they encode the device clock without assigning a timezone.";

#define KELPMOOR_FUNCTION(name, function, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef functions[] = {
    KELPMOOR_FUNCTION("read_metadata", py_read_metadata, read_metadata_doc),
    KELPMOOR_FUNCTION("sampling_consistency_report", py_sampling_consistency_report, report_doc),
    KELPMOOR_FUNCTION("seconds", py_seconds, seconds_doc),
    KELPMOOR_FUNCTION("blocks", py_blocks, blocks_doc),
    KELPMOOR_FUNCTION("read_cwa_file", py_read_cwa_file, read_cwa_file_doc),
    KELPMOOR_FUNCTION("write_cwa_csv", py_write_cwa_csv, write_cwa_csv_doc),
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kelpmoor", module_doc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// Adds the function under its name and appends the name to __all__.
bool add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::steal(PyUnicode_FromString(def->ml_name));
    if (!name) return false;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    Ref all_list = Ref::steal(all);
    return PyList_Append(all_list.get(), name.get()) == 0 &&
           PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace

}  // namespace kelpmoor

PyMODINIT_FUNC PyInit_kelpmoor() {
    using namespace kelpmoor;
    // Built once per process; the interpreter keeps it, so a second initialisation finds it.
    static PyObject* module = nullptr;
    if (module) return Py_NewRef(module);
    Ref created = Ref::steal(PyModule_Create(&module_def));
    if (!created) return nullptr;
    for (PyMethodDef& def : functions) {
        if (!add_function(created.get(), &def)) return nullptr;
    }
    module = created.new_reference();
    return created.release();
}
