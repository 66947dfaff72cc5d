"""The reference resampler against worked values, and the module's resampler with every kernel
the processor supports against the reference over randomized sample streams, through the native
check program."""

import re

import native_checks


def test_resampler_rows_match_worked_values_and_the_reference():
    done = native_checks.run("resampler_check")
    native_checks.assert_all_passed(done, "resampler")
    streams = re.findall(r"^kernel (\w+): random streams: 2000 cases, [1-9]\d* reference rows, 0 mismatches$",
                         done.stdout, re.M)
    assert "portable" in streams, done.stdout
