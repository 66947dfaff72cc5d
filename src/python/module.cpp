// The kelpmoor module: six functions with text-signature docstrings, and __all__.
#include "python/functions.hpp"
#include "python/panic.hpp"

namespace kelpmoor {

namespace {

constexpr char module_doc[] = "Fast, bit-exact reading of CWA accelerometer recordings into pandas and CSV.";

// Every reader takes the file the same way; its docstrings say so in the same words.
#define FILE_PATH_PARAMETER                                                       \
    "Parameters\n"                                                                \
    "----------\n"                                                                \
    "file_path : str\n"                                                           \
    "    Path of the CWA file (a str; bytes and path-like objects are refused).\n"

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
    "the last clock synchronization; check your configuration software.\n"
    "\n"
    FILE_PATH_PARAMETER
    "\n"
    "Returns\n"
    "-------\n"
    "dict\n"
    "    The 19 entries below, in this order. Times look like \"2023-06-15T12:34:56\"\n"
    "    (data times may carry a fraction: \".750\" or \".750001\").\n"
    "\n"
    "    packet_header : str               always \"MD\"\n"
    "    packet_length : int               the block's length field, as stored\n"
    "    hardware_type : str               \"AX6\", or \"AX3\" for every other device code\n"
    "    device_id : int                   the whole device id (lower and upper parts)\n"
    "    session_id : int                  the session id\n"
    "    upper_device_id : int             upper part of the id as stored, 65535 if unset\n"
    "    logging_start_time_raw : str or None\n"
    "    logging_end_time_raw : str or None\n"
    "    last_change_time_raw : str or None\n"
    "    start_from_data_raw : str or None\n"
    "    end_from_data_raw : str or None\n"
    "    flash_led : int                   the LED setting, as stored\n"
    "    sensor_config : int               the sensor configuration byte, as stored\n"
    "    sample_rate_hz : float            the configured sampling rate\n"
    "    accel_range : int                 accelerometer range in g: 16, 8, 4 or 2\n"
    "    firmware_revision : int           the firmware revision\n"
    "    annotation : str                  the annotation text, padding removed\n"
    "    gyro_range : int or None          gyroscope range in degrees per second\n"
    "                                      (AX6 only), None when not configured\n"
    "    magnetometer_enabled : bool       whether an AX6 records the magnetometer\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    `file_path` is missing or not a str.\n"
    "RuntimeError\n"
    "    The file cannot be read as a CWA recording; the message says why, for example\n"
    "    \"IO error: No such file or directory (os error 2)\", \"First block is not a\n"
    "    metadata block\" or \"Old CWA format packets are not supported\". A recording\n"
    "    without data blocks is not an error: its data times are None.";

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
    "correction of `read_cwa_file`.\n"
    "\n"
    FILE_PATH_PARAMETER
    "\n"
    "Returns\n"
    "-------\n"
    "dict\n"
    "    The 8 entries below, in this order:\n"
    "\n"
    "    start_from_header_raw : str or None        the header's logging start\n"
    "    end_from_header_raw : str or None          the header's logging end\n"
    "    duration_s_from_header : float or None     end minus start in seconds (negative\n"
    "                                               when the end precedes the start); None\n"
    "                                               when either header time is unset\n"
    "    start_from_data_raw : str or None          the first sample; None without data\n"
    "    end_from_data_raw : str or None            the last sample; None without data\n"
    "    duration_s_from_data : float or None       last minus first sample in seconds\n"
    "    samplingrate_hz_from_header : float        the configured rate, never None\n"
    "    samplingrate_hz_from_data : float or None  the effective rate; None with fewer\n"
    "                                               than 2 samples or a span that is not\n"
    "                                               positive\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    `file_path` is missing or not a str.\n"
    "RuntimeError\n"
    "    The file cannot be read as a CWA recording, or a data packet is damaged; the\n"
    "    message says why, for example \"First block is not a metadata block\".";

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
    "index is UTC-aware.\n"
    "\n"
    FILE_PATH_PARAMETER
    "cut : dict or None, default None\n"
    "    None reads the whole recording. `seconds(start=None, end=None)` keeps the\n"
    "    samples from `start` (inclusive) to `end` (exclusive) seconds after the first\n"
    "    sample of the recording (`start_from_data_raw` of `read_metadata`); bounds are\n"
    "    numbers, finite and >= 0, with end > start, and None leaves a side open.\n"
    "    `blocks(start=None, end=None)` reads whole data blocks `start` (inclusive) to\n"
    "    `end` (exclusive), counted from 0 after the metadata block (block i starts at\n"
    "    byte 1024 + 512 * i); bounds are integers >= 0, with end > start.\n"
    "include_magnetometer : bool, default True\n"
    "    Decode the magnetometer of 9-axis recordings (mag_x, mag_y, mag_z).\n"
    "include_temperature, include_light, include_battery : bool, default True\n"
    "    Add the temperature (degrees Celsius), light (the sensor's light level) and\n"
    "    battery (volts) columns, each packet's value repeated for its samples.\n"
    "    NumPy booleans are accepted; integers are not.\n"
    "resample_hz : float or None, default None\n"
    "    None returns the samples as recorded. A rate in Hz (> 0 and <= 10000) returns\n"
    "    rows on a grid of that rate from the first sample of the read (or from the\n"
    "    start of a seconds cut, when later), each channel interpolated by the cubic\n"
    "    through the two samples on either side (linear where that is not possible).\n"
    "    The grid runs straight through a gap in the recording and the cubic\n"
    "    interpolates across it: a 30 s gap resampled at 30 Hz can read up to about\n"
    "    16 g on a +-8 g sensor. Mask those rows with the \"gap\" rows of\n"
    "    `kelpmoor_tools.timeline(file_path)`.\n"
    "resample_method : str, default \"cubic\"\n"
    "    The interpolation; only \"cubic\" exists. Not checked without `resample_hz`.\n"
    "fixed_utc_offset_timezone : datetime.tzinfo or None, default None, keyword-only\n"
    "    The device clock's fixed offset from UTC, usually a datetime.timezone such as\n"
    "    datetime.timezone(datetime.timedelta(hours=1)); its utcoffset(None) must give\n"
    "    a timedelta, so zones whose offset depends on the date are refused.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "pandas.DataFrame\n"
    "    At least one row: one per sample (or grid point), in file order. Columns, all\n"
    "    float32, in this order: acc_x, acc_y, acc_z (g); gyro_x, gyro_y, gyro_z\n"
    "    (degrees per second) when 6- or 9-axis data were read; mag_x, mag_y, mag_z\n"
    "    when 9-axis data were read with include_magnetometer; then temperature, light\n"
    "    and battery as selected. NaN marks a sample without a value in a present\n"
    "    channel. The index, named \"timestamp\", has dtype datetime64[us] (device clock)\n"
    "    or, with a timezone, datetime64[us, UTC].\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    An argument of the wrong type (the message names it), a missing `file_path`,\n"
    "    or a timezone whose utcoffset(None) is not a timedelta.\n"
    "ValueError\n"
    "    An invalid cut (for example \"seconds end must be greater than start\") or\n"
    "    resampling option (for example \"resample_hz must be a finite value > 0\");\n"
    "    these are checked before the file is opened.\n"
    "OverflowError\n"
    "    A negative or too large block number in a hand-made blocks cut.\n"
    "RuntimeError\n"
    "    The file cannot be read as a CWA recording or the cut selects nothing; the\n"
    "    message says why, for example \"IO error: No such file or directory (os error\n"
    "    2)\", \"Start block is beyond file size\" or \"No valid sample data found in the\n"
    "    specified range\".\n"
    "MemoryError\n"
    "    The result would need more memory than the machine has.";

constexpr char write_cwa_csv_doc[] =
    "write_cwa_csv(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method=\"cubic\", *, fixed_utc_offset_timezone=None)\n--\n\n"
    "Write CWA samples directly to CSV.\n"
    "\n"
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;\n"
    "with it, numeric `time` values are UTC Unix seconds.\n"
    "Otherwise they encode the device clock without assigning a timezone.\n"
    "\n"
    FILE_PATH_PARAMETER
    "output_path : str\n"
    "    Path of the CSV file, created or overwritten.\n"
    "cut : dict or None, default None\n"
    "    None writes the whole recording; `seconds()` and `blocks()` cuts as for\n"
    "    `read_cwa_file`. Without a seconds cut or resampling, rows are streamed\n"
    "    block by block in constant memory, and a blocks cut keeps whole blocks.\n"
    "include_magnetometer : bool, default True\n"
    "    Decode the magnetometer of 9-axis recordings (mag_x, mag_y, mag_z).\n"
    "include_temperature, include_light, include_battery : bool, default False\n"
    "    Add the temperature, light and battery columns (off by default here, unlike\n"
    "    `read_cwa_file`). NumPy booleans are accepted; integers are not.\n"
    "resample_hz : float or None, default None\n"
    "    As for `read_cwa_file`: None writes the samples as recorded, a rate in Hz\n"
    "    (> 0 and <= 10000) writes rows on a regular grid, interpolated across gaps\n"
    "    in the recording as `read_cwa_file` says.\n"
    "resample_method : str, default \"cubic\"\n"
    "    The interpolation; only \"cubic\" exists. Not checked without `resample_hz`.\n"
    "fixed_utc_offset_timezone : datetime.tzinfo or None, default None, keyword-only\n"
    "    The device clock's fixed offset from UTC, as for `read_cwa_file`.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "None\n"
    "    The file holds a header row and one row per sample (or grid point): `time` in\n"
    "    seconds with 4 decimals, then acc_x, acc_y, acc_z, the gyro_* and mag_*\n"
    "    columns when the data hold them, then temperature, light and battery as\n"
    "    selected, each with 6 decimals; NaN marks a missing value.\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError, ValueError, OverflowError\n"
    "    As for `read_cwa_file`, raised before the output file is created.\n"
    "RuntimeError\n"
    "    The input cannot be read as a CWA recording, a seconds cut or resampled read\n"
    "    finds no samples (a streamed write of no samples gives a header-only file), or\n"
    "    the output cannot be written (\"IO error: ...\"). A seconds-cut or resampled\n"
    "    write creates the output only after the whole read succeeded; a streamed write\n"
    "    that fails part-way leaves the rows written so far.\n"
    "MemoryError\n"
    "    As for `read_cwa_file`.";

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
    if (!create_panic_type()) return nullptr;
    Ref created = Ref::steal(PyModule_Create(&module_def));
    if (!created) return nullptr;
    for (PyMethodDef& def : functions) {
        if (!add_function(created.get(), &def)) return nullptr;
    }
    module = created.new_reference();
    return created.release();
}
