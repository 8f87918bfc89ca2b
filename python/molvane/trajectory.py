"""RDFs averaged over the frames of a trajectory.

    structures, indices, frames_read = molvane.read_xyz_trajectory("md.xyz", every=10)
    r, partials, total = molvane.average_prdf(structures, cutoff=8.0, bin_size=0.05)

``molvane.rdf_average`` gives the same mean as an ``RDF`` result, with g(r),
coordination numbers and the rest.
"""

from __future__ import annotations

from molvane._molvane import _DEFAULTS
from molvane.analysis import _accumulate

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
    acc = _accumulate(list(structures), cutoff, bin_size, n_threads, progress)
    return acc.r, acc.partials(), acc.total / acc.frames
