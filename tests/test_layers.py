"""scripts/check_import_cycles.py passes on this tree and fails on each kind
of fault it is there to catch, planted in a copy of the package."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "check_import_cycles.py"


def check(root):
    return subprocess.run([sys.executable, str(SCRIPT), str(root)], capture_output=True, text=True)


def test_the_package_has_no_cycle_and_no_private_use():
    assert check(ROOT).returncode == 0


@pytest.mark.parametrize("module, line, fault", [
    ("_bins.py", "\ndef f():\n    from molvane.analysis import RDF\n", "import cycle between"),
    ("cli.py", "\nfrom molvane._tasks import Cell\nCell._x\n", None),
    ("cli.py", "\nfrom molvane.analysis import _frozen\n", "imports _frozen from molvane.analysis"),
    ("cli.py", "\nfrom molvane import trajectory\ntrajectory._structures\n", "uses trajectory._structures"),
])
def test_planted_faults_are_found(tmp_path, module, line, fault):
    shutil.copytree(ROOT / "python" / "molvane", tmp_path / "python" / "molvane",
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    (tmp_path / "src").mkdir()
    with open(tmp_path / "python" / "molvane" / module, "a") as handle:
        handle.write(line)
    result = check(tmp_path)
    assert result.returncode == (0 if fault is None else 1)
    if fault:
        assert fault in result.stderr


def test_native_code_that_imports_the_package_is_found(tmp_path):
    shutil.copytree(ROOT / "python" / "molvane", tmp_path / "python" / "molvane",
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "binding.cpp").write_text('PyObject* m = PyImport_ImportModule("molvane.plotting");\n')
    result = check(tmp_path)
    assert result.returncode == 1 and "the binding imports the package" in result.stderr
