"""Types of the native module molvane._molvane."""

import os
from collections.abc import Callable, Sequence
from typing import Any, Final, TypeAlias, TypedDict, final

import numpy as np
import numpy.typing as npt

__version__: Final[str]
__all__ = ["Structure", "read_xyz_trajectory", "__version__"]

_FloatArray = npt.NDArray[np.float64]
_Pbc = tuple[bool, bool, bool]
# Rows of numbers: nested sequences, or a 2-D NumPy array of numbers.
_Rows = Sequence[Sequence[float]] | npt.NDArray[np.floating[Any] | np.integer[Any]]
# A CIF data block by name, by index (negative from the end), or None for the first with atom sites.
_Block = str | int | None
# A file system path: text or a path-like object such as pathlib.Path.
_Path = str | os.PathLike[str]

class _Defaults(TypedDict):
    cutoff: float
    bin_size: float
    symprec: float
    max_sites: int
    seed: int
    max_denominator: int
    reach: float

_DEFAULTS: Final[_Defaults]

class ReadWarning(UserWarning): ...

class _ReportRow(TypedDict):
    element: str
    target_occupancy: float
    sites_in_pool: int
    atoms_placed: int
    actual_occupancy: float

class _ExpansionReport(TypedDict):
    scale: list[int]
    n_vacancies: int
    warnings: list[str]
    occupancy_report: list[_ReportRow]

# (i, j, offset, distance, kind, why, independent weight, physical weight)
_Decision = tuple[int, int, tuple[int, int, int], float, str, str, float, float]
# (assembly, group, row) of one site
_DisorderTag = tuple[str, str, int]

class _DisorderedSite(TypedDict):
    site_index: int
    frac_coords: list[float]
    occupancies: dict[str, float]
    total_occupancy: float
    vacancy: float

# None, U_iso, or U11 U22 U33 U12 U13 U23 (crystal basis).
_Displacement: TypeAlias = float | tuple[float, float, float, float, float, float] | None

@final
class Structure:
    def __new__(
        cls,
        matrix: _Rows,
        frac_coords: _Rows,
        species: Sequence[dict[str, float]],
        *,
        pbc: bool | Sequence[bool] = (True, True, True),
    ) -> Structure: ...
    @property
    def n_sites(self) -> int: ...
    @property
    def n_atoms(self) -> float: ...
    @property
    def is_ordered(self) -> bool: ...
    @property
    def volume(self) -> float: ...
    @property
    def elements(self) -> list[str]: ...
    @property
    def composition(self) -> dict[str, float]: ...
    @property
    def lattice_matrix(self) -> list[list[float]]: ...
    @property
    def frac_coords(self) -> list[list[float]]: ...
    @property
    def cart_coords(self) -> list[list[float]]: ...
    @property
    def species(self) -> list[dict[str, float]]: ...
    @property
    def _site_species(self) -> list[list[tuple[str, float]]]: ...
    @property
    def _frac_array(self) -> _FloatArray: ...
    @property
    def _disorder(self) -> list[_DisorderTag] | None: ...
    @property
    def pbc(self) -> _Pbc: ...
    def make_supercell(self, na: int, nb: int, nc: int) -> Structure: ...
    @property
    def displacements(self) -> list[_Displacement] | None: ...
    def with_displacements(self, displacements: Sequence[_Displacement | Sequence[float]] | None) -> Structure: ...
    def _pdf_pairs(
        self,
        displacements: Sequence[_Displacement] | None,
        rmin: float,
        rstep: float,
        n_points: int,
        delta1: float,
        delta2: float,
        qbroad: float,
        n_threads: int,
        reach: float | None,
    ) -> tuple[list[str], bytes, tuple[int, int, _Decision | None, int, _Decision | None]]: ...
    def _with_disorder(self, disorder: Sequence[_DisorderTag] | None) -> Structure: ...
    @staticmethod
    def from_cif(path: _Path, symprec: float = 0.0001, *, block: _Block = None) -> Structure: ...
    @staticmethod
    def from_cif_str(text: str, symprec: float = 0.0001, *, block: _Block = None) -> Structure: ...
    @staticmethod
    def from_str(text: str, fmt: str, symprec: float = 0.0001, *, block: _Block = None) -> Structure: ...
    @staticmethod
    def from_poscar(path: _Path) -> Structure: ...
    @staticmethod
    def from_xyz(path: _Path) -> Structure: ...
    def prdf(
        self,
        cutoff: float = 10.0,
        bin_size: float = 0.1,
        n_threads: int = 0,
        save_plots: _Path | None = None,
        title: str | None = None,
    ) -> tuple[_FloatArray, dict[tuple[str, str], _FloatArray], _FloatArray]: ...
    def total_rdf(
        self, cutoff: float = 10.0, bin_size: float = 0.1, n_threads: int = 0
    ) -> tuple[_FloatArray, _FloatArray]: ...
    def _pair_decisions(self, reach: float) -> tuple[list[_Decision], list[_Decision]]: ...
    def _physical_prdf(
        self, cutoff: float, bin_size: float, n_threads: int, reach: float
    ) -> tuple[
        _FloatArray, dict[tuple[str, str], _FloatArray], _FloatArray,
        tuple[int, int, _Decision | None, int, _Decision | None],
    ]: ...
    @staticmethod
    def available_threads() -> int: ...
    def expand_occupancies(
        self, max_sites: int = 4096, seed: int = 42, max_denominator: int = 16
    ) -> tuple[Structure, _ExpansionReport]: ...
    def disorder_summary(self) -> list[_DisorderedSite]: ...

def read_xyz_trajectory(
    path: _Path,
    every: int = 1,
    start: int = 0,
    stop: int | None = None,
    cell: _Rows | None = None,
) -> tuple[list[Structure], list[int], int]: ...
def _structure(
    matrix: _Rows,
    frac_coords: _Rows,
    species: Sequence[Sequence[tuple[str, float]]],
    pbc: bool | Sequence[bool],
) -> Structure: ...
def _set_kernel(name: str) -> str: ...
def _set_plot_hook(function: Callable[..., object], /) -> None: ...

_SpeciesCounts = tuple[int, tuple[tuple[str, str], ...], bool]

@final
class _FrameReader:
    def __new__(
        cls,
        path: _Path,
        every: int = 1,
        start: int = 0,
        stop: int | None = None,
        cell: Sequence[Sequence[float]] | None = None,
    ) -> _FrameReader: ...
    @property
    def frames_read(self) -> int: ...
    def read(self, max_atoms: int, /) -> list[tuple[int, Structure]]: ...
    def warn(self, /) -> None: ...

def _index_xyz_trajectory(path: _Path, stop: int | None = None) -> tuple[bytes, bytes, int, int, int]: ...
def _read_indexed_frames(
    path: _Path, frames: bytes, file_size: int, mtime_ns: int, inode: int,
    cell: Sequence[Sequence[float]] | None = None
) -> tuple[list[tuple[int, Structure]], _SpeciesCounts]: ...
def _check_selected(frames_read: int, selected: int, /) -> None: ...
def _warn_species(counts: Sequence[_SpeciesCounts], /) -> None: ...
