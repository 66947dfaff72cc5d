"""Every block kernel the processor supports (timestamps, packed samples) against the scalar
formulas, bit for bit over randomized blocks, through the native check program."""

import native_checks


def test_every_block_kernel_matches_the_scalar_formulas():
    done = native_checks.run("block_kernels_check")
    native_checks.assert_all_passed(done, "block kernels")
    assert "kernel portable: " in done.stdout and "timestamp blocks" in done.stdout
