"""Trajectory averages split between the workers of a Dask cluster.

    from dask.distributed import Client
    result = molvane.rdf_average("/shared/md.xyz", cutoff=8.0, client=Client("tcp://scheduler:8786"))

needs ``pip install 'molvane[dask]'``; importing molvane never imports Dask.
A worker first indexes the file (where every frame starts, without parsing
coordinates); the selected frames are then split into tasks, each of which
reads its frames by their offsets, computes them and returns its sums (not
averages). The sums are exact (molvane._sums), so adding them in whatever
order the tasks finish gives the same bits as the local stream, whatever the
number of workers or the scheduling, and a task run again after its worker
died gives the same sums. The file must be readable at the same path on
every worker (a shared file system).
"""

from __future__ import annotations

import contextlib
import importlib
import os
from collections.abc import Iterator
from typing import Any

from molvane._accumulate import Accumulator, Progress
from molvane._tasks import (Cell, Summed, TrajectoryIndex, index_xyz_trajectory, merged, open_frames, read_sums,
                            split)

__all__ = ["open_client", "distributed_sums"]


def _as_completed() -> Any:
    try:
        from dask.distributed import as_completed
    except ImportError as exc:
        raise ImportError("distributed averages need Dask: pip install 'molvane[dask]'") from exc
    return as_completed


@contextlib.contextmanager
def open_client(workers: int | None = None, scheduler: str | None = None) -> Iterator[Any]:
    """A client of a new local cluster of `workers` processes (one thread
    each), or of the running scheduler at `scheduler`; closed on exit."""
    _as_completed()
    dask_distributed: Any = importlib.import_module("dask.distributed")
    if scheduler is not None:
        with dask_distributed.Client(scheduler) as client:
            yield client
        return
    if workers is None or workers < 1:
        raise ValueError("a local cluster needs at least 1 worker")
    with dask_distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       dashboard_address=None) as cluster:
        with dask_distributed.Client(cluster) as client:
            yield client


def _prepare(path: str, start: int, stop: int | None, every: int, cell: Cell | None,
             scan: bool) -> TrajectoryIndex | None:
    """On a worker: checks the arguments and opens the file as
    read_xyz_trajectory does, then indexes the file when `scan`."""
    try:
        open_frames(path, start, stop, every, cell)
    except ValueError as exc:
        raise _unreadable(exc, path) from None
    return index_xyz_trajectory(path, stop) if scan else None


def _frame_sums(path: str, locations: bytes, identity: tuple[int, int, int], cell: Cell | None, cutoff: float,
                bin_size: float) -> tuple[Accumulator, list[Any]]:
    """On a worker: the sums of the frames at `locations`; a file the worker
    cannot see is named as such."""
    try:
        return read_sums(path, locations, identity, cell, cutoff, bin_size)
    except ValueError as exc:
        raise _unreadable(exc, path) from None


def _unreadable(exc: ValueError, path: str) -> ValueError:
    """`exc`, naming this worker when the file is not there."""
    if os.path.exists(path):
        return exc
    return ValueError(f"{exc} (on the worker at {_worker_address()}; every worker must see the file at the "
                      "same path, on a shared file system)")


def _worker_address() -> str:
    try:
        from dask.distributed import get_worker

        return str(get_worker().address)
    except (ImportError, ValueError):
        return "unknown"


def _worker_threads(client: Any) -> int:
    return sum(int(w.get("nthreads", 1)) for w in client.scheduler_info()["workers"].values()) or 1


def distributed_sums(client: Any, path: str, cutoff: float, bin_size: float, start: int, stop: int | None,
                     every: int, cell: Cell | None, frames_per_task: int | None, progress: Progress | None,
                     index: TrajectoryIndex | None) -> Summed:
    if not callable(getattr(client, "submit", None)):
        raise TypeError(f"client must be a dask.distributed.Client, not {type(client).__name__}")
    as_completed = _as_completed()
    if frames_per_task is not None and frames_per_task < 1:
        raise ValueError("frames_per_task must be at least 1")
    if index is not None and index.path != path:
        raise ValueError(f"the index is of {index.path}, not of {path}")
    prepared = client.submit(_prepare, path, start, stop, every, cell, index is None, pure=False).result()
    index = index if index is not None else prepared
    assert index is not None
    frames = index.selected(start, stop, every)
    chunks = split(index, frames, _worker_threads(client), frames_per_task)
    futures = [client.submit(_frame_sums, path, index.locations(chunk), index.identity, cell, cutoff, bin_size,
                             pure=False) for chunk in chunks]
    order = {future.key: i for i, future in enumerate(futures)}

    def finished() -> Iterator[tuple[int, tuple[Accumulator, list[Any]]]]:
        for future in as_completed(futures):
            result = future.result()
            future.release()
            yield order[future.key], result

    try:
        return merged(finished(), len(futures), index, frames, stop, progress)
    finally:
        client.cancel([f for f in futures if not f.done()])
