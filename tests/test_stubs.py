"""The installed type information against what the module answers at run time.

stubtest compares names and parameters; it cannot see return types. Here every
method and attribute of the stub is called on synthetic files, in range and out of
range, and each answer must be an instance of the type the stub declares.
"""

from __future__ import annotations

import ast
import pathlib

import pytest

import kestrune
from kestrune_tools.synthetic import RawFile, demo_file

SOURCE_STUB = pathlib.Path(__file__).parents[1] / "kestrune-stubs" / "__init__.pyi"
STUB = ast.parse(SOURCE_STUB.read_text(encoding="utf-8"))


def stub_class(name: str) -> ast.ClassDef:
    (found,) = [node for node in STUB.body if isinstance(node, ast.ClassDef) and node.name == name]
    return found


def reader_members() -> dict[str, ast.FunctionDef]:
    members = stub_class("RawFileReader").body
    return {
        node.name: node
        for node in members
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_")
    }


def typed_dict_fields(name: str) -> list[tuple[str, ast.expr]]:
    return [
        (node.target.id, node.annotation)
        for node in stub_class(name).body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
    ]


def conforms(value: object, annotation: ast.expr) -> bool:
    """Whether value is an instance of the stub's annotation, read strictly: an int
    is no float and a bool no int, since callers rely on the exact type."""
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return conforms(value, annotation.left) or conforms(value, annotation.right)
    if isinstance(annotation, ast.Name):
        exact = {"int": int, "float": float, "str": str}
        if annotation.id in exact:
            return type(value) is exact[annotation.id]
        fields = typed_dict_fields(annotation.id)
        return (
            type(value) is dict
            and list(value) == [key for key, _ in fields]
            and all(conforms(value[key], field) for key, field in fields)
        )
    assert isinstance(annotation, ast.Subscript), ast.dump(annotation)
    base = ast.unparse(annotation.value)
    args = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
    if base == "list":
        return type(value) is list and all(conforms(item, args[0]) for item in value)
    if base == "dict":
        return type(value) is dict and all(
            conforms(key, args[0]) and conforms(item, args[1]) for key, item in value.items()
        )
    if base == "tuple":
        return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
    if base == "NDArray":
        np = pytest.importorskip("numpy")
        dtype = np.dtype(getattr(np, ast.unparse(args[0]).removeprefix("np.")))
        return isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype == dtype
    raise AssertionError(f"annotation not understood: {ast.unparse(annotation)}")


def needs_numpy(annotation: ast.expr | None) -> bool:
    return annotation is not None and "NDArray" in ast.unparse(annotation)


@pytest.fixture(scope="module")
def readers(tmp_path_factory):
    """An orbitrap-profile demo file and a generic-profile file of version 57."""
    directory = tmp_path_factory.mktemp("kr")
    return {
        "demo": kestrune.RawFileReader(demo_file().write(directory / "demo_orbitrap.raw")),
        "generic": kestrune.RawFileReader(RawFile().header(version=57).write(directory / "plain.raw")),
    }


def test_installed_stub_is_the_source_stub():
    installed = pathlib.Path(kestrune.__file__).parent / "kestrune-stubs" / "__init__.pyi"
    assert installed.is_file(), f"no stub package beside {kestrune.__file__}"
    assert installed.read_text(encoding="utf-8") == SOURCE_STUB.read_text(encoding="utf-8")


@pytest.mark.parametrize("file", ["demo", "generic"])
@pytest.mark.parametrize("name", sorted(reader_members()))
def test_answers_have_the_declared_types(readers, file, name):
    member = reader_members()[name]
    if needs_numpy(member.returns):
        pytest.importorskip("numpy")
    reader = readers[file]
    if any(isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list):
        answers = [getattr(reader, name)]
    elif len(member.args.args) == 1:
        answers = [getattr(reader, name)()]
    else:
        method = getattr(reader, name)
        scans = [1, 2, reader.num_scans, 0, reader.num_scans + 1, 2**32 - 1]
        answers = [method(scan) for scan in scans]
    assert member.returns is not None
    for answer in answers:
        assert conforms(answer, member.returns), (name, answer)
