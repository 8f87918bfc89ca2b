"""Throughput of molvane's RDF against freud and ASE on the same structures.

    python benchmarks/bench_rdf.py            # full run (a minute or two)
    python benchmarks/bench_rdf.py --quick    # smaller structures, fewer repeats

Peers are optional (``pip install freud-analysis ase``); a missing one is shown
as "-". Throughput is in ordered pair distances within the cutoff per second
(the number of (centre, neighbour image) pairs the RDF counts, divided by the
best wall time of several repeats). Timings are wall-clock on a possibly
shared machine: other load makes single numbers noisy, so compare ratios from
one run.
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

CUTOFF = 10.0
BIN = 0.1
CORPUS = Path(os.environ.get("MOLVANE_CORPUS", Path(__file__).resolve().parents[2] / "shared" / "corpus"))

try:
    import freud
except ImportError:  # optional peer
    freud = None
try:
    from ase import Atoms
    from ase.geometry.rdf import get_rdf as ase_get_rdf
except ImportError:  # optional peer
    Atoms = None


def rocksalt(n):
    """MgO rock salt, 8 sites per conventional cell, n x n x n cells."""
    a = 4.212
    mg = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    o = [[0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]
    base = Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], mg + o, [{"Mg": 1.0}] * 4 + [{"O": 1.0}] * 4)
    return base.make_supercell(n, n, n)


def disordered(n):
    """A perovskite with three species sharing the B site (from the corpus if present)."""
    path = CORPUS / "cif" / "1501508.cif"
    try:
        base = Structure.from_cif(str(path))
    except (OSError, ValueError):
        a = 4.0244
        base = Structure(
            [[a, 0, 0], [0, a, 0], [0, 0, a]],
            [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]],
            [{"Pb": 1.0}, {"Mg": 0.25, "Nb": 0.5, "Ti": 0.25}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}],
        )
    return base.make_supercell(n, n, n)


def pair_count(s, cutoff):
    """Ordered pairs of sites (all images) within the cutoff, whatever the occupancies."""
    plain = Structure(s.lattice_matrix, s.frac_coords, [{"X": 1.0}] * s.n_sites)
    r, total = plain.total_rdf(cutoff=cutoff, bin_size=cutoff)
    shell = cutoff**3 * 4.1887902047863905
    return int(round(total[0] * shell * s.n_sites))


def best_time(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def freud_runner(s, cutoff, threads):
    m = np.array(s.lattice_matrix)
    if freud is None or not np.allclose(m, np.diag(np.diag(m))):
        return None
    lengths = np.diag(m)
    if cutoff >= lengths.min() / 2:  # freud needs the minimum image convention
        return None
    box = freud.box.Box(*lengths)
    points = np.array(s.cart_coords) % lengths - lengths / 2
    rdf = freud.density.RDF(bins=int(round(cutoff / BIN)), r_max=cutoff)

    def run():
        freud.parallel.set_num_threads(threads)
        rdf.compute((box, points), reset=True)

    return run


def ase_runner(s, cutoff):
    if Atoms is None:
        return None
    m = np.array(s.lattice_matrix)
    symbols = [max(d, key=d.get) for d in s.species]
    atoms = Atoms(symbols=symbols, cell=m, scaled_positions=np.array(s.frac_coords) % 1.0, pbc=True)
    widths = [abs(np.linalg.det(m)) / np.linalg.norm(np.cross(m[(k + 1) % 3], m[(k + 2) % 3])) for k in range(3)]
    if cutoff > min(widths) / 2:
        return None
    return lambda: ase_get_rdf(atoms, cutoff, int(round(cutoff / BIN)))


def fmt_rate(x):
    return "-" if x is None else f"{x / 1e6:9.1f}"


def fmt_ratio(a, b):
    return "-" if a is None or b is None else f"{a / b:7.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller structures and fewer repeats")
    parser.add_argument("--threads", type=int, default=2, help="threads for the parallel columns (default 2)")
    args = parser.parse_args()
    repeats = 3 if args.quick else 5
    nt = args.threads

    cases = [
        ("MgO 1k", rocksalt(5), CUTOFF, True),
        ("MgO 10k", rocksalt(11), CUTOFF, not args.quick),
        ("MgO small cell, cutoff 3x", rocksalt(1), 12.0, False),
        ("PMN-PT disordered 5k", disordered(10), CUTOFF, False),
    ]
    if not args.quick:
        cases.insert(2, ("MgO 100k", rocksalt(23), CUTOFF, False))
    else:
        cases[1] = ("MgO 10k", rocksalt(11), CUTOFF, False)

    print(f"molvane {molvane.__version__}; freud {getattr(freud, '__version__', '-')}; "
          f"ASE {'yes' if Atoms is not None else '-'}; default pool {Structure.available_threads()} threads; "
          f"{os.cpu_count()} CPUs")
    print("Rates in millions of pair distances per second (best of", repeats, "runs).")
    header = (f"{'structure':28} {'sites':>7} {'pairs':>11} | {'mv 1t':>9} {'mv prdf':>9} {'mv total':>9} "
              f"{'freud':>9} {'ASE':>9} | {'total/fr':>8} {'prdf/fr':>8} {'mv/ASE':>8} {f'{nt}t/1t':>7}")
    print(header)
    print("-" * len(header))
    for name, s, cutoff, with_ase in cases:
        pairs = pair_count(s, cutoff)
        rate = lambda t: pairs / t
        s.prdf(cutoff=cutoff, bin_size=BIN, n_threads=nt)  # warm-up
        t1 = best_time(lambda: s.total_rdf(cutoff=cutoff, bin_size=BIN, n_threads=1), repeats)
        tp = best_time(lambda: s.prdf(cutoff=cutoff, bin_size=BIN, n_threads=nt), repeats)
        tt = best_time(lambda: s.total_rdf(cutoff=cutoff, bin_size=BIN, n_threads=nt), repeats)
        run = freud_runner(s, cutoff, nt)
        tf = None
        if run is not None:
            run()
            tf = best_time(run, repeats)
        run = ase_runner(s, cutoff) if with_ase else None
        ta = best_time(run, 1) if run is not None else None
        mv1, mvp, mvt = rate(t1), rate(tp), rate(tt)
        fr = rate(tf) if tf else None
        ase_rate = rate(ta) if ta else None
        print(f"{name:28} {s.n_sites:7d} {pairs:11d} | {fmt_rate(mv1)} {fmt_rate(mvp)} {fmt_rate(mvt)} "
              f"{fmt_rate(fr)} {fmt_rate(ase_rate)} | {fmt_ratio(mvt, fr)} {fmt_ratio(mvp, fr)} "
              f"{fmt_ratio(mvt, ase_rate)} {fmt_ratio(mvt, mv1):>7}")
        sys.stdout.flush()
    print("mv 1t: molvane total_rdf on 1 thread; mv prdf / mv total: molvane on", nt,
          "threads (prdf computes every partial); freud: freud.density.RDF total on", nt,
          "threads; ASE: ase.geometry.rdf.get_rdf (single-threaded). '-': peer missing or the cell is "
          "too small for its minimum-image search.")


if __name__ == "__main__":
    main()
