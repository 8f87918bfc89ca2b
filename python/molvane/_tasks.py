"""Frames of XYZ trajectories read by offset, and the exact sums of their
curves computed in tasks: the pieces that the local threads
(:func:`local_sums`) and the workers of a Dask cluster
(molvane.distributed) share.

A trajectory is first indexed (where every frame starts, without parsing
coordinates); the selected frames are then cut into tasks of consecutive
frames, each of which reads its frames by offset and returns their sums.
"""

from __future__ import annotations

import operator
import os
from collections import deque
from collections.abc import Generator, Iterable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from molvane._accumulate import Accumulator, Progress
from molvane._molvane import (
    Structure,
    _check_selected,
    _FrameReader,
    _index_xyz_trajectory,
    _read_indexed_frames,
    _warn_species,
)

__all__ = ["TrajectoryIndex", "index_xyz_trajectory", "open_frames", "frames_of", "split", "read_sums", "merged", "Summed", "summed_of",
           "local_sums", "Cell"]

Cell = Sequence[Sequence[float]]
# A file system path: text or a path-like object such as pathlib.Path.
PathArg = str | os.PathLike[str]

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
        self.offsets, self.atoms = u64_array(offsets), u64_array(atoms)

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


def u64_array(packed: bytes) -> npt.NDArray[np.uint64]:
    array = np.frombuffer(packed, dtype="<u8").astype(np.uint64)
    array.flags.writeable = False
    return array


def index_xyz_trajectory(path: PathArg, stop: int | None = None) -> TrajectoryIndex:
    """Scans an XYZ trajectory once, without parsing coordinates, and returns
    a :class:`TrajectoryIndex`: the byte offset and atom count of every frame
    (of the first ``stop`` frames, when given). The scan checks what
    ``read_xyz_trajectory`` checks in frames it skips (count lines, comment
    lines, the number of atom lines, UTF-8) and fails with the same
    messages."""
    text = os.fspath(path) if isinstance(path, os.PathLike) else path  # anything else is refused below
    offsets, atoms, *identity = _index_xyz_trajectory(text, stop)
    return TrajectoryIndex(text, u64_array(offsets), u64_array(atoms), *identity)



def open_frames(path: PathArg, start: int, stop: int | None, every: int, cell: Cell | None) -> _FrameReader:
    """A reader of the frames selected as read_xyz_trajectory selects them;
    the arguments are checked and the file opened here, with its messages."""
    return _FrameReader(path, every, start, stop, cell)


def frames_of(reader: _FrameReader) -> Generator[tuple[int, Structure], None, None]:
    try:
        while batch := reader.read(BATCH_ATOMS):
            batch.reverse()
            while batch:
                yield batch.pop()
    finally:
        reader.warn()


def split(index: TrajectoryIndex, frames: npt.NDArray[np.int64], threads: int,
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


def read_sums(path: str, locations: bytes, identity: tuple[int, int, int], cell: Cell | None, cutoff: float,
              bin_size: float) -> tuple[Accumulator, list[Any]]:
    """The sums of the frames at `locations` (packed (index, offset, atoms)
    triples) of the file indexed with `identity`, read a batch at a time and
    each computed on one thread, and the counts of species read in capitals."""
    table = np.frombuffer(locations, dtype="<u8").reshape(-1, 3)
    acc = Accumulator()
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


class Summed(NamedTuple):
    """Frame sums and what was read to make them."""

    sums: Accumulator
    frames_read: int
    first: int  # index of the first frame summed
    last: int  # and of the last



def task_sums(path: str, cutoff: float, bin_size: float, start: int, stop: int | None, every: int,
               cell: Cell | None, threads: int, progress: Progress | None) -> Summed | None:
    """The sums of the selected frames in tasks that the threads read by
    offset and compute side by side; None when the frames are too few or too
    large for that, or the file cannot be indexed (the stream then reports
    the first fault it meets, as read_xyz_trajectory does)."""
    open_frames(path, start, stop, every, cell)  # the arguments and the file, checked as the stream checks them
    try:
        index = index_xyz_trajectory(path, stop)
        frames = index.selected(start, stop, every)
    except ValueError:
        return None
    if len(frames) < 2 * threads or int(index.atoms[frames].max()) >= LARGE_FRAME:
        return None
    with ThreadPoolExecutor(threads) as pool:
        futures = [pool.submit(read_sums, path, index.locations(task), index.identity, cell, cutoff, bin_size)
                   for task in split(index, frames, threads, tasks_per_thread=LOCAL_TASKS_PER_THREAD)]
        try:
            # In frame order, so that a fault is the first one the file holds.
            finished = ((task, future.result()) for task, future in enumerate(futures))
            return merged(finished, len(futures), index, frames, stop, progress)
        finally:
            for future in futures:
                future.cancel()


def merged(finished: Iterable[tuple[int, tuple[Accumulator, list[Any]]]], tasks: int, index: TrajectoryIndex,
           frames: npt.NDArray[np.int64], stop: int | None, progress: Progress | None) -> Summed:
    """The sums of ``tasks`` tasks added as they finish, given as (task
    number, (sums, species counts)) in any order, with progress after each;
    the species read in capitals are then reported once, in task order."""
    acc = Accumulator()
    counts: list[list[Any]] = [[] for _ in range(tasks)]
    for task, (sums, task_counts) in finished:
        acc.merge(sums)
        counts[task] = task_counts
        if progress is not None:
            progress(acc.frames, len(frames))
    _warn_species([c for task_counts in counts for c in task_counts])
    return summed_of(acc, index, frames, stop)


def summed_of(acc: Accumulator, index: TrajectoryIndex, frames: npt.NDArray[np.int64],
               stop: int | None) -> Summed:
    frames_read = len(index) if stop is None else min(stop, len(index))
    return Summed(acc, frames_read, int(frames[0]), int(frames[-1]))


def stream_sums(path: str, cutoff: float, bin_size: float, start: int, stop: int | None, every: int,
                 cell: Cell | None, threads: int, progress: Progress | None) -> Summed:
    reader = open_frames(path, start, stop, every, cell)
    frames = frames_of(reader)
    acc = Accumulator()
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
    return Summed(acc, reader.frames_read, first, last)


def local_sums(path: str, cutoff: float, bin_size: float, start: int, stop: int | None, every: int,
               cell: Cell | None, n_threads: int, progress: Progress | None) -> Summed:
    """The sums of the selected frames on this machine with ``n_threads``
    threads (0: all): streamed on one thread, else read in tasks by offset
    (streamed still when the frames are too few or too large for that)."""
    threads = n_threads or Structure.available_threads()
    if threads > 1:
        summed = task_sums(path, cutoff, bin_size, start, stop, every, cell, threads, progress)
        if summed is not None:
            return summed
    return stream_sums(path, cutoff, bin_size, start, stop, every, cell, threads, progress)

