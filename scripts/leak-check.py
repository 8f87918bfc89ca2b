#!/usr/bin/env python3
"""Calls every method and property of the extension many times (successful
calls and failing ones) and reports how resident memory grows.

    PYTHONPATH=BUILD/pkg python scripts/leak-check.py [-n 100000] [-k NAME]

Each case is warmed up (allocator pools, interned strings, the default
worker pool) before a first reading of the resident set; then it runs n times
and the growth is reported in total, per half (KiB) and, for the second half,
per call. A leak of even one small object per call shows up as tens of bytes
per call in both halves; flat growth is at most a one-off step of a few
hundred KiB (the allocator settling) whatever n is. Exits 1 when the second
half grows by more than --limit bytes per call.
"""

import argparse
import gc
import math
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

import molvane
from molvane import Structure, read_xyz_trajectory
from molvane._molvane import _structure

ROOT = Path(__file__).resolve().parents[1]
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


def build_cases(tmp):
    nacl_path = ROOT / "examples" / "NaCl.cif"
    ferro_path = ROOT / "examples" / "ferropericlase.cif"
    argon_path = ROOT / "examples" / "argon.xyz"
    nacl_text = nacl_path.read_text()
    poscar = ("Cr2O3\n1.0\n4.9 0 0\n-2.45 4.24 0\n0 0 13.4\nCr O\n2 3\nDirect\n"
              "0 0 0.35\n0 0 0.65\n0.3 0 0.25\n0 0.3 0.25\n0.7 0.7 0.25\n")
    xyz = '2\nLattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3\nFe 0 0 0\nO 2 2 2\n'
    poscar_path = tmp / "POSCAR"
    poscar_path.write_text(poscar)
    xyz_path = tmp / "one.xyz"
    xyz_path.write_text(xyz)
    missing = str(tmp / "missing.cif")

    nacl = Structure.from_cif(str(nacl_path))
    ferro = Structure.from_cif(str(ferro_path))
    small = Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0], [0.5, 0.5, 0.5]],
                      [{"Fe": 1.0}, {"O": 0.5, "Mg": 0.25}])
    matrix = [[4, 0, 0], [0, 4, 0], [0, 0, 4]]

    return {
        # constructor and properties
        "Structure()": lambda: Structure(matrix, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 1.0}, {"O": 0.5}]),
        "Structure() ValueError": lambda: expect(ValueError, Structure, matrix, [[0, 0, 0]], [{"Fe": 2.0}]),
        "Structure() TypeError": lambda: expect(TypeError, Structure, matrix, [[0, 0, "x"]], [{"Fe": 1.0}]),
        "Structure() species TypeError": lambda: expect(TypeError, Structure, matrix, [[0, 0, 0]], [{1: 1.0}]),
        "properties": lambda: (small.n_sites, small.n_atoms, small.is_ordered, small.volume, small.elements,
                               small.composition, small.lattice_matrix, small.frac_coords, small.cart_coords,
                               small.species),
        "_site_species": lambda: ferro._site_species,
        "pickle": lambda: pickle.loads(pickle.dumps(ferro)),
        "_structure errors": lambda: (expect(TypeError, _structure, matrix, [[0, 0, 0]], [[("Fe",)]], True),
                                      expect(ValueError, _structure, matrix, [[0, 0, 0]], [[]], True)),
        "repr": lambda: repr(ferro),
        "make_supercell": lambda: small.make_supercell(2, 1, 1),
        "make_supercell errors": lambda: (expect(ValueError, small.make_supercell, 0, 1, 1),
                                          expect(OverflowError, small.make_supercell, -1, 1, 1),
                                          expect(TypeError, small.make_supercell, 1.5, 1, 1)),
        # readers
        "from_cif": lambda: Structure.from_cif(str(nacl_path)),
        "from_cif OSError": lambda: expect(OSError, Structure.from_cif, missing),
        "from_cif_str": lambda: Structure.from_cif_str(nacl_text),
        "from_cif_str ValueError": lambda: expect(ValueError, Structure.from_cif_str, "data_x\n_cell_length_a 1\n"),
        "from_str poscar": lambda: Structure.from_str(poscar, "poscar"),
        "from_str xyz": lambda: Structure.from_str(xyz, "xyz"),
        "from_str errors": lambda: (expect(ValueError, Structure.from_str, "x", "pdb"),
                                    expect(ValueError, Structure.from_str, "1\n\nFe 0 0\n", "xyz"),
                                    expect(TypeError, Structure.from_str, b"x", "cif")),
        "from_poscar": lambda: Structure.from_poscar(str(poscar_path)),
        "from_xyz": lambda: Structure.from_xyz(str(xyz_path)),
        "from_xyz OSError": lambda: expect(OSError, Structure.from_xyz, missing),
        "read_xyz_trajectory": lambda: read_xyz_trajectory(str(argon_path), every=2, start=1, stop=50,
                                                           cell=[[9, 0, 0], [0, 9, 0], [0, 0, 9]]),
        "read_xyz_trajectory errors": lambda: (expect(ValueError, read_xyz_trajectory, missing),
                                               expect(ValueError, read_xyz_trajectory, str(argon_path), every=0),
                                               expect(ValueError, read_xyz_trajectory, str(argon_path),
                                                      cell=[[1, 0], [0, 1]])),
        # RDF
        "prdf default pool": lambda: small.prdf(5.0, 0.1),
        "prdf dedicated pool": lambda: small.prdf(5.0, 0.1, 2),
        "prdf ValueError": lambda: expect(ValueError, small.prdf, -1.0),
        "total_rdf": lambda: nacl.total_rdf(6.0, 0.1, 0),
        "available_threads": lambda: Structure.available_threads(),
        "rdf_average": lambda: molvane.rdf_average([small, small], cutoff=4.0, bin_size=0.2),
        # disorder
        "expand_occupancies": lambda: ferro.expand_occupancies(max_sites=300, seed=3),
        "expand_occupancies ValueError": lambda: expect(ValueError, ferro.expand_occupancies, max_sites=1),
        "disorder_summary": lambda: ferro.disorder_summary(),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=100_000, help="calls per case (default 100000)")
    parser.add_argument("-k", action="append", default=[], help="only cases whose name contains this")
    parser.add_argument("--limit", type=float, default=2.0, help="bytes per call counted as a leak (default 2)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        cases = build_cases(Path(tmp))
        selected = [k for k in cases if not args.k or any(s in k for s in args.k)]
        warmup = max(1, min(20000, args.n // 5))
        print(f"{'case':32} {'calls':>8} {'seconds':>8} {'growth KiB':>11} {'1st half':>10} {'2nd half':>10}"
              f" {'bytes/call':>11}")
        worst = 0.0
        for name in selected:
            fn = cases[name]
            for _ in range(warmup):
                fn()
            gc.collect()
            before = rss_bytes()
            start = time.perf_counter()
            half = args.n // 2
            for _ in range(half):
                fn()
            gc.collect()
            middle = rss_bytes()
            for _ in range(args.n - half):
                fn()
            elapsed = time.perf_counter() - start
            gc.collect()
            after = rss_bytes()
            growth = after - before
            # A leak grows in both halves; the allocator settling (arenas,
            # fragmentation) gives a one-off step. The verdict uses the
            # second half.
            late = (after - middle) / max(1, args.n - half)
            worst = max(worst, late)
            flag = "  LEAK?" if late > args.limit else ""
            print(f"{name:32} {args.n:8d} {elapsed:8.1f} {growth / 1024:11.1f} {(middle - before) / 1024:10.1f}"
                  f" {(after - middle) / 1024:10.1f} {late:11.3f}{flag}", flush=True)
    print(f"resident set at exit: {rss_bytes() / 2**20:.1f} MiB")
    return 1 if worst > args.limit else 0


if __name__ == "__main__":
    sys.exit(main())
