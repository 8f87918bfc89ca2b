"""Time molvane.pdf against PDFfit2 on the same structures, in the same run.

    python benchmarks/bench_pdf.py            # full run (a few minutes, most of it PDFfit2)
    python benchmarks/bench_pdf.py --quick    # smaller supercells, fewer realizations

Needs diffpy.pdffit2 (GPL; apt-get install libgsl-dev; pip install diffpy.pdffit2).
Cases:
  1. fcc Ni, 512 atoms (8x4x4 cells), r 1..20 A, X-ray.
  2. A disordered fcc Cu0.5Au0.5 alloy: an ordered 4,096-atom realization
     (expand_occupancies), r 1..30 A: PDFfit2 and molvane on the same atoms.
  3. The same alloy, exactly: molvane on the 4-site cell with partial
     occupancies, against the average of PDFfit2 over several expanded
     realizations (agreement and time).
Times are the best of five repeats (PDFfit2: the best of three on the
512-atom case, one run on the larger ones), in seconds. The machine may be
shared: the load average is printed, and only ratios within one run mean
anything.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

import molvane
from molvane import Structure

RSTEP = 0.01


def fcc(a: float, species: dict[str, float], u: float) -> Structure:
    coords = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    cell = Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], coords, [species] * 4)
    return cell.with_displacements([u] * 4)


def best(fn, repeats: int) -> tuple[float, object]:  # type: ignore[no-untyped-def]
    times, out = [], None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def pdffit2(structure: Structure, uiso: dict[str, float], rmin: float, rmax: float,
            repeats: int = 1) -> tuple[float, np.ndarray]:
    """PDFfit2's G on the same grid, one atom per (site, species) as it reads
    them, and the best time of `repeats` calculations."""
    from diffpy.pdffit2 import PdfFit, redirect_stdout
    from diffpy.structure import Atom, Lattice
    from diffpy.structure import Structure as DiffpyStructure

    redirect_stdout(open(os.devnull, "w"))
    lattice = Lattice(base=np.array(structure.lattice_matrix))
    atoms = []
    for xyz, species in zip(structure.frac_coords, structure._site_species):
        for element, occupancy in species:
            atom = Atom(element, xyz, occupancy=occupancy)
            atom.Uisoequiv = uiso[element]
            atoms.append(atom)
    fit = PdfFit()
    fit.add_structure(DiffpyStructure(atoms, lattice=lattice))
    n = int(round((rmax - rmin) / RSTEP)) + 1
    fit.alloc("X", 0.0, 0.0, rmin, rmax, n)
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fit.calc()
        times.append(time.perf_counter() - t0)
    return min(times), np.array(fit.getpdf_fit())


def compare(label: str, structure: Structure, uiso: dict[str, float], rmax: float, repeats: int,
            ref_repeats: int = 1) -> float:
    """Prints both timings; returns PDFfit2's."""
    t_ref, g_ref = pdffit2(structure, uiso, 1.0, rmax, ref_repeats)
    for threads in (1, 0):
        t, result = best(lambda: molvane.pdf(structure, 1.0, rmax, RSTEP, uiso=uiso, pairs="independent",
                                             n_threads=threads), repeats)
        diff = np.abs(result.G - g_ref).max() / np.abs(g_ref).max()
        name = "1 thread" if threads == 1 else "all threads"
        print(f"{label:<34} molvane {name:<11} {t:8.3f} s  PDFfit2 {t_ref:8.2f} s  "
              f"ratio {t_ref / t:7.0f}x  max |dG| / max |G| {diff:.1e}")
    return t_ref


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    repeats = 2 if args.quick else 5
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs; "
          f"molvane threads available: {Structure.available_threads()}")

    ni = fcc(3.524, {"Ni": 1.0}, 0.006)
    t_ref = compare("fcc Ni, 512 atoms, r 1..20", ni.make_supercell(8, 4, 4), {"Ni": 0.006}, 20.0, repeats, 3)
    t_cell, _ = best(lambda: molvane.pdf(ni, 1.0, 20.0, RSTEP, uiso={"Ni": 0.006}), repeats)
    print(f"{'fcc Ni, its 4-atom cell (same G)':<34} molvane {'all threads':<11} {t_cell:8.4f} s  "
          f"PDFfit2 {t_ref:8.2f} s  ratio {t_ref / t_cell:7.0f}x")

    uiso = {"Cu": 0.009, "Au": 0.007}
    alloy = fcc(3.82, {"Cu": 0.5, "Au": 0.5}, 0.008)
    alloy = alloy.with_displacements(None)
    n = (2, 2, 4) if args.quick else (8, 8, 16)
    rmax = 20.0 if args.quick else 30.0
    realizations = []
    for seed in range(2 if args.quick else 3):
        # The supercell holds whole numbers of each species, so it is ordered as it is.
        ordered, _ = alloy.make_supercell(*n).expand_occupancies(max_sites=4 * n[0] * n[1] * n[2], seed=seed + 1)
        realizations.append(ordered)
    big = realizations[0]
    compare(f"CuAu realization, {big.n_sites} atoms, r 1..{rmax:g}", big, uiso, rmax, repeats)

    # The exact disordered G(r) against PDFfit2 averaged over realizations.
    t_exact, exact = best(lambda: molvane.pdf(alloy, 1.0, rmax, RSTEP, uiso=uiso, pairs="independent"), repeats)
    t_sum, curves = 0.0, []
    for ordered in realizations:
        t, g = pdffit2(ordered, uiso, 1.0, rmax)
        t_sum += t
        curves.append(g)
    mean = np.mean(curves, axis=0)
    spread = np.abs(np.array(curves) - mean).max() / np.abs(mean).max()
    diff = np.abs(exact.G - mean).max() / np.abs(mean).max()
    print(f"CuAu exact (4 sites) vs PDFfit2 mean of {len(curves)} realizations of {big.n_sites} atoms: "
          f"molvane {t_exact:.4f} s, PDFfit2 {t_sum:.1f} s in all ({t_sum / t_exact:.0f}x); "
          f"max |dG| / max |G| = {diff:.1e} (realizations differ from their mean by up to {spread:.1e})")
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
