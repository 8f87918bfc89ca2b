"""The README's Python examples run as written: every ```python block, in
order, in one shared namespace, inside a temporary folder where examples/ is
reachable by its relative path (files the examples write land there)."""

import ast
import importlib.util
import os
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BLOCKS = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(encoding="utf-8"), re.M | re.S)


def _missing_imports(code):
    """Top-level modules the block imports that are not installed."""
    names = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            names.add(node.module.split(".")[0])
    return sorted(name for name in names if importlib.util.find_spec(name) is None)


@pytest.fixture(scope="module")
def readme(tmp_path_factory):
    folder = tmp_path_factory.mktemp("readme")
    (folder / "examples").symlink_to(ROOT / "examples", target_is_directory=True)
    state = {"namespace": {"__name__": "readme"}, "next": 0}
    previous = os.getcwd()
    os.chdir(folder)
    try:
        yield state
    finally:
        os.chdir(previous)


def _run(state, index):
    state["next"] = index + 1
    code = BLOCKS[index]
    missing = _missing_imports(code)
    if missing:
        pytest.skip(f"README block {index + 1} needs {', '.join(missing)}")
    try:
        exec(compile(code, f"README.md python block {index + 1}", "exec"), state["namespace"])
    except ImportError as exc:
        # A call that needs an optional extra names it: pip install 'molvane[...]'.
        if "molvane[" not in str(exc):
            raise
        pytest.skip(f"README block {index + 1}: {exc}")


def test_readme_has_python_blocks():
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=lambda i: f"block{i + 1}")
def test_readme_block_runs(readme, index):
    # Run alone (-k), a block first runs the ones before it that it may build on.
    while readme["next"] < index:
        _run(readme, readme["next"])
    _run(readme, index)
