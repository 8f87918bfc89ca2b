"""RDFs averaged over the frames of a trajectory.

    structures, indices, frames_read = molvane.read_xyz_trajectory("md.xyz", every=10)
    r, partials, total = molvane.average_prdf(structures, cutoff=8.0, bin_size=0.05)
"""

from __future__ import annotations

from collections.abc import Callable, Iterable

import numpy as np
import numpy.typing as npt

from molvane._molvane import _DEFAULTS, Structure

__all__ = ["average_prdf"]


def average_prdf(structures: Iterable[Structure], cutoff: float = _DEFAULTS["cutoff"],
                 bin_size: float = _DEFAULTS["bin_size"], n_threads: int = 0, *,
                 progress: Callable[[int, int], object] | None = None,
                 ) -> tuple[npt.NDArray[np.float64], dict[tuple[str, str], npt.NDArray[np.float64]],
                            npt.NDArray[np.float64]]:
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
    if not frames:
        raise ValueError("no frames to average")
    r = None
    total_sum = None
    sums: dict[tuple[str, str], npt.NDArray[np.float64]] = {}
    counts: dict[tuple[str, str], int] = {}
    for done, structure in enumerate(frames, start=1):
        r_frame, partials, total = structure.prdf(cutoff, bin_size, n_threads)
        if r is None or total_sum is None:
            r = r_frame
            total_sum = np.array(total, dtype=np.float64)
        else:
            total_sum += total
        for pair, curve in partials.items():
            if pair in sums:
                sums[pair] += curve
                counts[pair] += 1
            else:
                sums[pair] = np.array(curve, dtype=np.float64)
                counts[pair] = 1
        if progress is not None:
            progress(done, len(frames))
    assert r is not None and total_sum is not None  # there is at least one frame
    averaged = {pair: sums[pair] / counts[pair] for pair in sorted(sums)}
    return r, averaged, total_sum / len(frames)
