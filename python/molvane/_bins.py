"""The bins of RDF curves, in one place: their edges, centres and shell
volumes, which bins a result keeps, and the bulk densities that normalise the
curves.

The engine puts edge k at k × bin_size (``Structure.prdf`` returns the left
edges) and divides the pair counts of bin k by the volume of its shell,
4π/3 (edges[k+1]³ − edges[k]³). Its last bin reaches past the cutoff when the
cutoff is not a whole number of bins, yet pairs are counted only up to the
cutoff, so that bin would read too low: results keep a bin only when it ends
at or before the cutoff (:func:`kept_bins`).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, TypeAlias

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from molvane._molvane import Structure

__all__ = ["FOUR_PI_OVER_3", "edges", "centres", "shell_volumes", "kept_bins", "number_density",
           "element_densities"]

FloatArray: TypeAlias = npt.NDArray[np.float64]

# 4π/3 as the engine multiplies shell volumes by it, so that density × shell
# volume gives back the engine's pair counts.
FOUR_PI_OVER_3 = 4.1887902047863905

# A last edge further than this fraction of a bin past the cutoff is a bin
# the cutoff cuts short (closer is rounding of cutoff / bin_size).
PAST_CUTOFF = 1e-6


def edges(left: npt.ArrayLike, bin_size: float) -> FloatArray:
    """All nbins + 1 edges, from the engine's nbins left edges: the last is
    nbins × bin_size, computed as the engine computes every edge."""
    lefts = np.asarray(left, dtype=np.float64)
    return np.append(lefts, float(len(lefts)) * float(bin_size))


def centres(bin_edges: FloatArray) -> FloatArray:
    """The middle of every bin."""
    centre: FloatArray = 0.5 * (bin_edges[:-1] + bin_edges[1:])
    return centre


def shell_volumes(bin_edges: FloatArray) -> FloatArray:
    """4π/3 (hi³ − lo³) for every bin, in the engine's order of operations."""
    lo, hi = bin_edges[:-1], bin_edges[1:]
    volumes: FloatArray = (hi * hi * hi - lo * lo * lo) * FOUR_PI_OVER_3
    return volumes


def kept_bins(bin_edges: FloatArray, cutoff: float) -> int:
    """How many bins a result keeps: all of them, less a last bin that reaches
    past the cutoff (a single bin is always kept)."""
    nbins = len(bin_edges) - 1
    bin_size = float(bin_edges[1] - bin_edges[0])
    if nbins > 1 and bin_edges[-1] - float(cutoff) > PAST_CUTOFF * bin_size:
        return nbins - 1
    return nbins


def number_density(structure: Structure) -> float:
    """N / V: atoms (occupancies summed) per Å³ of the cell."""
    return structure.n_atoms / structure.volume


def element_densities(structure: Structure) -> dict[str, float]:
    """c_B / V for every element B: atoms of B (occupancies summed) per Å³."""
    volume = structure.volume
    return {element: amount / volume for element, amount in structure.composition.items()}
