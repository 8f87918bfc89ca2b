"""Computes the reference G(r) curves of tests/data/pdf with PDFfit2.

    pip install diffpy.pdffit2        (needs GSL: apt-get install libgsl-dev)
    python scripts/gen_pdf_reference.py

Writes the small CIFs of the model structures (tests/data/pdf/*.cif) and one
reference.npz holding, per case and parameter set, the curve PDFfit2 computes
from the structure as diffpy.structure reads the CIF (symmetry expanded by
its own code), plus the neutron scattering lengths PDFfit2 used. The suite
compares molvane.pdf with these curves and never needs PDFfit2.
"""

from __future__ import annotations

import json
import os
import tempfile
from fractions import Fraction
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "data" / "pdf"
CORPUS = ROOT / "tests" / "data" / "corpus" / "cif"

# Grid of every reference curve (PDFfit2 gives NaN at r = 0 once qmax is set).
RMIN, RMAX, RSTEP = 1.0, 12.0, 0.01

# Two parameter sets per structure: plain Gaussians, then everything on.
PLAIN = {"qmax": 0.0, "qdamp": 0.0, "qbroad": 0.0, "delta1": 0.0, "delta2": 0.0}
FULL = {"qmax": 22.0, "qdamp": 0.04, "qbroad": 0.015, "delta1": 0.0, "delta2": 1.8}
FULL_DELTA1 = {"qmax": 18.0, "qdamp": 0.02, "qbroad": 0.01, "delta1": 0.6, "delta2": 0.0}


def _cif(name: str, cell: tuple[float, ...], group: str, ops: list[str], rows: list[str], aniso: list[str],
         iso_tag: str = "_atom_site_U_iso_or_equiv") -> Path:
    a, b, c, al, be, ga = cell
    text = [f"data_{name}", f"_cell_length_a {a}", f"_cell_length_b {b}", f"_cell_length_c {c}",
            f"_cell_angle_alpha {al}", f"_cell_angle_beta {be}", f"_cell_angle_gamma {ga}",
            f"_symmetry_space_group_name_H-M '{group}'", "loop_", "_symmetry_equiv_pos_as_xyz"]
    text += [f"'{op}'" for op in ops]
    text += ["loop_", "_atom_site_label", "_atom_site_type_symbol", "_atom_site_fract_x", "_atom_site_fract_y",
             "_atom_site_fract_z", "_atom_site_occupancy", iso_tag, "_atom_site_adp_type"] + rows
    if aniso:
        text += ["loop_", "_atom_site_aniso_label"] + [f"_atom_site_aniso_U_{ij}" for ij in
                                                         ("11", "22", "33", "12", "13", "23")] + aniso
    path = OUT / f"{name}.cif"
    path.write_text("\n".join(text) + "\n")
    return path


def _ops(symbol: str) -> list[str]:
    """The operations of a space group as x,y,z texts (diffpy.structure's table)."""
    from diffpy.structure.spacegroups import GetSpaceGroup

    texts = []
    for op in GetSpaceGroup(symbol).iter_symops():
        terms = []
        for row, t in zip(op.R, op.t):
            text = "".join(("-" if c < 0 else "+") + axis for c, axis in zip(row, "xyz") if c)
            shift = Fraction(float(t) % 1.0).limit_denominator(12)
            if shift:
                text += f"+{shift}"
            terms.append(text.lstrip("+"))
        texts.append(",".join(terms))
    return texts


def structures() -> dict[str, Path]:
    """The model structures: written here, or taken from the test corpus."""
    OUT.mkdir(parents=True, exist_ok=True)
    return {
        "ni": _cif("ni", (3.524, 3.524, 3.524, 90, 90, 90), "F m -3 m", _ops("Fm-3m"),
                   ["Ni1 Ni 0 0 0 1 0.0061 Uiso"], []),
        "nacl": _cif("nacl", (5.6402, 5.6402, 5.6402, 90, 90, 90), "F m -3 m", _ops("Fm-3m"),
                     ["Na1 Na 0 0 0 1 1.52 Biso", "Cl1 Cl 0.5 0.5 0.5 1 1.18 Biso"], [],
                     iso_tag="_atom_site_B_iso_or_equiv"),
        "rutile": _cif("rutile", (4.5937, 4.5937, 2.9587, 90, 90, 90), "P 42/m n m", _ops("P42/mnm"),
                       ["Ti1 Ti 0 0 0 1 0.0058 Uani", "O1 O 0.30478 0.30478 0 1 0.0066 Uani"],
                       ["Ti1 0.0066 0.0066 0.0043 -0.0003 0 0", "O1 0.0073 0.0073 0.0051 -0.0024 0 0"]),
        "graphite": _cif("graphite", (2.464, 2.464, 6.711, 90, 90, 120), "P 63/m m c", _ops("P63/mmc"),
                         ["C1 C 0 0 0.25 1 0.009 Uani", "C2 C 0.333333 0.666667 0.25 1 0.009 Uani"],
                         ["C1 0.0032 0.0032 0.0205 0.0016 0 0", "C2 0.0032 0.0032 0.0205 0.0016 0 0"]),
        "spinel": CORPUS / "9006030.cif",
        "armalcolite": CORPUS / "9000579-annealing.cif",
    }


# Case -> (radiation, parameter sets).
CASES = {
    "ni": ("X", [PLAIN, FULL]),
    "nacl": ("N", [PLAIN, FULL]),
    "rutile": ("X", [PLAIN, FULL_DELTA1]),
    "graphite": ("X", [PLAIN, FULL]),
    "spinel": ("X", [PLAIN, FULL, {**FULL, "uiso": {"Ni": 0.0045, "Al": 0.0085, "O": 0.011}}]),
    "armalcolite": ("N", [PLAIN, FULL_DELTA1]),
}


NAME_TAGS = ("_space_group_name", "_space_group_it_number", "_symmetry_int_tables_number", "_sg_h-m")


def reference(path: Path, radiation: str, params: dict[str, Any]) -> tuple[np.ndarray, dict[str, float]]:
    from diffpy.pdffit2 import PdfFit, redirect_stdout
    from diffpy.structure import loadStructure

    redirect_stdout(open(os.devnull, "w"))
    # diffpy.structure prefers a space-group name to the listed operations and
    # reads 'F d -3 m :2' in origin choice 1; without the names it expands the
    # atoms by the operations the file lists.
    lines = path.read_text().splitlines()
    listed = [line for line in lines if not any(tag in line.lower() for tag in NAME_TAGS)]
    with tempfile.NamedTemporaryFile("w", suffix=".cif", delete=False) as f:
        f.write("\n".join(listed) + "\n")
    structure = loadStructure(f.name)
    os.unlink(f.name)
    # U_iso per element in place of the file's (species sharing a site then move differently).
    for atom in structure:
        if "uiso" in params:
            atom.Uisoequiv = params["uiso"][atom.element]
    fit = PdfFit()
    fit.add_structure(structure)
    n = int(round((RMAX - RMIN) / RSTEP)) + 1
    fit.alloc(radiation, params["qmax"], params["qdamp"], RMIN, RMAX, n)
    for name in ("delta1", "delta2", "qbroad"):
        fit.setvar(name, params[name])
    fit.calc()
    lengths = {atom.element: fit.get_scat(radiation, atom.element) for atom in structure}
    return np.array(fit.getpdf_fit()), lengths


def main() -> None:
    paths = structures()
    arrays: dict[str, np.ndarray] = {}
    meta: dict[str, object] = {"rmin": RMIN, "rmax": RMAX, "rstep": RSTEP, "cases": {}}
    for name, (radiation, sets) in CASES.items():
        entries = []
        for k, params in enumerate(sets):
            curve, lengths = reference(paths[name], radiation, params)
            arrays[f"{name}_{k}"] = curve
            entries.append(params)
        meta["cases"][name] = {"cif": os.path.relpath(paths[name], ROOT), "radiation": radiation,
                               "lengths": lengths, "params": entries}  # type: ignore[index]
    np.savez_compressed(OUT / "reference.npz", **arrays)
    (OUT / "reference.json").write_text(json.dumps(meta, indent=1) + "\n")
    print(f"wrote {len(arrays)} curves to {OUT}")


if __name__ == "__main__":
    main()
