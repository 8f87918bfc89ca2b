"""The pair distribution function G(r) that a total-scattering experiment measures.

    result = molvane.pdf(structure, rmax=20.0, qmax=25.0, qdamp=0.03)
    result.G, result.partial("Ti", "O"), result.write_gr("model.gr"), result.plot("model.png", data="measured.gr")

Every pair of atoms i, j at distance d_ij gives a Gaussian of width sigma_ij,
weighted by the occupancies and scattering weights of the two atoms::

    G(r) = 1 / (N r) sum_{i != j} o_i o_j b_i b_j / <b>^2 Gauss(r; d_ij, sigma_ij) - 4 pi rho0 r

with N the number of atoms in the cell, rho0 = N / V and <b> their mean
weight. With pairs="physical" (the default) the pairs of partial positions
that molvane.exclusions decides weigh 0 (exclusive) or min(o_i, o_j) (one
disorder group) instead of o_i o_j. sigma_ij^2 = n^T (U_i + U_j) n (1 - delta1/d - delta2/d^2 + qbroad^2 d^2),
n the pair's direction and U the displacement tensors. The curve is then
damped by exp(-(qdamp r)^2 / 2) and, with qmax, cut off at Q = qmax.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping, Sequence
from typing import Any, Literal, NoReturn, TypeAlias

import numpy as np
import numpy.typing as npt

from molvane._molvane import _DEFAULTS, Structure
from molvane.disorder import PairWeighting, check_pairs, warn_decisions
from molvane.scattering import weights_of

FloatArray: TypeAlias = npt.NDArray[np.float64]
Scattering: TypeAlias = Literal["xray", "neutron"] | dict[str, float]
Uiso: TypeAlias = Mapping[str, float] | Sequence[float]

# Most grid points, the extension for qmax included.
MAX_POINTS = 1 << 22


def _frozen(values: npt.ArrayLike) -> FloatArray:
    array = np.array(values, dtype=np.float64)
    array.flags.writeable = False
    return array


class PDF:
    """A computed G(r): ``r`` (Å), ``G`` (Å⁻²), the element-pair parts, the
    number density ``rho0`` (Å⁻³) and the parameters it was computed with.
    Immutable."""

    __slots__ = ("_r", "_G", "_partials", "_rho0", "_params")
    _r: FloatArray
    _G: FloatArray
    _partials: dict[tuple[str, str], FloatArray]
    _rho0: float
    _params: dict[str, Any]

    def __init__(self, r: npt.ArrayLike, G: npt.ArrayLike, partials: Mapping[tuple[str, str], npt.ArrayLike],
                 rho0: float, params: Mapping[str, Any]) -> None:
        object.__setattr__(self, "_r", _frozen(r))
        object.__setattr__(self, "_G", _frozen(G))
        object.__setattr__(self, "_partials", {k: _frozen(v) for k, v in partials.items()})
        object.__setattr__(self, "_rho0", float(rho0))
        object.__setattr__(self, "_params", dict(params))

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError("PDF results are immutable")

    def __repr__(self) -> str:
        return (f"PDF({len(self._r)} points, r {self._r[0]:g}..{self._r[-1]:g} Å, "
                f"{'-'.join(sorted({e for p in self._partials for e in p}))}, {self._params['scattering']})")

    @property
    def r(self) -> FloatArray:
        """Grid points (Å): rmin + k rstep."""
        return self._r

    @property
    def G(self) -> FloatArray:
        """Reduced pair distribution function G(r) = 4 pi r (rho(r) - rho0), in Å⁻²."""
        return self._G

    @property
    def rho0(self) -> float:
        """Number density N / V (Å⁻³)."""
        return self._rho0

    @property
    def params(self) -> dict[str, Any]:
        """The parameters of the computation (a copy)."""
        return dict(self._params)

    @property
    def pairs(self) -> tuple[tuple[str, str], ...]:
        """The element pairs (a, b), a <= b, whose parts sum to G."""
        return tuple(self._partials)

    def partial(self, a: str, b: str) -> FloatArray:
        """The part of G from pairs of elements a and b (both orders), with its
        share of the -4 pi rho0 r baseline; the parts sum to G."""
        key = (a, b) if (a, b) in self._partials else (b, a)
        if key not in self._partials:
            raise KeyError(f"no element pair {a}-{b}; the pairs are {', '.join('-'.join(p) for p in self._partials)}")
        return self._partials[key]

    @property
    def R(self) -> FloatArray:
        """Radial distribution function R(r) = 4 pi r² rho(r) = r G(r) + 4 pi rho0 r² (Å⁻¹)."""
        return self._r * self._G + 4.0 * math.pi * self._rho0 * self._r ** 2

    @property
    def g(self) -> FloatArray:
        """Pair distribution function g(r) = rho(r) / rho0 = 1 + G / (4 pi rho0 r); 0 at r = 0."""
        r = self._r
        out = np.zeros_like(r)
        np.divide(self._G, 4.0 * math.pi * self._rho0 * r, out=out, where=r > 0)
        return np.where(r > 0, out + 1.0, 0.0)

    def to_csv(self, path: str | os.PathLike[str]) -> str:
        """Writes r, G and every pair's part (``G_A-B``) as CSV; returns the path."""
        names = ["r", "G"] + [f"G_{a}-{b}" for a, b in self._partials]
        columns = np.column_stack([self._r, self._G, *self._partials.values()])
        np.savetxt(path, columns, delimiter=",", header=",".join(names), comments="", fmt="%.10g")
        return os.fspath(path)

    def write_gr(self, path: str | os.PathLike[str]) -> str:
        """Writes the two columns r, G that PDF programs read, below a header of
        '#' lines holding the parameters; returns the path."""
        lines = ["# G(r) computed by molvane from a structure model", "# r (A), G (A^-2)"]
        lines += [f"# {key} = {value}" for key, value in self._params.items()]
        lines.append(f"# rho0 = {self._rho0:.10g}")
        lines += [f"{x:.6f} {y:.10g}" for x, y in zip(self._r, self._G)]
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        return os.fspath(path)

    def rw(self, data: str | os.PathLike[str] | tuple[npt.ArrayLike, npt.ArrayLike]) -> float:
        """Residual Rw = sqrt(sum (G_obs - G)² / sum G_obs²) over the measured
        points inside this curve's range (G interpolated onto them)."""
        r_obs, g_obs = _measured(data, self._r)
        diff = g_obs - np.interp(r_obs, self._r, self._G)
        return float(np.sqrt(np.sum(diff ** 2) / np.sum(g_obs ** 2)))

    def plot(self, path: str | os.PathLike[str], data: str | os.PathLike[str] | tuple[npt.ArrayLike, npt.ArrayLike]
             | None = None, title: str | None = None, data_label: str = "measured") -> str:
        """Saves a figure of G(r); with ``data`` (a .gr file or (r, G)) that
        curve as circles (labelled ``data_label``) with this one over it and
        the difference below, offset, with Rw in the legend. Needs
        matplotlib. Returns the path."""
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError as exc:
            raise ImportError("plots need matplotlib: pip install 'molvane[plot]'") from exc
        fig, ax = plt.subplots(figsize=(7.0, 4.5))
        if data is None:
            ax.plot(self._r, self._G, color="C0", lw=1.2, label="calculated")
        else:
            r_obs, g_obs = _measured(data, self._r)
            g_calc = np.interp(r_obs, self._r, self._G)
            diff = g_obs - g_calc
            span = max(g_obs.max(), g_calc.max()) - min(g_obs.min(), g_calc.min())
            offset = min(g_obs.min(), g_calc.min()) - diff.max() - 0.05 * span
            every = max(1, len(r_obs) // 600)  # markers a reader can tell apart
            ax.plot(r_obs[::every], g_obs[::every], "o", mfc="none", mec="C0", ms=3, label=data_label)
            ax.plot(r_obs, g_calc, color="C3", lw=1.2, label=f"calculated (Rw = {self.rw((r_obs, g_obs)):.3f})")
            ax.plot(r_obs, diff + offset, color="C2", lw=1.0, label="difference")
            ax.axhline(offset, color="0.6", lw=0.6, ls="--")
        ax.set_xlabel("r (Å)")
        ax.set_ylabel("G (Å$^{-2}$)")
        ax.set_xlim(self._r[0], self._r[-1])
        ax.set_title(title or f"G(r), {self._params['scattering']}")
        ax.legend(frameon=False, fontsize=9)
        fig.tight_layout()
        fig.savefig(path, dpi=150)
        plt.close(fig)
        return os.fspath(path)


def read_gr(path: str | os.PathLike[str]) -> tuple[FloatArray, FloatArray]:
    """The first two columns (r, G) of a .gr text file: lines that do not start
    with two numbers (headers, comments) are passed over."""
    r: list[float] = []
    g: list[float] = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            words = line.split()
            try:
                x, y = float(words[0]), float(words[1])
            except (IndexError, ValueError):
                continue
            if math.isfinite(x) and math.isfinite(y):
                r.append(x)
                g.append(y)
    if not r:
        raise ValueError(f"no (r, G) rows found in {os.fspath(path)}")
    return np.array(r), np.array(g)


def _measured(data: str | os.PathLike[str] | tuple[npt.ArrayLike, npt.ArrayLike],
              r: FloatArray) -> tuple[FloatArray, FloatArray]:
    r_obs, g_obs = read_gr(data) if isinstance(data, (str, os.PathLike)) else (
        np.asarray(data[0], dtype=float), np.asarray(data[1], dtype=float))
    inside = (r_obs >= r[0]) & (r_obs <= r[-1])
    if not inside.any():
        raise ValueError("the measured curve has no points inside the computed range")
    return r_obs[inside], g_obs[inside]


def _site_uiso(structure: Structure, uiso: Uiso) -> list[float]:
    """U_iso from a dict per element (one value per species of every site,
    site by site) or a sequence per site."""
    sites = structure._site_species
    if isinstance(uiso, Mapping):
        out, owner = [], []
        for i, species in enumerate(sites):
            for element, _ in species:
                if element not in uiso:
                    raise ValueError(f"uiso gives no value for {element}")
                out.append(float(uiso[element]))
                owner.append(i)
    elif isinstance(uiso, Sequence) and not isinstance(uiso, str):
        out = [float(u) for u in uiso]
        owner = list(range(len(out)))
        if len(out) != len(sites):
            raise ValueError(f"uiso has {len(out)} values, but the structure has {len(sites)} sites")
    else:
        raise TypeError("uiso must be a dict of U_iso per element or a sequence of U_iso per site")
    for u, i in zip(out, owner):
        if not (math.isfinite(u) and u > 0):
            raise ValueError(f"uiso of site {i} ({sites[i][0][0]}) is {u}; it must be a positive number")
    return out


def _qmax_filter(curves: FloatArray, rstep: float, qmax: float, n: int) -> FloatArray:
    """Cuts the curves (rows over rmin + k rstep) off at Q = qmax: Fourier
    transform over twice the next power of two points, zero every Q above
    qmax, transform back, keep the first n points."""
    n_fft = 1 << max(1, (2 * curves.shape[-1] - 1).bit_length())
    spectrum = np.fft.rfft(curves, n=n_fft, axis=-1)
    q = 2.0 * math.pi * np.arange(spectrum.shape[-1]) / (n_fft * rstep)
    spectrum[..., q > qmax] = 0.0
    return np.fft.irfft(spectrum, n=n_fft, axis=-1)[..., :n]


def pdf(structure: Structure, rmin: float = 0.0, rmax: float = 30.0, rstep: float = 0.01, *,
        scattering: Scattering = "xray", qmax: float | None = None, qdamp: float = 0.0, qbroad: float = 0.0,
        delta1: float = 0.0, delta2: float = 0.0, uiso: Uiso | None = None,
        pairs: PairWeighting = "physical", n_threads: int = 0) -> PDF:
    """G(r) of a periodic structure from its displacement parameters.

    Grid r = rmin + k rstep up to rmax (Å). ``scattering``: "xray" (atomic
    numbers, the form factors at Q = 0), "neutron" (coherent scattering
    lengths) or a dict of weights per element. ``qmax`` (Å⁻¹): the curve is
    cut off there, with the termination ripples a measurement shows; it is
    computed out to rmax + 12 pi / qmax, transformed over twice the next
    power of two points and cut at the Q points above qmax. ``qdamp``
    (Å⁻¹): damping exp(-(qdamp r)² / 2) from the instrument's Q resolution;
    ``qbroad`` (Å⁻¹), ``delta1`` (Å), ``delta2`` (Å²): peak widths grow by
    sqrt(1 - delta1/d - delta2/d² + qbroad² d²) (correlated motion and
    resolution broadening). Displacement parameters come from the structure
    (a CIF's U or B); ``uiso`` (a dict per element or one value per site)
    replaces them. ``pairs``: "independent" weights every pair by the
    product of its occupancies, as PDFfit2 does; "physical" (the default)
    gives the pairs of partial positions that ``molvane.exclusions`` decides
    their physical weights, as ``molvane.rdf`` does: exclusive pairs add no
    peak, pairs of one disorder group weigh min(o_i, o_j) (each species pair
    its share (p_a / o_i)(p_b / o_j)), and a ReadWarning counts them; a
    structure without such pairs gives the same bits either way.
    ``n_threads``: 0 uses the shared pool; the result is the same bits on
    any number of threads.
    """
    values = {"rmin": rmin, "rmax": rmax, "rstep": rstep, "qdamp": qdamp, "qbroad": qbroad,
              "delta1": delta1, "delta2": delta2}
    for name, value in values.items():
        if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
            raise ValueError(f"{name} must be a finite number, not {value!r}")
    if rstep <= 0:
        raise ValueError("rstep must be positive")
    if rmin < 0:
        raise ValueError("rmin must not be negative")
    if rmax <= rmin:
        raise ValueError("rmax must be larger than rmin")
    if qdamp < 0:
        raise ValueError("qdamp must not be negative")
    if qmax is not None and not (isinstance(qmax, (int, float)) and math.isfinite(qmax) and qmax > 0):
        raise ValueError(f"qmax must be a positive number or None, not {qmax!r}")
    reach = _DEFAULTS["reach"] if check_pairs(pairs) == "physical" else None
    span = (rmax - rmin) / rstep
    extension = 0.0 if qmax is None else 12.0 * math.pi / (qmax * rstep)
    if span + extension + 1 > MAX_POINTS:
        raise ValueError(f"the grid would hold more than {MAX_POINTS} points; use a larger rstep or a smaller range")
    n = int(math.floor(span + 1e-9)) + 1
    n_ext = n + (0 if qmax is None else int(round(extension)))

    displacements = None if uiso is None else _site_uiso(structure, uiso)
    elements, raw, summary = structure._pdf_pairs(displacements, float(rmin), float(rstep), n_ext, float(delta1),
                                                  float(delta2), float(qbroad), n_threads, reach)
    warn_decisions(summary, "pdf")
    curves = np.frombuffer(raw, dtype=np.float64).reshape(-1, n_ext)
    weights = weights_of(scattering, elements)
    amount = structure.composition
    n_atoms = structure.n_atoms
    mean_b = sum(amount[e] * weights[e] for e in elements) / n_atoms
    norm = abs(mean_b) ** 2
    if norm == 0:
        raise ValueError("the mean scattering weight of the structure is zero")
    rho0 = n_atoms / structure.volume
    r_ext = rmin + rstep * np.arange(n_ext)
    inv_r = np.zeros_like(r_ext)
    np.divide(1.0, n_atoms * r_ext, out=inv_r, where=r_ext > 0)
    damping = np.exp(-0.5 * (qdamp * r_ext) ** 2)
    parts = np.empty_like(curves)
    keys: list[tuple[str, str]] = []
    row = 0
    for a_index, a in enumerate(elements):
        for b in elements[a_index:]:
            w = (weights[a] * np.conj(weights[b])).real
            share = (1.0 if a == b else 2.0) * amount[a] * amount[b] * w / norm / n_atoms ** 2
            parts[row] = (w / norm * curves[row] * inv_r - 4.0 * math.pi * rho0 * share * r_ext) * damping
            keys.append((a, b))
            row += 1
    if qmax is not None:
        parts = _qmax_filter(parts, rstep, qmax, n)
    parts = parts[:, :n]
    G = parts.sum(axis=0)
    params = {"scattering": scattering if isinstance(scattering, str) else "weights",
              "rmin": rmin, "rmax": float(rmin + rstep * (n - 1)), "rstep": rstep, "qmax": qmax, "qdamp": qdamp,
              "qbroad": qbroad, "delta1": delta1, "delta2": delta2, "pairs": pairs}
    return PDF(r_ext[:n], G, dict(zip(keys, parts)), rho0, params)
