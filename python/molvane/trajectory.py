"""RDFs averaged over the frames of a trajectory.

    structures, indices, frames_read = molvane.read_xyz_trajectory("md.xyz", every=10)
    r, partials, total = molvane.average_prdf(structures, cutoff=8.0, bin_size=0.05)
"""

from __future__ import annotations

import numpy as np

from molvane._molvane import _DEFAULTS

__all__ = ["average_prdf"]


def average_prdf(structures, cutoff=_DEFAULTS["cutoff"], bin_size=_DEFAULTS["bin_size"], n_threads=0, *,
                 progress=None):
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
    sums: dict[tuple[str, str], np.ndarray] = {}
    counts: dict[tuple[str, str], int] = {}
    for done, structure in enumerate(frames, start=1):
        r_frame, partials, total = structure.prdf(cutoff, bin_size, n_threads)
        if r is None:
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
    averaged = {pair: sums[pair] / counts[pair] for pair in sorted(sums)}
    return r, averaged, total_sum / len(frames)
