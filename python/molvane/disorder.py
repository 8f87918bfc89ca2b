"""Which partially occupied positions can be filled together.

A file that splits an atom over close positions, or gives the two
orientations of a disordered anion as two disorder groups, describes pairs of
positions that never hold atoms at the same time and atoms that come and go
together. Weighting every pair by the product of its occupancies, as if each
site were filled independently, puts weight on pairs that cannot exist.

:func:`exclusions` lists the decisions between positions i and j (a site and
an image of another), each partially occupied:

- **exclusive** (weight 0) when their occupancies sum to at most 1 (within
  1e-3) and they lie in different groups of one disorder assembly within the
  reach, or are images of one row of a negative group within the reach, or
  are closer than max(0.7 Å, 0.6 (r_i + r_j)) with r the covalent radii;
- **together** (weight min(o_i, o_j)) when they lie in one group of one
  assembly within the reach;
- independent (o_i o_j) otherwise.

``molvane.rdf(..., pairs="physical")`` (the default) weights the listed
pairs so; ``pairs="independent"`` gives ``Structure.prdf`` exactly.

    for d in molvane.exclusions(structure):
        print(d.i, d.j, d.offset, d.distance, d.kind, d.why)
"""

from __future__ import annotations

import math
import warnings
from typing import Literal, NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt

from molvane._molvane import _DEFAULTS, ReadWarning, Structure

__all__ = ["PairDecision", "exclusions", "pair_counts", "pair_weights"]

# How pairs of partially occupied positions are weighted.
PairWeighting: TypeAlias = Literal["physical", "independent"]
PAIR_WEIGHTINGS = ("physical", "independent")

_Record: TypeAlias = tuple[int, int, tuple[int, int, int], float, str, str, float, float]
# (n_exclusive, n_together, first decided pair, n_unresolved, first unresolved pair)
Summary: TypeAlias = tuple[int, int, _Record | None, int, _Record | None]


class PairDecision(NamedTuple):
    """A decided pair: site ``i`` and the image of site ``j`` shifted by
    ``offset`` cells (``i <= j``), ``distance`` apart (Å); ``kind`` is
    "exclusive" or "together" and ``why`` says which rule decided it."""

    i: int
    j: int
    offset: tuple[int, int, int]
    distance: float
    kind: str
    why: str


def _decision(record: _Record) -> PairDecision:
    return PairDecision(*record[:6])


def _checked_reach(reach: float) -> float:
    value = float(reach)
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"reach must be a positive finite distance in angstrom, not {reach!r}")
    return value


def check_pairs(pairs: str) -> PairWeighting:
    """``pairs`` itself when it names a weighting, else a ValueError."""
    if pairs == "physical":
        return "physical"
    if pairs == "independent":
        return "independent"
    raise ValueError(f"pairs must be 'physical' or 'independent', not {pairs!r}")


def _describe(record: _Record) -> str:
    i, j, offset, distance, _, why, _, _ = record
    image = "" if offset == (0, 0, 0) else f" (image {offset[0]} {offset[1]} {offset[2]})"
    return f"sites {i} and {j}{image} at {distance:.4f} A, {why}"


def warn_decisions(summary: Summary, what: str) -> None:
    """One ReadWarning for the pairs weighted physically in ``what`` and one
    for too-close pairs that could not be made exclusive; nothing when there
    are none."""
    n_exclusive, n_together, first, n_unresolved, first_unresolved = summary
    if first is not None:
        warnings.warn(f"{what}: {n_exclusive} pairs of positions weighted as exclusive and {n_together} as "
                      f"together (first: {_describe(first)})", ReadWarning, stacklevel=3)
    if first_unresolved is not None:
        warnings.warn(f"{what}: {n_unresolved} pairs of positions are closer than their atoms allow but their "
                      f"occupancies sum above 1, so they stay independent (first: {_describe(first_unresolved)})",
                      ReadWarning, stacklevel=3)


def _summary(decided: list[_Record], unresolved: list[_Record]) -> Summary:
    n_exclusive = sum(1 for d in decided if d[4] == "exclusive")
    return (n_exclusive, len(decided) - n_exclusive, decided[0] if decided else None, len(unresolved),
            unresolved[0] if unresolved else None)


def exclusions(structure: Structure, reach: float = _DEFAULTS["reach"]) -> list[PairDecision]:
    """The pairs of partially occupied positions that exclude one another or
    come together, in (i, j, offset) order; ``reach`` (Å) is how far disorder
    groups link positions. Too-close pairs whose occupancies sum above 1 are
    not listed: a ReadWarning counts them."""
    decided, unresolved = structure._pair_decisions(_checked_reach(reach))
    warn_decisions(_summary([], sorted(unresolved)), "exclusions")
    return sorted(_decision(d) for d in decided)


def pair_counts(structure: Structure, reach: float = _DEFAULTS["reach"]) -> tuple[int, int, int]:
    """How many pairs of positions are exclusive, together, and too close
    yet left independent (their occupancies sum above 1)."""
    decided, unresolved = structure._pair_decisions(_checked_reach(reach))
    exclusive = sum(1 for d in decided if d[4] == "exclusive")
    return exclusive, len(decided) - exclusive, len(unresolved)


def pair_weights(structure: Structure, reach: float = _DEFAULTS["reach"]) -> dict[str, npt.NDArray[np.generic]]:
    """The decided pairs as arrays for a pair sum of one's own: ``i``, ``j``
    (site indices), ``offset`` (n × 3 cells: the image of j), ``distance``
    (Å), ``independent`` (o_i o_j) and ``physical`` (0 when exclusive,
    min(o_i, o_j) when together), with o the sites' summed occupancies. A
    pair sum over all ordered pairs with weights o_i o_j becomes the physical
    one by adding (physical - independent) for both orders of each listed
    pair, each species pair (a on i, b on j) taking the share (p_a / o_i)
    (p_b / o_j) of it."""
    decided = sorted(structure._pair_decisions(_checked_reach(reach))[0])
    n = len(decided)
    return {
        "i": np.array([d[0] for d in decided], dtype=np.int64),
        "j": np.array([d[1] for d in decided], dtype=np.int64),
        "offset": np.array([d[2] for d in decided], dtype=np.int64).reshape(n, 3),
        "distance": np.array([d[3] for d in decided], dtype=np.float64),
        "independent": np.array([d[6] for d in decided], dtype=np.float64),
        "physical": np.array([d[7] for d in decided], dtype=np.float64),
    }
