"""Sums over frames of RDF curves and of the bulk densities that normalise
them, exact (molvane._sums) so that frames added in any order and partial
sums merged in any grouping give the same bits."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sized
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

from molvane._bins import element_densities, number_density
from molvane._molvane import _DEFAULTS as DEFAULTS
from molvane._molvane import Structure
from molvane._sums import ExactSum
from molvane.disorder import PairWeighting, check_pairs, warn_decisions
from molvane.io import check_structure

__all__ = ["Accumulator", "accumulate", "Curves", "Progress"]

# What Structure.prdf returns: left bin edges, partials by pair, total.
Curves: TypeAlias = tuple[npt.NDArray[np.float64], dict[tuple[str, str], npt.NDArray[np.float64]],
                          npt.NDArray[np.float64]]
# progress(done, total) after each frame; total is None for an iterable without a length.
Progress: TypeAlias = Callable[[int, int | None], object]


def weighted_curves(structure: Structure, cutoff: float, bin_size: float, n_threads: int, pairs: str) -> Curves:
    """``Structure.prdf``'s curves with the weighting ``pairs``, warning once
    when the physical weighting changed them."""
    if check_pairs(pairs) == "independent":
        return structure.prdf(cutoff, bin_size, n_threads)
    r, partials, total, summary = structure._physical_prdf(cutoff, bin_size, n_threads, DEFAULTS["reach"])
    warn_decisions(summary, "rdf")
    return r, partials, total


def accumulate(frames: Iterable[Structure], cutoff: float, bin_size: float, n_threads: int,
               progress: Progress | None, pairs: PairWeighting = "physical") -> Accumulator:
    count = len(frames) if isinstance(frames, Sized) else None
    acc = Accumulator()
    for structure in frames:
        acc.add(check_structure(structure, f"frames[{acc.frames}]"), cutoff, bin_size, n_threads, pairs)
        if progress is not None:
            progress(acc.frames, count)
    if acc.frames == 0:
        raise ValueError("no frames to average")
    return acc


class Accumulator:
    """Sums over frames of the engine's curves and of the bulk densities,
    kept exactly (molvane._sums): frames added in any order, on any thread,
    and accumulators merged in any grouping give the same bits."""

    def __init__(self) -> None:
        self.frames = 0
        self.r: npt.NDArray[np.float64] | None = None
        self.bin_size = 0.0
        # ("total",), ("partial", a, b), ("reference", a, b), ("composition", e), ... -> first row
        self.rows: dict[tuple[str, ...], int] = {}
        self.counts: dict[tuple[str, str], int] = {}  # pair -> frames that hold it
        self.sums = ExactSum()
        self._layouts: dict[tuple[tuple[tuple[str, str], ...], tuple[str, ...]], npt.NDArray[np.int64]] = {}

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["_layouts"] = {}
        return state

    def add(self, structure: Structure, cutoff: float, bin_size: float, n_threads: int,
            pairs: PairWeighting = "physical") -> None:
        """Adds one frame, its pairs weighted as ``pairs`` says (molvane.disorder)."""
        self.add_curves(structure, weighted_curves(structure, cutoff, bin_size, n_threads, pairs), bin_size)

    def add_curves(self, structure: Structure, curves: Curves, bin_size: float) -> None:
        """Adds one frame whose ``prdf`` result is ``curves``."""
        r, partials, total = curves
        if self.r is None:
            self.r = r
            self.bin_size = float(bin_size)
        densities = element_densities(structure)
        composition = structure.composition
        pairs, elements = tuple(partials), tuple(composition)
        layout = self._layouts.get((pairs, elements))
        if layout is None:
            layout = self._layouts[pairs, elements] = self._layout(pairs, elements, len(r))
        scalars = [densities[b] for _, b in pairs] + list(composition.values())
        scalars += [densities[e] for e in elements] + [structure.volume, number_density(structure)]
        self.sums.add_at(layout, np.concatenate([total, *partials.values(), scalars]))
        for pair in pairs:
            self.counts[pair] = self.counts.get(pair, 0) + 1
        self.frames += 1

    def _row(self, key: tuple[str, ...], length: int = 1) -> int:
        if key not in self.rows:
            self.rows[key] = self.sums.grow(length)
        return self.rows[key]

    def _span(self, key: tuple[str, ...], length: int) -> npt.NDArray[np.int64]:
        return np.arange(self._row(key, length), self.rows[key] + length)

    def _layout(self, pairs: tuple[tuple[str, str], ...], elements: tuple[str, ...],
                nbins: int) -> npt.NDArray[np.int64]:
        parts = [self._span(("total",), nbins)] + [self._span(("partial",) + p, nbins) for p in pairs]
        keys: list[tuple[str, ...]] = [("reference",) + p for p in pairs]
        keys += [("composition", e) for e in elements]
        keys += [("bulk", e) for e in elements] + [("volume",), ("number_density",)]
        return np.concatenate(parts + [np.array([self._row(k) for k in keys], dtype=np.int64)])

    def merge(self, other: Accumulator) -> None:
        """Adds the frames summed in another accumulator."""
        if other.frames == 0 or other.r is None:
            return
        if self.r is None:
            self.r, self.bin_size = other.r, other.bin_size
        elif not np.array_equal(self.r, other.r):
            raise ValueError("cannot merge sums over different bins")
        target = np.empty(other.sums.rows, dtype=np.int64)
        for key, first in other.rows.items():
            length = self.nbins if key[0] in ("total", "partial") else 1
            target[first : first + length] = self._span(key, length)
        self.sums.merge(other.sums, target)
        for pair, count in other.counts.items():
            self.counts[pair] = self.counts.get(pair, 0) + count
        self.frames += other.frames

    @property
    def nbins(self) -> int:
        assert self.r is not None, "no frames were added"
        return len(self.r)

    def _mean(self, key: tuple[str, ...], divisor: int, length: int = 1) -> npt.NDArray[np.float64]:
        return self.sums.value(range(self.rows[key], self.rows[key] + length), divisor)

    def total(self) -> npt.NDArray[np.float64]:
        """The mean total curve."""
        return self._mean(("total",), self.frames, self.nbins)

    def partials(self) -> dict[tuple[str, str], npt.NDArray[np.float64]]:
        nbins = self.nbins
        return {pair: self._mean(("partial",) + pair, count, nbins) for pair, count in sorted(self.counts.items())}

    def scalar(self, key: tuple[str, ...], divisor: int) -> float:
        """The mean of a one-value row: its sum over ``divisor``."""
        return float(self._mean(key, divisor)[0])

    def elements(self) -> list[str]:
        """Every element met, in the order first met."""
        return [key[1] for key in self.rows if key[0] == "composition"]
