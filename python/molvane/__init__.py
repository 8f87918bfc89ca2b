"""molvane: radial distribution functions of crystals, disorder included."""

from molvane._molvane import ReadWarning, Structure, __version__, read_xyz_trajectory
from molvane.analysis import RDF, rdf, rdf_average
from molvane.trajectory import average_prdf

__all__ = ["Structure", "ReadWarning", "read_xyz_trajectory", "average_prdf", "RDF", "rdf", "rdf_average",
           "__version__"]
