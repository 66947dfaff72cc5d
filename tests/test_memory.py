"""Memory a call cannot have: MemoryError with a text that says what was refused, and the memory
limit of the process's cgroup (read from fake /proc and /sys trees by the native check)."""
import subprocess
import sys

import pytest

import cwa_builder as cb
import native_checks


def address_space_can_be_limited():
    """Linux, without ASan's runtime (.ci/asan-tests preloads it): ASan aborts, rather than
    refuses, an allocation it cannot map."""
    if not sys.platform.startswith("linux"):
        return False
    with open("/proc/self/maps") as fh:
        maps = fh.read()
    return "libasan" not in maps and "libclang_rt.asan" not in maps


limited_address_space = pytest.mark.skipif(not address_space_can_be_limited(),
                                           reason="needs Linux's RLIMIT_AS without ASan")

# Runs one call with only `headroom` MiB of address space beyond what the interpreter already
# holds, and prints the MemoryError's text. The calls fail before they would need NumPy.
CHILD = r"""
import resource, sys
import kelpmoor
path, expression, headroom_mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (headroom_mib << 20), resource.RLIM_INFINITY))
try:
    eval(expression)
except MemoryError as error:
    print("MemoryError:", error)
else:
    print("returned")
"""

BLOCKS = 30000


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory):
    """30000 full packed blocks: 3.6 million samples, over 100 MiB of columns with every channel."""
    path = tmp_path_factory.mktemp("memory") / "long.cwa"
    return cb.write_cwa(path, cb.metadata_block(), [cb.data_block()] * BLOCKS)


def run_limited(path, expression, headroom_mib):
    run = subprocess.run([sys.executable, "-c", CHILD, path, expression, str(headroom_mib)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


@limited_address_space
@pytest.mark.parametrize("call, first_block, float_columns", [
    ("kelpmoor.read_cwa_file(path)", 0, 6),
    ("kelpmoor.read_cwa_file(path, include_temperature=False, include_light=False, include_battery=False)", 0, 3),
    ("kelpmoor.read_cwa_file(path, cut=kelpmoor.blocks(10000))", 10000, 6),
    ("kelpmoor.write_cwa_csv(path, '/dev/null', cut=kelpmoor.seconds(1))", 0, 3),
])
def test_columns_without_memory_name_the_range_and_its_size(long_recording, call, first_block, float_columns):
    upper = (BLOCKS - first_block) * 120
    mib = upper * (8 + 4 * float_columns) / 2**20
    assert run_limited(long_recording, call, 32) == (
        f"MemoryError: not enough memory for the samples of data blocks {first_block} to {BLOCKS} "
        f"(up to {upper} samples, {mib:.1f} MiB of columns); read part of the recording with a cut")


@limited_address_space
def test_an_allocation_the_core_cannot_describe_names_the_call(long_recording):
    # The CSV writer's 16 MiB output buffer is the one allocation the streaming export makes.
    assert run_limited(long_recording, "kelpmoor.write_cwa_csv(path, '/dev/null')", 4) == (
        "MemoryError: kelpmoor ran out of memory in write_cwa_csv: the system refused an allocation")


@pytest.fixture(scope="module")
def cgroup_limit(tmp_path_factory):
    """cgroup_limit(tree) -> the limit the native check reads under a fake root built from `tree`,
    a dict of relative file paths and their texts."""
    folder = tmp_path_factory.mktemp("cgroup")
    trees = iter(range(1000))

    def limit(tree):
        root = folder / f"root{next(trees)}"
        for name, text in tree.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        root.mkdir(exist_ok=True)
        run = native_checks.run("cgroup_memory_check", root, timeout=60)
        assert run.returncode == 0, run.stderr
        return run.stdout.strip()

    return limit


GIB = 1 << 30
CG = "sys/fs/cgroup"
SELF = "proc/self/cgroup"


@pytest.mark.parametrize("tree, expected", [
    # No cgroup information, or no unified hierarchy (cgroup v1 only): no limit.
    ({}, "max"),
    ({SELF: "4:memory:/user.slice\n1:cpu:/\n", f"{CG}/memory.max": f"{GIB}\n"}, "max"),
    # The root of the hierarchy has no memory.max; "max" means no limit.
    ({SELF: "0::/\n"}, "max"),
    ({SELF: "0::/app\n", f"{CG}/app/memory.max": "max\n"}, "max"),
    # A container's own cgroup, mounted as the top of its namespace.
    ({SELF: "0::/\n", f"{CG}/memory.max": f"{GIB}\n"}, str(GIB)),
    # A limit on an ancestor bounds its descendants; the smallest on the way up wins.
    ({SELF: "0::/a/b\n", f"{CG}/a/b/memory.max": "max\n", f"{CG}/a/memory.max": f"{2 * GIB}\n"}, str(2 * GIB)),
    ({SELF: "0::/a/b\n", f"{CG}/a/b/memory.max": f"{GIB}\n", f"{CG}/a/memory.max": f"{2 * GIB}\n"}, str(GIB)),
    ({SELF: "0::/a/b\n", f"{CG}/a/b/memory.max": f"{3 * GIB}\n", f"{CG}/a/memory.max": f"{2 * GIB}\n",
      f"{CG}/memory.max": f"{4 * GIB}\n"}, str(2 * GIB)),
    # Hybrid systems list the v1 controllers beside the unified entry.
    ({SELF: "4:memory:/x\n0::/svc\n1:cpu:/\n", f"{CG}/svc/memory.max": "536870912\n"}, "536870912"),
    # Unreadable values are no limit; a cgroup outside the namespace leaves only its top.
    ({SELF: "0::/a\n", f"{CG}/a/memory.max": "lots\n"}, "max"),
    ({SELF: "0::/../../elsewhere\n", f"{CG}/memory.max": f"{GIB}\n", f"{CG}/elsewhere/memory.max": "1\n"},
     str(GIB)),
])
def test_cgroup_memory_limit(cgroup_limit, tree, expected):
    assert cgroup_limit(tree) == expected
