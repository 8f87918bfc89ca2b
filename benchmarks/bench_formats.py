"""Reading speed of the extended XYZ and POSCAR readers, beside ASE.

    python benchmarks/bench_formats.py [--quick] [--atoms N]

Generates one structure of N atoms (100,000 by default) as extended XYZ and as
POSCAR text in a temporary folder, reads each with molvane (from text and from
the file) and, when it is installed, with ASE. Reports the best of a few runs.
"""
import argparse
import os
import random
import tempfile
import time

from molvane import Structure


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def make_texts(n_atoms, seed=7):
    rng = random.Random(seed)
    edge = round((n_atoms * 12.0) ** (1 / 3), 3)  # about 12 cubic angstrom per atom
    symbols = ["Si", "O", "O", "Al"]
    atoms = [(symbols[k % 4], rng.uniform(0, edge), rng.uniform(0, edge), rng.uniform(0, edge))
             for k in range(n_atoms)]
    xyz = [str(n_atoms),
           f'Lattice="{edge} 0.0 0.0 0.0 {edge} 0.0 0.0 0.0 {edge}" Properties=species:S:1:pos:R:3 pbc="T T T"']
    xyz += [f"{s} {x:.8f} {y:.8f} {z:.8f}" for s, x, y, z in atoms]
    ordered = sorted(atoms, key=lambda a: a[0])
    counts = {s: sum(1 for a in atoms if a[0] == s) for s in sorted(set(symbols))}
    poscar = ["generated", "1.0", f"{edge} 0 0", f"0 {edge} 0", f"0 0 {edge}",
              " ".join(counts), " ".join(str(c) for c in counts.values()), "Cartesian"]
    poscar += [f"{x:.8f} {y:.8f} {z:.8f}" for _, x, y, z in ordered]
    return "\n".join(xyz) + "\n", "\n".join(poscar) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10,000 atoms, one run each")
    parser.add_argument("--atoms", type=int, default=None)
    args = parser.parse_args()
    n_atoms = args.atoms or (10_000 if args.quick else 100_000)
    repeats = 1 if args.quick else 5
    try:
        import ase.io
    except ImportError:
        ase = None

    xyz_text, poscar_text = make_texts(n_atoms)
    print(f"{n_atoms} atoms: extended XYZ {len(xyz_text) / 1e6:.1f} MB, POSCAR {len(poscar_text) / 1e6:.1f} MB; "
          f"best of {repeats}")
    with tempfile.TemporaryDirectory() as tmp:
        xyz_path = os.path.join(tmp, "big.xyz")
        poscar_path = os.path.join(tmp, "POSCAR")
        with open(xyz_path, "w") as f:
            f.write(xyz_text)
        with open(poscar_path, "w") as f:
            f.write(poscar_text)

        rows = []
        t, s = best_time(lambda: Structure.from_str(xyz_text, "xyz"), repeats)
        assert s.n_sites == n_atoms
        rows.append(("extended XYZ", "molvane from_str", t))
        rows.append(("extended XYZ", "molvane from_xyz", best_time(lambda: Structure.from_xyz(xyz_path), repeats)[0]))
        t, s = best_time(lambda: Structure.from_str(poscar_text, "poscar"), repeats)
        assert s.n_sites == n_atoms
        rows.append(("POSCAR", "molvane from_str", t))
        rows.append(("POSCAR", "molvane from_poscar",
                     best_time(lambda: Structure.from_poscar(poscar_path), repeats)[0]))
        if ase is not None:
            ase_repeats = max(1, repeats // 2)
            t, atoms = best_time(lambda: ase.io.read(xyz_path, format="extxyz"), ase_repeats)
            assert len(atoms) == n_atoms
            rows.append(("extended XYZ", "ase.io.read", t))
            t, atoms = best_time(lambda: ase.io.read(poscar_path, format="vasp"), ase_repeats)
            assert len(atoms) == n_atoms
            rows.append(("POSCAR", "ase.io.read", t))
        else:
            print("(ASE is not installed: pip install ase for the comparison)")

    fastest = {}
    for fmt, who, t in rows:
        if who.startswith("molvane"):
            fastest[fmt] = min(fastest.get(fmt, t), t)
    for fmt, who, t in rows:
        note = f"  ({t / fastest[fmt]:.1f}x molvane)" if who.startswith("ase") else ""
        print(f"  {fmt:13s} {who:20s} {t * 1e3:9.1f} ms{note}")


if __name__ == "__main__":
    main()
