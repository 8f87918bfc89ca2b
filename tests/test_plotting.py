import csv
import sys

import numpy as np
import pytest

from molvane import Structure


def silica_like():
    return Structure(
        [[5.0, 0, 0], [0, 5.0, 0], [0, 0, 5.5]],
        [[0, 0, 0], [0.5, 0.5, 0.5], [0.25, 0.25, 0.1], [0.75, 0.2, 0.6]],
        [{"Si": 1.0}, {"Si": 1.0}, {"O": 1.0}, {"O": 0.5}],
    )


def test_prdf_writes_figures_and_a_csv_of_the_returned_curves(tmp_path):
    pytest.importorskip("matplotlib")
    folder = tmp_path / "new" / "plots"
    r, partials, total = silica_like().prdf(cutoff=6.0, bin_size=0.25, save_plots=str(folder), title="SiO2 test")
    pngs = sorted(folder.glob("*.png"))
    assert len(pngs) == 2
    for png in pngs:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with open(folder / "rdf.csv", newline="", encoding="utf-8") as handle:
        rows = list(csv.reader(handle))
    header, body = rows[0], np.array(rows[1:], dtype=float)
    assert header == ["r", "g_total", "g_O_O", "g_O_Si", "g_Si_O", "g_Si_Si"]
    assert np.array_equal(body[:, 0], r)
    assert np.array_equal(body[:, 1], total)
    for col, key in enumerate(partials, start=2):
        assert np.array_equal(body[:, col], partials[key])


def test_save_prdf_plots_returns_the_files_it_wrote(tmp_path):
    pytest.importorskip("matplotlib")
    from molvane.plotting import save_prdf_plots

    r = np.arange(4) * 0.5
    partials = {("X", "X"): np.ones(4)}
    files = save_prdf_plots(r, partials, np.ones(4), str(tmp_path), bin_size=0.5, title=None, density=0.05)
    assert sorted(files) == sorted(str(p) for p in tmp_path.iterdir())
    assert len(files) == 3


def test_without_matplotlib_the_error_names_the_extra(tmp_path, monkeypatch):
    from molvane.plotting import save_prdf_plots

    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pip install 'molvane\[plot\]'"):
        save_prdf_plots([0.0], {("X", "X"): [0.0]}, [0.0], str(tmp_path / "x"), bin_size=1.0)
    assert not (tmp_path / "x").exists()
