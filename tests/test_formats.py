"""POSCAR/CONTCAR and extended XYZ readers, through the Structure factories."""
import pytest

from molvane import Structure

CUBE2 = 'Lattice="2 0 0 0 2 0 0 0 2"'


def poscar(*, comment="Fe O", scale="1.0", cell=("1 0 0", "0 1 0", "0 0 1"), names="Fe O",
           counts="1 1", extra=(), mode="Direct", coords=("0 0 0", "0.5 0.5 0.5")):
    lines = [comment, scale, *cell]
    if names is not None:
        lines.append(names)
    lines += [counts, *extra, mode, *coords]
    return "\n".join(lines) + "\n"


def read_poscar(text):
    return Structure.from_str(text, "poscar")


def read_xyz(text):
    return Structure.from_str(text, "xyz")


def test_vasp5_and_vasp4_layouts():
    s5 = read_poscar(poscar())
    assert s5.species == [{"Fe": 1.0}, {"O": 1.0}]
    assert s5.frac_coords == [[0, 0, 0], [0.5, 0.5, 0.5]]
    s4 = read_poscar(poscar(names=None))
    assert s4.species == s5.species and s4.frac_coords == s5.frac_coords
    assert read_poscar(poscar(names=None, comment="iron oxide")).species == [{"Ir": 1.0}, {"Ox": 1.0}]


def test_negative_scale_is_the_volume():
    s = read_poscar(poscar(scale="-27.0"))
    assert s.volume == pytest.approx(27.0, rel=1e-14)
    assert s.lattice_matrix[0][0] == pytest.approx(3.0, rel=1e-15)
    assert read_poscar(poscar(scale="2.0")).lattice_matrix == [[2, 0, 0], [0, 2, 0], [0, 0, 2]]


@pytest.mark.parametrize("scale, cell, mode, frac", [
    ("1", ("2 0 0", "0 2 0", "0 0 2"), "Cartesian", 0.25),
    ("2", ("1 0 0", "0 1 0", "0 0 1"), "Cartesian", 0.5),
    ("1", ("2 0 0", "0 2 0", "0 0 2"), "k", 0.25),
    ("1", ("2 0 0", "0 2 0", "0 0 2"), "K", 0.25),
    ("1", ("2 0 0", "0 2 0", "0 0 2"), "Direct", 0.5),
    ("1", ("2 0 0", "0 2 0", "0 0 2"), "d", 0.5),
    ("1", ("2 0 0", "0 2 0", "0 0 2"), "", 0.5),
])
def test_coordinate_modes(scale, cell, mode, frac):
    s = read_poscar(poscar(scale=scale, cell=cell, counts="1 0", mode=mode, coords=("0.5 0.5 0.5",)))
    assert s.frac_coords == [[frac] * 3]


def test_selective_dynamics_flags_and_unwrapped_coordinates():
    s = read_poscar(poscar(extra=("Selective dynamics",), coords=("0 0 0 T T F", "1.25 -0.1 0.5 F F F")))
    assert s.frac_coords == [[0, 0, 0], [1.25, -0.1, 0.5]]


def test_zero_counts_skip_their_species():
    s = read_poscar(poscar(names="A B C", counts="2 0 1", coords=("0 0 0", "0.1 0 0", "0.2 0 0")))
    assert [list(d) for d in s.species] == [["A"], ["A"], ["C"]]


@pytest.mark.parametrize("text, message", [
    ("a\n1\n1 0 0\n0 1 0\n0 0 1\nFe\n1\n", "POSCAR is too short to contain a structure"),
    (poscar(scale="x"), "expected a number, found 'x'"),
    (poscar(scale=""), "expected a number, found ''"),
    (poscar(cell=("1 0 0", "0 1", "0 0 1")), "lattice vector 2 is incomplete"),
    (poscar(cell=("1 0 0", "0 1 y", "0 0")), "expected a number, found 'y'"),
    (poscar(cell=("1 0 0", "1 0 0", "0 0 1")), "cell matrix is singular (zero volume)"),
    (poscar(scale="-8", cell=("1 0 0", "1 0 0", "0 0 1")), "cell matrix is singular (zero volume)"),
    (poscar(scale="0"), "cell matrix is singular (zero volume)"),
    (poscar(counts="2.0"), "bad atom count '2.0'"),
    (poscar(counts="1 -1"), "bad atom count '-1'"),
    (poscar(names=None, comment=""),
     "POSCAR does not name one species per atom count (VASP 4 files need the species on the comment line)"),
    (poscar(names="Fe", counts="1 1"),
     "POSCAR does not name one species per atom count (VASP 4 files need the species on the comment line)"),
    ("c\n1\n1 0 0\n0 1 0\n0 0 1\nFe\n1\nSelective", "POSCAR ends before the coordinates"),
    (poscar(counts="2 1"), "POSCAR ends after 2 of 3 coordinates"),
    (poscar(coords=("0 0 0", "0.5 0.5")), "coordinate line 2 is incomplete"),
    (poscar(coords=("0 0 0", "0.5 0.5 half")), "expected a number, found 'half'"),
    (poscar(counts="0 0", coords=()), "structure has no sites"),
    # A declared total far beyond the text fails without reserving for it.
    (poscar(counts="1 18446744073709551614"), "POSCAR ends after 2 of 18446744073709551615 coordinates"),
    (poscar(counts="18446744073709551615 1"),
     "POSCAR atom counts add up to more than 18446744073709551615 atoms"),
])
def test_poscar_failures(text, message):
    with pytest.raises(ValueError) as info:
        read_poscar(text)
    assert str(info.value) == message


@pytest.mark.parametrize("token, symbol", [
    ("Fe", "Fe"), ("fe", "Fe"), ("FE", "F"), ("Fe_pv", "Fe"), ("O1", "O"), ("Mg2+", "Mg"), ("26", "26"),
])
def test_species_tokens_are_cleaned(token, symbol):
    s = read_xyz(f"1\n{CUBE2}\n{token} 0 0 0\n")
    assert s.species == [{symbol: 1.0}]


@pytest.mark.parametrize("comment, atoms, frac", [
    (CUBE2, "Si 1 1 1", [0.5, 0.5, 0.5]),
    (CUBE2, "Si 3 0 0", [1.5, 0, 0]),
    ('lattice="2 0 0 0 2 0 0 0 2"', "Si 1 1 1", [0.5, 0.5, 0.5]),
    ('lattice="4 0 0 0 4 0 0 0 4" Lattice="2 0 0 0 2 0 0 0 2"', "Si 1 1 1", [0.5, 0.5, 0.5]),
    ('SuperLattice="2 0 0 0 2 0 0 0 2"', "Si 1 1 1", [0.5, 0.5, 0.5]),
    (CUBE2 + " Properties=pos:R:3:species:S:1", "Si 1 1 1 0.1 0.2 0.3", [0.5, 0.5, 0.5]),
])
def test_xyz_cell_field_and_atom_lines(comment, atoms, frac):
    s = read_xyz(f"1\n{comment}\n{atoms}\nX 0 0 0\n")
    assert s.species == [{"Si": 1.0}] and s.frac_coords == [frac]


@pytest.mark.parametrize("count", [" 3 ", "+3", "3"])
def test_xyz_count_line(count):
    assert read_xyz(f"{count}\n{CUBE2}\nO 0 0 0\nH 1 0 0\nH 0 1 0\n").n_sites == 3


@pytest.mark.parametrize("text, message", [
    ("1", "XYZ file is too short"),
    (f"3 atoms\n{CUBE2}\n", "first line of an XYZ file must be the atom count"),
    (f"-1\n{CUBE2}\n", "first line of an XYZ file must be the atom count"),
    ("1\nenergy=1\nSi 0 0 0\n",
     'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed'),
    ('1\nLATTICE="2 0 0 0 2 0 0 0 2"\nSi 0 0 0\n',
     'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed'),
    ("1\nLattice=2\nSi 0 0 0\n",
     'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed'),
    ('1\nLattice="2 0 0 0 2 0 0 0 2\nSi 0 0 0\n', 'unterminated Lattice="..." field'),
    ('1\nLattice="2 0 0 0 2 0 0 0"\nSi 0 0 0\n', 'Lattice="..." must hold 9 numbers, found 8'),
    ('1\nLattice="1,0,0 0 1 0 0 0 1"\nSi 0 0 0\n', "expected a number, found '1,0,0'"),
    ('1\nLattice="2 0 0 0 2 0 0 0 0"\nSi 0 0 0\n', "cell matrix is singular (zero volume)"),
    (f"1\n{CUBE2}", "XYZ ends after 0 of 1 atoms"),
    (f"1\n{CUBE2}\n\n", "atom line 1 is incomplete"),
    (f"2\n{CUBE2}\nSi 0 0 0\nSi 0 0\n", "atom line 2 is incomplete"),
    (f"1\n{CUBE2}\nSi 0 0 zero\n", "expected a number, found 'zero'"),
    (f"0\n{CUBE2}\n", "structure has no sites"),
    (f"18446744073709551615\n{CUBE2}\nSi 0 0 0\n", "XYZ ends after 1 of 18446744073709551615 atoms"),
])
def test_xyz_failures(text, message):
    with pytest.raises(ValueError) as info:
        read_xyz(text)
    assert str(info.value) == message


def test_only_the_first_frame_is_read():
    s = read_xyz(f"1\n{CUBE2}\nSi 1 1 1\n2\n{CUBE2}\nO 0 0 0\nO 1 1 1\n")
    assert s.species == [{"Si": 1.0}]


@pytest.mark.parametrize("fmt, reader", [
    ("POSCAR", "poscar"), ("contcar", "poscar"), ("Vasp", "poscar"), ("XYZ", "xyz"), ("ExtXYZ", "xyz"),
])
def test_from_str_format_names(fmt, reader):
    text = poscar() if reader == "poscar" else f"1\n{CUBE2}\nSi 1 1 1\n"
    assert Structure.from_str(text, fmt).n_sites == (2 if reader == "poscar" else 1)


def test_file_factories(tmp_path):
    (tmp_path / "POSCAR").write_text(poscar())
    assert Structure.from_poscar(str(tmp_path / "POSCAR")).n_sites == 2
    with pytest.raises(OSError, match=r"^could not read .*: No such file or directory \(os error 2\)$"):
        Structure.from_xyz(str(tmp_path / "missing.xyz"))
    with pytest.raises(TypeError):
        Structure.from_poscar(str(tmp_path / "POSCAR"), 1e-4)
    with pytest.raises(TypeError):
        Structure.from_xyz(path=str(tmp_path / "POSCAR"), symprec=1e-4)


# Corpus files: site counts and compositions worked out by hand from each file
# (VASP 4 files take their species names from the comment line).
CORPUS_READABLE = [
    ("poscar/BN.selective.dynamics.poscar", {"#": 1, "Cu": 1}),
    ("poscar/CONTCAR.h2o.md", {"H": 4, "O": 2}),
    ("poscar/Cr.velocity.poscar", {"Cr": 2}),
    ("poscar/Cr2O3.direct.poscar", {"Cr": 12, "O": 18}),
    ("poscar/MnO.cartesian.poscar", {"#": 12, "Mn": 12}),
    ("poscar/POSCAR", {"H": 6, "O": 3}),
    ("poscar/POSCAR-194", {"P": 4, "Ge": 4}),
    ("poscar/POSCAR-230-230-conv-62", {"H": 208}),
    ("poscar/POSCAR-5", {"F": 4, "Fi": 4, "C": 12}),
    ("poscar/POSCAR-78", {"Mo": 1, "S": 2}),
    ("poscar/POSCAR.P42nmc", {"Hf": 32, "O": 64}),
    ("poscar/POSCAR.SiC.partpert", {"Si": 4, "C": 4}),
    ("poscar/POSCAR.h4o3", {"H": 4, "O": 3}),
    ("poscar/POSCAR.oh.c", {"O": 1, "H": 1}),
    ("xyz/FA-001.xyz", {"C": 1, "H": 5, "N": 2}),
    ("xyz/pbc_false.xyz", {"H": 2, "O": 1}),
    ("xyz/unknown_props.xyz", {"H": 2, "O": 1}),
    ("xyz/velocities.xyz", {"H": 2, "O": 1}),
    ("xyz/xyz_B5C7_novirials.xyz", {"B": 5, "C": 7}),
]

NO_CELL = 'this XYZ file has no Lattice="..." field, so it has no cell and no periodic RDF can be computed'
CORPUS_FAILING = [
    ("poscar/MnO.misnumbered.poscar", "POSCAR ends after 24 of 36 coordinates"),
    ("poscar/POSCAR-225",
     "POSCAR does not name one species per atom count (VASP 4 files need the species on the comment line)"),
    ("xyz/nopbc.xyz", NO_CELL),
    ("xyz/spaces.xyz", NO_CELL),
]


def read_corpus_file(path):
    return Structure.from_poscar(str(path)) if path.parent.name == "poscar" else Structure.from_xyz(str(path))


@pytest.mark.parametrize("name, composition", CORPUS_READABLE)
def test_corpus_files_read(corpus, name, composition):
    s = read_corpus_file(corpus / name)
    assert s.composition == {k: float(v) for k, v in sorted(composition.items())}
    assert s.n_sites == sum(composition.values())
    assert s.is_ordered


@pytest.mark.parametrize("name, message", CORPUS_FAILING)
def test_corpus_files_fail(corpus, name, message):
    with pytest.raises(ValueError) as info:
        read_corpus_file(corpus / name)
    assert str(info.value) == message


def test_every_corpus_file_is_listed(corpus):
    listed = {name for name, _ in CORPUS_READABLE + CORPUS_FAILING}
    on_disk = {f"{d}/{p.name}" for d in ("poscar", "xyz") for p in (corpus / d).iterdir()}
    assert listed == on_disk


@pytest.mark.parametrize("name, _", CORPUS_READABLE)
def test_corpus_geometry_matches_ase(corpus, name, _):
    ase_io = pytest.importorskip("ase.io")
    np = pytest.importorskip("numpy")
    path = corpus / name
    ref = ase_io.read(str(path), format="vasp" if path.parent.name == "poscar" else "extxyz")
    s = read_corpus_file(path)
    assert s.n_sites == len(ref)
    np.testing.assert_allclose(s.lattice_matrix, ref.cell.array, rtol=0, atol=1e-12)
    np.testing.assert_allclose(s.frac_coords, ref.get_scaled_positions(wrap=False), rtol=0, atol=1e-12)
