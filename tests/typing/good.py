"""Calls every kelpmoor function as a user would; type checkers must accept all of it."""

from __future__ import annotations

import datetime
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

import kelpmoor

if TYPE_CHECKING:
    # Names for the result types exist only for type checkers, so they are imported only for them.
    from kelpmoor import _BlocksCut, _Metadata, _SamplingReport, _SecondsCut  # pyright: ignore[reportPrivateUsage]


def header_summary(path: str) -> tuple[float, str | None, int | None, bool]:
    meta: _Metadata = kelpmoor.read_metadata(path)
    rate: float = meta["sample_rate_hz"]
    start: str | None = meta["start_from_data_raw"]
    gyro: int | None = meta["gyro_range"]
    device: int = meta["device_id"] + meta["upper_device_id"] + meta["session_id"]
    texts: list[str] = [meta["packet_header"], meta["hardware_type"], meta["annotation"]]
    times = [meta["logging_start_time_raw"], meta["logging_end_time_raw"],
             meta["last_change_time_raw"], meta["end_from_data_raw"]]
    numbers = [meta["packet_length"], meta["flash_led"], meta["sensor_config"],
               meta["accel_range"], meta["firmware_revision"], device]
    assert len(texts) + len(times) + len(numbers) > 0
    return rate, start, gyro, meta["magnetometer_enabled"]


def effective_rate(path: str) -> float | None:
    report: _SamplingReport = kelpmoor.sampling_consistency_report(file_path=path)
    nominal: float = report["samplingrate_hz_from_header"]
    durations: list[float | None] = [report["duration_s_from_header"], report["duration_s_from_data"]]
    starts: list[str | None] = [report["start_from_header_raw"], report["start_from_data_raw"]]
    ends: list[str | None] = [report["end_from_header_raw"], report["end_from_data_raw"]]
    measured = report["samplingrate_hz_from_data"]
    if measured is None or not durations or not starts or not ends:
        return None
    return measured / nominal


def cuts() -> list[_SecondsCut | _BlocksCut]:
    first_hour: _SecondsCut = kelpmoor.seconds(0, 3600.5)
    tail = kelpmoor.seconds(start=np.float32(10.0))
    unbounded = kelpmoor.seconds()
    some_blocks: _BlocksCut = kelpmoor.blocks(2, end=np.int64(7))
    up_to: _BlocksCut = kelpmoor.blocks(end=100)
    hand_made: _BlocksCut = {"type": "blocks", "start": 0, "end": None}
    kind: str = tail["type"]
    seconds_start: float | None = first_hour["start"]
    block_end: int | None = some_blocks["end"]
    assert kind and seconds_start is not None and block_end is not None
    return [first_hour, tail, unbounded, some_blocks, up_to, hand_made]


def frames(path: str) -> list[pd.DataFrame]:
    plain = kelpmoor.read_cwa_file(path)
    everything = kelpmoor.read_cwa_file(
        path,
        kelpmoor.blocks(0, 10),
        False,
        np.True_,
        include_light=False,
        include_battery=True,
        resample_hz=30,
        resample_method="cubic",
        fixed_utc_offset_timezone=datetime.timezone(datetime.timedelta(hours=-5)),
    )
    utc = kelpmoor.read_cwa_file(path, cut=kelpmoor.seconds(60, 120), resample_hz=12.5,
                                 fixed_utc_offset_timezone=datetime.timezone.utc)
    column: pd.Series = plain["acc_x"]
    assert column.dtype == np.float32
    return [plain, everything, utc]


def csv_files(path: str, output: str) -> None:
    kelpmoor.write_cwa_csv(path, output)
    kelpmoor.write_cwa_csv(path, output, kelpmoor.seconds(end=60.0), True, True, True, True, 50.0, "cubic",
                           fixed_utc_offset_timezone=None)
    kelpmoor.write_cwa_csv(file_path=path, output_path=output, cut=None, include_magnetometer=np.bool_(False))


names: list[str] = kelpmoor.__all__
