import datetime
from typing import Literal, TypedDict

import pandas

__all__ = [
    "read_metadata",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]

class SecondsCut(TypedDict):
    type: Literal["seconds"]
    start: float | None
    end: float | None

class BlocksCut(TypedDict):
    type: Literal["blocks"]
    start: int | None
    end: int | None

def read_metadata(file_path: str) -> dict[str, object]: ...
def sampling_consistency_report(file_path: str) -> dict[str, object]: ...
def seconds(start: float | None = None, end: float | None = None) -> SecondsCut: ...
def blocks(start: int | None = None, end: int | None = None) -> BlocksCut: ...
def read_cwa_file(
    file_path: str,
    cut: SecondsCut | BlocksCut | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> pandas.DataFrame: ...
def write_cwa_csv(
    file_path: str,
    output_path: str,
    cut: SecondsCut | BlocksCut | None = None,
    include_magnetometer: bool = True,
    include_temperature: bool = False,
    include_light: bool = False,
    include_battery: bool = False,
    resample_hz: float | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> None: ...
