"""Figures and CSV files of RDF curves, as written by ``Structure.prdf(save_plots=...)``,
``RDF.plot`` and ``RDF.to_csv``.

matplotlib is an optional extra (``pip install 'molvane[plot]'``); it is
imported only when a figure is drawn, and only its Agg canvas is used, so no
window opens and the caller's pyplot state is left alone.
"""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, TypeAlias

import numpy as np
import numpy.typing as npt

from molvane import _bins

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.typing import LineStyleType

__all__ = ["save_prdf_plots", "draw_rdf", "write_csv"]

TOTAL_PNG = "rdf_total.png"
PARTIALS_PNG = "rdf_partials.png"
CSV_NAME = "rdf.csv"

DENSITY_LABEL = "ρ(r) (atoms / Å³)"
G_LABEL = "g(r)"


Path_: TypeAlias = str | os.PathLike[str]
# A curve to draw, with its label (or neighbour element).
Curve: TypeAlias = tuple[str, npt.ArrayLike]


def _matplotlib() -> tuple[type[Figure], type[FigureCanvasAgg]]:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError(
            "saving RDF plots needs matplotlib: pip install 'molvane[plot]'"
        ) from exc
    return Figure, FigureCanvasAgg


def write_csv(path: Path_, edges: npt.ArrayLike, columns: Sequence[Curve]) -> None:
    """Write one row per bin: r (the bin centre), r_left, r_right, then the
    named ``columns`` (a list of (name, curve)). repr() keeps every float
    exact."""
    bounds = np.asarray(edges, dtype=np.float64)
    names = [name for name, _ in columns]
    curves = [np.asarray(curve, dtype=np.float64) for _, curve in columns]
    with open(os.fspath(path), "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["r", "r_left", "r_right"] + names)
        for k in range(len(bounds) - 1):
            lo, hi = float(bounds[k]), float(bounds[k + 1])
            writer.writerow([repr(0.5 * (lo + hi)), repr(lo), repr(hi)] + [repr(float(c[k])) for c in curves])


def _grid(n: int) -> tuple[int, int]:
    """Columns and rows for n panels: at most three columns up to nine."""
    cols = 1 if n == 1 else 2 if n in (2, 4) else 3 if n <= 9 else math.ceil(math.sqrt(n))
    return cols, math.ceil(n / cols)


# Neighbours sharing a site have coincident curves: each neighbour also gets
# its own dash pattern, so a curve drawn over another leaves it visible.
DASHES: list[LineStyleType] = ["solid", (0, (5, 2)), (0, (6, 2, 1.5, 2)), (0, (1.5, 1.5)), (0, (3, 3)), (0, (9, 3)),
          (0, (2, 2, 2, 5)), (0, (1, 3))]


def _heading(title: str | None, what: str, subtitle: str | None) -> str:
    text = f"{title if title else 'Radial distribution function'}: {what}"
    return f"{text}\n{subtitle}" if subtitle else text


def draw_rdf(folder: Path_, x: npt.ArrayLike, lines: Sequence[Curve], panels: Mapping[str, Sequence[Curve]], *,
             conventional: bool, title: str | None = None, subtitle: str | None = None,
             reference: tuple[float, str] | None = None, references: Mapping[str, float] | None = None,
             elements: Sequence[str] | None = None) -> list[str]:
    """Draw ``rdf_total.png`` and ``rdf_partials.png`` into ``folder`` (made
    if missing) and return their paths.

    ``x``: bin centres (Å). ``lines``: (label, curve) for the first figure,
    the first drawn boldest. ``panels``: centre element → list of
    (neighbour element, curve), one panel per centre with its neighbours
    overlaid, each neighbour in the same colour and dash everywhere.
    ``conventional`` says whether the curves are g(r) (dimensionless) or
    densities (atoms per Å³). ``reference``: (value, label) drawn dashed
    across the first figure and, for g(r), every panel; ``references``:
    neighbour → value drawn dotted in that neighbour's colour in the panels.
    ``elements`` orders the neighbours (default: sorted).
    """
    figure_class, canvas_class = _matplotlib()
    out = Path(os.fspath(folder))
    out.mkdir(parents=True, exist_ok=True)
    centres = np.asarray(x, dtype=np.float64)
    figures = [
        (TOTAL_PNG, _total_figure(figure_class, centres, lines, conventional, title, subtitle, reference)),
        (PARTIALS_PNG, _partials_figure(figure_class, centres, panels, conventional, title, subtitle, reference,
                                        references, elements)),
    ]
    written = []
    for name, fig in figures:
        canvas_class(fig)
        fig.savefig(out / name, dpi=120)
        written.append(str(out / name))
    return written


def _x_range(ax: Axes, x: npt.NDArray[np.float64]) -> None:
    if len(x) > 1:
        ax.set_xlim(0.0, float(x[-1] + (x[1] - x[0]) / 2))


def _total_figure(figure_class: type[Figure], x: npt.NDArray[np.float64], lines: Sequence[Curve], conventional: bool,
                  title: str | None, subtitle: str | None, reference: tuple[float, str] | None) -> Figure:
    fig = figure_class(figsize=(7.0, 4.2), layout="constrained")
    ax = fig.add_subplot()
    for i, (label, curve) in enumerate(lines):
        # Later lines are dashed and on top, so that the first shows through
        # where they coincide.
        y = np.asarray(curve, dtype=np.float64)
        if i == 0:
            ax.plot(x, y, label=label, color="C0", linewidth=1.8, zorder=2)
        else:
            ax.plot(x, y, label=label, color="0.25", linewidth=0.9, linestyle=DASHES[i], zorder=3)
    if reference is not None and math.isfinite(reference[0]):
        ax.axhline(reference[0], color="0.6", linestyle="--", linewidth=0.8, label=reference[1], zorder=1)
    ax.set_xlabel("r (Å)")
    ax.set_ylabel(G_LABEL if conventional else DENSITY_LABEL)
    _x_range(ax, x)
    ax.legend(loc="upper right", fontsize="small", frameon=False)
    ax.set_title(_heading(title, "total g(r)" if conventional else "total density", subtitle), fontsize="medium")
    return fig


def _partials_figure(figure_class: type[Figure], x: npt.NDArray[np.float64], panels: Mapping[str, Sequence[Curve]],
                     conventional: bool, title: str | None, subtitle: str | None,
                     reference: tuple[float, str] | None, references: Mapping[str, float] | None,
                     elements: Sequence[str] | None) -> Figure:
    order = list(elements) if elements else sorted({b for curves in panels.values() for b, _ in curves})
    colour = {element: f"C{i % 10}" for i, element in enumerate(order)}
    dashes = {element: DASHES[i % len(DASHES)] for i, element in enumerate(order)}
    ylabel = G_LABEL if conventional else DENSITY_LABEL
    centres = list(panels)
    cols, rows = _grid(len(centres))
    fig = figure_class(figsize=(3.4 * cols + 1.2, 2.5 * rows + 0.9), layout="constrained")
    axes = fig.subplots(rows, cols, sharex=True, squeeze=False)
    handles: dict[str, Line2D] = {}
    for idx, centre in enumerate(centres):
        ax = axes[idx // cols][idx % cols]
        for neighbour, curve in panels[centre]:
            (line,) = ax.plot(x, np.asarray(curve, dtype=np.float64), color=colour.get(neighbour, "k"),
                              linestyle=dashes.get(neighbour, "solid"), linewidth=1.1, label=neighbour)
            handles.setdefault(neighbour, line)
            if references and neighbour in references and math.isfinite(references[neighbour]):
                ax.axhline(references[neighbour], color=colour.get(neighbour, "k"), linestyle=":", linewidth=0.8)
        if conventional and reference is not None:
            ax.axhline(reference[0], color="0.6", linestyle="--", linewidth=0.8)
        ax.set_title(f"around {centre}", fontsize="small")
        ax.tick_params(labelsize="x-small")
        if idx % cols == 0:
            ax.set_ylabel(ylabel, fontsize="small")
        if idx + cols >= len(centres):
            ax.set_xlabel("r (Å)", fontsize="small")
            ax.tick_params(labelbottom=True)
    _x_range(axes[0][0], x)
    for idx in range(len(centres), rows * cols):
        axes[idx // cols][idx % cols].set_visible(False)
    names = [n for n in order if n in handles] + [n for n in handles if n not in order]
    fig.legend([handles[n] for n in names], names, title="neighbour", loc="outside right upper",
               fontsize="small", title_fontsize="small", frameon=False)
    what = "partial g(r)" if conventional else "partial densities"
    fig.suptitle(_heading(title, what, subtitle), fontsize="medium")
    return fig


def save_prdf_plots(r: npt.ArrayLike, partials: Mapping[tuple[str, str], npt.ArrayLike], total: npt.ArrayLike,
                    folder: Path_, *, bin_size: float, title: str | None = None,
                    density: float | None = None) -> list[str]:
    """Write the total RDF, the partial RDFs and a CSV of all curves into `folder`.

    `r` holds the left bin edges, `partials` maps (centre, neighbour) element
    pairs to curves, `total` is the total curve; all are the engine's local
    densities (atoms per Å³). They are drawn at the bin centres; `density`
    (N / V) is drawn as the value the total tends to at large r. The folder
    is created if missing. Returns the paths written, in the order: total
    figure, partials figure, CSV (columns r, r_left, r_right, rho_total and
    one rho_A_B per pair).
    """
    edges = _bins.edges(r, bin_size)
    x = _bins.centres(edges)
    panels: dict[str, list[Curve]] = {}
    for (a, b), curve in partials.items():
        panels.setdefault(a, []).append((b, curve))
    reference = (float(density), "N / V") if density is not None else None
    written = draw_rdf(folder, x, [("total", total)], panels, conventional=False, title=title,
                       reference=reference)
    path = Path(os.fspath(folder)) / CSV_NAME
    columns: list[Curve] = [("rho_total", total)]
    columns += [(f"rho_{a}_{b}", curve) for (a, b), curve in partials.items()]
    write_csv(path, edges, columns)
    return written + [str(path)]
