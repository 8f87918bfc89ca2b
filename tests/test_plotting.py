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
    assert header == ["r", "r_left", "r_right", "rho_total", "rho_O_O", "rho_O_Si", "rho_Si_O", "rho_Si_Si"]
    assert np.array_equal(body[:, 1], r)
    assert np.array_equal(body[:, 0], r + 0.125) and np.array_equal(body[:, 2], r + 0.25)
    assert np.array_equal(body[:, 3], total)
    for col, key in enumerate(partials, start=4):
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


@pytest.mark.parametrize("n_elements", [1, 5, 8])
def test_partials_figure_keeps_titles_and_panels_apart(n_elements):
    """One panel per centre element; the heading, panel titles, axis labels
    and the legend never overlap one another."""
    pytest.importorskip("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from molvane.plotting import _partials_figure

    elements = ["H", "C", "N", "O", "Na", "Mg", "Si", "Fe"][:n_elements]
    x = np.arange(100) * 0.1 + 0.05
    panels = {a: [(b, 1 + np.sin(x * (i + 1))) for i, b in enumerate(elements)] for a in elements}
    fig = _partials_figure(Figure, x, panels, True, "A long structure name", "average of 6 frames", (1.0, "1"),
                           None, elements)
    renderer = FigureCanvasAgg(fig).get_renderer()
    fig.draw(renderer)
    axes = [ax for ax in fig.axes if ax.get_visible()]
    assert len(axes) == n_elements
    boxes = [fig._suptitle.get_window_extent(renderer), fig.legends[0].get_window_extent(renderer)]
    boxes += [ax.get_tightbbox(renderer) for ax in axes]
    for i, a in enumerate(boxes):
        for b in boxes[i + 1:]:
            overlap_w = min(a.x1, b.x1) - max(a.x0, b.x0)
            overlap_h = min(a.y1, b.y1) - max(a.y0, b.y0)
            assert overlap_w <= 1 or overlap_h <= 1


def test_figure_targets_and_species_sharing_a_site(tmp_path):
    """A file name gets one figure, a folder both in the format asked, ax= is
    drawn into; Fe and Ni sharing every site have one g(r), drawn once."""
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    import molvane
    from molvane.plotting import _merge_alike

    a = 4.2
    s = Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], [[0, 0, 0], [0.5, 0.5, 0.5]],
                  [{"Fe": 0.5, "Ni": 0.5}, {"O": 1.0}])
    result = molvane.rdf(s, 5.0)
    assert result.plot(tmp_path / "fig.svg") == [str(tmp_path / "fig.svg")]
    assert (tmp_path / "fig.svg").read_text().lstrip().startswith("<?xml")
    assert result.plot(tmp_path / "figs", figure_format="pdf", dpi=300) == [
        str(tmp_path / "figs" / "rdf_total.pdf"), str(tmp_path / "figs" / "rdf_partials.pdf")]
    ax = Figure().add_subplot()
    assert result.plot(ax=ax, weights={"Fe": 1.0, "Ni": 2.0, "O": 1.0}) == []
    assert [line.get_label() for line in ax.get_lines()][:2] == ["weighted", "unweighted"]
    panels = {c: [(b, result.g(c, b)) for b in result.elements] for c in result.elements}
    merged, order = _merge_alike(panels, result.elements)
    assert order == ["Fe, Ni", "O"] and [b for b, _ in merged["Fe, Ni"]] == order
