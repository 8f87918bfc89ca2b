import math
import os
import tracemalloc

import numpy as np
import pytest

import molvane
from molvane import Structure

CUBE4 = [[4, 0, 0], [0, 4, 0], [0, 0, 4]]


def make(species, coords=None, matrix=CUBE4):
    coords = coords if coords is not None else [[0.1 * i, 0, 0] for i in range(len(species))]
    return Structure(matrix, coords, species)


def test_single_site_properties(cubic):
    assert cubic.n_sites == 1
    assert cubic.n_atoms == 1.0
    assert cubic.volume == 64.0
    assert cubic.is_ordered is True
    assert repr(cubic) == str(cubic) == "Structure(1 sites, Fe1)"
    assert cubic.lattice_matrix == [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]
    assert all(type(v) is float for row in cubic.lattice_matrix for v in row)


def test_properties_are_fresh_copies(cubic):
    coords = cubic.frac_coords
    coords[0][0] = 9.0
    cubic.species[0]["Fe"] = 0.0
    assert cubic.frac_coords == [[0.0, 0.0, 0.0]]
    assert cubic.species == [{"Fe": 1.0}]
    assert cubic.frac_coords is not cubic.frac_coords


def test_coordinates_and_species_order():
    s = Structure(CUBE4, [[0.5, 0.5, 0.5], [-0.25, 1.25, 0]], [{"O": 0.5, "Fe": 0.5}, {"Zn": 1, "al": 1e-9}])
    assert s.cart_coords == [[2.0, 2.0, 2.0], [-1.0, 5.0, 0.0]]
    assert s.frac_coords[1] == [-0.25, 1.25, 0.0]
    assert [list(d) for d in s.species] == [["Fe", "O"], ["Zn", "al"]]
    assert s.elements == ["Fe", "O", "Zn", "al"]
    assert list(s.composition) == s.elements


def test_sequence_inputs_of_any_kind():
    a = Structure(np.eye(3) * 4, np.array([[0.0, 0, 0]]), ({"Fe": np.float64(1.0)},))
    b = Structure(((4, 0, 0), (0, 4, 0), (0, 0, 4)), [(0, 0, 0)], [{"Fe": 1}])
    assert a.lattice_matrix == b.lattice_matrix and a.species == b.species


def test_coordinate_arrays_read_as_their_lists():
    rows = [[0.1, -0.2, 1.5], [1 / 3, 2 / 3, 0.0], [float("nan"), 0, 0]]
    species = [{"Fe": 1}, {"O": 0.5}, {"O": 1}]
    for array in (np.array(rows[:2]), np.asfortranarray(rows[:2]), np.array(rows[:2], dtype=np.float32),
                  np.array(rows[:2])[:, ::-1][:, ::-1], np.arange(6).reshape(2, 3)):
        s = Structure(CUBE4, array, species[:2])
        assert s.frac_coords == array.tolist() and s._frac_array.tolist() == array.tolist()
        assert s._frac_array.dtype == np.float64 and s._frac_array.shape == (2, 3)
    for coords in (rows, np.array(rows)):
        with pytest.raises(ValueError, match="site 2 has a coordinate that is not a finite number"):
            Structure(CUBE4, coords, species)
    with pytest.raises(ValueError, match="each coordinate must have 3 components"):
        Structure(CUBE4, np.zeros((1, 4)), species[:1])


@pytest.mark.parametrize(
    "matrix, coords, species, message",
    [
        ([[4, 0, 0, 1], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]] * 2, [{"Fe": 1}], "matrix must be 3x3"),
        ([[4, 0, 0], [0, 4, 0]], [[0, 0, 0]], [{"Fe": 1}], "matrix must be 3x3"),
        ([[1, 0, 0], [0, 1, 0], [0, 0, 1e-13]], [[0, 0, 0]], [{"Fe": 1}], "cell matrix is singular (zero volume)"),
        (CUBE4, [[0, 0, 0]] * 2, [{"Fe": 1}], "frac_coords and species must have the same length"),
        (CUBE4, [[0, 0]], [{"Fe": 1}], "each coordinate must have 3 components"),
        (CUBE4, [[0, 0, 0], [0, 0]], [{"Fe": 1}, {}], "each coordinate must have 3 components"),
        (CUBE4, [[0, 0, 0], [0, 0, 0]], [{}, {"Fe": 1}], "every site needs at least one species"),
        (CUBE4, [], [], "structure has no sites"),
        (CUBE4, [[0, 0, 0]], [{"Fe": 0.6, "Ni": 0.6}], "a site has occupancies summing to 1.2000, which exceeds 1"),
        (CUBE4, [[0, 0, 0]], [{"Fe": 0.5, "Ni": 0.5011}], "a site has occupancies summing to 1.0011, which exceeds 1"),
        (
            CUBE4,
            [[0, 0, 0]] * 2,
            [{"Fe": 1.25}, {"Ni": 1.5}],
            "a site has occupancies summing to 1.2500, which exceeds 1",
        ),
        (CUBE4, [[0, 0, 0]], [{"Fe": math.inf}], "a site has occupancies summing to inf, which exceeds 1"),
        ([[math.nan, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Fe": 1}], "cell matrix has an entry that is not a finite number"),
        ([[math.inf, 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Fe": 1}], "cell matrix has an entry that is not a finite number"),
        # Every invariant is checked after the occupancy sums, at the first offending site.
        (CUBE4, [[0, 0, 0], [0.5, math.nan, 0]], [{"Fe": 1}, {"Fe": 1}], "site 1 has a coordinate that is not a finite number"),
        (CUBE4, [[0, 0, 0]] * 2, [{"Fe": 1.0}, {"Ni": math.nan}], "the occupancy of Ni at site 1 is NaN; occupancies must be finite numbers"),
        (CUBE4, [[0, 0, 0]], [{"Fe": 0.5, "Ni": -math.inf}], "the occupancy of Ni at site 0 is -inf; occupancies must be finite numbers"),
        (CUBE4, [[0, 0, 0]], [{"Fe": 0.9, "Ni": -0.25}], "the occupancy of Ni at site 0 is -0.2500; occupancies must not be negative"),
        (CUBE4, [[0, 0, 0]] * 2, [{"Fe": -5.0, "Ni": 0.5}, {"Fe": 0.7, "Ni": 0.7}], "a site has occupancies summing to 1.4000, which exceeds 1"),
    ],
)
def test_constructor_validation(matrix, coords, species, message):
    with pytest.raises(ValueError) as info:
        Structure(matrix, coords, species)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "args, message",
    [
        (("abc", [], []), "argument 'matrix': Can't extract `str` to `Vec`"),
        (([["abc"]], [], []), "argument 'matrix': must be real number, not str"),
        ((CUBE4, {"a": 1}, []), "argument 'frac_coords': 'dict' object cannot be converted to 'Sequence'"),
        ((CUBE4, [[0, 0, 0]], "Fe"), "argument 'species': Can't extract `str` to `Vec`"),
        ((CUBE4, [[0, 0, 0]], [["Fe"]]), "argument 'species': 'list' object cannot be converted to 'PyDict'"),
        ((CUBE4, [[0, 0, 0]], [{1: 1.0}]), "argument 'species': 'int' object cannot be converted to 'PyString'"),
        ((CUBE4, [[0, 0, 0]], [{"Fe": None}]), "argument 'species': must be real number, not NoneType"),
        # conversions run in parameter order: a bad matrix is reported first
        ((5, 5, 5), "argument 'matrix': 'int' object cannot be converted to 'Sequence'"),
    ],
)
def test_constructor_type_errors(args, message):
    with pytest.raises(TypeError) as info:
        Structure(*args)
    assert str(info.value) == message


def test_periodic_directions_are_kept():
    assert make([{"Fe": 1}]).pbc == (True, True, True)
    assert make([{"Fe": 1}], matrix=CUBE4).make_supercell(1, 1, 1).pbc == (True, True, True)
    s = Structure(CUBE4, [[0, 0, 0]], [{"Fe": 0.5}], pbc=[1, 1, 0])
    assert s.pbc == (True, True, False)
    assert s.make_supercell(2, 1, 1).pbc == s.expand_occupancies()[0].pbc == (True, True, False)
    assert Structure(CUBE4, [[0, 0, 0]], [{"Fe": 1}], pbc=False).pbc == (False, False, False)
    with pytest.raises(ValueError, match="^pbc must be one bool or three"):
        Structure(CUBE4, [[0, 0, 0]], [{"Fe": 1}], pbc=(True, False))
    with pytest.raises(ValueError, match="^pbc must be one bool or three"):
        Structure(CUBE4, [[0, 0, 0]], [{"Fe": 1}], pbc=(True, False, True, True))
    with pytest.raises(TypeError, match="^argument 'pbc': "):
        Structure(CUBE4, [[0, 0, 0]], [{"Fe": 1}], pbc=None)
    with pytest.raises(TypeError, match="^argument 'pbc': "):
        Structure(CUBE4, [[0, 0, 0]], [{"Fe": 1}], pbc="TTF")
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        Structure(CUBE4, [[0, 0, 0]], [{"Fe": 1}], True)


@pytest.mark.parametrize(
    "occupancies, accepted, ordered",
    [
        ({"Fe": 0.5, "Ni": 0.501}, True, False),
        ({"Fe": 1.0005}, True, False),
        ({"Fe": 1.0000005}, True, True),
        ({"Fe": 0.0}, True, False),
    ],
)
def test_occupancy_limit_and_ordering(occupancies, accepted, ordered):
    s = make([occupancies])
    assert s.is_ordered is ordered


@pytest.mark.parametrize(
    "species, text",
    [
        ([{"Na": 1}, {"Cl": 1}] * 4, "Structure(8 sites, Cl4 Na4)"),
        ([{"Cu": 0.5, "Zn": 0.5}, {"O": 1}], "Structure(2 sites, Cu0.5000 O1 Zn0.5000, disordered)"),
        ([{"Cu": 0.5}, {"Cu": 0.5}], "Structure(2 sites, Cu1, disordered)"),
        ([{"Fe": 2.9999999995 / 3}] * 3, "Structure(3 sites, Fe3)"),
        ([{"Fe": 1}, {"Fe": 1}, {"Fe": 0.5}], "Structure(3 sites, Fe2.5000, disordered)"),
        ([{"Zn": 1}, {"al": 1}], "Structure(2 sites, Zn1 al1)"),
        ([{"X": 0.125}], "Structure(1 sites, X0.1250, disordered)"),
        ([{"Fe": 0.9995}], "Structure(1 sites, Fe0.9995, disordered)"),
    ],
)
def test_repr(species, text):
    assert repr(make(species)) == text


def test_n_atoms_and_composition():
    s = make([{"Cu": 0.5, "Zn": 0.5}, {"O": 1}])
    assert s.n_atoms == 2.0
    assert s.composition == {"Cu": 0.5, "O": 1.0, "Zn": 0.5}


def test_make_supercell_order_and_volume():
    s = Structure(CUBE4, [[0.5, 0, 0], [0, 0.5, 0]], [{"A": 1}, {"B": 1}])
    sc = s.make_supercell(2, 1, 1)
    assert sc.frac_coords == [[0.25, 0, 0], [0, 0.5, 0], [0.75, 0, 0], [0.5, 0.5, 0]]
    assert [list(d) for d in sc.species] == [["A"], ["B"], ["A"], ["B"]]
    assert sc.lattice_matrix[0] == [8.0, 0.0, 0.0]
    assert sc.volume == 2 * s.volume
    same = s.make_supercell(1, 1, 1)
    assert (same.frac_coords, same.species, same.lattice_matrix) == (s.frac_coords, s.species, s.lattice_matrix)


def test_make_supercell_222(cubic):
    sc = cubic.make_supercell(2, 2, 2)
    expected = [[i / 2, j / 2, k / 2] for i in range(2) for j in range(2) for k in range(2)]
    assert sc.frac_coords == expected
    assert sc.volume == 8 * cubic.volume
    assert cubic.n_sites == 1
    assert sc.make_supercell(nc=1, nb=1, na=3).n_sites == 24


def test_make_supercell_keeps_species_lists_and_unwrapped_coordinates():
    s = Structure(CUBE4, [[-0.5, 1.5, 0]], [{"Fe": 0.3, "Ni": 0.4}])
    sc = s.make_supercell(1, 2, 1)
    assert sc.frac_coords == [[-0.5, 0.75, 0.0], [-0.5, 1.25, 0.0]]
    assert sc.species == [{"Fe": 0.3, "Ni": 0.4}] * 2


def test_species_views_and_supercells_of_mixed_sites_against_plain_lists():
    # Sites of one species and of several (repeats, any symbol order) side by
    # side: every view as plain Python computes it from the lists given.
    rng = np.random.default_rng(3)
    symbols = ["Zn", "O", "Fe", "al", "Ba"]
    sites = []
    for _ in range(40):
        n = int(rng.choice([1, 1, 1, 2, 3]))
        picked = [symbols[int(k)] for k in rng.integers(0, len(symbols), n)]
        sites.append([(e, 1.0 if n == 1 else round(float(rng.uniform(0, 1 / n)), 3)) for e in picked])
    coords = rng.uniform(-1, 2, (len(sites), 3)).tolist()
    s = molvane._molvane._structure(CUBE4, coords, sites, (True, True, True))
    sc = s.make_supercell(2, 1, 3)
    cells = [(i, j, k) for i in range(2) for j in range(1) for k in range(3)]
    for got, lists, xyz in [(s, sites, coords),
                            (sc, sites * 6, [[(x + i) / 2, (y + j) / 1, (z + k) / 3] for i, j, k in cells
                                             for x, y, z in coords])]:
        assert got._site_species == lists
        assert got.frac_coords == xyz
        assert got.species == [{e: o for e, o in sorted(site, key=lambda pair: pair[0])} for site in lists]
        composition = {}
        for site in lists:
            for e, o in site:
                composition[e] = composition.get(e, 0.0) + o
        assert got.composition == dict(sorted(composition.items()))
        assert got.elements == sorted(composition)
        assert got.n_atoms == sum(sum(o for _, o in site) for site in lists)
        assert got.is_ordered is False


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_a_million_ordered_sites_hold_at_most_48_bytes_each():
    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    cell = Structure(CUBE4, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Cs": 1}, {"Cl": 1}])
    before = resident()
    big = cell.make_supercell(100, 100, 50)
    grown = resident() - before
    assert big.n_sites == 1_000_000
    assert grown <= 48 * big.n_sites


@pytest.mark.parametrize("counts", [(2**63, 2**63, 1), (10**6, 10**6, 10**6), (2**32, 2**32, 1)])
def test_make_supercell_refuses_impossible_sizes(cubic, counts):
    with pytest.raises(ValueError, match="would hold more than"):
        cubic.make_supercell(*counts)


def test_left_handed_cell_has_positive_volume():
    right = make([{"Fe": 1}], matrix=[[2, 0, 0], [0, 3, 0], [0, 0, 4]])
    left = make([{"Fe": 1}], matrix=[[2, 0, 0], [0, 0, 4], [0, 3, 0]])
    assert right.volume == left.volume == 24.0


def test_hexagonal_round_trip():
    a, c = 3.0, 5.0
    m = [[a, 0, 0], [-a / 2, a * math.sqrt(3) / 2, 0], [0, 0, c]]
    s = make([{"Mg": 1}], coords=[[0.25, 0.5, 0.75]], matrix=m)
    assert s.volume == pytest.approx(a * a * c * math.sqrt(3) / 2)
    assert s.cart_coords[0] == pytest.approx([0.0, 0.5 * a * math.sqrt(3) / 2, 0.75 * c])


def test_reading_properties_does_not_leak():
    s = make([{"Cu": 0.5, "Zn": 0.5}, {"O": 1}] * 4)
    names = ["n_sites", "n_atoms", "is_ordered", "volume", "elements", "composition",
             "lattice_matrix", "frac_coords", "cart_coords", "species"]

    def read_all(n):
        for _ in range(n):
            for name in names:
                getattr(s, name)
            repr(s)

    read_all(1000)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    read_all(20000)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 100_000
