"""Time molvane's RDF against OVITO, freud, vesin and ASE on the same structures.

    python benchmarks/bench_rdf.py              # full run (a few minutes)
    python benchmarks/bench_rdf.py --quick      # smaller structures, fewer repeats
    python benchmarks/bench_rdf.py --threads 4  # threads for the parallel columns

Peers are optional (``pip install 'molvane[bench]'``); a missing one, or one
that cannot handle the structure (freud and ASE need cells at least twice the
cutoff), is shown as "-". Every figure is the best wall time of several
repeats, in milliseconds; the ratio columns divide a peer's time by
molvane's prdf on the same number of threads, measured in the same run.
Timings on a shared machine are noisy: the load average is printed before and
after, and the ratios from one run are what to compare.

Columns: prdf = every partial and the total (molvane); total = total_rdf;
OVITO = CoordinationAnalysisModifier with partial=True / False; freud =
freud.density.RDF, one compute per ordered element pair for the partials, one
for the total; vesin = a half neighbour list with distances, then one
histogram of all element pairs with NumPy; ASE = ase.geometry.rdf.get_rdf
(total, one thread). Peers see each site as its majority species.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

import molvane
from molvane import Structure

CORPUS = Path(__file__).resolve().parents[1] / "tests" / "data" / "corpus"


def rattled_fcc(na, nb, nc, a=4.05, sigma=0.05, seed=1):
    """A random binary (Cu, Au) fcc, na x nb x nc conventional cells, each atom
    displaced by a normal deviate of sigma angstrom along every axis."""
    rng = np.random.default_rng(seed)
    base = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    grid = np.array([(i, j, k) for i in range(na) for j in range(nb) for k in range(nc)], dtype=float)
    counts = np.array([na, nb, nc], dtype=float)
    frac = ((grid[:, None, :] + base[None]) / counts).reshape(-1, 3)
    frac += rng.normal(0.0, sigma, frac.shape) / (a * counts)
    species = [{"Cu": 1.0} if x else {"Au": 1.0} for x in rng.random(len(frac)) < 0.5]
    return Structure(np.diag(a * counts).tolist(), frac.tolist(), species)


def rocksalt(n):
    """MgO rock salt, 8 sites per conventional cell, n x n x n cells."""
    a = 4.212
    mg = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    o = [[0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]
    base = Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], mg + o, [{"Mg": 1.0}] * 4 + [{"O": 1.0}] * 4)
    return base.make_supercell(n, n, n)


def disordered(n):
    """A perovskite with three species sharing the B site (from the corpus if present)."""
    try:
        base = Structure.from_cif(str(CORPUS / "cif" / "1501508.cif"))
    except (OSError, ValueError):
        a = 4.0244
        base = Structure(
            [[a, 0, 0], [0, a, 0], [0, 0, a]],
            [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]],
            [{"Pb": 1.0}, {"Mg": 0.25, "Nb": 0.5, "Ti": 0.25}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}],
        )
    return base.make_supercell(n, n, n)


def best_ms(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best * 1e3


class Peers:
    """The structure as the peers see it: Cartesian positions in the cell,
    one type per site (its majority species)."""

    def __init__(self, s):
        self.m = np.array(s.lattice_matrix, dtype=float)
        self.frac = np.array(s.frac_coords, dtype=float) % 1.0
        self.pos = self.frac @ self.m
        symbols = [max(d, key=d.get) for d in s.species]
        self.elements = sorted(set(symbols))
        self.types = np.array([self.elements.index(x) for x in symbols])
        self.symbols = symbols
        self.widths = [abs(np.linalg.det(self.m)) / np.linalg.norm(np.cross(self.m[(k + 1) % 3], self.m[(k + 2) % 3]))
                       for k in range(3)]


def ovito_runner(p, cutoff, nbins, partial):
    try:
        from ovito.data import DataCollection, ParticleType
        from ovito.modifiers import CoordinationAnalysisModifier
    except ImportError:
        return None
    data = DataCollection()
    data.create_cell(np.vstack([p.m, np.zeros(3)]).T, pbc=(True, True, True))
    particles = data.create_particles(count=len(p.pos))
    particles.create_property("Position", data=p.pos)
    types = particles.create_property("Particle Type")
    for k, name in enumerate(p.elements):
        types.types.append(ParticleType(id=k + 1, name=name))
    types[...] = p.types + 1
    modifier = CoordinationAnalysisModifier(cutoff=cutoff, number_of_bins=nbins, partial=partial)

    def run():
        copy = data.clone()
        copy.apply(modifier)
        return copy.tables["coordination-rdf"]

    return run


def freud_runner(p, cutoff, nbins, threads, partial):
    try:
        import freud
    except ImportError:
        return None
    if not np.allclose(p.m, np.diag(np.diag(p.m))) or cutoff >= min(p.widths) / 2:
        return None  # freud's boxes here are orthorhombic, with the minimum image convention
    lengths = np.diag(p.m)
    box = freud.box.Box(*lengths)
    points = p.pos - lengths / 2
    groups = [points[p.types == k] for k in range(len(p.elements))] if partial else [points]
    rdf = freud.density.RDF(bins=nbins, r_max=cutoff)

    def run():
        freud.parallel.set_num_threads(threads)
        for centres in groups:
            for neighbours in groups:
                rdf.compute((box, neighbours), query_points=centres if partial else None, reset=True)

    return run


def vesin_runner(p, cutoff, nbins):
    try:
        from vesin import NeighborList
    except ImportError:
        return None
    nl = NeighborList(cutoff=cutoff, full_list=False)
    nel = len(p.elements)

    def run():
        i, j, d = nl.compute(points=p.pos, box=p.m, periodic=True, quantities="ijd")
        k = np.minimum((d * (nbins / cutoff)).astype(np.int64), nbins - 1)
        ti, tj = p.types[i], p.types[j]
        counts = np.bincount((ti * nel + tj) * nbins + k, minlength=nel * nel * nbins)
        counts += np.bincount((tj * nel + ti) * nbins + k, minlength=nel * nel * nbins)
        return counts

    return run


def ase_runner(p, cutoff, nbins):
    try:
        from ase import Atoms
        from ase.geometry.rdf import get_rdf
    except ImportError:
        return None
    if cutoff > min(p.widths) / 2 or len(p.pos) > 2000:
        return None  # ASE needs the minimum image and holds all N^2 distances
    atoms = Atoms(symbols=p.symbols, cell=p.m, scaled_positions=p.frac, pbc=True)
    return lambda: get_rdf(atoms, cutoff, nbins)


def timed(runner, repeats):
    if runner is None:
        return None
    try:
        runner()  # warm-up
    except Exception:  # a peer refusing this structure
        return None
    return best_ms(runner, repeats)


def fmt_ms(x):
    return f"{'-':>9}" if x is None else f"{x:9.2f}"


def fmt_ratio(a, b):
    return f"{'-':>7}" if a is None or b is None else f"{a / b:7.2f}"


def call_overhead_us(repeats):
    """prdf on a one-site cell with the default pool: the cost of a call."""
    one = Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0, 0, 0]], [{"X": 1.0}])
    calls = 200
    return best_ms(lambda: [one.prdf(2.0, 0.1) for _ in range(calls)], repeats * 4) * 1e3 / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller structures and fewer repeats")
    parser.add_argument("--threads", type=int, default=2, help="threads for the parallel columns (default 2)")
    args = parser.parse_args()
    nt = args.threads
    os.environ["OVITO_THREAD_COUNT"] = str(nt)  # read when OVITO starts
    repeats = 3 if args.quick else 7

    cases = [
        ("fcc CuAu rattled 16k", lambda: rattled_fcc(16, 16, 16), 5.0, 0.05),
        ("fcc CuAu rattled 100k", lambda: rattled_fcc(25, 25, 40), 5.0, 0.05),
        ("MgO 1k", lambda: rocksalt(5), 10.0, 0.1),
        ("MgO 10k", lambda: rocksalt(11), 10.0, 0.1),
        ("MgO 97k", lambda: rocksalt(23), 10.0, 0.1),
        ("MgO small cell, cutoff 3x", lambda: rocksalt(1), 12.0, 0.1),
        ("PMN-PT disordered 5k", lambda: disordered(10), 10.0, 0.1),
    ]
    if args.quick:
        cases = [c for c in cases if c[0] in ("fcc CuAu rattled 16k", "MgO 1k", "MgO small cell, cutoff 3x")]

    print(f"molvane {molvane.__version__}; default pool {Structure.available_threads()} threads; "
          f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f}")
    print(f"Best of {repeats} runs, milliseconds; {nt} threads unless marked 1t; ratios = peer / prdf {nt}t.")
    header = (f"{'structure':27} {'sites':>7} | {'prdf 1t':>9} {'prdf':>9} {'total':>9} | {'OVITO p':>9} "
              f"{'OVITO t':>9} {'freud p':>9} {'freud t':>9} {'vesin 1t':>9} {'ASE 1t':>9} | {'OVITO p':>7} "
              f"{'freud p':>7} {'vesin':>7} {f'{nt}t/1t':>7}")
    print(header)
    print("-" * len(header))
    for name, make, cutoff, bin_size in cases:
        s = make()
        nbins = int(round(cutoff / bin_size))
        s.prdf(cutoff, bin_size, nt)  # warm-up
        t1 = best_ms(lambda: s.prdf(cutoff, bin_size, 1), repeats)
        tp = best_ms(lambda: s.prdf(cutoff, bin_size, nt), repeats)
        tt = best_ms(lambda: s.total_rdf(cutoff, bin_size, nt), repeats)
        p = Peers(s)
        ov_p = timed(ovito_runner(p, cutoff, nbins, True), repeats)
        ov_t = timed(ovito_runner(p, cutoff, nbins, False), repeats)
        fr_p = timed(freud_runner(p, cutoff, nbins, nt, True), repeats)
        fr_t = timed(freud_runner(p, cutoff, nbins, nt, False), repeats)
        ve = timed(vesin_runner(p, cutoff, nbins), repeats)
        ase = timed(ase_runner(p, cutoff, nbins), 1)
        print(f"{name:27} {s.n_sites:7d} | {fmt_ms(t1)} {fmt_ms(tp)} {fmt_ms(tt)} | {fmt_ms(ov_p)} {fmt_ms(ov_t)} "
              f"{fmt_ms(fr_p)} {fmt_ms(fr_t)} {fmt_ms(ve)} {fmt_ms(ase)} | {fmt_ratio(ov_p, tp)} "
              f"{fmt_ratio(fr_p, tp)} {fmt_ratio(ve, tp)} {fmt_ratio(t1, tp)}")
        sys.stdout.flush()
    print(f"prdf call on a 1-site cell (cutoff 2, default pool): {call_overhead_us(repeats):.1f} us")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
