"""Pairs of partial positions that exclude one another or come together:
the decisions (molvane.exclusions), the disorder labels a CIF carries, and
the physically weighted curves, checked against a brute-force pair sum that
applies the rules on its own (covalent radii from periodictable)."""

import itertools
import math
import pickle
import re
import warnings
from pathlib import Path

import numpy as np
import periodictable
import pytest

import molvane

REACH = 3.0


def _radius(symbol):
    return getattr(periodictable.elements, symbol).covalent_radius or 0.0


def reference_weight(s, tags, i, j, d, reach=REACH):
    """Weight of the pair (site i, image of site j at distance d) by the rules,
    as site occupancies: product, 0 or the smaller one."""
    oi, oj = (sum(s.species[k].values()) for k in (i, j))
    if not (0 < oi < 1 - 1e-6 and 0 < oj < 1 - 1e-6):
        return oi * oj
    ri = max(_radius(e) for e in s.species[i])
    rj = max(_radius(e) for e in s.species[j])
    close = d < max(0.7, 0.6 * (ri + rj))
    (ai, gi, rowi), (aj, gj, rowj) = (tags[i], tags[j]) if tags else (("", "", i), ("", "", j))
    related = gi and gj and ai == aj and d < reach
    negative = gi.startswith("-") and gi[1:].isdigit() and int(gi) < 0
    if oi + oj <= 1.001 and ((related and gi != gj) or (related and negative and rowi == rowj) or close):
        return 0.0
    if related and gi == gj and not negative:
        return min(oi, oj)
    return oi * oj


def brute_force_counts(s, cutoff, bin_size, physical=True):
    """(a, b) -> occupancy-weighted ordered pair counts per bin, over every
    image within the cutoff; a site's species share its pair weight as their
    occupancies do."""
    m = np.array(s.lattice_matrix)
    f = np.array(s.frac_coords)
    tags = s._disorder
    nbins = int(math.ceil((cutoff + bin_size) / bin_size)) - 1
    reach = [int(math.ceil(cutoff / w)) + 1 for w in (1 / np.linalg.norm(np.linalg.inv(m), axis=0))]
    counts = {}
    for i, j in itertools.product(range(len(f)), repeat=2):
        oi, oj = (sum(s.species[k].values()) for k in (i, j))
        for n in itertools.product(*(range(-k, k + 1) for k in reach)):
            d = float(np.linalg.norm((f[j] + n - f[i]) @ m))
            if d <= 1e-8 or d >= cutoff:
                continue
            w = reference_weight(s, tags, i, j, d) if physical else oi * oj
            for (a, pa), (b, pb) in itertools.product(s.species[i].items(), s.species[j].items()):
                counts.setdefault((a, b), np.zeros(nbins))[int(d / bin_size)] += w * (pa / oi) * (pb / oj)
    return counts


def engine_counts(result):
    """The occupancy-weighted pair counts behind an RDF's partial densities."""
    shells = 4.1887902047863905 * (result.edges[1:] ** 3 - result.edges[:-1] ** 3)
    return {p: result.density(*p) * shells * result.composition[p[0]] for p in result.pairs}


def anion(orientations=2):
    """A tetrahedral XO4 anion disordered over two orientations (groups 1 and
    2 of assembly A, 0.5 each) in a 9 Å cubic cell, plus an ordered Na."""
    centre = np.array([0.5, 0.5, 0.5])
    tetra = np.array([[1, 1, 1], [1, -1, -1], [-1, 1, -1], [-1, -1, 1]]) * (1.45 / math.sqrt(3) / 9)
    coords, species, tags = [list(centre), [0, 0, 0]], [{"Cl": 1.0}, {"Na": 1.0}], [("", "", 0), ("", "", 1)]
    for g in range(orientations):
        for k, v in enumerate(tetra if g == 0 else -tetra):
            coords.append(list(centre + v))
            species.append({"O": 0.5})
            tags.append(("A", str(g + 1), 2 + 4 * g + k))
    s = molvane.Structure(np.eye(3) * 9, coords, species)
    return s._with_disorder(tags)


def split_na():
    """Two Na positions 1.65 Å apart, 0.2 and 0.6: one or the other."""
    return molvane.Structure(np.eye(3) * 6, [[0, 0, 0], [0.275, 0, 0], [0.5, 0.5, 0.5]],
                             [{"Na": 0.2}, {"Na": 0.6}, {"Co": 1.0}])


def small_split_na():
    """The split Na in a cell narrower than twice the too-close distance, so
    that a pair of sites meets itself in more than one image."""
    return molvane.Structure(np.diag([6, 3.5, 3.5]), [[0, 0, 0], [0.275, 0, 0]], [{"Na": 0.2}, {"Na": 0.6}])


def mixed_anion():
    """The anion with O and F sharing each position (0.3 and 0.2), and a
    split Na/K site: sites of several species."""
    s = anion()
    species = [{"O": 0.3, "F": 0.2} if "O" in sp else sp for sp in s.species]
    coords = s.frac_coords + [[0.1, 0.1, 0.1], [0.1, 0.1, 0.1 + 1.65 / 9]]
    species += [{"Na": 0.2, "K": 0.1}, {"Na": 0.6}]
    disorder = s._disorder + [("", "", 10), ("", "", 11)]
    return molvane.Structure(np.eye(3) * 9, coords, species)._with_disorder(disorder)


def many_split_na():
    """Seventeen split Na sites of distinct occupancies (34 classes of
    partial sites, more than the rules tabulate) in a 14 Å cell."""
    coords, species = [], []
    for k in range(17):
        x, y, z = (k % 3) * 4.5 / 14, (k // 3 % 3) * 4.5 / 14, (k // 9) * 6.5 / 14
        o = round(0.20 + 0.01 * k, 2)
        coords += [[x, y, z], [x + 1.2 / 14, y, z]]
        species += [{"Na": o}, {"Na": round(0.9 - o, 2)}]
    return molvane.Structure(np.eye(3) * 14, coords, species)


def anion_one_row():
    """The anion with every site naming the same row under different labels,
    which the rules must not take for images of one row."""
    s = anion()
    return s._with_disorder([(a, g, 7) for a, g, _ in s._disorder])


@pytest.mark.parametrize("make", [split_na, anion, small_split_na, anion_one_row, mixed_anion, many_split_na])
def test_physical_curves_match_brute_force_and_independent_is_prdf(make):
    s = make()
    with pytest.warns(molvane.ReadWarning, match=r"weighted as exclusive"):
        physical = molvane.rdf(s, 5.5, 0.05)
    got, want = engine_counts(physical), brute_force_counts(s, 5.5, 0.05)
    for pair, curve in want.items():
        np.testing.assert_allclose(got[pair][:len(curve)], curve, rtol=1e-12, atol=1e-12)
    independent = molvane.rdf(s, 5.5, 0.05, pairs="independent")
    _, partials, total = s.prdf(5.5, 0.05)
    for pair in independent.pairs:
        assert np.array_equal(independent.density(*pair), partials[pair][:len(independent.r)])
    assert np.array_equal(independent.total_density(), total[:len(independent.r)])


def test_split_sodium_has_no_neighbour_below_the_exclusion():
    with pytest.warns(molvane.ReadWarning):
        result = molvane.rdf(split_na(), 6.0, 0.05)
    assert result.coordination("Na", "Na")[int(2.5 / 0.05)] == 0.0  # exactly: residues are cleared
    (d,) = molvane.exclusions(split_na())
    assert (d.i, d.j, d.offset, d.kind) == (0, 1, (0, 0, 0), "exclusive")
    assert d.distance == pytest.approx(1.65) and "covalent radii" in d.why


def test_anion_orientations_come_together():
    s = anion()
    with pytest.warns(molvane.ReadWarning, match=r"16 pairs of positions weighted as exclusive and 12 as together"):
        result = molvane.rdf(s, 4.0, 0.01)
    oo = 1.45 * math.sqrt(8 / 3)  # edge of the tetrahedron
    k = int(oo / 0.01) + 2
    # Each O has the three others of its orientation, each present with it.
    assert result.coordination("O", "O")[k] == pytest.approx(3.0, abs=1e-12)
    assert result.coordination("O", "O")[int(oo / 0.01) - 2] == 0.0
    independent = molvane.rdf(s, 4.0, 0.01, pairs="independent")
    # Spurious pairs between orientations at 1.67 Å, a quarter weight each.
    assert independent.coordination("O", "O")[int(oo / 0.01) - 2] == pytest.approx(1.5, abs=1e-12)
    kinds = {(d.kind, d.why) for d in molvane.exclusions(s)}
    assert kinds == {("exclusive", "groups '1' and '2' of assembly 'A'"), ("together", "group '1' of assembly 'A'"),
                     ("together", "group '2' of assembly 'A'")}


def test_bits_do_not_depend_on_threads_or_kernel():
    s = anion().make_supercell(2, 2, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        runs = [molvane.rdf(s, 8.0, 0.02, n) for n in (1, 2, 3, 8)]
        previous = molvane._molvane._set_kernel("plain")  # the decided pairs are found without AVX2 too
        try:
            runs.append(molvane.rdf(s, 8.0, 0.02))
        finally:
            molvane._molvane._set_kernel(previous)
    for other in runs[1:]:
        assert all(np.array_equal(runs[0].density(*p), other.density(*p)) for p in runs[0].pairs)


def test_corpus_without_decided_pairs_keeps_its_bits(corpus):
    checked = 0
    for path in sorted((corpus / "cif").glob("*.cif")):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                s = molvane.Structure.from_cif(str(path))
            except ValueError:
                continue
            if s.n_sites > 300 or molvane.exclusions(s):
                continue
            physical, independent = molvane.rdf(s, 6.0, 0.1), molvane.rdf(s, 6.0, 0.1, pairs="independent")
        assert all(np.array_equal(physical.density(*p), independent.density(*p)) for p in physical.pairs), path
        checked += 1
    assert checked >= 20


CIF = """data_x
_cell_length_a 8
_cell_length_b 8
_cell_length_c 8
_symmetry_space_group_name_H-M 'P -1'
loop_
_symmetry_equiv_pos_as_xyz
x,y,z
-x,-y,-z
loop_
_atom_site_label
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
_atom_site_disorder_assembly
_atom_site_disorder_group
K1 0 0 0 1 . .
O1 0.3 0.3 0.3 0.5 A 1
O2 0.32 0.26 0.3 0.5 A 2
C1 0.03 0.5 0.5 0.5 . -1
N1 0.25 0.5 0.5 1 . 7
"""


def test_cif_labels_survive_expansion_supercell_and_rules():
    s = molvane.Structure.from_cif_str(CIF)
    assert s._disorder == [("", "", 0), ("A", "1", 1), ("A", "1", 1), ("A", "2", 2), ("A", "2", 2),
                           ("", "-1", 3), ("", "-1", 3), ("", "7", 4), ("", "7", 4)]
    decided = {(d.i, d.j, d.offset): (d.kind, d.why) for d in molvane.exclusions(s)}
    assert decided[1, 3, (0, 0, 0)] == ("exclusive", "groups '1' and '2' of assembly 'A'")
    # The two images of C1 lie 0.48 Å apart across the inversion centre.
    assert decided[5, 6, (-1, 0, 0)] == ("exclusive", "images of one row of negative group '-1'")
    assert all(i != 7 and j != 7 for i, j, _ in decided)  # a group on full sites decides nothing
    big = s.make_supercell(2, 1, 1)
    assert big._disorder == s._disorder * 2
    assert len(molvane.exclusions(big)) == 2 * len(decided)
    assert s._with_disorder(None)._disorder is None


@pytest.mark.parametrize("reach", [0.0, -1.0, math.nan, math.inf])
def test_bad_reach_and_weighting(reach):
    with pytest.raises(ValueError, match="reach must be a positive finite distance"):
        molvane.exclusions(split_na(), reach)
    with pytest.raises(ValueError, match="reach must be a positive finite distance"):
        split_na()._pair_decisions(reach)
    with pytest.raises(ValueError, match="pairs must be 'physical' or 'independent'"):
        molvane.rdf(split_na(), pairs="both")


def test_too_close_but_overfull_stays_independent_with_a_warning():
    s = molvane.Structure(np.eye(3) * 6, [[0, 0, 0], [0.05, 0, 0]], [{"O": 0.6}, {"O": 0.6}])
    with pytest.warns(molvane.ReadWarning, match=r"1 pairs of positions are closer than their atoms allow"):
        assert molvane.exclusions(s) == []


@pytest.mark.parametrize("trip", ["pickle", "cif", "pymatgen", "ase"])
def test_labels_survive_round_trips(trip):
    s = anion()
    if trip == "pickle":
        back = pickle.loads(pickle.dumps(s))
    elif trip == "cif":  # written in P 1: one row per site
        back = molvane.Structure.from_cif_str(molvane.io.to_cif(s))
        s = s._with_disorder([(a, g, row) for row, (a, g, _) in enumerate(s._disorder)])
    elif trip == "pymatgen":
        back = molvane.from_pymatgen(molvane.to_pymatgen(s))
    else:
        back = molvane.from_ase(molvane.to_ase(s, occupancy=True))
    assert molvane.same_structure(back, s, tol=1e-12)
    assert not molvane.same_structure(back._with_disorder(None), s)


def too_close_pairs(expanded):
    """Pairs of atoms of an expanded (ordered) structure closer than the
    too-close distance, found by ASE's neighbour list."""
    from ase.neighborlist import neighbor_list

    atoms = molvane.to_ase(expanded)
    i, j, d = neighbor_list("ijd", atoms, 2 * 0.6 * 2.5)
    symbols = atoms.get_chemical_symbols()
    limit = np.array([max(0.7, 0.6 * (_radius(symbols[a]) + _radius(symbols[b]))) for a, b in zip(i, j)])
    return int(np.count_nonzero(d < limit))


@pytest.mark.parametrize("make", [split_na, anion])
def test_expansion_places_one_choice_per_cluster(make):
    s = make()
    expanded, report = s.expand_occupancies()
    assert too_close_pairs(expanded) == 0
    assert any(w.startswith("placed ") and "clusters of linked positions as one choice" in w
               for w in report["warnings"])
    n = report["scale"][0] ** 3
    counts = expanded.composition
    if make is split_na:  # 0.2 and 0.6 of every copy, exactly
        assert counts["Na"] == 0.8 * n
    else:  # every anion whole: four O at 1.45 Å around each Cl
        from ase.neighborlist import neighbor_list

        atoms = molvane.to_ase(expanded)
        i, j = neighbor_list("ij", atoms, 1.5)
        cl = [k for k, e in enumerate(atoms.get_chemical_symbols()) if e == "Cl"]
        assert [int(np.count_nonzero(i == k)) for k in cl] == [4] * n
        assert counts["O"] == 4 * n


def test_a_split_site_of_several_species_shares_its_copies_exactly():
    mixed = molvane.Structure(np.eye(3) * 6, [[0, 0, 0], [0.275, 0, 0]], [{"Na": 0.2, "K": 0.1}, {"Na": 0.6}])
    expanded, report = mixed.expand_occupancies()
    n = report["scale"][0] ** 3  # 10 x 10 x 10: every share comes out whole
    assert too_close_pairs(expanded) == 0
    assert expanded.composition == {"K": 0.1 * n, "Na": 0.8 * n}


def test_linked_positions_split_into_compatible_choices_by_hand():
    # O at 0, 0.5 and 1.0 Å: A-B and B-C too close (0.79 Å), A and C compatible. Hand-worked
    # split of the occupancies 0.6, 0.4, 0.3: B alone 0.4, A and C 0.3, A alone 0.3; the
    # 10 x 10 x 10 supercell takes them 400, 300 and 300 times, none empty.
    s = molvane.Structure(np.eye(3) * 6, [[0, 0, 0], [0.5 / 6, 0, 0], [1 / 6, 0, 0]],
                          [{"O": 0.6}, {"O": 0.4}, {"O": 0.3}])
    expanded, report = s.expand_occupancies()
    assert report["scale"] == [10, 10, 10]
    cells = {}
    for f in expanded.frac_coords:
        cell, x = divmod(round(f[0] * 60, 6), 6)
        cells.setdefault((cell, round(f[1] * 10), round(f[2] * 10)), []).append("ABC"[round(x * 2)])
    filled = sorted("".join(sorted(v)) for v in cells.values())
    assert {k: filled.count(k) for k in set(filled)} == {"B": 400, "AC": 300, "A": 300}
    assert not any("fewer atoms" in w for w in report["warnings"])
    # a ring of five O 0.7 Å apart, 0.4 each, only neighbours too close: 0.2 of each of the five
    # pairs of non-neighbours; 25 times each in the 5 x 5 x 5 supercell
    r = 0.7 / (2 * math.sin(math.pi / 5)) / 8
    ring = np.array([[0.5 + r * math.cos(0.4 * math.pi * k), 0.5 + r * math.sin(0.4 * math.pi * k), 0.5]
                     for k in range(5)])
    expanded, report = molvane.Structure(np.eye(3) * 8, ring, [{"O": 0.4}] * 5).expand_occupancies()
    pairs = {}
    for f in expanded.frac_coords:
        cell, local = np.divmod(np.asarray(f) * 5, 1.0)
        pairs.setdefault(tuple(cell), []).append(int(np.argmin(np.linalg.norm(ring - local, axis=1))))
    assert sorted(tuple(sorted(v)) for v in pairs.values()) == sorted(
        [(0, 2), (0, 3), (1, 3), (1, 4), (2, 4)] * 25)
    # at 0.45 the ring needs 0.45 x 5/2 = 1.125 of a cluster (its fractional chromatic number is
    # 5/2): scaled to 0.4 a position, 1458 O of 1640.25 in the 9 x 9 x 9 supercell
    expanded, report = molvane.Structure(np.eye(3) * 8, ring, [{"O": 0.45}] * 5).expand_occupancies()
    assert expanded.composition == {"O": 0.4 * 5 * 9**3} and stated_shortfall(report) == {"O": 182}
    # one group of an O at 0.5 and an N at 0.4, 2 Å apart (pair weight 0.4): O in 500 cells of
    # 1000, N in 400 of them
    group = molvane.Structure(np.eye(3) * 6, [[0, 0, 0], [2 / 6, 0, 0]], [{"O": 0.5}, {"N": 0.4}])
    expanded, report = group._with_disorder([("A", "1", 0), ("A", "1", 1)]).expand_occupancies()
    cells = {e: {tuple(np.floor(np.asarray(f) * 10 + 1e-9)) for f, s in zip(expanded.frac_coords, expanded.species) if e in s}
             for e in ("O", "N")}
    assert (len(cells["O"]), len(cells["N"])) == (500, 400) and cells["N"] <= cells["O"]
    assert stated_shortfall(report) == {}


def test_chains_and_clusters_too_large_are_refused():
    chain = molvane.Structure([[40, 0, 0], [0, 6, 0], [0, 0, 6]], [[k / 80, 0, 0] for k in range(80)],
                              [{"O": 0.4}] * 80)
    with pytest.raises(ValueError, match=r"chain through the crystal \(a chain of them reaches its own image"):
        chain.expand_occupancies()
    # two sites 1.5 Å apart that link on to the next cell: ten sites a row in the supercell, but endless
    short = molvane.Structure(np.diag([3.0, 6.0, 6.0]), [[0, 0, 0], [0.5, 0, 0]], [{"Na": 0.4}] * 2)
    with pytest.raises(ValueError, match=r"chain through the crystal \(a chain of them reaches its own image"):
        short.expand_occupancies()
    # a row of 70 ending 5.5 Å before the next: finite, but too large to place as one choice
    finite = molvane.Structure([[40, 0, 0], [0, 6, 0], [0, 0, 6]], [[k / 80, 0, 0] for k in range(70)],
                               [{"O": 0.4}] * 70)
    with pytest.raises(ValueError, match=r"form a cluster of more than 64 sites in the 3x3x3 supercell; a cluster "
                                         r"that large is not placed as one choice$"):
        finite.expand_occupancies()


# Public files with split positions or disorder groups (tests/data/disorder/MANIFEST.tsv,
# tests/data/corpus/MANIFEST.tsv).
DATA = Path(__file__).resolve().parent / "data"
REAL = ["corpus/cif/1004008-90-dot.cif", "corpus/cif/2009306-xyz-simple-fract.cif",
        "disorder/cod-1004001-butyl-groups.cif", "disorder/cod-1506182-groups-full-sites.cif",
        "survey/dans/Na0.8CoO2_P63mmc.cif",
        "survey/abipy/LLZO_partial_occ.cif",
        "disorder/cod-4134597-euhotp-nitrate-three-ways.cif", "disorder/cod-1553650-sifsix3ni-pyrazine-rotation.cif",
        "disorder/cod-7249359-zif8-methyl-negative-group.cif", "disorder/cod-4512072-uio66-split-oxygens.cif",
        "disorder/cod-4121463-mof808-formate-and-water.cif", "disorder/cod-4117561-sifsix1cu-sif6-rotation.cif",
        "disorder/cod-7100637-mil88b-pyridine-three-ways.cif", "disorder/supercell-rb-pst1-split-si-ga-site.cif",
        "disorder/cod-1521043-pzt-split-lead.cif"]
# Olex2 files whose groups 1 and 2 (no assembly) mark both a cluster's split oxygens and
# whole linkers or formates: within the reach these chain through UiO-66's framework and join
# MOF-808's node, linkers and formates into more than 64 sites; and the sodium cobaltate,
# whose Na1 and Na2 exclude one another in an endless honeycomb. The expansion refuses them
# rather than place a whole chain as one choice.
REFUSED = {"disorder/cod-4512072-uio66-split-oxygens.cif": "chain through the crystal",
           "disorder/cod-4121463-mof808-formate-and-water.cif": "more than 64 sites",
           "survey/dans/Na0.8CoO2_P63mmc.cif": "chain through the crystal"}


def expected_composition(s, n):
    """Atoms per element that the occupancies ask for in an n x n x n supercell."""
    total = {}
    for species in s.species:
        for element, occupancy in species.items():
            total[element] = total.get(element, 0.0) + occupancy * n**3
    return total


def stated_shortfall(report):
    """Atoms per element the report says were not placed ("(23 N, 44 O short)")."""
    for w in report["warnings"]:
        if "fewer atoms than the occupancies ask for" in w:
            return {e: int(k) for k, e in re.findall(r"(\d+) ([A-Z][a-z]?)(?=, |\s*short\))", w)}
    return {}


@pytest.mark.parametrize("name", REAL)
def test_real_files_keep_no_weight_below_the_too_close_distance(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        s = molvane.Structure.from_cif(str(DATA / name))
        assert s._pair_decisions(REACH)[1] == []  # nothing too close is left independent
        decisions = molvane.exclusions(s)
        result, independent = molvane.rdf(s, 4.0, 0.02), molvane.rdf(s, 4.0, 0.02, pairs="independent")
        if name in REFUSED:
            with pytest.raises(ValueError, match=REFUSED[name]):
                s.expand_occupancies()
            expanded = None
        else:
            expanded, report = s.expand_occupancies()
    clashes = 0
    for a, b in result.pairs:
        below = result.edges[1:] <= max(0.7, 0.6 * (_radius(a) + _radius(b)))
        assert not np.any(result.density(a, b)[below]), (a, b)
        clashes += np.count_nonzero(independent.density(a, b)[below])
    # the independent weighting has them exactly where a decided pair is that close
    assert (clashes > 0) == any(d.distance < max(0.7, 0.6 * (_radius(a) + _radius(b)))
                                for d in decisions for a in s.species[d.i] for b in s.species[d.j])
    assert expanded is None or too_close_pairs(expanded) == 0
    if expanded is not None:
        # every atom the occupancies ask for is placed, within the rounding of the counts, or the
        # report names the atoms missing where the decisions leave no room for them (SIFSIX-1-Cu's
        # pyridine C and H: four images of a negative-group row, one orientation's two 2.28 Å apart;
        # EuHOTP's nitrate orientations, whose occupancies exclude one another yet sum to 1.37)
        short = stated_shortfall(report)
        assert bool(short) == any(k in name for k in ("sifsix1cu", "euhotp"))
        got = expanded.composition
        for element, target in expected_composition(s, report["scale"][0]).items():
            assert abs(got.get(element, 0) + short.get(element, 0) - target) < (1.5 if short else 1.0), element
    # split cations: the sodium cobaltate's Na1 and Na2 1.65 Å apart (one or the other), PZT's Pb
    # over four positions 0.19 and 0.27 Å apart (a quarter each); no neighbour below 2.5 Å
    split = {"CoO2": ("Na", 0.9), "pzt": ("Pb", 0.75)}
    for key, (element, spurious) in split.items():
        if key in name:
            assert result.coordination(element, element)[int(2.5 / 0.02) - 1] == 0.0
            assert independent.coordination(element, element)[int(2.5 / 0.02) - 1] == pytest.approx(spurious)


def test_cli_prints_the_counts_and_takes_the_weighting(tmp_path, capsys):
    from molvane.cli import main

    path = str(DATA / "corpus/cif/1004008-90-dot.cif")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        assert main(["rdf", path, "--cutoff", "4", "--out", str(tmp_path / "a")]) == 0
        assert "pairs: 2 exclusive, 0 together, 0 too close but left independent" in capsys.readouterr().out
        assert main(["rdf", path, "--cutoff", "4", "--pairs", "independent", "--out", str(tmp_path / "b")]) == 0
    assert "pairs:" not in capsys.readouterr().out
    physical, independent = ((tmp_path / d / "rdf.csv").read_text() for d in "ab")
    assert physical != independent
