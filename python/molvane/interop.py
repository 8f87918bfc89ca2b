"""Structures to and from ASE and pymatgen, comparison, and pickling.

    atoms = ase.io.read("file.cif")
    s = molvane.from_ase(atoms)        # mixed sites kept as ASE's CIF reader keeps them
    atoms = molvane.to_ase(s, expand=True)
    s = molvane.from_pymatgen(pmg)     # Structure or IStructure, disorder included
    pmg = molvane.to_pymatgen(s)

ASE and pymatgen are optional extras (``pip install 'molvane[ase]'``,
``'molvane[pymatgen]'``), imported only when a converter runs.
"""

from __future__ import annotations

import importlib
import math
import warnings
from collections.abc import Callable, Mapping
from types import ModuleType
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt

from molvane._molvane import Structure, _structure
from molvane.io import check_structure, merged_species

if TYPE_CHECKING:
    from ase import Atoms
    from pymatgen.core.periodic_table import DummySpecies, Element, Species
    from pymatgen.core.structure import IStructure
    from pymatgen.core.structure import Structure as PymatgenStructure

__all__ = ["from_ase", "to_ase", "from_pymatgen", "to_pymatgen", "same_structure", "occupancy_changes"]

def occupancy_changes(report: Mapping[str, Any]) -> list[str]:
    """One line per occupancy that an expansion report (from
    ``Structure.expand_occupancies``) shows changed at four decimals, with the
    size of the change: "Fe occupancy 0.2000 became 0.1875 (3 of 16 sites),
    a change of -0.0125"."""
    lines = []
    for row in report["occupancy_report"]:
        target, actual = row["target_occupancy"], row["actual_occupancy"]
        if f"{target:.4f}" != f"{actual:.4f}":
            lines.append(f"{row['element']} occupancy {target:.4f} became {actual:.4f} ({row['atoms_placed']} of "
                         f"{row['sites_in_pool']} sites), a change of {actual - target:+.4f}")
    return lines


def _require(module: str, what: str, extra: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{what} needs {extra}: pip install 'molvane[{extra}]'") from exc


def _cell(matrix: npt.ArrayLike, owner: str) -> list[list[float]]:
    cell = np.asarray(matrix, dtype=np.float64)
    if not abs(np.linalg.det(cell)) >= 1e-12:
        raise ValueError(f"the cell of the {owner} has no volume ({cell.tolist()}); molvane needs three "
                         "independent cell vectors, also along non-periodic directions")
    rows: list[list[float]] = cell.tolist()
    return rows


# --- ASE ---


def from_ase(atoms: Atoms) -> Structure:
    """A Structure from an ``ase.Atoms``: cell, fractional coordinates,
    symbols and ``pbc``. Occupancies that ASE's CIF reader keeps
    (``atoms.info["occupancy"]`` per ``atoms.arrays["spacegroup_kinds"]``)
    make each atom one site holding every species of its kind."""
    ase = _require("ase", "from_ase", "ase")
    if not isinstance(atoms, ase.Atoms):
        raise TypeError(f"from_ase takes an ase.Atoms, not {type(atoms).__name__}")
    matrix = _cell(atoms.cell.array, "ase.Atoms")
    frac = np.ascontiguousarray(atoms.cell.scaled_positions(atoms.positions), dtype=np.float64)
    symbols = atoms.get_chemical_symbols()
    occupancy = atoms.info.get("occupancy")
    if occupancy is None:
        species = [[(symbol, 1.0)] for symbol in symbols]
    else:
        if "spacegroup_kinds" not in atoms.arrays:
            raise ValueError("atoms.info['occupancy'] is there but atoms.arrays['spacegroup_kinds'] is not, "
                             "so which atom has which occupancies is unknown")
        species = []
        for index, (symbol, kind) in enumerate(zip(symbols, atoms.arrays["spacegroup_kinds"])):
            entry = occupancy.get(str(kind), occupancy.get(int(kind)))
            if not entry or symbol not in entry:
                raise ValueError(f"atom {index} ({symbol}, kind {kind}) does not match "
                                 f"atoms.info['occupancy'] ({entry!r} for that kind)")
            species.append([(str(element), float(value)) for element, value in entry.items()])
    pbc = tuple(bool(p) for p in atoms.pbc)
    return _with_labels(_structure(matrix, frac, species, pbc), atoms.arrays.get)


def to_ase(structure: Structure, *, expand: bool = False, occupancy: bool = False, **expand_options: int) -> Atoms:
    """An ``ase.Atoms`` with the cell, positions, symbols and ``pbc``.

    A disordered structure needs one of two choices: ``expand=True`` writes
    the ordered supercell of ``structure.expand_occupancies(**expand_options)``
    (its report's warnings and every changed occupancy, see
    `occupancy_changes`, are issued as UserWarning, and the report is kept in
    ``atoms.info["expansion_report"]``); ``occupancy=True``
    gives one atom per site, of its most abundant element, with every site's
    occupancies in ``atoms.info["occupancy"]`` keyed by
    ``atoms.arrays["spacegroup_kinds"]`` (the site index), as ASE's CIF
    reader and writer use them.
    """
    check_structure(structure, "structure")
    ase = _require("ase", "to_ase", "ase")
    if expand and occupancy:
        raise ValueError("to_ase takes expand=True or occupancy=True, not both")
    if expand_options and not expand:
        raise TypeError(f"to_ase got expansion options {sorted(expand_options)} without expand=True")
    report = None
    if expand and not structure.is_ordered:
        structure, report = structure.expand_occupancies(**expand_options)
        for message in report["warnings"] + occupancy_changes(report):
            warnings.warn(message, UserWarning, stacklevel=2)
    sites = [merged_species(pairs) for pairs in structure._site_species]
    if occupancy:
        symbols = [max(site, key=site.__getitem__) for site in sites]
    elif structure.is_ordered:
        symbols = [next(iter(site)) for site in sites]
    else:
        n = len(structure.disorder_summary())
        raise ValueError(f"this structure has {n} partially occupied or mixed sites and an ase.Atoms holds "
                         "one element per atom: pass expand=True for an ordered supercell, or "
                         "occupancy=True to keep the occupancies in atoms.info['occupancy']")
    unknown = sorted(set(symbols) - set(ase.data.atomic_numbers))
    if unknown:
        raise ValueError(f"ASE has no element {unknown[0]!r}")
    atoms: Atoms = ase.Atoms(symbols=symbols, scaled_positions=structure._frac_array, cell=structure.lattice_matrix,
                      pbc=structure.pbc)
    if occupancy:
        atoms.info["occupancy"] = {str(i): site for i, site in enumerate(sites)}
        atoms.arrays["spacegroup_kinds"] = np.arange(len(sites))
    for key, values in _label_columns(structure).items():
        atoms.arrays[key] = np.array(values)
    if report is not None:
        atoms.info["expansion_report"] = report
    return atoms


# --- pymatgen ---


def _pymatgen_symbol(species: Element | Species | DummySpecies, core: ModuleType) -> str:
    # Element.D and Element.T share the symbol "H"; their names keep them apart.
    if isinstance(species, core.Element):
        return str(species.name)
    if isinstance(species, core.Species):
        return str(species.element.name)
    return str(species.symbol)


def from_pymatgen(structure: IStructure) -> Structure:
    """A Structure from a pymatgen ``Structure`` or ``IStructure``: lattice,
    fractional coordinates, ``pbc`` and every site's species with their
    occupancies (a sum below 1 is a vacancy). Oxidation states are dropped;
    species of one element on a site (Fe2+ and Fe3+) add up."""
    core = _require("pymatgen.core", "from_pymatgen", "pymatgen")
    if not isinstance(structure, core.IStructure):
        raise TypeError(f"from_pymatgen takes a pymatgen Structure or IStructure, not {type(structure).__name__}")
    species = []
    for site in structure:
        pairs = [(_pymatgen_symbol(sp, core), float(amount)) for sp, amount in site.species.items()]
        species.append(list(merged_species(pairs).items()))
    lattice = structure.lattice
    pbc = tuple(bool(p) for p in lattice.pbc)
    frac = np.ascontiguousarray(structure.frac_coords, dtype=np.float64)
    converted = _structure(_cell(lattice.matrix, "pymatgen structure"), frac, species, pbc)
    return _with_labels(converted, structure.site_properties.get)


def to_pymatgen(structure: Structure) -> PymatgenStructure:
    """A pymatgen ``Structure`` with the lattice, ``pbc``, fractional
    coordinates and every site's species with their occupancies."""
    check_structure(structure, "structure")
    core = _require("pymatgen.core", "to_pymatgen", "pymatgen")
    lattice = core.Lattice(structure.lattice_matrix, pbc=structure.pbc)
    species = [merged_species(pairs) for pairs in structure._site_species]
    converted: PymatgenStructure = core.Structure(lattice, species, structure._frac_array,
                                                  site_properties=_label_columns(structure) or None)
    return converted


# --- disorder labels: per-site columns of the converters ---

# Site properties (pymatgen) and arrays (ASE) holding a structure's disorder labels.
LABEL_COLUMNS = ("disorder_assembly", "disorder_group", "disorder_row")


def _label_columns(structure: Structure) -> dict[str, list[str] | list[int]]:
    labels = structure._disorder
    if labels is None:
        return {}
    return {"disorder_assembly": [a for a, _, _ in labels], "disorder_group": [g for _, g, _ in labels],
            "disorder_row": [r for _, _, r in labels]}


def _with_labels(structure: Structure, column: Callable[[str], Any]) -> Structure:
    """``structure`` with the labels of the three columns that ``column``
    gives by name, when all three are there."""
    assembly, group, row = (column(name) for name in LABEL_COLUMNS)
    if assembly is None or group is None or row is None:
        return structure
    return structure._with_disorder([(str(a), str(g), int(r)) for a, g, r in zip(assembly, group, row)])


# --- comparison and pickling ---


def same_structure(a: Structure, b: Structure, tol: float = 0.0) -> bool:
    """True when `a` and `b` have the same lattice vectors, periodic
    directions and sites, in the same order: the same fractional
    coordinates and the same species in the same order. Numbers may differ
    by at most `tol`; with ``tol=0`` they must be equal, as after a pickle
    round trip. Coordinates are compared as they are, not modulo 1."""
    check_structure(a, "a")
    check_structure(b, "b")
    if not (math.isfinite(tol) and tol >= 0):
        raise ValueError(f"tol must be a finite number of 0 or more, not {tol!r}")
    if a.pbc != b.pbc or a.n_sites != b.n_sites:
        return False
    species_a, species_b = a._site_species, b._site_species
    if any([s for s, _ in x] != [s for s, _ in y] for x, y in zip(species_a, species_b)):
        return False

    def close(x: npt.ArrayLike, y: npt.ArrayLike) -> bool:
        return bool(np.all(np.abs(np.asarray(x, dtype=np.float64) - np.asarray(y, dtype=np.float64)) <= tol))

    if a._disorder != b._disorder:
        return False
    occupancies_a = [o for site in species_a for _, o in site]
    occupancies_b = [o for site in species_b for _, o in site]
    return (close(a.lattice_matrix, b.lattice_matrix) and close(a._frac_array, b._frac_array)
            and close(occupancies_a, occupancies_b))


# The arguments of _structure: lattice rows, fractional coordinates, species pairs per site, pbc.
_Parts: TypeAlias = tuple[list[list[float]], list[list[float]], list[list[tuple[str, float]]], tuple[bool, bool, bool]]


def reduce_structure(structure: Structure) -> tuple[Callable[..., Structure], tuple[Any, ...]]:
    """copyreg reducer: rebuilds the structure with its species lists in their own order
    (and its displacement parameters and disorder labels, when it has them)."""
    parts: _Parts = (structure.lattice_matrix, structure.frac_coords, structure._site_species, structure.pbc)
    displacements = structure.displacements
    labels = structure._disorder
    if displacements is None and labels is None:
        return _structure, parts
    return _structure_with_columns, (*parts, displacements, labels)


def _structure_with_columns(matrix: list[list[float]], frac_coords: list[list[float]],
                            species: list[list[tuple[str, float]]], pbc: tuple[bool, bool, bool],
                            displacements: Any, labels: list[tuple[str, str, int]] | None) -> Structure:
    """_structure with its optional per-site columns (for pickles)."""
    structure = _structure(matrix, frac_coords, species, pbc)
    if displacements is not None:
        structure = structure.with_displacements(displacements)
    if labels is not None:
        structure = structure._with_disorder(labels)
    return structure
