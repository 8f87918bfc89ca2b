"""RDFs averaged over the frames of trajectories of any length.

    result = molvane.trajectory_rdf("md.xyz", cutoff=8.0, bin_size=0.05, every=10)
    for index, frame in molvane.iter_xyz_frames("md.xyz", every=10):
        ...
    index = molvane.index_xyz_trajectory("md.xyz")    # where every frame starts

``trajectory_rdf`` holds a few frames at a time however long the file is. On
one thread it streams the file; on several it first indexes the file (where
every frame starts) and gives each thread tasks of frames to read by offset
and compute, or, when frames are large, streams them and computes each on
every thread. Given a ``dask.distributed`` client it splits the frames
between the workers by the frame index in the same way.
The sums over frames are exact, so the result is the same to the last bit on
one thread, on many, or on any number of workers.

``read_xyz_trajectory`` with ``average_prdf`` or ``rdf_average`` does the same
for frames held in memory.
"""

from __future__ import annotations

import operator
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from molvane._molvane import (
    _DEFAULTS,
    Structure,
    _check_selected,
    _FrameReader,
    _index_xyz_trajectory,
    _read_indexed_frames,
    _warn_species,
)
from molvane.analysis import RDF, _accumulate, _Accumulator
from molvane.io import check_structure

if TYPE_CHECKING:
    from molvane.analysis import Curves

__all__ = ["average_prdf", "index_xyz_trajectory", "iter_xyz_frames", "trajectory_rdf", "TrajectoryIndex"]

Cell = Sequence[Sequence[float]]
Progress = Callable[[int, "int | None"], object]

# Frames are read in batches of about this many atoms (at least one frame):
# enough to amortise each call, small enough to keep memory flat.
BATCH_ATOMS = 1 << 16
# Frames of at least this many sites are computed one at a time on every
# thread; smaller ones one per thread, side by side.
LARGE_FRAME = 20_000
# By default a task holds about this many bytes of frames, and each thread
# (or worker thread) gets a few tasks, so that a slow one delays little.
TASK_BYTES = 256 << 20
TASKS_PER_THREAD = 4
# Threads of this process share the work more finely: a task costs them
# little more than opening the file.
LOCAL_TASKS_PER_THREAD = 16


def average_prdf(structures: Iterable[Structure], cutoff: float = _DEFAULTS["cutoff"],
                 bin_size: float = _DEFAULTS["bin_size"], n_threads: int = 0, *,
                 progress: Progress | None = None) -> Curves:
    """Mean of ``Structure.prdf`` over the given frames.

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
    frames = list(structures)
    for i, structure in enumerate(frames):
        check_structure(structure, f"structures[{i}]")
    acc = _accumulate(frames, cutoff, bin_size, n_threads, progress)
    assert acc.r is not None
    return acc.r, acc.partials(), acc.total()


class TrajectoryIndex:
    """Where each frame of an XYZ trajectory starts, from
    :func:`index_xyz_trajectory`.

    ``offsets[i]`` is the byte offset of frame i's atom-count line and
    ``atoms[i]`` its atom count (read-only ``uint64`` arrays, one entry per
    frame, in file order); ``file_size``, ``mtime_ns`` and ``inode`` are the
    size, modification time (ns) and inode of the file when it was indexed.
    Readers check them and each count line against the file, so a file that
    was rewritten (even in place, with the same size) or replaced since fails
    with a clear error instead of being read wrongly. An index pickles (with
    its path), so it can be kept or sent to workers.
    """

    __slots__ = ("path", "offsets", "atoms", "file_size", "mtime_ns", "inode")

    def __init__(self, path: str, offsets: npt.NDArray[np.uint64], atoms: npt.NDArray[np.uint64],
                 file_size: int, mtime_ns: int, inode: int) -> None:
        self.path = path
        self.offsets = offsets
        self.atoms = atoms
        self.file_size = file_size
        self.mtime_ns = mtime_ns
        self.inode = inode

    def __len__(self) -> int:
        return len(self.offsets)

    def __repr__(self) -> str:
        return f"TrajectoryIndex({self.path!r}, {len(self)} frames, {self.file_size} bytes)"

    def __getstate__(self) -> tuple[str, bytes, bytes, int, int, int]:
        return self.path, self.offsets.tobytes(), self.atoms.tobytes(), *self.identity

    def __setstate__(self, state: tuple[str, bytes, bytes, int, int, int]) -> None:
        self.path, offsets, atoms, self.file_size, self.mtime_ns, self.inode = state
        self.offsets, self.atoms = _u64_array(offsets), _u64_array(atoms)

    @property
    def identity(self) -> tuple[int, int, int]:
        """(file_size, mtime_ns, inode) of the file when it was indexed."""
        return self.file_size, self.mtime_ns, self.inode

    def selected(self, start: int = 0, stop: int | None = None, every: int = 1) -> npt.NDArray[np.int64]:
        """The frames kept by start, stop and every (as read_xyz_trajectory
        keeps them); fails as it does when none is."""
        start, every = operator.index(start), operator.index(every)
        stop = None if stop is None else operator.index(stop)
        if every < 1:
            raise ValueError("every must be at least 1")
        if start < 0 or (stop is not None and stop < 0):
            raise ValueError("start and stop must be 0 or more")
        end = len(self) if stop is None else min(stop, len(self))
        frames = np.arange(start, end, every, dtype=np.int64) if start < end else np.zeros(0, dtype=np.int64)
        _check_selected(end, len(frames))
        return frames

    def locations(self, frames: npt.NDArray[np.int64]) -> bytes:
        """The (index, offset, atoms) triples of `frames`, packed for the reader."""
        frames = np.asarray(frames)
        if frames.dtype.kind not in "iu" or frames.ndim != 1:
            raise TypeError("frames must be a one-dimensional array of frame numbers")
        if len(frames) and not (0 <= frames.min() and frames.max() < len(self)):
            raise ValueError(f"frame numbers must lie in 0 .. {len(self) - 1}")
        table = np.stack([frames.astype(np.uint64), self.offsets[frames], self.atoms[frames]], axis=1)
        return table.astype("<u8").tobytes()


def _u64_array(packed: bytes) -> npt.NDArray[np.uint64]:
    array = np.frombuffer(packed, dtype="<u8").astype(np.uint64)
    array.flags.writeable = False
    return array


def index_xyz_trajectory(path: str, stop: int | None = None) -> TrajectoryIndex:
    """Scans an XYZ trajectory once, without parsing coordinates, and returns
    a :class:`TrajectoryIndex`: the byte offset and atom count of every frame
    (of the first ``stop`` frames, when given). The scan checks what
    ``read_xyz_trajectory`` checks in frames it skips (count lines, comment
    lines, the number of atom lines, UTF-8) and fails with the same
    messages."""
    offsets, atoms, *identity = _index_xyz_trajectory(path, stop)
    return TrajectoryIndex(path, _u64_array(offsets), _u64_array(atoms), *identity)


def iter_xyz_frames(path: str, start: int = 0, stop: int | None = None, every: int = 1,
                    cell: Cell | None = None) -> Iterator[tuple[int, Structure]]:
    """Yields ``(index, Structure)`` for the frames ``read_xyz_trajectory``
    would keep, one at a time: memory stays that of a few frames whatever
    the length of the file. The arguments are checked and the file opened at
    the call; a frame that cannot be read raises ``ValueError`` when it is
    reached. What was guessed (species in capitals) is reported as a
    ``ReadWarning`` when the iteration ends or is closed."""
    reader = _FrameReader(path, every, start, stop, cell)
    return _frames_of(reader)


def _frames_of(reader: _FrameReader) -> Generator[tuple[int, Structure], None, None]:
    try:
        while batch := reader.read(BATCH_ATOMS):
            batch.reverse()
            while batch:
                yield batch.pop()
    finally:
        reader.warn()


def _tasks(index: TrajectoryIndex, frames: npt.NDArray[np.int64], threads: int,
           frames_per_task: int | None = None, tasks_per_thread: int = TASKS_PER_THREAD) -> list[npt.NDArray[np.int64]]:
    """`frames` cut into consecutive tasks of `frames_per_task` frames
    (default: `tasks_per_thread` tasks per thread, each at most about
    TASK_BYTES)."""
    if frames_per_task is None:
        frame_bytes = max(index.file_size // max(len(index), 1), 1)
        by_size = max(TASK_BYTES // frame_bytes, 1)
        by_balance = -(-len(frames) // (tasks_per_thread * max(threads, 1)))
        frames_per_task = max(1, min(by_size, by_balance))
    return [frames[i : i + frames_per_task] for i in range(0, len(frames), frames_per_task)]


def _read_sums(path: str, locations: bytes, identity: tuple[int, int, int], cell: Cell | None, cutoff: float,
               bin_size: float) -> tuple[_Accumulator, list[Any]]:
    """The sums of the frames at `locations` (packed (index, offset, atoms)
    triples) of the file indexed with `identity`, read a batch at a time and
    each computed on one thread, and the counts of species read in capitals."""
    table = np.frombuffer(locations, dtype="<u8").reshape(-1, 3)
    acc = _Accumulator()
    counts = []
    first = 0
    while first < len(table):
        atoms = np.cumsum(table[first:, 2], dtype=np.float64)
        end = first + max(1, int(np.searchsorted(atoms, BATCH_ATOMS)))
        frames, species = _read_indexed_frames(path, table[first:end].tobytes(), *identity, cell)
        counts.append(species)
        for _, structure in frames:
            acc.add(structure, cutoff, bin_size, 1)
        first = end
    return acc, counts


class _Summed(NamedTuple):
    """Frame sums and what was read to make them."""

    sums: _Accumulator
    frames_read: int
    first: int  # index of the first frame summed
    last: int  # and of the last


def trajectory_rdf(path: str, cutoff: float = _DEFAULTS["cutoff"], bin_size: float = _DEFAULTS["bin_size"],
                   start: int = 0, stop: int | None = None, every: int = 1, cell: Cell | None = None,
                   client: Any = None, frames_per_task: int | None = None, *, n_threads: int = 0,
                   progress: Progress | None = None, index: TrajectoryIndex | None = None) -> RDF:
    """The mean RDF of the frames of an XYZ trajectory (those
    ``read_xyz_trajectory`` keeps with the same start, stop, every and cell)
    as an :class:`RDF`, equal to ``rdf_average`` of those frames.

    Without ``client`` the frames are computed on this machine with
    ``n_threads`` threads (0: all): on one thread the file is streamed; on
    several it is indexed first and the threads read tasks of frames by
    offset, side by side (frames of 20,000 sites or more are streamed
    instead, each computed on every thread). With a ``dask.distributed.Client`` the
    selected frames are split into tasks of ``frames_per_task`` frames
    (default: a few tasks per worker, at most about 256 MB of frames each);
    each worker reads its frames by offset and returns sums, which are added
    exactly, so the result does not depend on the number of workers or on
    scheduling. The workers must see the file at the same path (a shared file
    system). ``index`` (from :func:`index_xyz_trajectory`) saves the scan
    that the distributed path otherwise runs first on a worker.

    ``progress``, when given, is called as ``progress(done, total)`` as frames
    are done (``total`` is None while it is not known).
    """
    summed = _trajectory_sums(path, cutoff, bin_size, start, stop, every, cell, client, frames_per_task,
                              n_threads, progress, index)
    return summed.sums.result(cutoff, averaged=True)


def _trajectory_sums(path: str, cutoff: float, bin_size: float, start: int, stop: int | None, every: int,
                     cell: Cell | None, client: Any, frames_per_task: int | None, n_threads: int,
                     progress: Progress | None, index: TrajectoryIndex | None) -> _Summed:
    if client is not None:
        from molvane.distributed import distributed_sums

        return distributed_sums(client, path, cutoff, bin_size, start, stop, every, cell, frames_per_task,
                                progress, index)
    if index is not None:
        raise ValueError("index is used only with a client; a local run streams the file")
    threads = n_threads or Structure.available_threads()
    if threads > 1:
        summed = _task_sums(path, cutoff, bin_size, start, stop, every, cell, threads, progress)
        if summed is not None:
            return summed
    return _stream_sums(path, cutoff, bin_size, start, stop, every, cell, threads, progress)


def _task_sums(path: str, cutoff: float, bin_size: float, start: int, stop: int | None, every: int,
               cell: Cell | None, threads: int, progress: Progress | None) -> _Summed | None:
    """The sums of the selected frames in tasks that the threads read by
    offset and compute side by side; None when the frames are too few or too
    large for that, or the file cannot be indexed (the stream then reports
    the first fault it meets, as read_xyz_trajectory does)."""
    _FrameReader(path, every, start, stop, cell)  # the arguments and the file, checked as the stream checks them
    try:
        index = index_xyz_trajectory(path, stop)
        frames = index.selected(start, stop, every)
    except ValueError:
        return None
    if len(frames) < 2 * threads or int(index.atoms[frames].max()) >= LARGE_FRAME:
        return None
    acc = _Accumulator()
    with ThreadPoolExecutor(threads) as pool:
        futures = [pool.submit(_read_sums, path, index.locations(task), index.identity, cell, cutoff, bin_size)
                   for task in _tasks(index, frames, threads, tasks_per_thread=LOCAL_TASKS_PER_THREAD)]
        counts = []
        try:
            # In frame order, so that a fault is the first one the file holds.
            for future in futures:
                task_sums, task_counts = future.result()
                acc.merge(task_sums)
                counts.extend(task_counts)
                if progress is not None:
                    progress(acc.frames, len(frames))
        finally:
            for future in futures:
                future.cancel()
    _warn_species(counts)
    return _summed_of(acc, index, frames, stop)


def _summed_of(acc: _Accumulator, index: TrajectoryIndex, frames: npt.NDArray[np.int64],
               stop: int | None) -> _Summed:
    frames_read = len(index) if stop is None else min(stop, len(index))
    return _Summed(acc, frames_read, int(frames[0]), int(frames[-1]))


def _stream_sums(path: str, cutoff: float, bin_size: float, start: int, stop: int | None, every: int,
                 cell: Cell | None, threads: int, progress: Progress | None) -> _Summed:
    reader = _FrameReader(path, every, start, stop, cell)
    frames = _frames_of(reader)
    acc = _Accumulator()
    first = last = -1

    def added() -> None:
        if progress is not None:
            progress(acc.frames, None)

    with ThreadPoolExecutor(max(threads, 1)) as pool:
        # Small frames are computed side by side, one per thread; their sums
        # are added in frame order as they finish (the order does not change
        # the sums, but keeps memory to a few frames).
        pending: deque[tuple[Structure, Future[Any]]] = deque()

        def drain(keep: int) -> None:
            while len(pending) > keep:
                structure, curves = pending.popleft()
                acc.add_curves(structure, curves.result(), bin_size)
                added()

        try:
            for index, structure in frames:
                first = index if first < 0 else first
                last = index
                if threads > 1 and structure.n_sites < LARGE_FRAME:
                    pending.append((structure, pool.submit(structure.prdf, cutoff, bin_size, 1)))
                    drain(2 * threads)
                else:
                    drain(0)
                    acc.add(structure, cutoff, bin_size, threads)
                    added()
            drain(0)
        finally:
            for _, curves in pending:
                curves.cancel()
            frames.close()
    return _Summed(acc, reader.frames_read, first, last)
