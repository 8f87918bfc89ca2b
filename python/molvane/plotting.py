"""Figures and a CSV file of RDF curves, as written by ``Structure.prdf(save_plots=...)``.

matplotlib is an optional extra (``pip install 'molvane[plot]'``); it is
imported only when something is saved, and only its Agg canvas is used, so no
window opens and the caller's pyplot state is left alone.
"""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any, Union

import numpy as np
import numpy.typing as npt

# A curve or its bins: a NumPy array (as prdf returns) or a sequence of floats.
Curve = Union[Sequence[float], npt.NDArray[np.float64]]

__all__ = ["save_prdf_plots"]

TOTAL_PNG = "rdf_total.png"
PARTIALS_PNG = "rdf_partials.png"
CSV_NAME = "rdf.csv"


def _matplotlib() -> tuple[Any, Any]:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError(
            "saving RDF plots needs matplotlib: pip install 'molvane[plot]'"
        ) from exc
    return Figure, FigureCanvasAgg


def _column_name(pair: tuple[str, str]) -> str:
    centre, neighbour = pair
    return f"g_{centre}_{neighbour}"


def _write_csv(path: str | os.PathLike[str], r: Curve, partials: Mapping[tuple[str, str], Curve],
               total: Curve) -> None:
    pairs = list(partials)
    with open(path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["r", "g_total"] + [_column_name(p) for p in pairs])
        columns = [partials[p] for p in pairs]
        for k in range(len(r)):
            # repr() round-trips every float exactly.
            writer.writerow([repr(float(r[k])), repr(float(total[k]))] + [repr(float(c[k])) for c in columns])


def _centres(r: Curve, bin_size: float) -> list[float]:
    return [float(x) + bin_size / 2.0 for x in r]


def _density_line(ax: Any, density: float | None, label: str = "N / V (large-r limit)") -> None:
    if density is not None and math.isfinite(density):
        ax.axhline(density, color="0.5", linestyle="--", linewidth=1.0, label=label)


def _save(fig: Any, canvas_type: Any, path: str | os.PathLike[str]) -> None:
    canvas_type(fig)
    fig.savefig(path, dpi=120)


def save_prdf_plots(r: Curve, partials: Mapping[tuple[str, str], Curve], total: Curve,
                    folder: str | os.PathLike[str], *, bin_size: float, title: str | None = None,
                    density: float | None = None) -> list[str]:
    """Write the total RDF, the partial RDFs and a CSV of all curves into `folder`.

    `r` holds the left bin edges, `partials` maps (centre, neighbour) element
    pairs to curves, `total` is the total curve. The curves are drawn at the
    bin centres; `density` (atoms per cubic angstrom) is drawn as the value the
    total curve tends to at large r. The folder is created if missing. Returns
    the paths written, in the order: total figure, partials figure, CSV.
    """
    Figure, FigureCanvasAgg = _matplotlib()
    out = Path(os.fspath(folder))
    out.mkdir(parents=True, exist_ok=True)
    x = _centres(r, bin_size)
    heading = title if title else "Radial distribution function"
    written: list[Path] = []

    fig = Figure(figsize=(7.0, 4.5))
    ax = fig.add_subplot()
    ax.plot(x, list(map(float, total)), color="C0", linewidth=1.2, label="total")
    _density_line(ax, density)
    ax.set_xlabel("r (Å)")
    ax.set_ylabel("g(r) (atoms / Å³)")
    ax.set_title(heading)
    ax.legend(loc="best", fontsize="small")
    fig.tight_layout()
    path = out / TOTAL_PNG
    _save(fig, FigureCanvasAgg, path)
    written.append(path)

    pairs = list(partials)
    n = max(1, math.ceil(math.sqrt(len(pairs))))
    rows = max(1, math.ceil(len(pairs) / n))
    fig = Figure(figsize=(3.2 * n + 1.0, 2.6 * rows + 1.0))
    for idx, pair in enumerate(pairs):
        ax = fig.add_subplot(rows, n, idx + 1)
        ax.plot(x, list(map(float, partials[pair])), color=f"C{idx % 10}", linewidth=1.0)
        ax.set_title(f"{pair[0]}–{pair[1]}", fontsize="small")
        ax.set_xlabel("r (Å)", fontsize="small")
        if idx % n == 0:
            ax.set_ylabel("g (atoms / Å³)", fontsize="small")
        ax.tick_params(labelsize="x-small")
    fig.suptitle(f"{heading}: partials (centre–neighbour)")
    fig.tight_layout()
    path = out / PARTIALS_PNG
    _save(fig, FigureCanvasAgg, path)
    written.append(path)

    path = out / CSV_NAME
    _write_csv(path, r, partials, total)
    written.append(path)
    return [str(p) for p in written]
