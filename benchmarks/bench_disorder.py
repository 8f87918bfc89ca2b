"""What the physical weighting of partial positions costs next to the RDF.

    python benchmarks/bench_disorder.py            # 106,480 sites
    python benchmarks/bench_disorder.py --quick    # 13,310 sites

The structure: examples/disordered_perchlorate.cif (Na and a ClO4 anion
disordered over two orientations, groups 1 and 2 of one assembly, in a
6.5 Å cell) repeated n x n x n times. Prints the best of several runs of
``molvane.rdf`` with ``pairs="independent"`` (the engine's histogram alone)
and ``pairs="physical"`` (the histogram plus the collected pairs, their
decisions and the correction), cutoff 10 Å and bins of 0.1 Å: process CPU
time on one thread, which a shared machine disturbs least, and wall time on
the default threads. Compare the two columns of one run.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import molvane

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "disordered_perchlorate.cif"


def best(fn: Callable[[], object], clock: Callable[[], float], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = clock()
        fn()
        times.append(clock() - start)
    return min(times) * 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n = 11 if args.quick else 22
    structure = molvane.read(EXAMPLE).make_supercell(n, n, n)
    repeats = 3 if args.quick else 7
    print(f"{structure.n_sites:,} sites, cutoff 10 A, bin 0.1 A, load average {os.getloadavg()[0]:.1f}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        print(f"{len(molvane.exclusions(structure)):,} pairs decided within the reach")
        for label, threads, clock in (("1 thread, CPU ms", 1, time.process_time), ("default threads, wall ms", 0,
                                                                                    time.perf_counter)):
            runs = {pairs: best(lambda: molvane.rdf(structure, 10.0, 0.1, threads, pairs=pairs), clock, repeats)
                    for pairs in ("independent", "physical")}
            extra = runs["physical"] - runs["independent"]
            print(f"{label:>25}: independent {runs['independent']:8.1f}, physical {runs['physical']:8.1f}"
                  f"  (+{extra:.1f}, {100 * extra / runs['independent']:.1f}% of the RDF)")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
