"""A quick tour of kelpmoor on a generated two-hour recording."""
import datetime
import tempfile
from pathlib import Path

import kelpmoor
from kelpmoor_tools import synth

with tempfile.TemporaryDirectory() as folder:
    path = str(synth.write_recording(Path(folder) / "demo.cwa", duration_s=2 * 3600, axes=6, seed=1))

    metadata = kelpmoor.read_metadata(path)
    print("device", metadata["device_id"], metadata["hardware_type"], metadata["sample_rate_hz"], "Hz")
    print("data from", metadata["start_from_data_raw"], "to", metadata["end_from_data_raw"])
    print(kelpmoor.sampling_consistency_report(path))

    frame = kelpmoor.read_cwa_file(path, cut=kelpmoor.seconds(60, 120))
    print(frame.head(), frame.dtypes, sep="\n")

    utc = datetime.timezone(datetime.timedelta(hours=2))
    resampled = kelpmoor.read_cwa_file(path, resample_hz=30, fixed_utc_offset_timezone=utc)
    print(len(resampled), "rows at 30 Hz from", resampled.index[0])

    csv_path = str(Path(folder) / "demo.csv")
    kelpmoor.write_cwa_csv(path, csv_path, cut=kelpmoor.blocks(0, 3))
    print(Path(csv_path).read_text()[:300])
