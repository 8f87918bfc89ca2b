"""molvane: radial distribution functions of crystals, disorder included."""

import copyreg

from molvane._molvane import ReadWarning, Structure, __version__, read_xyz_trajectory
from molvane.analysis import RDF, rdf, rdf_average
from molvane.disorder import PairDecision, exclusions
from molvane.interop import _reduce_structure, from_ase, from_pymatgen, same_structure, to_ase, to_pymatgen
from molvane.io import read, write
from molvane.trajectory import (TrajectoryIndex, average_prdf, index_xyz_trajectory, iter_xyz_frames,
                                trajectory_rdf)

copyreg.pickle(Structure, _reduce_structure)

__all__ = ["Structure", "ReadWarning", "read_xyz_trajectory", "average_prdf", "RDF", "rdf", "rdf_average",
           "index_xyz_trajectory", "iter_xyz_frames", "trajectory_rdf", "TrajectoryIndex",
           "read", "write", "from_ase", "to_ase", "from_pymatgen", "to_pymatgen", "same_structure", "exclusions", "PairDecision",
           "__version__"]
