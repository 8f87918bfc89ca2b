"""CIF reading speed: molvane against gemmi, pymatgen and ASE.

Reads every CIF of the test corpus and a synthetic large file (a few hundred
atom-site rows under the 192 operations of Fm-3m) twice: packed into a 24 A
cube, forty times denser than matter, and spread at the density of matter.
Times each reader in the same run; prints files per second and the ratios
to molvane.

    python benchmarks/bench_cif.py [--quick] [--corpus DIR] [--rows N]
"""
import argparse
import itertools
import random
import sys
import tempfile
import time
import warnings
from pathlib import Path

import molvane

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_CORPUS = ROOT / "tests" / "data" / "corpus" / "cif"


def read_molvane(path):
    return molvane.Structure.from_cif(str(path)).n_sites


def read_gemmi(path):
    import gemmi
    return len(gemmi.read_small_structure(str(path)).get_all_unit_cell_sites())


def read_pymatgen(path):
    from pymatgen.io.cif import CifParser
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return len(CifParser(str(path)).parse_structures(primitive=False)[0])


def read_ase(path):
    import ase.io
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return len(ase.io.read(str(path), format="cif"))


READERS = {"molvane": read_molvane, "gemmi": read_gemmi, "pymatgen": read_pymatgen, "ase": read_ase}


def available_readers():
    out = {"molvane": read_molvane}
    for name, module in (("gemmi", "gemmi"), ("pymatgen", "pymatgen.io.cif"), ("ase", "ase.io")):
        try:
            __import__(module)
            out[name] = READERS[name]
        except ImportError:
            print(f"({name} not installed: skipped)")
    return out


def fm3m_operations():
    """The 192 operations of Fm-3m: 48 signed axis permutations x 4 centrings."""
    ops = []
    for centring in ("0,0,0", "0,1/2,1/2", "1/2,0,1/2", "1/2,1/2,0"):
        shift = centring.split(",")
        for perm in itertools.permutations("xyz"):
            for signs in itertools.product("+-", repeat=3):
                parts = [f"{s}{v}" + ("" if t == "0" else f"+{t}") for s, v, t in zip(signs, perm, shift)]
                ops.append(",".join(parts))
    return ops


def synthetic_cif(rows, edge=24.0, seed=1):
    rng = random.Random(seed)
    lines = ["data_synthetic", f"_cell_length_a {edge:.4f}", f"_cell_length_b {edge:.4f}",
             f"_cell_length_c {edge:.4f}",
             "_cell_angle_alpha 90", "_cell_angle_beta 90", "_cell_angle_gamma 90",
             "_symmetry_space_group_name_H-M 'F m -3 m'", "loop_", "_symmetry_equiv_pos_as_xyz"]
    lines += [f"'{op}'" for op in fm3m_operations()]
    lines += ["loop_", "_atom_site_label", "_atom_site_type_symbol", "_atom_site_fract_x",
              "_atom_site_fract_y", "_atom_site_fract_z", "_atom_site_occupancy"]
    elements = ["O", "Si", "Al", "Mg", "Fe"]
    for i in range(rows):
        el = elements[i % len(elements)]
        # General positions inside the asymmetric unit 0 <= z <= y <= x <= 1/4.
        x, y, z = sorted((rng.uniform(0.01, 0.24) for _ in range(3)), reverse=True)
        lines.append(f"{el}{i} {el} {x:.5f} {y:.5f} {z:.5f} 1")
    return "\n".join(lines) + "\n"


def time_file(reader, path, repeat):
    """Best time of `repeat` reads, or None when the reader fails on the file."""
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        try:
            reader(path)
        except Exception:
            return None
        t = time.perf_counter() - start
        best = t if best is None else min(best, t)
    return best


def report(title, times, names):
    print(f"\n{title}")
    common = [f for f in times["molvane"] if all(times[n].get(f) is not None for n in names)]
    base = sum(times["molvane"][f] for f in common)
    print(f"  {len(common)} files read by every reader")
    print(f"  {'reader':<10} {'files read':>10} {'files/s':>12} {'time (ms)':>11} {'x molvane':>10}")
    for n in names:
        ok = sum(1 for t in times[n].values() if t is not None)
        total = sum(times[n][f] for f in common)
        rate = len(common) / total if total else float("inf")
        print(f"  {n:<10} {ok:>10} {rate:>12.1f} {total * 1e3:>11.2f} {total / base:>10.1f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="one timing per file, smaller synthetic file")
    ap.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    ap.add_argument("--rows", type=int, default=None, help="atom-site rows of the synthetic file")
    args = ap.parse_args()
    repeat = 1 if args.quick else 5
    rows = args.rows or (100 if args.quick else 300)

    readers = available_readers()
    names = list(readers)
    files = sorted(args.corpus.glob("*.cif"))
    if not files:
        sys.exit(f"no CIF files in {args.corpus}")

    times = {n: {} for n in names}
    for f in files:
        for n in names:
            times[n][f.name] = time_file(readers[n], f, repeat)
    report(f"Corpus: {len(files)} files from {args.corpus} (best of {repeat})", times, names)

    # The 24 A cube packs the images forty times denser than matter, so the
    # too-close check after the expansion (which gemmi does not make) meets
    # millions of pairs; the second file spreads the same rows at the density
    # of a silicate (0.08 atoms per cubic angstrom).
    matter_edge = (rows * 192 / 0.08) ** (1 / 3)
    for edge, what in ((24.0, "a 24 A cube, 40x denser than matter"),
                       (matter_edge, f"a {matter_edge:.0f} A cube, the density of matter")):
        synthetic_report(readers, names, rows, edge, what, repeat)


def synthetic_report(readers, names, rows, edge, what, repeat):
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "synthetic.cif"
        path.write_text(synthetic_cif(rows, edge))
        print(f"\nSynthetic Fm-3m file: {rows} atom-site rows x 192 operations in {what}")
        base = None
        for n in names:
            t = time_file(readers[n], path, 1 if n in ("pymatgen", "ase") else repeat)
            try:
                count = readers[n](path) if t is not None and n != "pymatgen" else None
            except Exception:
                count = None
            if t is None:
                print(f"  {n:<10} failed")
                continue
            base = t if n == "molvane" else base
            sites = "" if count is None else f"  ({count} sites)"
            print(f"  {n:<10} {t * 1e3:10.1f} ms  x{t / base:8.1f}{sites}")

if __name__ == "__main__":
    main()
