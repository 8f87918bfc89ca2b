"""Radial distribution curves in the forms people compare.

``Structure.prdf`` returns local number densities: the partial (A, B) at a bin
is the occupancy-weighted number of B atoms per Å³ in that shell around an A
atom; it tends to c_B / V at large r (c_B the amount of B in the cell, V its
volume) and the total tends to N / V. :class:`RDF` keeps those curves together
with the composition and volume they came from and derives from them the
conventional g(r), running coordination numbers, first shells, totals weighted
as a neutron or X-ray experiment sees them, Gaussian-broadened curves and S(Q).

    result = molvane.rdf(structure, cutoff=10.0, bin_size=0.05)
    result.g("Mg", "O"), result.coordination("Mg", "O"), result.first_shell("Mg", "O")
    result.weighted("neutron"), result.smeared(0.1), result.structure_factor(q)
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Collection, Iterable, Mapping, Sized
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, NoReturn, TypeAlias, overload

import numpy as np
import numpy.typing as npt

from molvane._molvane import _DEFAULTS, Structure
from molvane._sums import ExactSum
from molvane.io import check_structure

# What Structure.prdf returns: bin centres, partials by pair, total.
Curves: TypeAlias = tuple[npt.NDArray[np.float64], dict[tuple[str, str], npt.NDArray[np.float64]],
                          npt.NDArray[np.float64]]

__all__ = ["RDF", "Shell", "rdf", "rdf_average", "number_density", "element_densities"]

# 4π/3 as the engine multiplies shell volumes by it, so that density × shell
# volume gives back the engine's pair counts.
FOUR_PI_OVER_3 = 4.1887902047863905

# Shells are found on a copy of the curve smoothed by a Gaussian this wide
# (Å, or one bin when bins are wider), so that noise from bin to bin in
# short runs and fine bins does not pass for a peak or a minimum.
SHELL_SMOOTHING = 0.1
# A maximum counts as a peak when it stands out from the minima on both sides
# by at least this fraction of the highest smoothed value.
SHELL_PROMINENCE = 0.1
# Smearing moves counts across the last edge, where nothing comes back from
# beyond the cutoff: this many widths before it are left out.
SMEAR_TRIM = 3.0
# S(Q) is computed over blocks of Q values holding at most this many Q-r products.
SQ_BLOCK = 1 << 20

FloatArray: TypeAlias = npt.NDArray[np.float64]
Pair: TypeAlias = tuple[str, str]
# "neutron", "xray", or a weight per element (complex for absorbing nuclei).
Weights: TypeAlias = Literal["neutron", "xray"] | dict[str, float] | dict[str, complex]
Quantity: TypeAlias = Literal["g", "density"]
# progress(done, total) after each frame; total is None for an iterable without a length.
Progress: TypeAlias = Callable[[int, int | None], object]


class Shell(NamedTuple):
    """First coordination shell of a pair.

peak: position of the first peak (Å, a bin centre); minimum: position of the
first minimum after it (Å, a bin centre), or None when the curve still falls
at the cutoff; coordination: number of neighbours within the minimum, or None
with it."""

    peak: float
    minimum: float | None
    coordination: float | None


WEIGHT_SCHEMES = ("neutron", "xray")


def number_density(structure: Structure) -> float:
    """N / V: atoms (occupancies summed) per Å³ of the cell."""
    return structure.n_atoms / structure.volume


def element_densities(structure: Structure) -> dict[str, float]:
    """c_B / V for every element B: atoms of B (occupancies summed) per Å³."""
    volume = structure.volume
    return {element: amount / volume for element, amount in structure.composition.items()}


def _shell_volumes(edges: FloatArray) -> FloatArray:
    lo, hi = edges[:-1], edges[1:]
    return (hi * hi * hi - lo * lo * lo) * FOUR_PI_OVER_3


def _frozen(values: npt.ArrayLike) -> FloatArray:
    array = np.array(values, dtype=np.float64)
    array.flags.writeable = False
    return array


class RDF:
    """Partial and total radial distribution curves of one structure, or
    their average over the frames of a trajectory.

    Made by :func:`rdf` and :func:`rdf_average`; never changes once built
    (every method that transforms it returns a new one). Distances are in Å,
    densities in atoms per Å³; curves are NumPy arrays that cannot be written.
    """

    __slots__ = ("_edges", "_density", "_total", "_composition", "_volume", "_number_density",
                 "_reference", "_bulk", "_n_frames", "_averaged")
    _edges: FloatArray
    _density: dict[Pair, FloatArray]
    _total: FloatArray
    _composition: dict[str, float]
    _volume: float
    _number_density: float
    _reference: dict[Pair, float]
    _bulk: dict[str, float]
    _n_frames: int
    _averaged: bool

    def __init__(self, edges: npt.ArrayLike, partials: Mapping[Pair, npt.ArrayLike], total: npt.ArrayLike, *,
                 composition: Mapping[str, float], volume: float, number_density: float,
                 bulk: Mapping[str, float], reference: Mapping[Pair, float], n_frames: int = 1,
                 averaged: bool = False):
        """Curves on the bins between ``edges``: ``partials`` maps (centre,
        neighbour) to a density curve, ``total`` is the total density curve;
        ``number_density`` is N / V, ``bulk`` maps each element B to c_B / V
        and ``reference`` maps each pair to the c_B / V of the frames its
        curve comes from. Use :func:`rdf` or :func:`rdf_average` rather than
        this constructor."""
        for name, table in [("partials", partials), ("composition", composition), ("bulk", bulk),
                            ("reference", reference)]:
            if not isinstance(table, Mapping):
                raise TypeError(f"{name} must be a mapping, not {type(table).__name__}")
        missing = [f"{a}-{b}" for a, b in partials if (a, b) not in reference] + [e for e in composition if e not in bulk]
        if missing:
            raise ValueError(f"no reference or bulk density given for {', '.join(missing)}")
        frozen_edges = _frozen(edges)
        nbins = len(frozen_edges) - 1
        density: dict[Pair, FloatArray] = {}
        for pair in sorted(partials):
            density[pair] = _frozen(partials[pair])
        frozen_total = _frozen(total)
        if nbins < 1 or any(len(c) != nbins for c in density.values()) or len(frozen_total) != nbins:
            raise ValueError("every curve needs one value per bin")
        put = object.__setattr__
        put(self, "_edges", frozen_edges)
        put(self, "_density", density)
        put(self, "_total", frozen_total)
        put(self, "_composition", dict(sorted(composition.items())))
        put(self, "_volume", float(volume))
        put(self, "_number_density", float(number_density))
        put(self, "_reference", {p: float(reference[p]) for p in density})
        put(self, "_bulk", {e: float(bulk[e]) for e in self._composition})
        put(self, "_n_frames", int(n_frames))
        put(self, "_averaged", bool(averaged))

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError("an RDF cannot be changed; its methods return new ones")

    def __repr__(self) -> str:
        frames = f", average of {self._n_frames} frames" if self._averaged else ""
        return (f"RDF({' '.join(self.elements)}, {len(self.r)} bins of {self.bin_size:g} A"
                f" to {self._edges[-1]:g} A{frames})")

    # --- what the engine gave ---

    @property
    def edges(self) -> FloatArray:
        """All bin edges (Å): bin k covers edges[k] ≤ r < edges[k + 1]."""
        return self._edges

    @property
    def r(self) -> FloatArray:
        """Bin centres (Å), where every curve is drawn and tabulated."""
        return _frozen(0.5 * (self._edges[:-1] + self._edges[1:]))

    @property
    def bin_size(self) -> float:
        return float(self._edges[1] - self._edges[0])

    @property
    def elements(self) -> tuple[str, ...]:
        return tuple(self._composition)

    @property
    def pairs(self) -> tuple[Pair, ...]:
        """The (centre, neighbour) pairs that have curves."""
        return tuple(self._density)

    @property
    def composition(self) -> dict[str, float]:
        """Amount of each element in the cell (occupancies summed; the mean
        over the frames of an average)."""
        return dict(self._composition)

    @property
    def volume(self) -> float:
        """Cell volume (Å³; the mean over the frames of an average)."""
        return self._volume

    @property
    def number_density(self) -> float:
        """N / V (atoms per Å³): the value the total density tends to."""
        return self._number_density

    @property
    def n_frames(self) -> int:
        """How many structures the curves are the mean of."""
        return self._n_frames

    @property
    def is_average(self) -> bool:
        """True for the result of :func:`rdf_average`."""
        return self._averaged

    def _pair(self, a: str, b: str) -> Pair:
        if (a, b) not in self._density:
            raise ValueError(f"no curve for the pair {a}-{b}; the elements are {', '.join(self.elements)}")
        return a, b

    def density(self, a: str, b: str) -> FloatArray:
        """Local density of b around a (atoms per Å³), tending to c_b / V."""
        return self._density[self._pair(a, b)]

    def total_density(self) -> FloatArray:
        """Total local density (atoms per Å³), tending to N / V."""
        return self._total

    def bulk_density(self, element: str | None = None) -> float:
        """c_element / V, or N / V without an element (atoms per Å³)."""
        if element is None:
            return self._number_density
        if element not in self._bulk:
            raise ValueError(f"no element {element} here; the elements are {', '.join(self.elements)}")
        return self._bulk[element]

    # --- conventional curves ---

    def g(self, a: str, b: str) -> FloatArray:
        """Conventional partial g_ab(r): the density of b around a divided by
        c_b / V, so that it tends to 1. NaN where a or b has no amount."""
        pair = self._pair(a, b)
        reference = self._reference[pair]
        if reference > 0 and self._composition[a] > 0:
            return _frozen(self._density[pair] / reference)
        return _frozen(np.full(len(self._total), np.nan))

    def g_total(self) -> FloatArray:
        """Conventional total g(r): the total density divided by N / V."""
        if self._number_density > 0:
            return _frozen(self._total / self._number_density)
        return _frozen(np.full(len(self._total), np.nan))

    def coordination(self, a: str, b: str) -> FloatArray:
        """Running coordination number n_ab(r): b neighbours of an a atom
        within the right edge of each bin (density × shell volume, summed)."""
        return _frozen(np.cumsum(self.density(a, b) * _shell_volumes(self._edges)))

    def first_shell(self, a: str, b: str) -> Shell | None:
        """The first coordination shell of b around a, as a :class:`Shell`
        (peak, minimum, coordination), or None when the curve is empty.

        Peaks and minima are looked for on a copy smoothed over
        ``SHELL_SMOOTHING`` Å; the first peak is the first maximum that
        stands out by ``SHELL_PROMINENCE`` of the highest value, the minimum
        is the lowest point before the next such peak (the middle of it where
        it is flat), and the coordination is counted on the curve itself up
        to that point."""
        return _first_shell(self.density(a, b), self._edges)

    # --- weighted totals and S(Q) ---

    def weighted(self, weights: Weights) -> FloatArray:
        """Total g(r) weighted as a scattering experiment sees it
        (Faber–Ziman): Σ c_a c_b w_a w_b g_ab(r) / (Σ c_a w_a)², with c the
        atomic fractions.

        ``weights`` is "neutron" (coherent scattering lengths, complex for
        absorbing nuclei), "xray" (atomic numbers, the form factors at Q = 0)
        or a dict element → weight. Equal weights give :meth:`g_total`.
        """
        w = _weights(weights, self.elements)
        total = sum(self._composition.values())
        if not total > 0:
            raise ValueError("the structure holds no atoms")
        c = {e: amount / total for e, amount in self._composition.items()}
        norm = abs(sum(c[e] * w[e] for e in self.elements)) ** 2
        if not norm > 0:
            raise ValueError("the weights cancel out (Σ c_a w_a is 0)")
        out = np.zeros(len(self._total))
        for a, b in self._density:
            factor = c[a] * c[b] * (w[a] * np.conj(w[b])).real
            if factor != 0:
                out += factor * self.g(a, b)
        return _frozen(out / norm)

    def structure_factor(self, q: npt.ArrayLike, weights: Weights | None = None) -> FloatArray:
        """S(Q) at the given Q values (Å⁻¹): 1 + 4πρ ∫ r² (g(r) − 1)
        sin(Qr)/(Qr) L(r) dr over the bins, with ρ = N / V, the Lorch window
        L(r) = sin(πr/R)/(πr/R) (R the last edge) and g the total, weighted
        by ``weights`` as in :meth:`weighted` when given.

        The Q values are taken in blocks of at most 2**20 Q-r products
        (``SQ_BLOCK``; 8 MB per temporary array, a few at a time), or one Q
        value when a row of bins alone is longer, so memory beyond the input
        and the result stays bounded however many Q values are asked for;
        each value is a sum over the bins in a fixed order, the same bits
        whichever other Q values come with it."""
        qs = np.asarray(q, dtype=np.float64)
        if not np.all(np.isfinite(qs)):
            raise ValueError("q values must be finite")
        g = self.g_total() if weights is None else self.weighted(weights)
        r = 0.5 * (self._edges[:-1] + self._edges[1:])
        window = np.sinc(r / self._edges[-1])
        integrand = _shell_volumes(self._edges) * (g - 1.0) * window
        flat = qs.ravel()
        out = np.empty(len(flat))
        step = max(1, SQ_BLOCK // len(r))
        for lo in range(0, len(flat), step):
            kernel = np.sinc(np.multiply.outer(flat[lo : lo + step], r) / np.pi)
            out[lo : lo + step] = np.sum(kernel * integrand, axis=1)
        s: FloatArray = (out * self._number_density + 1.0).reshape(qs.shape)
        return s

    # --- new curves ---

    def smeared(self, sigma: float) -> RDF:
        """A new RDF with every curve broadened by a Gaussian of width
        ``sigma`` (Å) in r. Pair counts are spread, not densities, so every
        running coordination number is kept wherever the curve is flat over a
        few widths (between the shells of a crystal, and in the end). Counts
        spread below r = 0 are folded back; the bins within
        ``SMEAR_TRIM`` × sigma of the last edge, which miss what would come
        from beyond the cutoff, are left out."""
        width = float(sigma)
        if not (width > 0 and math.isfinite(width)):
            raise ValueError("the smearing width must be a positive number of angstroms")
        keep = int(np.searchsorted(self._edges, self._edges[-1] - SMEAR_TRIM * width, side="right")) - 1
        if keep < 1:
            raise ValueError(f"a smearing width of {width:g} A leaves no bins below the cutoff {self._edges[-1]:g} A")
        volumes = _shell_volumes(self._edges)
        kernel = _gaussian_kernel(width / self.bin_size)

        def smear(curve: FloatArray) -> FloatArray:
            return (_convolve_folded(curve * volumes, kernel) / volumes)[:keep]

        return RDF(self._edges[: keep + 1], {p: smear(c) for p, c in self._density.items()}, smear(self._total),
                   composition=self._composition, volume=self._volume, number_density=self._number_density,
                   bulk=self._bulk, reference=self._reference, n_frames=self._n_frames, averaged=self._averaged)

    # --- files ---

    def _columns(self, quantity: Quantity, weights: Weights | None) -> list[tuple[str, FloatArray]]:
        if quantity == "density":
            columns = [("rho_total", self._total)]
            pairs = list(self._density)
        elif quantity == "g":
            columns = [("g_total", self.g_total())]
            pairs = [(a, b) for a, b in self._density if a <= b]
        else:
            raise ValueError(f"quantity must be 'density' or 'g', not {quantity!r}")
        if weights is not None:
            columns.append((f"g_{_weights_label(weights)}", self.weighted(weights)))
        prefix = "rho" if quantity == "density" else "g"
        getter = self.density if quantity == "density" else self.g
        return columns + [(f"{prefix}_{a}_{b}", getter(a, b)) for a, b in pairs]

    def to_csv(self, path: str | os.PathLike[str], quantity: Quantity = "g", weights: Weights | None = None) -> str:
        """Write the curves as CSV: columns r (bin centre), r_left, r_right,
        then the total and one column per pair, named for the quantity:
        ``g_total``, ``g_A_B`` (conventional, unique pairs) or
        ``rho_total``, ``rho_A_B`` (densities, atoms per Å³, every ordered
        pair); with ``weights`` also the weighted total (``g_neutron``,
        ``g_xray`` or ``g_weighted``). Returns the path as a str."""
        from molvane.plotting import write_csv

        columns = self._columns(quantity, weights)
        write_csv(path, self._edges, columns)
        return os.fspath(path)

    def plot(self, folder: str | os.PathLike[str], title: str | None = None, quantity: Quantity = "g",
             weights: Weights | None = None) -> list[str]:
        """Draw the total (``rdf_total.png``) and the partials, one panel per
        centre element (``rdf_partials.png``), into ``folder``; needs
        matplotlib (``pip install 'molvane[plot]'``). ``quantity`` is "g" or
        "density"; ``weights`` (as in :meth:`weighted`) adds the weighted
        total to the first figure. Returns the paths written."""
        from molvane import plotting

        if quantity not in ("g", "density"):
            raise ValueError(f"quantity must be 'density' or 'g', not {quantity!r}")
        if weights is not None:
            _weights(weights, self.elements)
        conventional = quantity == "g"
        subtitle = f"average of {self._n_frames} frame{'s' if self._n_frames != 1 else ''}" if self._averaged else None
        if conventional:
            lines = [("total", self.g_total())]
            if weights is not None:
                lines = [(f"{_weights_label(weights, display=True)}-weighted", self.weighted(weights)),
                         ("unweighted", self.g_total())]
            reference = (1.0, "1 (uncorrelated)")
            references: dict[str, float] = {}
            panels = {a: [(b, self.g(a, b)) for (c, b) in self._density if c == a] for a in self.elements}
        else:
            lines = [("total", self._total)]
            reference = (self._number_density, "N / V")
            references = {b: self.bulk_density(b) for b in self.elements}
            panels = {a: [(b, self._density[c, b]) for (c, b) in self._density if c == a] for a in self.elements}
        return plotting.draw_rdf(folder, self.r, lines, panels, conventional=conventional, title=title,
                                 subtitle=subtitle, reference=reference, references=references,
                                 elements=self.elements)


# --- building results ---


def rdf(structure: Structure, cutoff: float = _DEFAULTS["cutoff"], bin_size: float = _DEFAULTS["bin_size"],
        n_threads: int = 0) -> RDF:
    """The partial and total curves of ``structure`` (``Structure.prdf``) as an
    :class:`RDF`. A last bin reaching past the cutoff would be counted only up
    to the cutoff, so it is left out."""
    check_structure(structure, "structure")
    acc = _Accumulator()
    acc.add(structure, cutoff, bin_size, n_threads)
    return acc.result(cutoff, averaged=False)


# Frames with a length always report it to progress; other iterables report None.
@overload
def rdf_average(frames: Collection[Structure], cutoff: float = ..., bin_size: float = ..., n_threads: int = ..., *,
                progress: Callable[[int, int], object] | None = None) -> RDF: ...
@overload
def rdf_average(frames: Iterable[Structure], cutoff: float = ..., bin_size: float = ..., n_threads: int = ..., *,
                progress: Progress | None = None) -> RDF: ...
def rdf_average(frames: Iterable[Structure], cutoff: float = _DEFAULTS["cutoff"],
                bin_size: float = _DEFAULTS["bin_size"], n_threads: int = 0, *,
                progress: Callable[..., object] | None = None) -> RDF:
    """The mean of the curves of ``frames`` (any iterable of structures, read
    once) as an :class:`RDF`: the total over all frames, each partial over the
    frames that hold both elements, each bulk density averaged over the same
    frames as its curves. ``progress``, when given, is called as
    ``progress(done, total)`` after each frame (``total`` is None when the
    iterable has no length).

    ``frames`` may also be the path of an XYZ trajectory: its frames are
    streamed (as :func:`molvane.trajectory_rdf` does), never all held."""
    if not isinstance(frames, (Iterable, os.PathLike)):
        raise TypeError(f"frames must be an iterable of molvane.Structure or the path of an XYZ trajectory, "
                        f"not {type(frames).__name__}")
    if isinstance(frames, (str, os.PathLike)):
        from molvane.trajectory import trajectory_rdf

        return trajectory_rdf(os.fspath(frames), cutoff, bin_size, n_threads=n_threads, progress=progress)
    acc = _accumulate(frames, cutoff, bin_size, n_threads, progress)
    return acc.result(cutoff, averaged=True)


def _accumulate(frames: Iterable[Structure], cutoff: float, bin_size: float, n_threads: int,
                progress: Progress | None) -> _Accumulator:
    count = len(frames) if isinstance(frames, Sized) else None
    acc = _Accumulator()
    for structure in frames:
        acc.add(check_structure(structure, f"frames[{acc.frames}]"), cutoff, bin_size, n_threads)
        if progress is not None:
            progress(acc.frames, count)
    if acc.frames == 0:
        raise ValueError("no frames to average")
    return acc


class _Accumulator:
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

    def add(self, structure: Structure, cutoff: float, bin_size: float, n_threads: int) -> None:
        self.add_curves(structure, structure.prdf(cutoff, bin_size, n_threads), bin_size)

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

    def merge(self, other: _Accumulator) -> None:
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

    def result(self, cutoff: float, averaged: bool) -> RDF:
        n = self.frames
        nbins = self.nbins
        edges = np.arange(nbins + 1, dtype=np.float64) * self.bin_size
        keep = nbins
        if nbins > 1 and edges[-1] - float(cutoff) > 1e-6 * self.bin_size:
            keep = nbins - 1
        partials = {pair: curve[:keep] for pair, curve in self.partials().items()}
        elements = [key[1] for key in self.rows if key[0] == "composition"]

        def scalar(key: tuple[str, ...], divisor: int) -> float:
            return float(self._mean(key, divisor)[0])

        return RDF(edges[: keep + 1], partials, self.total()[:keep],
                   composition={e: scalar(("composition", e), n) for e in elements},
                   volume=scalar(("volume",), n), number_density=scalar(("number_density",), n),
                   bulk={e: scalar(("bulk", e), n) for e in elements},
                   reference={p: scalar(("reference",) + p, c) for p, c in self.counts.items()},
                   n_frames=n, averaged=averaged)


# --- weights ---


def _weights_label(weights: Weights, display: bool = False) -> str:
    if not isinstance(weights, str):
        return "weighted"
    return {"xray": "X-ray"}.get(weights, weights) if display else weights


def _weights(weights: Weights, elements: Iterable[str]) -> dict[str, float | complex]:
    """element → weight (complex for neutron lengths of absorbing nuclei)."""
    if isinstance(weights, str):
        if weights not in WEIGHT_SCHEMES:
            raise ValueError(f"weights must be 'neutron', 'xray' or a dict of element weights, not {weights!r}")
        return {e: _tabulated_weight(weights, e) for e in elements}
    if not isinstance(weights, dict):
        raise ValueError("weights must be 'neutron', 'xray' or a dict of element weights")
    out: dict[str, float | complex] = {}
    for e in elements:
        if e not in weights:
            raise ValueError(f"no weight given for {e}")
        value = complex(weights[e])
        if not (math.isfinite(value.real) and math.isfinite(value.imag)):
            raise ValueError(f"the weight of {e} is not a finite number")
        out[e] = value if value.imag else value.real
    return out


def _tabulated_weight(scheme: str, symbol: str) -> float | complex:
    try:
        import periodictable
    except ImportError as exc:
        raise ImportError(
            f"{scheme} weights need the periodictable package: pip install 'molvane[scattering]'"
        ) from exc
    try:
        element = periodictable.elements.symbol(symbol)
    except ValueError:
        raise ValueError(f"{symbol} is not an element, so it has no {scheme} weight") from None
    if scheme == "xray":
        return float(element.number)
    b = getattr(element.neutron, "b_c", None)
    if b is None:
        raise ValueError(f"no coherent neutron scattering length is known for {symbol}")
    b_i = getattr(element.neutron, "b_c_i", None)
    return complex(b, b_i) if b_i else float(b)


# --- shells and smearing ---


def _gaussian_kernel(width_in_bins: float, reach: float = 6.0) -> FloatArray:
    """Weights of a Gaussian of the given width over whole bins at offsets
    -m .. m (bin centre to bin centre), summing to 1."""
    m = int(math.ceil(reach * width_in_bins)) + 1
    scale = 1.0 / (width_in_bins * math.sqrt(2.0))
    cdf = np.array([0.5 * math.erf((k - 0.5) * scale) for k in range(-m, m + 2)], dtype=np.float64)
    weights = np.diff(cdf)
    kernel: FloatArray = weights / weights.sum()
    return kernel


def _convolve(values: FloatArray, kernel: FloatArray) -> FloatArray:
    """Full convolution; by FFT when the direct sum would be long (very fine
    bins against a wide kernel)."""
    if len(values) * len(kernel) <= 20_000_000:
        return np.convolve(values, kernel)
    n = len(values) + len(kernel) - 1
    size = 1 << (n - 1).bit_length()
    return np.fft.irfft(np.fft.rfft(values, size) * np.fft.rfft(kernel, size), size)[:n]


def _convolve_folded(counts: FloatArray, kernel: FloatArray) -> FloatArray:
    """``counts`` spread by ``kernel``; what lands below r = 0 is folded back
    onto the mirror bins, what lands beyond the last bin is dropped."""
    m = len(kernel) // 2
    full = _convolve(counts, kernel)
    out = full[m : m + len(counts)].copy()
    below = full[:m][::-1]
    n = min(m, len(counts))
    out[:n] += below[:n]
    return out


def _smooth(curve: FloatArray, bin_size: float) -> FloatArray:
    kernel = _gaussian_kernel(max(SHELL_SMOOTHING / bin_size, 1.0))
    m = len(kernel) // 2
    padded = np.pad(curve, m, mode="edge")
    return _convolve(padded, kernel)[2 * m : 2 * m + len(curve)]


def _flat_middle(values: FloatArray, k: int, lo: int, hi: int) -> tuple[int, int]:
    """Middle of the run of values equal to values[k] around k, within [lo, hi)."""
    start, end = k, k
    while start - 1 >= lo and values[start - 1] == values[k]:
        start -= 1
    while end + 1 < hi and values[end + 1] == values[k]:
        end += 1
    return (start + end) // 2, end


def _peaks(s: FloatArray) -> list[int]:
    """Indices of the maxima of ``s`` above 0 (the middle of a flat top)."""
    n = len(s)
    found = []
    start = 0
    while start < n:
        end = start
        while end + 1 < n and s[end + 1] == s[start]:
            end += 1
        if s[start] > 0 and (start == 0 or s[start - 1] < s[start]) and (end == n - 1 or s[end + 1] < s[start]):
            found.append((start + end) // 2)
        start = end + 1
    return found


def _prominence(s: FloatArray, i: int) -> float:
    """Height of s[i] above the higher of the lowest points on either side
    before a higher value or the end is met (a side with no points, at the
    ends of the curve, does not count)."""
    height: float = s[i]
    bases: list[float] = []
    for step in (-1, 1):
        j, low = i, height
        while 0 <= j + step < len(s) and s[j + step] <= height:
            j += step
            low = min(low, s[j])
        if j != i or 0 <= i + step < len(s):
            bases.append(low)
    return height - max(bases) if bases else height


def _first_shell(curve: FloatArray, edges: FloatArray) -> Shell | None:
    curve = np.asarray(curve, dtype=np.float64)
    if len(curve) == 0 or not np.all(np.isfinite(curve)) or not np.any(curve > 0):
        return None
    bin_size = float(edges[1] - edges[0])
    s = _smooth(curve, bin_size)
    tallest = float(s.max())
    significant = [i for i in _peaks(s) if _prominence(s, i) >= SHELL_PROMINENCE * tallest]
    centres = 0.5 * (edges[:-1] + edges[1:])
    peak = significant[0]
    end = significant[1] if len(significant) > 1 else len(s)
    if peak + 1 >= end:
        return Shell(float(centres[peak]), None, None)
    k = peak + 1 + int(np.argmin(s[peak + 1 : end]))
    k, run_end = _flat_middle(s, k, peak + 1, end)
    if run_end == len(s) - 1 and s[k] > 0 and len(significant) == 1:
        return Shell(float(centres[peak]), None, None)
    counts = curve * _shell_volumes(edges)
    radius = float(centres[k])
    inner = float(np.sum(counts[:k]))
    part = curve[k] * (radius**3 - edges[k] ** 3) * FOUR_PI_OVER_3
    return Shell(float(centres[peak]), radius, inner + float(part))
