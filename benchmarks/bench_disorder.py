"""What the physical weighting of partial positions costs next to the RDF.

    python benchmarks/bench_disorder.py            # about 104,000 sites
    python benchmarks/bench_disorder.py --quick    # about 13,000 sites

The structure: a 9 Å cell holding a tetrahedral ClO4 anion disordered over two
orientations (two groups of one assembly, 0.5 each), an ordered Na and a Na
split over two positions 1.65 Å apart (0.2 and 0.6), repeated n x n x n times.
Prints the best wall time of several runs of ``molvane.rdf`` with
``pairs="independent"`` (the engine's histogram alone) and ``pairs="physical"``
(the pair decisions and the correction on top), and the difference as a share
of the first. Timings on a shared machine are noisy: compare within one run.
"""

from __future__ import annotations

import argparse
import math
import os
import time
import warnings

import numpy as np

import molvane


def disordered_cell() -> molvane.Structure:
    centre = np.array([0.5, 0.5, 0.5])
    tetra = np.array([[1, 1, 1], [1, -1, -1], [-1, 1, -1], [-1, -1, 1]]) * (1.45 / math.sqrt(3) / 9)
    coords = [centre, [0, 0, 0], [0.25, 0, 0.5], [0.25 + 1.65 / 9, 0, 0.5]]
    species = [{"Cl": 1.0}, {"Na": 1.0}, {"Na": 0.2}, {"Na": 0.6}]
    tags = [("", "", 0), ("", "", 1), ("", "", 2), ("", "", 3)]
    for g, vectors in enumerate((tetra, -tetra)):
        for k, v in enumerate(vectors):
            coords.append(centre + v)
            species.append({"O": 0.5})
            tags.append(("A", str(g + 1), 4 + 4 * g + k))
    cell = molvane.Structure(np.eye(3) * 9, [list(map(float, c)) for c in coords], species)
    return cell._with_disorder(tags)


def best(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times) * 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--threads", type=int, default=0)
    args = parser.parse_args()
    n = 10 if args.quick else 20
    structure = disordered_cell().make_supercell(n, n, n)
    repeats = 3 if args.quick else 5
    print(f"{structure.n_sites:,} sites, cutoff 10 A, bin 0.1 A, load average {os.getloadavg()[0]:.1f}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        decided = len(molvane.exclusions(structure))
        independent = best(lambda: molvane.rdf(structure, 10.0, 0.1, args.threads, pairs="independent"), repeats)
        physical = best(lambda: molvane.rdf(structure, 10.0, 0.1, args.threads, pairs="physical"), repeats)
        decisions = best(lambda: structure._pair_decisions(3.0), repeats)
    print(f"{decided:,} decided pairs")
    print(f"rdf, independent: {independent:9.1f} ms")
    print(f"rdf, physical:    {physical:9.1f} ms  (+{physical - independent:.1f} ms, "
          f"{100 * (physical - independent) / independent:.1f}% of the RDF)")
    print(f"pair decisions alone, as lists: {decisions:9.1f} ms")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
