"""molvane: radial distribution functions of crystals, disorder included."""

import copyreg
import importlib
from typing import Any

from molvane._bins import number_density
from molvane._molvane import ReadWarning, Structure, __version__, _set_plot_hook, read_xyz_trajectory
from molvane.analysis import RDF, rdf, rdf_average
from molvane.interop import reduce_structure, from_ase, from_pymatgen, same_structure, to_ase, to_pymatgen
from molvane.io import read, write
from molvane.trajectory import (TrajectoryIndex, average_prdf, index_xyz_trajectory, iread, iter_xyz_frames,
                                trajectory_rdf)

copyreg.pickle(Structure, reduce_structure)


def _save_plots(structure: Structure, r: Any, partials: Any, total: Any, folder: str, bin_size: float,
                title: str | None) -> None:
    """What ``Structure.prdf(save_plots=folder)`` hands its curves to: they go
    on to ``molvane.plotting.save_prdf_plots`` with the density N / V. The
    module is looked up at each call, through the import system."""
    density = number_density(structure)
    save = importlib.import_module("molvane.plotting").save_prdf_plots
    save(r, partials, total, folder, bin_size=bin_size, title=title, density=density)


_set_plot_hook(_save_plots)

__all__ = ["Structure", "ReadWarning", "read_xyz_trajectory", "average_prdf", "RDF", "rdf", "rdf_average",
           "index_xyz_trajectory", "iread", "iter_xyz_frames", "trajectory_rdf", "TrajectoryIndex",
           "read", "write", "from_ase", "to_ase", "from_pymatgen", "to_pymatgen", "same_structure", "__version__"]
