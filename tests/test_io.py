import warnings

import numpy as np
import pytest

import molvane
from molvane import io
from molvane._molvane import _structure

ORDERED = ["cif/10000001.cif", "cif/10010.cif", "cif/9012705.cif", "poscar/Cr2O3.direct.poscar",
           "poscar/Cr2O3.direct.poscar", "xyz/xyz_B5C7_novirials.xyz"]
DISORDERED = ["cif/1501508.cif", "cif/srycoo.cif", "cif/9006030.cif", "cif/funny-disorder-markups.cif"]


def load(corpus, name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        return molvane.read(corpus / name, format="poscar" if name.startswith("poscar/") else None)


def assert_same_crystal(back, s, *, same_axes):
    """Equal to 1e-12: the cell (its metric when a reader re-orients it),
    fractional coordinates modulo 1, and every site's species in order."""
    m, mb = np.array(s.lattice_matrix), np.array(back.lattice_matrix)
    scale = np.abs(m).max()
    if same_axes:
        assert np.abs(mb - m).max() <= 1e-12 * scale
    assert np.abs(mb @ mb.T - m @ m.T).max() <= 1e-12 * scale**2
    d = np.array(back.frac_coords) - np.array(s.frac_coords)
    assert np.abs(d - np.round(d)).max() <= 1e-12
    assert [[e for e, _ in site] for site in back._site_species] == [[e for e, _ in site] for site in s._site_species]
    occ = lambda x: [o for site in x._site_species for _, o in site]
    assert occ(back) == pytest.approx(occ(s), abs=1e-12)


@pytest.mark.parametrize("fmt, name", [("cif", n) for n in ORDERED + DISORDERED]
                         + [(f, n) for f in ("poscar", "xyz") for n in ORDERED])
def test_written_files_read_back_to_the_same_structure(tmp_path, corpus, fmt, name):
    s = load(corpus, name)
    path = tmp_path / f"out.{'vasp' if fmt == 'poscar' else fmt}"
    molvane.write(path, s)
    text = path.read_text()
    assert "e-" not in text and "e+" not in text  # no rounding noise such as 2.6e-16
    back = molvane.read(path)
    if fmt == "poscar":  # sites come grouped by element
        order = sorted(range(s.n_sites), key=lambda i: s._site_species[i][0][0])
        s = molvane._molvane._structure(s.lattice_matrix, [s.frac_coords[i] for i in order],
                                        [s._site_species[i] for i in order], s.pbc)
    assert_same_crystal(back, s, same_axes=fmt != "cif")


def test_cif_keeps_the_handedness_of_a_left_handed_cell(tmp_path):
    # A chiral tetrahedron of four atoms; the signed volume of its edges
    # flips sign in a mirror image.
    frac = [[0.5, 0.5, 0.5], [0.6, 0.5, 0.5], [0.5, 0.62, 0.5], [0.5, 0.5, 0.65]]
    s = molvane.Structure([[7, 0, 0], [0, 0, 8], [1, 9, 0]], frac, [{"C": 1}, {"N": 1}, {"O": 1}, {"F": 1}])

    def signed_volume(x):
        cart = np.array(x.cart_coords)
        return np.linalg.det(cart[1:] - cart[0])

    molvane.write(tmp_path / "chiral.cif", s)
    assert signed_volume(molvane.read(tmp_path / "chiral.cif")) == pytest.approx(signed_volume(s), rel=1e-12)


def test_written_texts():
    s = molvane.Structure([[4, 0, 0], [0, 4, 0], [0, 0, 5]], [[0, 0, 0], [0.5, 0.5, 0.25]], [{"O": 1}, {"Fe": 1}])
    assert io.to_poscar(s, comment=" two\tatoms ") == (
        "two atoms\n1.0\n  4 0 0\n  0 4 0\n  0 0 5\n  Fe O\n  1 1\nDirect\n  0.5 0.5 0.25\n  0 0 0\n")
    assert io.to_xyz(s) == ('2\nLattice="4 0 0 0 4 0 0 0 5" Properties=species:S:1:pos:R:3 pbc="T T T"\n'
                            "O 0 0 0\nFe 2 2 1.25\n")
    # Repeated symbols of a site are added up; a slab is written periodic, with a warning.
    slab = _structure(s.lattice_matrix, [[0.5, 0, 0]], [[("Fe", 0.25), ("Ni", 0.5), ("Fe", 0.125)]], (True, True, False))
    with pytest.warns(UserWarning, match=r"non-periodic directions of this structure \(pbc=\(True, True, False\)\)"):
        text = io.to_cif(slab, name="x y")
    assert text.startswith("data_x_y\n") and "\n_cell_length_c 5\n_cell_angle_alpha 90\n" in text
    assert text.endswith("\nFe1 Fe 0.5 0 0 0.375\nNi1 Ni 0.5 0 0 0.5\n")


@pytest.mark.parametrize("name, fmt", [
    ("x.CIF", "cif"), ("POSCAR", "poscar"), ("CONTCAR_relaxed", "poscar"), ("contcar", "poscar"),
    ("Si.vasp", "poscar"), ("a.Poscar", "poscar"), ("m.XYZ", "xyz"), ("run.extxyz", "xyz"),
])
def test_format_from_the_file_name(name, fmt):
    assert io.detect_format(name) == fmt


@pytest.mark.parametrize("name, structure, message", [
    ("x.vasp", "disordered", "a POSCAR holds ordered structures only"),
    ("x.xyz", "disordered", "an extended XYZ file holds ordered structures only"),
    ("x.cif", "charged", "cannot write the element symbol 'Fe2+' to a CIF"),
    ("x.txt", "ordered", "cannot tell the format of"),
    ("x.cif", "pdb", "unknown format 'pdb'; molvane writes cif, poscar and xyz"),
])
def test_write_refuses_what_would_not_read_back(tmp_path, name, structure, message):
    cell = [[3, 0, 0], [0, 3, 0], [0, 0, 3]]
    species = {"disordered": {"Fe": 0.5, "Ni": 0.5}, "charged": {"Fe2+": 1.0}}.get(structure, {"Fe": 1.0})
    s = molvane.Structure(cell, [[0, 0, 0]], [species])
    with pytest.raises(ValueError, match=message.replace("+", r"\+")):
        molvane.write(tmp_path / name, s, format="PDB" if structure == "pdb" else None)
    assert not (tmp_path / name).exists()


@pytest.mark.parametrize("name, structure, options, message", [
    ("x.cif", "not a structure", {}, "structure must be a molvane.Structure, not str"),
    ("x.xyz", None, {}, "structure must be a molvane.Structure, not NoneType"),
    ("x.cif", "ordered", {"format": 3}, "format must be a str, not int"),
    ("x.cif", "ordered", {"name": 3}, "name must be a str, not int"),
    ("x.vasp", "ordered", {"comment": b"c"}, "comment must be a str, not bytes"),
])
def test_write_names_an_argument_of_the_wrong_type(tmp_path, name, structure, options, message):
    if structure == "ordered":
        structure = molvane.Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0, 0, 0]], [{"Fe": 1.0}])
    with pytest.raises(TypeError, match=f"^{message}$"):
        molvane.write(tmp_path / name, structure, **options)
    assert not (tmp_path / name).exists()


def test_read_takes_the_format_from_the_name_or_the_argument(tmp_path, corpus):
    cif = (corpus / "cif/10010.cif").read_text()
    (tmp_path / "quartz.dat").write_text(cif)
    s = molvane.read(tmp_path / "quartz.dat", format="CIF", symprec=1e-3)
    assert molvane.same_structure(s, molvane.Structure.from_cif_str(cif, 1e-3))
    assert molvane.read(str(corpus / "poscar/Cr2O3.direct.poscar")).n_sites == 30
    with pytest.raises(ValueError, match="cannot tell the format of .*quartz.dat from its name; give format="):
        molvane.read(tmp_path / "quartz.dat")
    with pytest.raises(TypeError, match="symprec"):  # options reach the reader
        molvane.read(corpus / "poscar/Cr2O3.direct.poscar", symprec=0.1)


@pytest.mark.parametrize("name", ["cif/10010.cif", "cif/1501508.cif", "cif/srycoo.cif", "cif/9006030.cif"])
def test_peers_read_our_cif_to_the_same_composition(tmp_path, corpus, name):
    ase_io = pytest.importorskip("ase.io")
    pymatgen = pytest.importorskip("pymatgen.core")
    gemmi = pytest.importorskip("gemmi")
    s = load(corpus, name)
    path = tmp_path / "out.cif"
    molvane.write(path, s)
    expected = pytest.approx(s.composition, abs=1e-9)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        p = pymatgen.Structure.from_file(path)
        atoms = ase_io.read(path)
    assert len(p) == len(atoms) == s.n_sites
    assert {e.symbol: v for e, v in p.composition.element_composition.items()} == expected
    occupancy, kinds = atoms.info.get("occupancy"), atoms.arrays.get("spacegroup_kinds")
    ase_composition: dict[str, float] = {}
    for i, symbol in enumerate(atoms.get_chemical_symbols()):
        for e, v in (occupancy[str(kinds[i])] if occupancy else {symbol: 1.0}).items():
            ase_composition[e] = ase_composition.get(e, 0.0) + v
    assert ase_composition == expected

    small = gemmi.read_small_structure(str(path))
    gemmi_composition: dict[str, float] = {}
    for site in small.sites:
        gemmi_composition[site.element.name] = gemmi_composition.get(site.element.name, 0.0) + site.occ
    assert gemmi_composition == expected
    assert len({tuple(site.fract.tolist()) for site in small.sites}) == s.n_sites


def test_ase_reads_our_extended_xyz_to_the_same_atoms(tmp_path, corpus):
    ase_io = pytest.importorskip("ase.io")
    s = molvane.Structure([[5, 0, 0], [1, 6, 0], [0, 0.5, 7]], [[0, 0, 0], [0.25, 0.5, 0.125], [1.5, -0.2, 0.9]],
                          [{"Fe": 1}, {"O": 1}, {"Zr": 1}], pbc=(True, True, False))
    molvane.write(tmp_path / "out.xyz", s)
    atoms = ase_io.read(tmp_path / "out.xyz")
    assert atoms.get_chemical_symbols() == ["Fe", "O", "Zr"]
    assert np.abs(atoms.cell.array - s.lattice_matrix).max() <= 1e-12
    assert np.abs(atoms.positions - s.cart_coords).max() <= 1e-12
    assert tuple(atoms.pbc) == s.pbc


def test_every_reader_takes_a_path_object(tmp_path, corpus):
    # A pathlib.Path gives what its text gives; other objects keep the argument message.
    traj, cell = corpus / "traj/trajectory.xyz", [[20.0, 0, 0], [0, 20.0, 0], [0, 0, 20.0]]
    same = molvane.same_structure
    for read, name in [(molvane.Structure.from_cif, "cif/10010.cif"), (molvane.Structure.from_xyz,
                       "xyz/xyz_B5C7_novirials.xyz"), (molvane.Structure.from_poscar, "poscar/Cr2O3.direct.poscar")]:
        assert same(read(corpus / name), read(str(corpus / name)))
    frames, indices, n = molvane.read_xyz_trajectory(traj, cell=cell)
    assert [same(a, b) for a, b in zip(frames, molvane.read_xyz_trajectory(str(traj), cell=cell)[0])] == [True] * n
    assert [i for i, _ in molvane.iter_xyz_frames(traj, cell=cell)] == indices
    assert molvane.index_xyz_trajectory(traj).path == str(traj)
    assert np.array_equal(molvane.trajectory_rdf(traj, 5.0, cell=cell).g_total(),
                          molvane.trajectory_rdf(str(traj), 5.0, cell=cell).g_total(), equal_nan=True)
    pytest.importorskip("matplotlib")
    frames[0].prdf(5.0, save_plots=tmp_path / "plots")
    assert (tmp_path / "plots" / "rdf.csv").is_file()
    with pytest.raises(TypeError, match="^argument 'path': 'int' object cannot be converted to 'PyString'$"):
        molvane.Structure.from_xyz(3)
