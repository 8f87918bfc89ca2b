"""Writing structures as VASP 5 POSCAR text."""

from __future__ import annotations

import math


def to_poscar(structure, comment: str = "written by molvane") -> str:
    """VASP 5 POSCAR text (direct coordinates) for an ordered structure.

    Sites are grouped by element (elements in byte order, sites in their
    original order within each group); coordinates are written with full
    precision so that reading the text back gives the same numbers.
    """
    if not structure.is_ordered:
        raise ValueError("POSCAR holds ordered structures only; expand the occupancies first")
    groups: dict[str, list[list[float]]] = {element: [] for element in structure.elements}
    for coords, species in zip(structure.frac_coords, structure.species):
        (element,) = species
        groups[element].append(coords)
    for element in groups:
        if not element or any(ch.isspace() for ch in element):
            raise ValueError(f"element symbol {element!r} cannot be written to a POSCAR")
    comment = " ".join(comment.split()) or "molvane"
    lines = [comment, "1.0"]
    lines += ["  " + " ".join(_num(v) for v in row) for row in structure.lattice_matrix]
    lines.append("  " + " ".join(groups))
    lines.append("  " + " ".join(str(len(sites)) for sites in groups.values()))
    lines.append("Direct")
    for sites in groups.values():
        lines += ["  " + " ".join(_num(v) for v in coords) for coords in sites]
    return "\n".join(lines) + "\n"


def _num(value: float) -> str:
    if not math.isfinite(value):
        raise ValueError(f"cannot write the non-finite number {value!r} to a POSCAR")
    return repr(float(value))
