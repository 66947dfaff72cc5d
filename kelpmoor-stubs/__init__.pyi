# Type information for the kelpmoor extension module, shipped as a stub-only package so that
# type checkers find it beside a compiled module that cannot carry a py.typed marker.
#
# The underscore-prefixed names below exist only for type checkers (hence also
# @type_check_only): the module has no such attributes. To name one in an annotation, import it
# under `if typing.TYPE_CHECKING:`.
import datetime
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, type_check_only

import numpy
import pandas

__all__ = [
    "read_metadata",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]

# Anything the interpreter's float conversion accepts (float, int, NumPy scalars).
_FloatLike: TypeAlias = SupportsFloat | SupportsIndex
# The include_* flags: a bool, or a NumPy boolean scalar.
_Flag: TypeAlias = bool | numpy.bool_

@type_check_only
class _Metadata(TypedDict):
    packet_header: str
    packet_length: int
    hardware_type: str
    device_id: int
    session_id: int
    upper_device_id: int
    logging_start_time_raw: str | None
    logging_end_time_raw: str | None
    last_change_time_raw: str | None
    start_from_data_raw: str | None
    end_from_data_raw: str | None
    flash_led: int
    sensor_config: int
    sample_rate_hz: float
    accel_range: int
    firmware_revision: int
    annotation: str
    gyro_range: int | None
    magnetometer_enabled: bool

@type_check_only
class _SamplingReport(TypedDict):
    start_from_header_raw: str | None
    end_from_header_raw: str | None
    duration_s_from_header: float | None
    start_from_data_raw: str | None
    end_from_data_raw: str | None
    duration_s_from_data: float | None
    samplingrate_hz_from_header: float
    samplingrate_hz_from_data: float | None

@type_check_only
class _SecondsCut(TypedDict):
    type: Literal["seconds"]
    start: float | None
    end: float | None

@type_check_only
class _BlocksCut(TypedDict):
    type: Literal["blocks"]
    start: int | None
    end: int | None

_Cut: TypeAlias = _SecondsCut | _BlocksCut

def read_metadata(file_path: str) -> _Metadata: ...
def sampling_consistency_report(file_path: str) -> _SamplingReport: ...
def seconds(start: _FloatLike | None = None, end: _FloatLike | None = None) -> _SecondsCut: ...
def blocks(start: SupportsIndex | None = None, end: SupportsIndex | None = None) -> _BlocksCut: ...
def read_cwa_file(
    file_path: str,
    cut: _Cut | None = None,
    include_magnetometer: _Flag = True,
    include_temperature: _Flag = True,
    include_light: _Flag = True,
    include_battery: _Flag = True,
    # resample_hz: the regular grid runs straight through a gap in the recording and the cubic
    # interpolates across it, so a 30 s gap resampled at 30 Hz can read up to about 16 g on a
    # +-8 g sensor. Mask those rows with the "gap" rows of kelpmoor_tools.timeline(file_path).
    resample_hz: _FloatLike | None = None,
    resample_method: Literal["cubic"] = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> pandas.DataFrame: ...
def write_cwa_csv(
    file_path: str,
    output_path: str,
    cut: _Cut | None = None,
    include_magnetometer: _Flag = True,
    include_temperature: _Flag = False,
    include_light: _Flag = False,
    include_battery: _Flag = False,
    resample_hz: _FloatLike | None = None,
    resample_method: Literal["cubic"] = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> None: ...
