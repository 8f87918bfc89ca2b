import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# Real public structure files; a clone keeps them in ../shared/corpus.
CORPUS = Path(os.environ.get("MOLVANE_CORPUS", ROOT.parent / "shared" / "corpus"))


@pytest.fixture(scope="session")
def corpus():
    if not CORPUS.is_dir():
        pytest.skip(f"structure corpus not found at {CORPUS}")
    return CORPUS


@pytest.fixture
def cubic():
    """A one-site cubic structure of edge 4 (Fe at the origin)."""
    import molvane

    return molvane.Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Fe": 1.0}])
