"""Fixed-point number text of the CSV writer, through the native check program."""

import math
import struct

import pytest

import native_checks


def test_matches_to_chars_on_chosen_and_random_values():
    native_checks.assert_all_passed(native_checks.run("fixed_format_check"), "fixed format")


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def f64_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


@pytest.mark.parametrize(
    ("bits", "text"),
    [
        (f32_bits(1.0), "1.000000"),
        (f32_bits(0.0625), "0.062500"),
        (f32_bits(-0.00390625), "-0.003906"),
        (f32_bits(0.0078125), "0.007812"),  # exact tie, goes to the even digit
        (f32_bits(0.0234375), "0.023438"),  # exact tie, the even neighbour is above
        (f32_bits(0.1), "0.100000"),
        (f32_bits(-0.0), "-0.000000"),
        (f32_bits(1e-7), "0.000000"),
        (f32_bits(-1e-7), "-0.000000"),
        (f32_bits(0.9999995), "1.000000"),  # rounding carries into the integer part
        (f32_bits(123456.5), "123456.500000"),
        (f32_bits(3.4028234663852886e38), "340282346638528859811704183484516925440.000000"),
        (0x00000001, "0.000000"),
        (0x7FC00000, "NaN"),
        (0xFFC00000, "NaN"),
        (0x7F800001, "NaN"),
        (f32_bits(math.inf), "inf"),
        (f32_bits(-math.inf), "-inf"),
    ],
)
def test_six_decimal_text_of_float(bits, text):
    run = native_checks.run("fixed_format_check", "--show6", f"{bits:x}")
    assert run.stdout == text + "\n"


@pytest.mark.parametrize(
    ("seconds", "text"),
    [
        (1700000000123456 / 1e6, "1700000000.1235"),
        (1700000000000050 / 1e6, "1700000000.0001"),  # quotient just above the tie
        (1700000000000150 / 1e6, "1700000000.0001"),  # quotient just below the tie
        (0 / 1e6, "0.0000"),
        (-1 / 1e6, "-0.0000"),
        (0.03125, "0.0312"),
        (0.09375, "0.0938"),
        (99.99996, "100.0000"),
        (2.0**64, "18446744073709551616.0000"),
        (-1.0e300, f"{int(-1.0e300)}.0000"),  # every digit of the exact binary value
        (math.nan, "NaN"),
        (-math.inf, "-inf"),
    ],
)
def test_four_decimal_text_of_double(seconds, text):
    bits = f64_bits(seconds)
    run = native_checks.run("fixed_format_check", "--show4", f"{bits:x}")
    assert run.stdout == text + "\n"
