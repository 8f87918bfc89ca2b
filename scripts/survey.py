#!/usr/bin/env python3
"""The survey of real structure files in tests/data/survey: each file read
with molvane and with the peers (ASE, pymatgen, gemmi), side by side.

    python scripts/survey.py            # writes tests/data/survey/TABLE.md and DIGEST.tsv
    python scripts/survey.py --check    # compares molvane's readings with DIGEST.tsv

A reading is a formula (element counts in the cell, occupancies summed) and a
site count, or a refusal. The right reading is the peers' when they agree
with each other and with the file's own formula and Z; where they do not,
RIGHT below says what the file means and why. The digest of molvane's reading
(every bit of the cell, coordinates and species, and the warnings) is what
tests/test_survey.py holds fixed.
"""
from __future__ import annotations

import hashlib
import io
import sys
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SURVEY = ROOT / "tests" / "data" / "survey"

# Files whose right reading the peers do not settle, decided by hand: the
# reading and the reason.
MAGNETIC = "ASE and gemmi ignore magnetic operations and give the asymmetric unit"
RIGHT: dict[str, tuple[str, str]] = {
    "easydiff/lbco.cif": ("Ba0.5CoLa0.5O3 / 5 sites", "dotted tag names; Pm-3m: 1a (La/Ba) + 1b (Co) + 3c (O)"),
    "dans/MnO.mcif": ("Mn32O32 / 64 sites", MAGNETIC + "; rock salt in the doubled cell, 4 operations x 32 centerings"),
    "dans/TmAgGe.mcif": ("Ag3Ge3Tm3 / 9 sites", MAGNETIC + "; ZrNiAl type, Z = 3"),
    "dans/YMnO3.mcif": ("Mn6O18Y6 / 30 sites", MAGNETIC + "; P6_3cm, Z = 6"),
    "dans/Ca3Co2O6.mcif": ("Ca72Co48O144 / 264 sites", MAGNETIC + "; R-3c Z = 6 (hexagonal) in the 2a x 2b x c cell"),
    "dans/Li2IrO3.mcif": ("Ir4Li8O12 / 24 sites", "superspace operations on the basic structure: C2/m, Z = 4"),
    "easydiff/ncaf.cif": ("Al8Ca12F56Na8 / 84 sites", "dotted tag names; I2_13, Na2Ca3Al2F14 with Z = 4"),
    "easydiff/Ho2Ti2O7.cif": ("Ho16O56Ti16 / 88 sites", "pyrochlore, Z = 8; the coordinate-system code names origin "
                              "choice 2 (ASE and pymatgen take origin 1 and stack O atoms)"),
    "easydiff/Co2SiO4.cif": ("Co8O16Si4 / 28 sites", "olivine, Pnma, Z = 4; the reference-setting symbol is the only "
                             "symbol (the peers do not read it)"),
    "mace/slab_zero_vacuum.xyz": ("a refusal: no three-dimensional cell", "the third cell vector is zero (a slab)"),
    "diffpy/ZnS.cif": ("S2Zn2 / 4 sites", "no data_ header and three loops cut short by the tags after them (the "
                       "peers refuse); wurtzite, P6_3mc: Zn 2b + S 2b from the last, complete operations loop"),
    "qmpy/test.cif": ("Cu2 / 2 sites", "bcc Cu (the file's formula Cu2): the two rows are images of each other "
                      "under the centering; gemmi keeps both as separate atoms"),
    "qmpy/POSCAR_vasp4": ("Cu2 / 2 sites", "VASP 4: no species line; the comment line names Cu (pymatgen "
                          "falls back to H)"),
}
QUIP_Z = ("a refusal: no species column", "species only as indices into Z_values; ASE reads the indices as atomic numbers")
for name in ("NaCl", "beta_Sn", "hcp", "hcp_ortho", "dia", "skutterudite_filled"):
    RIGHT[f"quip/{name}.xyz"] = QUIP_Z
NO_CELL = "a refusal: a molecule without a cell"


def file_format(name: str) -> str:
    lower = name.lower()
    if lower.endswith((".cif", ".mcif")):
        return "cif"
    if lower.endswith((".xyz", ".extxyz")):
        return "xyz"
    return "poscar"


def formula(counts: dict[str, float]) -> str:
    parts = []
    for element in sorted(counts):
        n = counts[element]
        text = f"{n:.3f}".rstrip("0").rstrip(".")
        parts.append(element + ("" if text == "1" else text))
    return "".join(parts)


def molvane_reading(path: Path):
    """(reading, digest): the reading as 'formula / N sites' or 'refused:
    message', the digest as 12 hex digits over every bit of the result and
    the warnings."""
    import molvane

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            s = molvane.Structure.from_str(path.read_text(encoding="utf-8", errors="replace"),
                                           file_format(path.name))
        except ValueError as e:
            s, error = None, str(e)
    notes = [str(w.message) for w in caught if issubclass(w.category, molvane.ReadWarning)]
    if s is None:
        text = "refused: " + error
        payload = text
    else:
        text = f"{formula(s.composition)} / {s.n_sites} sites"
        payload = repr((s.lattice_matrix, s.frac_coords, s.species, s.pbc))
    if notes:
        text += " [warns: " + "; ".join(notes) + "]"
    digest = hashlib.sha256((payload + "\n" + "\n".join(notes)).encode()).hexdigest()[:12]
    return text, digest


def _counts(symbols_occupancies) -> dict[str, float]:
    out: dict[str, float] = {}
    for element, occ in symbols_occupancies:
        out[element] = out.get(element, 0.0) + occ
    return out


def ase_reading(path: Path) -> str:
    import ase.io

    fmt = {"cif": "cif", "poscar": "vasp", "xyz": "extxyz"}[file_format(path.name)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        atoms = ase.io.read(str(path), format=fmt, index=0)
    occupancies = atoms.info.get("occupancy")
    partial = occupancies and any(v < 1 for occ in occupancies.values() for v in occ.values())
    if partial:  # one atom per site; the species of its site kept aside by kind
        kinds = atoms.arrays.get("spacegroup_kinds", atoms.get_tags())
        pairs = [pair for kind in kinds for pair in occupancies[str(kind)].items()]
        return f"{formula(_counts(pairs))} / {len(atoms)} sites"
    return f"{formula(_counts((s, 1.0) for s in atoms.get_chemical_symbols()))} / {len(atoms)} sites"


def pymatgen_reading(path: Path) -> str:
    fmt = file_format(path.name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if fmt == "cif":
            from pymatgen.io.cif import CifParser

            s = CifParser(str(path)).parse_structures(primitive=False)[0]
        elif fmt == "poscar":
            from pymatgen.io.vasp import Poscar

            s = Poscar.from_str(path.read_text()).structure
        else:
            from pymatgen.io.ase import AseAtomsAdaptor
            import ase.io

            s = AseAtomsAdaptor.get_structure(ase.io.read(str(path), format="extxyz", index=0))
    pairs = [(str(sp.symbol), occ) for site in s for sp, occ in site.species.items()]
    return f"{formula(_counts(pairs))} / {len(s)} sites"


def gemmi_reading(path: Path) -> str:
    if file_format(path.name) != "cif":
        return ""
    import gemmi

    st = gemmi.read_small_structure(str(path))
    sites = st.get_all_unit_cell_sites()
    return f"{formula(_counts((site.element.name, site.occ) for site in sites))} / {len(sites)} sites"


def own_formula(path: Path) -> str:
    """The CIF's own _chemical_formula_sum and _cell_formula_units_Z, as
    written (writers differ on whether the sum is per formula unit or per
    cell, so the two are shown, not multiplied)."""
    if file_format(path.name) != "cif":
        return ""
    import gemmi

    for block in gemmi.cif.read(str(path)):
        text, z = block.find_value("_chemical_formula_sum"), block.find_value("_cell_formula_units_Z")
        if text and gemmi.cif.as_string(text).strip() not in ("", "?", "."):
            return gemmi.cif.as_string(text) + (f", Z = {gemmi.cif.as_string(z)}" if z else "")
    return ""


def peer(reader, path: Path) -> str:
    try:
        return reader(path)
    except Exception as e:  # a peer's failure is a reading too; paths inside the checkout are named from its root
        message = str(e).replace(f"{ROOT}/", "")
        return f"fails: {type(e).__name__}: {message.splitlines()[0][:80] if message else ''}"


def lacks_cell(path: Path) -> bool:
    """An XYZ file whose comment line gives no Lattice."""
    if file_format(path.name) != "xyz":
        return False
    lines = path.read_text(errors="replace").splitlines()
    return len(lines) < 2 or "lattice=" not in lines[1].lower()


def consensus(readings: list[str]) -> str:
    """The formula most readers give, with the site count of the first
    reader giving it."""
    readable = [r for r in readings if r and not r.startswith("fails")]
    if not readable:
        return "no structure"
    formulas = [r.split(" / ")[0] for r in readable]
    best = max(formulas, key=formulas.count)
    return next(r for r in readable if r.split(" / ")[0] == best)


def manifest() -> list[list[str]]:
    lines = (SURVEY / "MANIFEST.tsv").read_text().splitlines()
    return [line.split("\t") for line in lines[1:] if line.strip()]


def main(argv: list[str]) -> int:
    rows = manifest()
    if "--check" in argv:
        held = dict(line.split("\t")[:2] for line in (SURVEY / "DIGEST.tsv").read_text().splitlines()[1:])
        changed = [f for f, *_ in rows if molvane_reading(SURVEY / f)[1] != held.get(f)]
        print("\n".join(changed) or "no reading changed")
        return 1 if changed else 0
    digest_lines = ["file\tdigest\tmolvane"]
    table = ["| file | origin | ASE | pymatgen | gemmi | file's formula | right reading | molvane | agrees |",
             "|---|---|---|---|---|---|---|---|---|"]
    for name, repo, path, commit in rows:
        f = SURVEY / name
        text, digest = molvane_reading(f)
        digest_lines.append(f"{name}\t{digest}\t{text}")
        readings = [peer(ase_reading, f), peer(pymatgen_reading, f), peer(gemmi_reading, f)]
        own = peer(own_formula, f)
        right = RIGHT.get(name, (None, ""))[0] or (NO_CELL if lacks_cell(f) else consensus(readings))
        got = text.split(" [warns")[0]
        if right.startswith("a refusal"):
            agrees = "yes" if got.startswith("refused") else "NO"
        else:
            agrees = "yes" if got.split(" / ")[0] == right.split(" / ")[0] else "NO"
        cells = [name, f"{repo} `{path}` @{commit[:10]}", *readings, own, right, text, agrees]
        table.append("| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
    (SURVEY / "DIGEST.tsv").write_text("\n".join(digest_lines) + "\n")
    (SURVEY / "TABLE.md").write_text("\n".join(table) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
