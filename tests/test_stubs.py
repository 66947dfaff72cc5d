"""The installed type stub against the dictionaries the module really returns.

The checker-side tests (stubtest, tests/typing) compare signatures; only real calls can show
that each dictionary's keys, their order and every value's type are what the stub declares.
"""

import ast
import pathlib

import pytest

import cwa_builder as cb
import kelpmoor

STUB = pathlib.Path(kelpmoor.__file__).with_name("kelpmoor-stubs") / "__init__.pyi"
BUILTINS = {"str": str, "int": int, "float": float, "bool": bool}
pt = cb.packed_time


@pytest.fixture(scope="module")
def stub_tree():
    # Installed beside the module, where type checkers look for a stub-only package.
    return ast.parse(STUB.read_text())


def typed_dict_fields(tree, name):
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name]
    return {field.target.id: field.annotation for field in cls.body if isinstance(field, ast.AnnAssign)}


def accepts(annotation, value):
    """Whether `value` is of the annotated type: exact builtins, None, `X | Y`, Literal[...]."""
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return accepts(annotation.left, value) or accepts(annotation.right, value)
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.Name):
        return type(value) is BUILTINS[annotation.id]
    if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "Literal":
        options = ast.literal_eval(annotation.slice)
        options = options if isinstance(options, tuple) else (options,)
        return any(type(value) is type(option) and value == option for option in options)
    raise AssertionError(f"annotation {ast.unparse(annotation)} is not understood here")


def assert_matches(tree, name, result):
    fields = typed_dict_fields(tree, name)
    assert list(result) == list(fields)
    wrong = {key: (ast.unparse(fields[key]), value) for key, value in result.items()
             if not accepts(fields[key], value)}
    assert not wrong


def full_recording(make_cwa):
    # AX6 with gyroscope range and magnetometer, set times and two data packets: no value is None
    packets = [dict(timestamp=pt(2023, 6, 15, 12, 0, s), fmt=0x92, sample_count=4) for s in range(2)]
    return make_cwa(packets, hardware_type=0x64, sensor_config=0x12, logging_start=pt(2023, 6, 15, 11),
                    logging_end=pt(2023, 6, 15, 13), last_change=pt(2023, 6, 1), annotation=b"wrist")


def empty_recording(make_cwa):
    # AX3, unset header times, no data block: every optional value is None
    return make_cwa(logging_start=0xFFFFFFFF, logging_end=0)


@pytest.mark.parametrize("function,name", [(kelpmoor.read_metadata, "_Metadata"),
                                           (kelpmoor.sampling_consistency_report, "_SamplingReport")])
def test_result_dicts(stub_tree, make_cwa, function, name):
    full = function(full_recording(make_cwa))
    empty = function(empty_recording(make_cwa))
    assert_matches(stub_tree, name, full)
    assert_matches(stub_tree, name, empty)
    # Both sides of every `X | None` were seen.
    optional = [key for key, annotation in typed_dict_fields(stub_tree, name).items()
                if "None" in ast.unparse(annotation)]
    assert optional
    assert all(full[key] is not None and empty[key] is None for key in optional)


@pytest.mark.parametrize("name,cut", [
    ("_SecondsCut", kelpmoor.seconds()),
    ("_SecondsCut", kelpmoor.seconds(5, end=10.5)),
    ("_BlocksCut", kelpmoor.blocks()),
    ("_BlocksCut", kelpmoor.blocks(True, 7)),
])
def test_cut_dicts(stub_tree, name, cut):
    assert_matches(stub_tree, name, cut)

