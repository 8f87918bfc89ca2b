"""What the physical weighting of partial positions costs next to the RDF.

    python benchmarks/bench_disorder.py            # 106,480 sites
    python benchmarks/bench_disorder.py --quick    # 13,310 sites

The structure: examples/disordered_perchlorate.cif (Na and a ClO4 anion
disordered over two orientations, groups 1 and 2 of one assembly, in a
6.5 Å cell) repeated n x n x n times. Prints the best of several runs of
``molvane.rdf`` with ``pairs="independent"`` (the engine's histogram alone)
and ``pairs="physical"`` (the histogram plus the collected pairs, their
decisions and the correction), run in turn, cutoff 10 Å and bins of 0.1 Å:
process CPU time on one thread, which a shared machine disturbs least, and
wall time on the default threads; and the median excess of the paired runs.
Compare the columns of one run.
"""

from __future__ import annotations

import argparse
import functools
import os
import statistics
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import molvane

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "disordered_perchlorate.cif"


def paired(fns: dict[str, Callable[[], object]], clock: Callable[[], float],
           repeats: int) -> tuple[dict[str, float], float]:
    """The best time of each function in ms, the functions run in turn so
    that a shared machine's changing load falls on all of them alike, and the
    median ratio of the second to the first over the rounds."""
    times: dict[str, list[float]] = {name: [] for name in fns}
    for _ in range(repeats):
        for name, fn in fns.items():
            start = clock()
            fn()
            times[name].append(clock() - start)
    first, second = times.values()
    return {name: min(t) * 1000 for name, t in times.items()}, statistics.median(b / a for a, b in zip(first, second))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n = 11 if args.quick else 22
    structure = molvane.read(EXAMPLE).make_supercell(n, n, n)
    repeats = 5 if args.quick else 15
    print(f"{structure.n_sites:,} sites, cutoff 10 A, bin 0.1 A, load average {os.getloadavg()[0]:.1f}")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        print(f"{len(molvane.exclusions(structure)):,} pairs decided within the reach")
        for label, threads, clock in (("1 thread, CPU ms", 1, time.process_time),
                                      ("default threads, wall ms", 0, time.perf_counter)):
            runs, ratio = paired({pairs: functools.partial(molvane.rdf, structure, 10.0, 0.1, threads, pairs=pairs)
                                  for pairs in ("independent", "physical")}, clock, repeats)
            extra = runs["physical"] - runs["independent"]
            print(f"{label:>25}: independent {runs['independent']:8.1f}, physical {runs['physical']:8.1f}"
                  f"  (+{extra:.1f}, {100 * extra / runs['independent']:.1f}% of the RDF;"
                  f" median of the paired runs {100 * (ratio - 1):.1f}%)")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
