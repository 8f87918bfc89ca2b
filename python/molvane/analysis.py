"""The RDF result and the two calls that make it: :func:`rdf` for one
structure and :func:`rdf_average` for the frames of a trajectory, held in
memory or read from a file.

``Structure.prdf`` returns local number densities on bins whose left edges it
gives: the partial (A, B) at a bin is the occupancy-weighted number of B atoms
per Å³ in that shell around an A atom; it tends to c_B / V at large r (c_B the
amount of B in the cell, V its volume) and the total tends to N / V.
:class:`RDF` keeps those curves together with their bin edges and centres and
the composition and volume they came from, and derives from them the
conventional g(r), running coordination numbers, first shells, totals weighted
as a neutron or X-ray experiment sees them, Gaussian-broadened curves and S(Q).

    result = molvane.rdf(structure, cutoff=10.0, bin_size=0.05)
    result.g("Mg", "O"), result.coordination("Mg", "O"), result.first_shell("Mg", "O")
    result.weighted("neutron"), result.smeared(0.1), result.structure_factor(q)
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Collection, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Literal, NoReturn, TypeAlias, overload

import numpy as np
import numpy.typing as npt

from molvane import _bins, _shells, distributed
from molvane._accumulate import Accumulator, Progress, accumulate
from molvane.disorder import PairWeighting, check_pairs
from molvane._bins import element_densities, number_density, shell_volumes
from molvane._molvane import _DEFAULTS, Structure
from molvane._shells import Shell, convolve_folded, gaussian_kernel
from molvane._tasks import Cell, Summed, TrajectoryIndex, local_sums
from molvane.io import check_structure
from molvane.scattering import WEIGHT_SCHEMES, Weights, weights_label, weights_of  # noqa: F401 (read here by older code)

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["RDF", "Shell", "rdf", "rdf_average", "number_density", "element_densities"]

# Smearing moves counts across the last edge, where nothing comes back from
# beyond the cutoff: this many widths before it are left out.
SMEAR_TRIM = 3.0
# S(Q) is computed over blocks of Q values holding at most this many Q-r products.
SQ_BLOCK = 1 << 20

FloatArray: TypeAlias = npt.NDArray[np.float64]
Pair: TypeAlias = tuple[str, str]
Quantity: TypeAlias = Literal["g", "density"]


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
                 "_reference", "_bulk", "_n_frames", "_averaged", "_frames_read")
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
    _frames_read: int

    def __init__(self, edges: npt.ArrayLike, partials: Mapping[Pair, npt.ArrayLike], total: npt.ArrayLike, *,
                 composition: Mapping[str, float], volume: float, number_density: float,
                 bulk: Mapping[str, float], reference: Mapping[Pair, float], n_frames: int = 1,
                 averaged: bool = False, frames_read: int | None = None):
        """Curves on the bins between ``edges``: ``partials`` maps (centre,
        neighbour) to a density curve, ``total`` is the total density curve;
        ``number_density`` is N / V, ``bulk`` maps each element B to c_B / V
        and ``reference`` maps each pair to the c_B / V of the frames its
        curve comes from; ``frames_read`` counts the frames of a file read to
        select them (``n_frames`` when not given). Use :func:`rdf` or
        :func:`rdf_average` rather than this constructor."""
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
        put(self, "_frames_read", int(n_frames if frames_read is None else frames_read))

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError("an RDF cannot be changed; its methods return new ones")

    def __repr__(self) -> str:
        frames = f", average of {self._n_frames} frames" if self._averaged else ""
        return (f"RDF({' '.join(self.elements)}, {len(self.r)} bins of {self.bin_size:g} A"
                f" to {self._edges[-1]:g} A{frames})")

    # --- what the engine gave ---

    @property
    def edges(self) -> FloatArray:
        """All bin edges (Å): bin k covers edges[k] ≤ r < edges[k + 1], and
        edges[k] = k × bin_size. The last edge is at or below the cutoff: when
        the cutoff is not a whole number of bins, the engine's last bin
        (``Structure.prdf`` keeps it) reaches past it with pairs counted only
        up to it, so it is left out."""
        return self._edges

    @property
    def r(self) -> FloatArray:
        """Bin centres (Å), (edges[k] + edges[k + 1]) / 2, where every curve is
        drawn and tabulated (``Structure.prdf`` returns left edges instead)."""
        return _frozen(_bins.centres(self._edges))

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
    def frames_read(self) -> int:
        """Frames read to select the ones averaged: those of a trajectory file
        up to ``stop`` or its end, kept or skipped; ``n_frames`` otherwise."""
        return self._frames_read

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
        return _frozen(np.cumsum(self.density(a, b) * shell_volumes(self._edges)))

    def first_shell(self, a: str, b: str) -> Shell | None:
        """The first coordination shell of b around a, as a :class:`Shell`
        (peak, minimum, coordination), or None when the curve is empty.

        Peaks and minima are looked for on a copy smoothed over
        ``SHELL_SMOOTHING`` Å; the first peak is the first maximum that
        stands out by ``SHELL_PROMINENCE`` of the highest value, the minimum
        is the lowest point before the next such peak (the middle of it where
        it is flat), and the coordination is counted on the curve itself up
        to that point."""
        return _shells.first_shell(self.density(a, b), self._edges)

    # --- weighted totals and S(Q) ---

    def weighted(self, weights: Weights) -> FloatArray:
        """Total g(r) weighted as a scattering experiment sees it
        (Faber–Ziman): Σ c_a c_b w_a w_b g_ab(r) / (Σ c_a w_a)², with c the
        atomic fractions.

        ``weights`` is "neutron" (coherent scattering lengths, complex for
        absorbing nuclei), "xray" (atomic numbers, the form factors at Q = 0)
        or a dict element → weight. Equal weights give :meth:`g_total`.
        """
        w = weights_of(weights, self.elements)
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
        r = _bins.centres(self._edges)
        window = np.sinc(r / self._edges[-1])
        integrand = shell_volumes(self._edges) * (g - 1.0) * window
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
        volumes = shell_volumes(self._edges)
        kernel = gaussian_kernel(width / self.bin_size)

        def smear(curve: FloatArray) -> FloatArray:
            return (convolve_folded(curve * volumes, kernel) / volumes)[:keep]

        return RDF(self._edges[: keep + 1], {p: smear(c) for p, c in self._density.items()}, smear(self._total),
                   composition=self._composition, volume=self._volume, number_density=self._number_density,
                   bulk=self._bulk, reference=self._reference, n_frames=self._n_frames, averaged=self._averaged,
                   frames_read=self._frames_read)

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
            columns.append((f"g_{weights_label(weights)}", self.weighted(weights)))
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

    def plot(self, folder: str | os.PathLike[str] | None = None, title: str | None = None, quantity: Quantity = "g",
             weights: Weights | None = None, *, note: str | None = None, dpi: float = 150,
             figure_format: str = "png", ax: Axes | None = None,
             only: Iterable[Pair] | None = None) -> list[str]:
        """Draw the total (``rdf_total.png``) and the partials, one panel per
        centre element (``rdf_partials.png``), into ``folder``; needs
        matplotlib (``pip install 'molvane[plot]'``). A file name ending in
        .png, .svg or .pdf instead gets the total figure alone; with ``ax``
        (a matplotlib Axes) the total is drawn there and nothing is written.
        ``quantity`` is "g" or "density"; ``weights`` (as in :meth:`weighted`)
        adds the weighted total to the first figure; ``note`` is a line under
        the title; ``figure_format`` ("png", "svg" or "pdf") names the files
        in a folder; ``dpi`` sets the resolution of PNG files; ``only``
        (pairs (centre, neighbour)) limits the partials figure to those
        curves. Returns the paths written."""
        from molvane import plotting

        if quantity not in ("g", "density"):
            raise ValueError(f"quantity must be 'density' or 'g', not {quantity!r}")
        if weights is not None:
            weights_of(weights, self.elements)
        conventional = quantity == "g"
        average = f"average of {self._n_frames} frame{'s' if self._n_frames != 1 else ''}" if self._averaged else None
        subtitle = "; ".join(text for text in (average, note) if text) or None
        if conventional:
            lines = [("total", self.g_total())]
            if weights is not None:
                lines = [(weights_label(weights, display=True), self.weighted(weights)),
                         ("unweighted", self.g_total())]
            reference = (1.0, "1 (uncorrelated)")
            references: dict[str, float] = {}
            panels = {a: [(b, self.g(a, b)) for (c, b) in self._density if c == a] for a in self.elements}
        else:
            lines = [("total", self._total)]
            reference = (self._number_density, "N / V")
            references = {b: self.bulk_density(b) for b in self.elements}
            panels = {a: [(b, self._density[c, b]) for (c, b) in self._density if c == a] for a in self.elements}
        if only is not None:
            keep = {self._pair(a, b) for a, b in only}
            panels = {a: [(b, c) for b, c in curves if (a, b) in keep] for a, curves in panels.items()}
            panels = {a: curves for a, curves in panels.items() if curves}
        return plotting.draw_rdf(folder, self.r, lines, panels, conventional=conventional, title=title,
                                 subtitle=subtitle, reference=reference, references=references,
                                 elements=self.elements, dpi=dpi, figure_format=figure_format, ax=ax)


# --- building results ---


def rdf(structure: Structure, cutoff: float = _DEFAULTS["cutoff"], bin_size: float = _DEFAULTS["bin_size"],
        n_threads: int = 0, *, pairs: PairWeighting = "physical") -> RDF:
    """The partial and total curves of ``structure`` (``Structure.prdf``) as an
    :class:`RDF`, on the bins that end at or before the cutoff (see
    :attr:`RDF.edges`).

    ``pairs="physical"`` weights pairs of partial positions that cannot be
    filled together by 0 and atoms of one disorder group by min(o_i, o_j)
    (see :func:`molvane.exclusions`); ``"independent"`` weights every pair by
    o_i o_j, exactly as ``Structure.prdf``."""
    check_structure(structure, "structure")
    acc = Accumulator()
    acc.add(structure, cutoff, bin_size, n_threads, pairs)
    return _result(acc, cutoff, averaged=False)


# Frames with a length always report it to progress; other iterables report None.
@overload
def rdf_average(frames: str | os.PathLike[str], cutoff: float = ..., bin_size: float = ..., n_threads: int = ...,
                *, start: int = ..., stop: int | None = ..., every: int = ..., cell: Cell | None = ...,
                client: Any = ..., frames_per_task: int | None = ..., index: TrajectoryIndex | None = ...,
                progress: Progress | None = None, pairs: PairWeighting = ...) -> RDF: ...
@overload
def rdf_average(frames: Collection[Structure], cutoff: float = ..., bin_size: float = ..., n_threads: int = ..., *,
                progress: Callable[[int, int], object] | None = None, pairs: PairWeighting = ...) -> RDF: ...
@overload
def rdf_average(frames: Iterable[Structure], cutoff: float = ..., bin_size: float = ..., n_threads: int = ..., *,
                progress: Progress | None = None, pairs: PairWeighting = ...) -> RDF: ...
def rdf_average(frames: Iterable[Structure] | str | os.PathLike[str], cutoff: float = _DEFAULTS["cutoff"],
                bin_size: float = _DEFAULTS["bin_size"], n_threads: int = 0, *, start: int = 0,
                stop: int | None = None, every: int = 1, cell: Cell | None = None, client: Any = None,
                frames_per_task: int | None = None, index: TrajectoryIndex | None = None,
                progress: Callable[..., object] | None = None, pairs: PairWeighting = "physical") -> RDF:
    """The mean of the curves of ``frames`` as an :class:`RDF`: the total over
    all frames, each partial over the frames that hold both elements, each
    bulk density averaged over the same frames as its curves. The sums are
    exact, so the result does not depend on the order of the frames, the
    number of threads or workers, or the scheduling.

    ``frames`` is any iterable of structures (read once), or the path of an
    XYZ trajectory. A file is streamed, a few frames held at a time however
    long it is; ``start``, ``stop``, ``every`` and ``cell`` select its frames
    as :func:`molvane.read_xyz_trajectory` does. Without ``client`` its
    frames are computed on this machine with ``n_threads`` threads (0: all):
    on one thread the file is streamed; on several it is indexed first and
    the threads read tasks of frames by offset, side by side (frames of
    20,000 sites or more are streamed instead, each computed on every
    thread). With a ``dask.distributed.Client`` the selected frames are split
    into tasks of ``frames_per_task`` frames (default: a few tasks per worker,
    at most about 256 MB of frames each); each worker reads its frames by
    offset and returns sums, which are added exactly. The workers must see
    the file at the same path (a shared file system). ``index`` (from
    :func:`molvane.index_xyz_trajectory`) saves the scan that the distributed
    path otherwise runs first on a worker.

    ``progress``, when given, is called as ``progress(done, total)`` after
    each frame (``total`` is None while it is not known, and for an iterable
    without a length).

    ``pairs`` weights each frame as :func:`rdf` does; the frames of an XYZ
    file hold fully occupied sites, so both weightings agree there."""
    if not isinstance(frames, (Iterable, os.PathLike)):
        raise TypeError(f"frames must be an iterable of molvane.Structure or the path of an XYZ trajectory, "
                        f"not {type(frames).__name__}")
    check_pairs(pairs)
    if isinstance(frames, (str, os.PathLike)):
        path = os.fspath(frames)
        summed = _file_sums(path, cutoff, bin_size, start, stop, every, cell, client, frames_per_task,
                            n_threads, progress, index)
        return _result(summed.sums, cutoff, averaged=True, frames_read=summed.frames_read)
    given = [name for name, is_given in
             (("start", start != 0), ("stop", stop is not None), ("every", every != 1), ("cell", cell is not None),
              ("client", client is not None), ("frames_per_task", frames_per_task is not None),
              ("index", index is not None)) if is_given]
    if given:
        raise ValueError(f"{', '.join(given)} select frames of a trajectory file; give its path, or select "
                         "the frames of an iterable before passing it")
    acc = accumulate(frames, cutoff, bin_size, n_threads, progress, pairs)
    return _result(acc, cutoff, averaged=True)


def _file_sums(path: str, cutoff: float, bin_size: float, start: int, stop: int | None, every: int,
               cell: Cell | None, client: Any, frames_per_task: int | None, n_threads: int,
               progress: Progress | None, index: TrajectoryIndex | None) -> Summed:
    if client is not None:
        return distributed.distributed_sums(client, path, cutoff, bin_size, start, stop, every, cell,
                                            frames_per_task, progress, index)
    if index is not None:
        raise ValueError("index is used only with a client; a local run streams the file")
    return local_sums(path, cutoff, bin_size, start, stop, every, cell, n_threads, progress)


def _result(acc: Accumulator, cutoff: float, averaged: bool, frames_read: int | None = None) -> RDF:
    """The RDF of summed frames, on the bins that end at or before the cutoff."""
    n = acc.frames
    assert acc.r is not None, "no frames were added"
    edges = _bins.edges(acc.r, acc.bin_size)
    keep = _bins.kept_bins(edges, cutoff)
    partials = {pair: curve[:keep] for pair, curve in acc.partials().items()}
    elements = acc.elements()
    return RDF(edges[: keep + 1], partials, acc.total()[:keep],
               composition={e: acc.scalar(("composition", e), n) for e in elements},
               volume=acc.scalar(("volume",), n), number_density=acc.scalar(("number_density",), n),
               bulk={e: acc.scalar(("bulk", e), n) for e in elements},
               reference={p: acc.scalar(("reference",) + p, c) for p, c in acc.counts.items()},
               n_frames=n, averaged=averaged, frames_read=frames_read)
