"""Reading and writing structure files: CIF, VASP POSCAR and extended XYZ.

    s = molvane.read("NaCl.cif")               # the format from the file name
    molvane.write("NaCl.vasp", s)              # VASP 5 POSCAR
    molvane.write("out.txt", s, format="cif")  # or named

Numbers are written so that reading the file back gives the same structure
to about 1e-15 relative, rounded at the 15th significant digit of their scale
(the largest cell entry for Cartesian values, 1 for fractional coordinates
and occupancies): values that are zero up to rounding noise are written as 0.
"""

from __future__ import annotations

import math
import os
import re
import warnings
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path

import numpy as np

from molvane._molvane import Structure

__all__ = ["FORMATS", "read", "write", "detect_format", "cell_parameters", "to_cif", "to_poscar", "to_xyz"]

# The formats read and written, by their main names.
FORMATS = ("cif", "poscar", "xyz")
# Format names as `read`, `write` and `Structure.from_str` take them.
_FORMAT_NAMES = {"cif": "cif", "poscar": "poscar", "contcar": "poscar", "vasp": "poscar", "xyz": "xyz",
                 "extxyz": "xyz"}
_SYMBOL = re.compile(r"[A-Z][a-z]?")


def detect_format(path: str | os.PathLike[str], hint: str = "format='cif', 'poscar' or 'xyz'") -> str:
    """"cif", "poscar" or "xyz" from a file name: ``.cif``; ``POSCAR*``,
    ``CONTCAR*``, ``.vasp``, ``.poscar``; ``.xyz``, ``.extxyz``. Any other
    name raises ValueError, which ends with "give " + `hint`."""
    name = Path(path).name
    lower = name.lower()
    if lower.endswith(".cif"):
        return "cif"
    if lower.endswith((".vasp", ".poscar")) or name.upper().startswith(("POSCAR", "CONTCAR")):
        return "poscar"
    if lower.endswith((".xyz", ".extxyz")):
        return "xyz"
    raise ValueError(f"cannot tell the format of {os.fspath(path)} from its name; give {hint}")


def check_structure(value: object, name: str) -> Structure:
    """`value`, or a TypeError naming the argument `name` when it is not a Structure."""
    if not isinstance(value, Structure):
        raise TypeError(f"{name} must be a molvane.Structure, not {type(value).__name__}")
    return value


def check_str(value: object, name: str) -> str:
    """`value`, or a TypeError naming the argument `name` when it is not a str."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _format(path: str, format: str | None, verb: str) -> str:
    if format is None:
        return detect_format(path)
    check_str(format, "format")
    name = format.translate(_ASCII_LOWER)
    if name not in _FORMAT_NAMES:
        raise ValueError(f"unknown format '{name}'; molvane {verb} cif, poscar and xyz")
    return _FORMAT_NAMES[name]


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def read(path: str | os.PathLike[str], format: str | None = None, **options: object) -> Structure:
    """Read one structure from a CIF, POSCAR/CONTCAR or extended XYZ file.

    The format comes from the file name (see `detect_format`) unless given
    (``"cif"``, ``"poscar"``/``"contcar"``/``"vasp"``, ``"xyz"``/``"extxyz"``).
    Options go to the reader: ``symprec=`` for CIF.
    """
    name = os.fspath(path)
    readers: dict[str, Callable[..., Structure]] = {
        "cif": Structure.from_cif, "poscar": Structure.from_poscar, "xyz": Structure.from_xyz}
    return readers[_format(name, format, "reads")](name, **options)


def write(path: str | os.PathLike[str], structure: Structure, format: str | None = None, **options: object) -> None:
    """Write `structure` as CIF, VASP 5 POSCAR or extended XYZ.

    The format comes from the file name unless given, as for `read`. Options
    go to the writer: ``name=`` (the data block) for CIF, ``comment=`` for
    POSCAR. The text is complete before the file is opened, so a structure
    that cannot be written leaves no file behind.
    """
    name = os.fspath(path)
    writers: dict[str, Callable[..., str]] = {"cif": to_cif, "poscar": to_poscar, "xyz": to_xyz}
    text = writers[_format(name, format, "writes")](structure, **options)
    with open(name, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(text)


# --- numbers ---


def _number(value: float, scale: float = 1.0) -> str:
    """`value` rounded at the 15th significant digit of `scale`, in plain
    decimal notation without trailing zeros ("0" for rounding noise)."""
    if not math.isfinite(value):
        raise ValueError(f"cannot write the non-finite number {value!r}")
    digits = 14 - math.floor(math.log10(scale)) if scale > 0 else 14
    text = f"{value:.{max(digits, 0)}f}"
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def number_text(value: float, scale: float = 1.0) -> str:
    """How the writers write a number: `value` rounded at the 15th
    significant digit of `scale`, without float noise ("0.15", not
    "0.15000000000000002")."""
    return _number(value, scale)


def _scale(rows: Sequence[Sequence[float]]) -> float:
    return max(abs(v) for row in rows for v in row)


def cell_parameters(matrix: Sequence[Sequence[float]]) -> tuple[list[float], list[float]]:
    """Cell lengths [a, b, c] and angles [alpha, beta, gamma] (degrees) of
    the rows of `matrix`; angles from ``atan2(|u x v|, u . v)``, exact near 0
    and 180 degrees as well."""
    lengths = [math.sqrt(sum(v * v for v in row)) for row in matrix]

    def angle(i: int, j: int) -> float:
        u, v = matrix[i], matrix[j]
        cross = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
        dot = sum(x * y for x, y in zip(u, v))
        return math.degrees(math.atan2(math.sqrt(sum(c * c for c in cross)), dot))

    return lengths, [angle(1, 2), angle(0, 2), angle(0, 1)]


def _determinant(m: Sequence[Sequence[float]]) -> float:
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
            - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
            + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]))


# --- species ---


def _symbol(symbol: str, fmt: str) -> str:
    if not _SYMBOL.fullmatch(symbol):
        raise ValueError(f"cannot write the element symbol {symbol!r} to {fmt}: symbols there are "
                         "one capital letter and at most one small letter, such as 'O' or 'Fe'")
    return symbol


def merged_species(pairs: Iterable[tuple[str, float]]) -> dict[str, float]:
    """Occupancy per element of one site, repeated symbols added together,
    in order of first appearance."""
    totals: dict[str, float] = {}
    for symbol, occupancy in pairs:
        totals[symbol] = totals.get(symbol, 0.0) + float(occupancy)
    return totals


def _atoms(structure: Structure, fmt: str) -> list[str]:
    """The element of every site of an ordered structure."""
    check_structure(structure, "structure")
    if not structure.is_ordered:
        raise ValueError(f"{fmt} holds ordered structures only (one element per site, occupancy 1); "
                         "expand the occupancies first (Structure.expand_occupancies) or write a CIF")
    return [_symbol(pairs[0][0], fmt) for pairs in structure._site_species]


def _warn_if_not_periodic(structure: Structure, fmt: str) -> None:
    if not all(structure.pbc):
        warnings.warn(f"{fmt} is periodic along a, b and c; the non-periodic directions of this "
                      f"structure (pbc={structure.pbc}) are not written", UserWarning, stacklevel=3)


# --- writers ---


def to_cif(structure: Structure, name: str = "molvane") -> str:
    """CIF text in space group P 1: the cell parameters and one atom site row
    per species of every site, with its type symbol and occupancy (repeated
    symbols of a site are added together). Rows of one site share its
    coordinates, so a reader merges them back into one mixed site. Displacement
    parameters, when the structure has them, follow as U_iso (U_eq for
    anisotropic sites, whose U_ij fill an aniso loop) with their adp_type.
    Disorder labels, when the structure has them, fill the disorder assembly
    and group columns ("." for none); a negative group written in P 1 no
    longer links the images of its row, which become rows of their own (a
    UserWarning says so)."""
    check_structure(structure, "structure")
    check_str(name, "name")
    _warn_if_not_periodic(structure, "a CIF")
    matrix = structure.lattice_matrix
    lengths, angles = cell_parameters(matrix)
    # A CIF cell is right-handed: a left-handed one is written as -a, -b, -c
    # (same lengths and angles) with negated coordinates, the same crystal.
    sign = -1.0 if _determinant(matrix) < 0 else 1.0
    block = re.sub(r"\s", "_", name) or "molvane"
    lines = [f"data_{block}", "_symmetry_space_group_name_H-M 'P 1'", "_symmetry_Int_Tables_number 1"]
    for axis, value in zip("abc", lengths):
        lines.append(f"_cell_length_{axis} {_number(value, value)}")
    for axis, value in zip(("alpha", "beta", "gamma"), angles):
        lines.append(f"_cell_angle_{axis} {_number(value, value)}")
    lines += ["loop_", "_symmetry_equiv_pos_as_xyz", "'x, y, z'", "loop_", "_atom_site_label",
              "_atom_site_type_symbol", "_atom_site_fract_x", "_atom_site_fract_y", "_atom_site_fract_z",
              "_atom_site_occupancy"]
    displacements = structure.displacements
    if displacements is not None:
        lines += ["_atom_site_U_iso_or_equiv", "_atom_site_adp_type"]
    aniso: list[str] = []
    labels = _cif_labels(structure)
    if labels:
        lines += ["_atom_site_disorder_assembly", "_atom_site_disorder_group"]
    for index, (coords, pairs) in enumerate(zip(structure.frac_coords, structure._site_species), start=1):
        xyz = " ".join(_number(sign * v) for v in coords)
        site_adp = None if displacements is None else displacements[index - 1]
        adp = "" if displacements is None else _adp_columns(site_adp, matrix)
        for symbol, occupancy in merged_species(pairs).items():
            _symbol(symbol, "a CIF")
            label = labels[index - 1] if labels else ""
            lines.append(f"{symbol}{index} {symbol} {xyz} {_number(occupancy)}{adp}{label}")
            if isinstance(site_adp, tuple):
                aniso.append(f"{symbol}{index} " + " ".join(_number(u) for u in site_adp))
    if aniso:
        lines += ["loop_", "_atom_site_aniso_label"] + [f"_atom_site_aniso_U_{ij}" for ij in
                                                         ("11", "22", "33", "12", "13", "23")] + aniso
    return "\n".join(lines) + "\n"


def _adp_columns(value: float | tuple[float, ...] | None, matrix: list[list[float]]) -> str:
    """ U_iso_or_equiv and adp_type of one site: U_eq = trace of the Cartesian tensor / 3."""
    if value is None:
        return " ? ?"
    if not isinstance(value, tuple):
        return f" {_number(value)} Uiso"
    lattice = np.array(matrix, dtype=float)
    n = np.diag(np.linalg.norm(np.linalg.inv(lattice), axis=0))
    u = np.array([[value[0], value[3], value[4]], [value[3], value[1], value[5]], [value[4], value[5], value[2]]])
    cartesian = lattice.T @ n @ u @ n @ lattice
    return f" {_number(float(np.trace(cartesian)) / 3.0)} Uani"


def _cif_labels(structure: Structure) -> list[str]:
    """The two disorder columns of every site as CIF values (" A 1"), or []
    without labels."""
    labels = structure._disorder
    if labels is None:
        return []
    if any(g.startswith("-") for _, g, _ in labels):
        warnings.warn("negative disorder groups are written as they are, but in P 1 the images of one row are "
                      "rows of their own, which a negative group no longer links", UserWarning, stacklevel=3)
    return [" " + " ".join(_cif_value(v) for v in (assembly, group)) for assembly, group, _ in labels]


def _cif_value(text: str) -> str:
    """A CIF value for a label: "." when empty, quoted when it holds blanks or starts as syntax would."""
    if not text:
        return "."
    if any(c.isspace() for c in text) or text[0] in "_#$'\"[];" or text in (".", "?"):
        quote = '"' if "'" in text else "'"
        return f"{quote}{text}{quote}"
    return text


def to_poscar(structure: Structure, comment: str = "written by molvane") -> str:
    """VASP 5 POSCAR text (direct coordinates) for an ordered structure.

    Sites are grouped by element (elements in byte order, sites in their
    original order within each group).
    """
    check_str(comment, "comment")
    symbols = _atoms(structure, "a POSCAR")
    _warn_if_not_periodic(structure, "a POSCAR")
    groups: dict[str, list[list[float]]] = {element: [] for element in sorted(set(symbols))}
    for coords, element in zip(structure.frac_coords, symbols):
        groups[element].append(coords)
    matrix = structure.lattice_matrix
    scale = _scale(matrix)
    lines = [" ".join(comment.split()) or "molvane", "1.0"]
    lines += ["  " + " ".join(_number(v, scale) for v in row) for row in matrix]
    lines.append("  " + " ".join(groups))
    lines.append("  " + " ".join(str(len(sites)) for sites in groups.values()))
    lines.append("Direct")
    for sites in groups.values():
        lines += ["  " + " ".join(_number(v) for v in coords) for coords in sites]
    return "\n".join(lines) + "\n"


def to_xyz(structure: Structure) -> str:
    """Extended XYZ text for an ordered structure: ``Lattice=``,
    ``Properties=species:S:1:pos:R:3`` and ``pbc=`` on the comment line, then
    one line per site with its element and Cartesian coordinates (Å)."""
    symbols = _atoms(structure, "an extended XYZ file")
    matrix = structure.lattice_matrix
    scale = _scale(matrix)
    lattice = " ".join(_number(v, scale) for row in matrix for v in row)
    pbc = " ".join("T" if p else "F" for p in structure.pbc)
    lines = [str(len(symbols)), f'Lattice="{lattice}" Properties=species:S:1:pos:R:3 pbc="{pbc}"']
    for symbol, xyz in zip(symbols, structure.cart_coords):
        lines.append(f"{symbol} " + " ".join(_number(v, scale) for v in xyz))
    return "\n".join(lines) + "\n"
