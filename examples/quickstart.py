"""Build a small disordered structure by hand and look at it."""

import molvane

# Rock salt with half the cation sites shared by Fe and Ni.
a = 4.2
rocksalt = molvane.Structure(
    [[a, 0, 0], [0, a, 0], [0, 0, a]],
    [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5],
     [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5], [0.5, 0.5, 0.5]],
    [{"Fe": 0.5, "Ni": 0.5}, {"Mg": 1.0}, {"Mg": 1.0}, {"Mg": 1.0},
     {"O": 1.0}, {"O": 1.0}, {"O": 1.0}, {"O": 1.0}],
)
print(rocksalt)
print("volume:", rocksalt.volume, "A^3; atoms:", rocksalt.n_atoms)
print("composition:", rocksalt.composition)
print(rocksalt.make_supercell(2, 2, 2))
