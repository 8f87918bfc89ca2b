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
# A target with one of these suffixes is a file for the total figure alone.
FIGURE_SUFFIXES = (".png", ".svg", ".pdf")

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
    named ``columns`` (a list of (name, curve)). Distances are rounded at the
    15th significant digit of the last edge (0.15, not 0.15000000000000002);
    repr() keeps every curve value exact."""
    from molvane.io import number_text

    bounds = np.asarray(edges, dtype=np.float64)
    names = [name for name, _ in columns]
    curves = [np.asarray(curve, dtype=np.float64) for _, curve in columns]
    with open(os.fspath(path), "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["r", "r_left", "r_right"] + names)
        scale = float(np.max(np.abs(bounds))) if len(bounds) else 1.0
        for k in range(len(bounds) - 1):
            lo, hi = float(bounds[k]), float(bounds[k + 1])
            distances = [number_text(v, scale) for v in (0.5 * (lo + hi), lo, hi)]
            writer.writerow(distances + [repr(float(c[k])) for c in curves])


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


def draw_rdf(folder: Path_ | None, x: npt.ArrayLike, lines: Sequence[Curve], panels: Mapping[str, Sequence[Curve]],
             *, conventional: bool, title: str | None = None, subtitle: str | None = None,
             reference: tuple[float, str] | None = None, references: Mapping[str, float] | None = None,
             elements: Sequence[str] | None = None, dpi: float = 150, figure_format: str = "png",
             ax: Axes | None = None, folder_only: bool = False) -> list[str]:
    """Draw ``rdf_total.png`` and ``rdf_partials.png`` into ``folder`` (made
    if missing) and return their paths. ``figure_format`` ("png", "svg" or
    "pdf") sets their suffix, ``dpi`` the resolution of PNGs. A ``folder``
    ending in .png, .svg or .pdf is a file that gets the total figure alone
    (unless ``folder_only``);
    with ``ax`` the total is drawn into those axes and nothing is written.

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
    centres = np.asarray(x, dtype=np.float64)
    if ax is not None:
        _draw_total(ax, centres, lines, conventional, reference)
        ax.legend(fontsize="small", frameon=False)
        return []
    if folder is None:
        raise ValueError("give a folder or a file name to write to, or ax= to draw into")
    if figure_format not in ("png", "svg", "pdf"):
        raise ValueError(f"figure_format must be 'png', 'svg' or 'pdf', not {figure_format!r}")
    if not (dpi > 0 and math.isfinite(dpi)):
        raise ValueError(f"dpi must be a positive number, not {dpi!r}")
    target = Path(os.fspath(folder))
    if target.suffix.lower() in FIGURE_SUFFIXES and not folder_only:
        figures = [(target, _total_figure(figure_class, centres, lines, conventional, title, subtitle, reference))]
    else:
        target.mkdir(parents=True, exist_ok=True)
        suffix = "." + figure_format
        figures = [
            (target / Path(TOTAL_PNG).with_suffix(suffix),
             _total_figure(figure_class, centres, lines, conventional, title, subtitle, reference)),
            (target / Path(PARTIALS_PNG).with_suffix(suffix),
             _partials_figure(figure_class, centres, panels, conventional, title, subtitle, reference, references,
                              elements)),
        ]
    written = []
    for path, fig in figures:
        canvas_class(fig)
        fig.savefig(path, dpi=dpi)
        written.append(str(path))
    return written


def _x_range(ax: Axes, x: npt.NDArray[np.float64]) -> None:
    if len(x) > 1:
        ax.set_xlim(0.0, float(x[-1] + (x[1] - x[0]) / 2))


def _total_figure(figure_class: type[Figure], x: npt.NDArray[np.float64], lines: Sequence[Curve], conventional: bool,
                  title: str | None, subtitle: str | None, reference: tuple[float, str] | None) -> Figure:
    fig = figure_class(figsize=(7.0, 4.2), layout="constrained")
    ax = fig.add_subplot()
    _draw_total(ax, x, lines, conventional, reference)
    # Beside the axes, where it cannot cover a peak.
    fig.legend(loc="outside right upper", fontsize="small", frameon=False)
    what = "total g(r)" if conventional else "total density"
    if len(lines) > 1:  # several totals: the first, drawn boldest, is the one the heading names
        what += f", {lines[0][0]}"
    ax.set_title(_heading(title, what, subtitle), fontsize="medium")
    return fig


def _draw_total(ax: Axes, x: npt.NDArray[np.float64], lines: Sequence[Curve], conventional: bool,
                reference: tuple[float, str] | None) -> None:
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


def _merge_alike(panels: Mapping[str, Sequence[Curve]], order: Sequence[str]) -> tuple[dict[str, list[Curve]],
                                                                                      list[str]]:
    """Panels and neighbour order with the elements whose g(r) curves agree
    in every panel, as centre and as neighbour (species sharing their sites
    in one proportion), merged under one label "Mg, Nb, Ti": their curves
    coincide, so each is drawn once."""
    curves = {(a, b): np.asarray(c, dtype=np.float64) for a, cs in panels.items() for b, c in cs}
    names = list(order) + sorted({b for a, b in curves if b not in order} | {a for a in panels if a not in order})

    def agree(p: tuple[str, str], q: tuple[str, str]) -> bool:
        u, v = curves.get(p), curves.get(q)
        if u is None or v is None:
            return u is v
        return bool(np.allclose(u, v, rtol=1e-9, atol=0, equal_nan=True))

    def alike(e: str, f: str) -> bool:
        return all(agree((c, e), (c, f)) for c in names) and all(agree((e, b), (f, b)) for b in names)

    groups: list[list[str]] = []
    for name in names:
        group = next((g for g in groups if alike(g[0], name)), None)
        if group is None:
            groups.append([name])
        else:
            group.append(name)
    label = {g[0]: ", ".join(g) for g in groups}
    merged = {label[a]: [(label[b], c) for b, c in panels[a] if b in label] for a in panels if a in label}
    return merged, [label[g[0]] for g in groups if g[0] in order or len(g) > 1]


def _partials_figure(figure_class: type[Figure], x: npt.NDArray[np.float64], panels: Mapping[str, Sequence[Curve]],
                     conventional: bool, title: str | None, subtitle: str | None,
                     reference: tuple[float, str] | None, references: Mapping[str, float] | None,
                     elements: Sequence[str] | None) -> Figure:
    order = list(elements) if elements else sorted({b for curves in panels.values() for b, _ in curves})
    if conventional:
        panels, order = _merge_alike(panels, order)
    colour = {element: f"C{i % 10}" for i, element in enumerate(order)}
    dashes = {element: DASHES[i % len(DASHES)] for i, element in enumerate(order)}
    ylabel = G_LABEL if conventional else DENSITY_LABEL
    centres = list(panels)
    cols, rows = _grid(len(centres))
    fig = figure_class(figsize=(3.4 * cols + 1.2, 2.5 * rows + 0.9), layout="constrained")
    axes = fig.subplots(rows, cols, sharex=True, squeeze=False)
    handles: dict[str, Line2D] = {}
    dotted = False
    for idx, centre in enumerate(centres):
        ax = axes[idx // cols][idx % cols]
        for neighbour, curve in panels[centre]:
            (line,) = ax.plot(x, np.asarray(curve, dtype=np.float64), color=colour.get(neighbour, "k"),
                              linestyle=dashes.get(neighbour, "solid"), linewidth=1.1, label=neighbour)
            handles.setdefault(neighbour, line)
            if references and neighbour in references and math.isfinite(references[neighbour]):
                ax.axhline(references[neighbour], color=colour.get(neighbour, "k"), linestyle=":", linewidth=0.8)
                dotted = True
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
    entries = [handles[n] for n in names]
    if dotted:
        from matplotlib.lines import Line2D as Key

        names.append("c_B / V\n(dotted)")
        entries.append(Key([], [], color="0.3", linestyle=":", linewidth=0.8))
    fig.legend(entries, names, title="neighbour B", loc="outside right upper",
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
                       reference=reference, folder_only=True)
    path = Path(os.fspath(folder)) / CSV_NAME
    columns: list[Curve] = [("rho_total", total)]
    columns += [(f"rho_{a}_{b}", curve) for (a, b), curve in partials.items()]
    write_csv(path, edges, columns)
    return written + [str(path)]
