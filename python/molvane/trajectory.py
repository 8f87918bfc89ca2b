"""Frames of XYZ trajectories of any length.

    for frame in molvane.iread("md.xyz", every=10):       # one Structure at a time
        ...
    result = molvane.rdf_average("md.xyz", cutoff=8.0, every=10)
    index = molvane.index_xyz_trajectory("md.xyz")       # where every frame starts

Every call here selects frames as ``read_xyz_trajectory`` does: frames
``start``, ``start + every``, ... before ``stop``, with ``cell`` for frames
without a ``Lattice``. The newer calls take these selectors by keyword only.
``trajectory_rdf`` and ``average_prdf`` are the older names of
:func:`molvane.rdf_average`.
"""

from __future__ import annotations

import contextlib
import warnings
from collections.abc import Generator, Iterable, Iterator
from typing import Any

from molvane._accumulate import Curves, Progress, accumulate
from molvane._molvane import _DEFAULTS, Structure
from molvane._tasks import Cell, PathArg, TrajectoryIndex, frames_of, index_xyz_trajectory, open_frames
from molvane.analysis import RDF, rdf_average
from molvane.disorder import PairWeighting
from molvane.io import check_structure

__all__ = ["average_prdf", "index_xyz_trajectory", "iread", "iter_xyz_frames", "trajectory_rdf", "TrajectoryIndex"]


def iread(path: PathArg, *, start: int = 0, stop: int | None = None, every: int = 1,
          cell: Cell | None = None) -> Iterator[Structure]:
    """Yields the frames of an XYZ trajectory that ``read_xyz_trajectory``
    would keep, one ``Structure`` at a time: memory stays that of a few
    frames whatever the length of the file. Frame k of the selection has
    index ``start + k * every`` in the file. The arguments are checked and
    the file opened at the call; a frame that cannot be read raises
    ``ValueError`` when it is reached. What was guessed (species in capitals)
    is reported as a ``ReadWarning`` when the iteration ends or is closed."""
    return _structures(frames_of(open_frames(path, start, stop, every, cell)))


def _structures(frames: Generator[tuple[int, Structure], None, None]) -> Generator[Structure, None, None]:
    with contextlib.closing(frames):
        for _, structure in frames:
            yield structure


def iter_xyz_frames(path: PathArg, start: int = 0, stop: int | None = None, every: int = 1,
                    cell: Cell | None = None) -> Iterator[tuple[int, Structure]]:
    """Yields ``(index, Structure)`` for the frames ``read_xyz_trajectory``
    would keep, one at a time, as :func:`iread` does with the index of each
    frame in the file."""
    return frames_of(open_frames(path, start, stop, every, cell))


def trajectory_rdf(path: PathArg, cutoff: float = _DEFAULTS["cutoff"], bin_size: float = _DEFAULTS["bin_size"],
                   start: int = 0, stop: int | None = None, every: int = 1, cell: Cell | None = None,
                   client: Any = None, frames_per_task: int | None = None, *, n_threads: int = 0,
                   progress: Progress | None = None, index: TrajectoryIndex | None = None,
                   pairs: PairWeighting = "physical") -> RDF:
    """The mean RDF of the frames of an XYZ trajectory: the older name of
    ``rdf_average(path, ...)``, which takes the same arguments (``start`` and
    the rest by keyword) and returns the same :class:`RDF`."""
    return rdf_average(path, cutoff, bin_size, n_threads, start=start, stop=stop, every=every, cell=cell,
                       client=client, frames_per_task=frames_per_task, index=index, progress=progress, pairs=pairs)


def average_prdf(structures: Iterable[Structure], cutoff: float = _DEFAULTS["cutoff"],
                 bin_size: float = _DEFAULTS["bin_size"], n_threads: int = 0, *,
                 progress: Progress | None = None) -> Curves:
    """Mean of ``Structure.prdf`` over the given frames (deprecated: use
    :func:`molvane.rdf_average`, whose :class:`RDF` has bin centres as ``r``
    and leaves out a last bin that reaches past the cutoff).

    Every frame is computed with the same ``cutoff``, ``bin_size`` and
    ``n_threads``, so all share the bins ``r``; each frame counts once.
    Returns ``(r, partials, total)`` like ``prdf``: ``total`` is the mean of
    the frames' total curves, and each partial curve of a pair of elements is
    the mean over the frames that hold both elements (a pair that a frame
    lacks has no curve there, rather than a zero one). ``partials`` is keyed
    by (centre, neighbour) in ascending order of the symbols.

    ``progress``, when given, is called as ``progress(done, total)`` after
    each frame.
    """
    warnings.warn("average_prdf returns left bin edges as r and keeps a last bin cut short by the cutoff; "
                  "use molvane.rdf_average, whose RDF states both (r holds the bin centres)",
                  DeprecationWarning, stacklevel=2)
    frames = list(structures)
    for i, structure in enumerate(frames):
        check_structure(structure, f"structures[{i}]")
    acc = accumulate(frames, cutoff, bin_size, n_threads, progress, "independent")
    assert acc.r is not None
    return acc.r, acc.partials(), acc.total()
