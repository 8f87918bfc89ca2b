from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# Real public structure files with their origin in MANIFEST.tsv.
CORPUS = ROOT / "tests" / "data" / "corpus"


@pytest.fixture(scope="session")
def corpus():
    return CORPUS


@pytest.fixture
def cubic():
    """A one-site cubic structure of edge 4 (Fe at the origin)."""
    import molvane

    return molvane.Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Fe": 1.0}])


_NATIVE_BUILD = ROOT / "build" / "native-tests"


def native_exe(name: str) -> Path:
    """Path of a native test driver built from tests/cpp/<name>.cpp.

    A development build (scripts/dev-build) keeps the drivers beside the
    extension; otherwise they are built here with CMake, once per run.
    """
    import molvane

    beside = Path(molvane._molvane.__file__).resolve().parent / name
    if beside.exists():
        return beside
    exe = _NATIVE_BUILD / name
    if name not in _built:
        import subprocess

        if not (_NATIVE_BUILD / "CMakeCache.txt").exists():
            subprocess.run(
                ["cmake", "-S", str(ROOT), "-B", str(_NATIVE_BUILD), "-DCMAKE_BUILD_TYPE=Release"],
                check=True, capture_output=True,
            )
        subprocess.run(["cmake", "--build", str(_NATIVE_BUILD), "--target", name, "-j", "2"],
                       check=True, capture_output=True)
        _built.add(name)
    return exe


_built: set = set()


def run_driver(name: str, mode: str, cases: list) -> dict:
    """Runs a native driver once over all cases (one per line); returns
    case -> the JSON value it printed for that case."""
    import json
    import subprocess

    out = subprocess.run([str(native_exe(name)), mode], input="\n".join(cases) + "\n",
                         capture_output=True, text=True, check=True).stdout
    return dict(zip(cases, map(json.loads, out.split("\n")[:-1])))
