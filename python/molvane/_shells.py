"""First coordination shells: peaks and minima of a curve smoothed by a
Gaussian, and the Gaussian itself (also used to broaden curves)."""

from __future__ import annotations

import math
from typing import NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt

from molvane._bins import FOUR_PI_OVER_3, centres, shell_volumes

__all__ = ["Shell", "first_shell", "gaussian_kernel", "convolve_folded", "SHELL_SMOOTHING", "SHELL_PROMINENCE"]

FloatArray: TypeAlias = npt.NDArray[np.float64]

# Shells are found on a copy of the curve smoothed by a Gaussian this wide
# (Å, or one bin when bins are wider), so that noise from bin to bin in
# short runs and fine bins does not pass for a peak or a minimum.
SHELL_SMOOTHING = 0.1
# A maximum counts as a peak when it stands out from the minima on both sides
# by at least this fraction of the highest smoothed value.
SHELL_PROMINENCE = 0.1


class Shell(NamedTuple):
    """First coordination shell of a pair.

peak: position of the first peak (Å, a bin centre); minimum: position of the
first minimum after it (Å, a bin centre), or None when the curve still falls
at the cutoff; coordination: number of neighbours within the minimum, or None
with it."""

    peak: float
    minimum: float | None
    coordination: float | None

    def __repr__(self) -> str:
        # Twelve significant digits: 6.0, not 6.000000000000002.
        values = (f"{name}={None if v is None else float(f'{v:.12g}')!r}" for name, v in zip(self._fields, self))
        return f"Shell({', '.join(values)})"


def gaussian_kernel(width_in_bins: float, reach: float = 6.0) -> FloatArray:
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


def convolve_folded(counts: FloatArray, kernel: FloatArray) -> FloatArray:
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
    kernel = gaussian_kernel(max(SHELL_SMOOTHING / bin_size, 1.0))
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


def first_shell(curve: FloatArray, edges: FloatArray) -> Shell | None:
    curve = np.asarray(curve, dtype=np.float64)
    if len(curve) == 0 or not np.all(np.isfinite(curve)) or not np.any(curve > 0):
        return None
    bin_size = float(edges[1] - edges[0])
    s = _smooth(curve, bin_size)
    tallest = float(s.max())
    significant = [i for i in _peaks(s) if _prominence(s, i) >= SHELL_PROMINENCE * tallest]
    middles = centres(edges)
    peak = significant[0]
    end = significant[1] if len(significant) > 1 else len(s)
    if peak + 1 >= end:
        return Shell(float(middles[peak]), None, None)
    k = peak + 1 + int(np.argmin(s[peak + 1 : end]))
    k, run_end = _flat_middle(s, k, peak + 1, end)
    if run_end == len(s) - 1 and s[k] > 0 and len(significant) == 1:
        return Shell(float(middles[peak]), None, None)
    counts = curve * shell_volumes(edges)
    radius = float(middles[k])
    inner = float(np.sum(counts[:k]))
    part = curve[k] * (radius**3 - edges[k] ** 3) * FOUR_PI_OVER_3
    return Shell(float(middles[peak]), radius, inner + float(part))
