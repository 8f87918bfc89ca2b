"""Sums of float64 values that do not depend on the order of their terms.

Every finite double is an integer below 2**53 times a power of two no smaller
than 2**-1126, so a sum of doubles is one (large) integer times 2**-1126.
:class:`ExactSum` keeps that integer for each row in 32-bit limbs held in
int64 columns, over the window of limbs its terms have reached: adding is
integer arithmetic, exact and associative, so terms added in any order and
partial sums merged in any grouping give the same integer, and reading a row
rounds once (Python's int division rounds correctly). Frame averages computed
on one thread, on many, or on the workers of a cluster therefore agree to the
last bit.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

# A term m * 2**e (|m| < 2**53 an integer, e >= -1126) starts at bit e + BIAS.
BIAS = 1126
LIMB_BITS = 32
LOW_MASK = (1 << LIMB_BITS) - 1
# Each add puts less than 2**34 into a limb; carries are settled long before
# an int64 limb could overflow.
ADDS_BETWEEN_CARRIES = 1 << 26

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]


class ExactSum:
    """Exact running sums, one per row; rows are added with :meth:`grow`."""

    __slots__ = ("low", "limbs", "special", "adds")

    def __init__(self) -> None:
        self.low = 0  # limb index of column 0
        self.limbs: IntArray = np.zeros((0, 0), dtype=np.int64)
        self.special: FloatArray | None = None  # plain sums of the infinite and NaN terms
        self.adds = 0  # adds since the carries were last settled

    @property
    def rows(self) -> int:
        return int(self.limbs.shape[0])

    def grow(self, rows: int) -> int:
        """Appends `rows` zero rows; returns the index of the first."""
        first = self.rows
        self.limbs = np.vstack([self.limbs, np.zeros((rows, self.limbs.shape[1]), dtype=np.int64)])
        if self.special is not None:
            self.special = np.concatenate([self.special, np.zeros(rows)])
        return first

    def _widen(self, low: int, high: int) -> None:
        """Makes the columns cover limbs low .. high - 1, and one more above."""
        width = self.limbs.shape[1]
        new_low = min(self.low, low) if width else low
        new_high = max(self.low + width, high + 1) if width else high + 1
        if new_low == self.low and new_high == self.low + width:
            return
        wider = np.zeros((self.rows, new_high - new_low), dtype=np.int64)
        wider[:, self.low - new_low : self.low - new_low + width] = self.limbs
        self.limbs, self.low = wider, new_low

    def add_at(self, rows: IntArray, values: npt.ArrayLike) -> None:
        """Adds values[i] to row rows[i]; the rows must be distinct."""
        terms = np.asarray(values, dtype=np.float64)
        finite = np.isfinite(terms)
        if not finite.all():
            if self.special is None:
                self.special = np.zeros(self.rows)
            np.add.at(self.special, rows[~finite], terms[~finite])
            rows, terms = rows[finite], terms[finite]
        fraction, exponent = np.frexp(terms)
        mantissa = (fraction * 2.0**53).astype(np.int64)  # exact
        nonzero = mantissa != 0
        if not nonzero.all():
            rows, mantissa, exponent = rows[nonzero], mantissa[nonzero], exponent[nonzero]
        if len(rows) == 0:
            return
        bit = exponent.astype(np.int64) + (BIAS - 53)
        limb = bit >> 5
        shift = (bit & 31).astype(np.uint64)
        magnitude = np.abs(mantissa).astype(np.uint64)
        low_part = (magnitude & np.uint64(LOW_MASK)) << shift  # below 2**63
        high_part = (magnitude >> np.uint64(LIMB_BITS)) << shift  # below 2**52
        sign = np.where(mantissa < 0, -1, 1).astype(np.int64)
        pieces = (
            (low_part & np.uint64(LOW_MASK)).astype(np.int64) * sign,
            ((low_part >> np.uint64(LIMB_BITS)) + (high_part & np.uint64(LOW_MASK))).astype(np.int64) * sign,
            (high_part >> np.uint64(LIMB_BITS)).astype(np.int64) * sign,
        )
        self._widen(int(limb.min()), int(limb.max()) + 3)
        column = limb - self.low
        for k, piece in enumerate(pieces):
            self.limbs[rows, column + k] += piece
        self.adds += 1
        if self.adds >= ADDS_BETWEEN_CARRIES:
            self.settle()

    def settle(self) -> None:
        """Moves carries up so that every limb but the top one lies in [0, 2**32)."""
        limbs = self.limbs
        for j in range(limbs.shape[1] - 1):
            carry = limbs[:, j] >> LIMB_BITS
            limbs[:, j] -= carry << LIMB_BITS
            limbs[:, j + 1] += carry
        self.adds = 0

    def merge(self, other: ExactSum, rows: IntArray) -> None:
        """Adds the rows of `other` to rows `rows` of this sum."""
        self.settle()
        other.settle()
        width = other.limbs.shape[1]
        if width:
            self._widen(other.low, other.low + width)
            start = other.low - self.low
            self.limbs[rows, start : start + width] += other.limbs
        if other.special is not None:
            if self.special is None:
                self.special = np.zeros(self.rows)
            self.special[rows] += other.special
        self.settle()

    def value(self, rows: Sequence[int] | IntArray, divisor: int = 1) -> FloatArray:
        """The sums of `rows` divided by `divisor`, each rounded once."""
        self.settle()
        scale = LIMB_BITS * self.low - BIAS
        out = np.empty(len(rows))
        for i, row in enumerate(rows):
            if self.special is not None and self.special[row] != 0:
                out[i] = self.special[row]  # an infinite term decides the sum
                continue
            total = 0
            for limb in self.limbs[row, ::-1].tolist():
                total = (total << LIMB_BITS) + limb
            numerator, denominator = (total << scale, divisor) if scale >= 0 else (total, divisor << -scale)
            try:
                out[i] = numerator / denominator
            except OverflowError:
                out[i] = np.inf if total > 0 else -np.inf
        return out
