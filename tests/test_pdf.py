import itertools
import json
import math
import pickle
import warnings
from pathlib import Path

import numpy as np
import pytest

import molvane
from molvane import Structure
from molvane import read_gr

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data" / "pdf"
META = json.loads((DATA / "reference.json").read_text())
CASES = [(name, k) for name, case in META["cases"].items() for k in range(len(case["params"]))]


# --- the reference program's curves (scripts/gen_pdf_reference.py) ---


@pytest.mark.parametrize("name,k", CASES, ids=[f"{n}-{k}" for n, k in CASES])
def test_matches_reference_curves(name, k):
    """CIF displacement parameters (U, B, aniso rotated by the operations),
    weights, widths, damping and termination against PDFfit2."""
    case = META["cases"][name]
    p = case["params"][k]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", molvane.ReadWarning)
        structure = molvane.read(ROOT / case["cif"])
    scattering = "xray" if case["radiation"] == "X" else case["lengths"]
    result = molvane.pdf(structure, META["rmin"], META["rmax"], META["rstep"], scattering=scattering,
                         qmax=p["qmax"] or None, qdamp=p["qdamp"], qbroad=p["qbroad"], delta1=p["delta1"],
                         delta2=p["delta2"], uiso=p.get("uiso"), pairs="independent")
    expected = np.load(DATA / "reference.npz")[f"{name}_{k}"]
    assert result.r.shape == expected.shape
    assert np.abs(result.G - expected).max() <= 1e-4 * np.abs(expected).max()
    # No pair of these structures is decided: the physical weighting keeps the bits.
    physical = molvane.pdf(structure, META["rmin"], META["rmax"], META["rstep"], scattering=scattering,
                           qmax=p["qmax"] or None, qdamp=p["qdamp"], qbroad=p["qbroad"], delta1=p["delta1"],
                           delta2=p["delta2"], uiso=p.get("uiso"))
    assert np.array_equal(physical.G, result.G)


# --- an independent model: every image of every pair, by array arithmetic ---


def brute_force(lattice, coords, species, u_cart, weights, r, delta2=0.0, qbroad=0.0, reach=4, decided=None):
    """G(r) and its parts from a direct sum of Gaussians over the images
    within `reach` cells; species of one site share its position and tensor.
    With `decided` (molvane.disorder.pair_weights), each listed pair weighs
    its physical weight instead of o_i o_j in both orders, each species pair
    its share (p_a / o_i)(p_b / o_j)."""
    lattice, coords = np.asarray(lattice, float), np.asarray(coords, float)
    amount = {}
    for site in species:
        for e, o in site.items():
            amount[e] = amount.get(e, 0.0) + o
    n_atoms = sum(amount.values())
    mean_b = sum(amount[e] * weights[e] for e in amount) / n_atoms
    shifts = np.array(list(itertools.product(range(-reach, reach + 1), repeat=3)), float)
    parts = {}

    def gaussians(i, j, shifts):
        vectors = (coords[j] + shifts - coords[i]) @ lattice
        d = np.linalg.norm(vectors, axis=1)
        keep = (d > 1e-8) & (d < r[-1] + 2.0)
        n = vectors[keep] / d[keep, None]
        var = np.einsum("pk,kl,pl->p", n, u_cart[i] + u_cart[j], n) * (1 - delta2 / d[keep] ** 2
                                                                        + qbroad ** 2 * d[keep] ** 2)
        return (np.exp(-(r[:, None] - d[keep]) ** 2 / (2 * var)) / np.sqrt(2 * np.pi * var)).sum(axis=1)

    def add(i, j, curve, scale=1.0):
        for (a, oa), (b, ob) in itertools.product(species[i].items(), species[j].items()):
            key = tuple(sorted((a, b)))
            parts[key] = parts.get(key, 0.0) + scale * oa * ob * weights[a] * weights[b] * curve

    for i, j in itertools.product(range(len(coords)), repeat=2):
        add(i, j, gaussians(i, j, shifts))
    for i, j, offset, physical, independent in zip(*(decided[k] for k in ("i", "j", "offset", "physical",
                                                                           "independent"))) if decided else ():
        o_i, o_j = sum(species[i].values()), sum(species[j].values())
        add(i, j, gaussians(i, j, offset[None].astype(float)), 2 * (physical - independent) / (o_i * o_j))
    rho0 = n_atoms / abs(np.linalg.det(lattice))
    out = {}
    for (a, b), curve in parts.items():
        share = (1 if a == b else 2) * amount[a] * amount[b] * weights[a] * weights[b] / mean_b ** 2 / n_atoms ** 2
        out[(a, b)] = curve / mean_b ** 2 / (n_atoms * r) - 4 * np.pi * rho0 * share * r
    return out


def test_sum_of_gaussians_and_parts_match_a_direct_sum():
    """A triclinic cell with anisotropic tensors, a mixed site and a vacancy."""
    lattice = [[4.1, 0.0, 0.0], [0.7, 3.9, 0.0], [-0.4, 0.5, 4.4]]
    coords = [[0.05, 0.1, 0.0], [0.5, 0.45, 0.55], [0.3, 0.8, 0.25]]
    species = [{"Fe": 0.7, "Mn": 0.3}, {"O": 1.0}, {"O": 0.6}]
    u_cart = [np.array([[0.010, 0.002, 0.0], [0.002, 0.007, 0.001], [0.0, 0.001, 0.012]]),
              0.008 * np.eye(3),
              np.array([[0.006, -0.001, 0.002], [-0.001, 0.009, 0.0], [0.002, 0.0, 0.015]])]
    # Crystal-basis tensors: U = N^-1 L^-T U_c L^-1 N^-1, N = diag(a*, b*, c*).
    inv = np.linalg.inv(lattice)
    m = np.asarray(lattice).T @ np.diag(np.linalg.norm(inv, axis=0))
    crystal = [np.linalg.inv(m) @ u @ np.linalg.inv(m).T for u in u_cart]
    displacements = [tuple(c[[0, 1, 2, 0, 0, 1], [0, 1, 2, 1, 2, 2]]) for c in crystal]
    displacements[1] = 0.008
    structure = Structure(lattice, coords, species).with_displacements(displacements)
    weights = {"Fe": 9.45, "Mn": -3.73, "O": 5.803}
    result = molvane.pdf(structure, 0.5, 8.0, 0.01, scattering=weights, delta2=0.9, qbroad=0.02)
    expected = brute_force(lattice, coords, species, u_cart, weights, result.r, delta2=0.9, qbroad=0.02)
    scale = np.abs(result.G).max()
    assert set(result.pairs) == set(expected)
    for pair, curve in expected.items():
        assert np.abs(result.partial(*pair) - curve).max() <= 1e-9 * scale
    assert np.abs(result.G - sum(expected.values())).max() <= 1e-9 * scale
    # R(r) and g(r) from their definitions.
    rho = (result.G / (4 * np.pi * result.r) + result.rho0)
    assert np.allclose(result.R, 4 * np.pi * result.r ** 2 * rho, rtol=1e-12, atol=1e-12)
    assert np.allclose(result.g, rho / result.rho0, rtol=1e-12, atol=1e-12)


def split_and_grouped():
    """A mixed Fe/Mn position split 0.5 Å from an Fe one (0.5 + 0.4: one or
    the other) and two O/F positions of one disorder group (0.6 each:
    together), beside an ordered O, in an orthorhombic cell."""
    coords = [[0, 0, 0], [0.1, 0, 0], [0.5, 0.5, 0.3], [0.5, 0.5, 0.6], [0, 0.5, 0.5]]
    species = [{"Fe": 0.3, "Mn": 0.2}, {"Fe": 0.4}, {"O": 0.6}, {"O": 0.4, "F": 0.2}, {"O": 1.0}]
    tags = [("", "", 0), ("", "", 1), ("B", "1", 2), ("B", "1", 3), ("", "", 4)]
    return Structure(np.diag([5.0, 5.2, 5.4]), coords, species)._with_disorder(tags)


@pytest.mark.parametrize("make,tensors,counts", [
    (lambda: molvane.read(ROOT / "examples" / "disordered_perchlorate.cif"), False, (16, 12)),
    (split_and_grouped, False, (1, 1)),
    (split_and_grouped, True, (1, 1)),
])
def test_physical_pairs_match_a_direct_sum_with_the_decided_weights(make, tensors, counts):
    """Isotropic sites (summed in fine bins) and anisotropic ones (pair by
    pair) against the direct sum corrected by molvane.disorder.pair_weights."""
    s = make()
    rng = np.random.default_rng(7)
    if tensors:  # orthogonal axes: the crystal-basis U_ij are the Cartesian ones
        u_cart = [np.diag(rng.uniform(0.006, 0.02, 3)) + 0.002 * (np.ones((3, 3)) - np.eye(3)) for _ in s.species]
        s = s.with_displacements([tuple(u[[0, 1, 2, 0, 0, 1], [0, 1, 2, 1, 2, 2]]) for u in u_cart])
    else:
        u_iso = rng.uniform(0.006, 0.02, len(s.species))
        u_cart = [u * np.eye(3) for u in u_iso]
        s = s.with_displacements(list(u_iso))
    weights = {"Na": 11.0, "Cl": 17.0, "O": 8.0, "Fe": 9.45, "Mn": -3.73, "F": 5.654}
    weights = {e: weights[e] for e in s.elements}
    with pytest.warns(molvane.ReadWarning, match=rf"pdf: {counts[0]} pairs of positions weighted as exclusive "
                                                 rf"and {counts[1]} as together"):
        runs = [molvane.pdf(s, 0.5, 7.0, 0.01, scattering=weights, n_threads=n) for n in (1, 3)]
    result = runs[0]
    assert np.array_equal(result.G, runs[1].G)
    independent = molvane.pdf(s, 0.5, 7.0, 0.01, scattering=weights, pairs="independent")
    lattice = np.array(s.lattice_matrix)
    args = (lattice, s.frac_coords, s.species, u_cart, weights, result.r)
    expected = brute_force(*args, decided=molvane.disorder.pair_weights(s))
    scale = np.abs(result.G).max()
    assert set(result.pairs) == set(expected)
    for pair, curve in expected.items():
        assert np.abs(result.partial(*pair) - curve).max() <= 1e-9 * scale
    # The independent weighting is still the plain sum, and differs.
    plain = brute_force(*args)
    assert np.abs(independent.G - sum(plain.values())).max() <= 1e-9 * scale
    assert np.abs(independent.G - result.G).max() > 1e-2 * scale


def test_same_bits_on_any_number_of_threads_and_for_a_supercell(corpus):
    structure = molvane.read(corpus / "cif" / "9006030.cif")
    curves = [molvane.pdf(structure, rmax=12.0, qmax=20.0, n_threads=n).G for n in (1, 2, 3, 0)]
    assert all(np.array_equal(curves[0], c) for c in curves[1:])
    bigger = molvane.pdf(structure.make_supercell(2, 1, 1), rmax=12.0, qmax=20.0).G
    assert np.abs(bigger - curves[0]).max() <= 1e-10 * np.abs(curves[0]).max()


def test_large_supercell_same_bits_on_any_number_of_threads_and_the_cell_curve():
    """7 million pairs of a 4,096-atom supercell: the workers' fixed-point
    bin sums are folded into the totals along the way on one thread and only
    at the end on three; the curve is the 4-atom cell's."""
    cell = Structure(3.524 * np.eye(3), [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]], [{"Ni": 1.0}] * 4)
    big = cell.make_supercell(8, 8, 16)
    curves = [molvane.pdf(big, 1.0, 20.0, uiso={"Ni": 0.006}, n_threads=n).G for n in (1, 3)]
    assert np.array_equal(curves[0], curves[1])
    small = molvane.pdf(cell, 1.0, 20.0, uiso={"Ni": 0.006}).G
    assert np.abs(curves[0] - small).max() <= 1e-10 * np.abs(small).max()


def test_displaced_alloy_supercell_matches_a_direct_sum():
    """108 displaced atoms and a cutoff of almost the cell: the search on
    sub-cells finer than the cutoff, each pair once for both orders, and fine
    bins holding pairs at different distances (their mean stands in: off by
    (bin / sigma)^2 / 24 of a peak)."""
    rng = np.random.default_rng(3)
    base = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    coords = ((np.array(list(itertools.product(range(3), repeat=3)))[:, None] + base) / 3).reshape(-1, 3)
    coords += rng.normal(0.0, 0.004, coords.shape)
    species = [{"Cu": 1.0} if rng.random() < 0.5 else {"Au": 1.0} for _ in coords]
    lattice, uiso, weights = 10.8 * np.eye(3), {"Cu": 0.02, "Au": 0.015}, {"Cu": 29.0, "Au": 79.0}
    s = Structure(lattice, coords, species)
    runs = [molvane.pdf(s, 1.0, 8.0, 0.01, scattering=weights, uiso=uiso, n_threads=n) for n in (1, 3)]
    assert np.array_equal(runs[0].G, runs[1].G)
    u_cart = [uiso[next(iter(site))] * np.eye(3) for site in species]
    expected = brute_force(lattice, coords, species, u_cart, weights, runs[0].r, reach=2)
    scale = np.abs(runs[0].G).max()
    for pair, curve in expected.items():
        assert np.abs(runs[0].partial(*pair) - curve).max() <= 1e-5 * scale


# --- displacement parameters in the model ---


def test_cif_displacements_rotated_converted_and_kept():
    rutile = molvane.read(DATA / "rutile.cif")
    by_position = {tuple(np.round(f, 4)): d for f, d in zip(rutile.frac_coords, rutile.displacements)}
    # The 4_2 axis through (1/2, 1/2, 1/2) turns U12 round; the mirror keeps U13 = U23 = 0.
    assert by_position[(0.0, 0.0, 0.0)] == (0.0066, 0.0066, 0.0043, -0.0003, 0.0, 0.0)
    assert by_position[(0.5, 0.5, 0.5)] == pytest.approx((0.0066, 0.0066, 0.0043, 0.0003, 0.0, 0.0), abs=1e-15)
    assert by_position[(0.1952, 0.8048, 0.5)] == pytest.approx((0.0073, 0.0073, 0.0051, 0.0024, 0, 0), abs=1e-15)
    nacl = molvane.read(DATA / "nacl.cif")
    assert sorted(set(nacl.displacements)) == pytest.approx([1.18 / (8 * math.pi ** 2), 1.52 / (8 * math.pi ** 2)])
    again = pickle.loads(pickle.dumps(rutile))
    assert again.displacements == rutile.displacements
    assert Structure.from_cif_str(molvane.io.to_cif(rutile)).displacements == rutile.displacements
    mixed = ("data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n_atom_site_label\n"
             "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n"
             "_atom_site_B_iso_or_equiv\nFe1 0 0 0 0.5 0.8\nMn1 0 0 0 0.5 0.9\n")
    with pytest.warns(molvane.ReadWarning, match="1 atom-site row shared a site with other displacement "
                                                  "parameters, which the site kept \\(first: 'Mn1'\\)"):
        assert Structure.from_cif_str(mixed).displacements == [pytest.approx(0.8 / (8 * math.pi ** 2))]
    assert rutile.make_supercell(1, 2, 1).displacements == rutile.displacements * 2
    assert Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0, 0, 0]], [{"Cu": 1}]).displacements is None


def test_uiso_per_element_or_per_site_replaces_the_file_values():
    nacl = molvane.read(DATA / "nacl.cif")
    by_element = molvane.pdf(nacl, rmax=8.0, uiso={"Na": 0.01, "Cl": 0.012})
    per_site = molvane.pdf(nacl, rmax=8.0, uiso=[0.01 if s == {"Na": 1.0} else 0.012 for s in nacl.species])
    assert np.array_equal(by_element.G, per_site.G)
    assert not np.array_equal(by_element.G, molvane.pdf(nacl, rmax=8.0).G)


# --- files and figures ---


def test_gr_file_reads_back_and_gives_rw(tmp_path):
    result = molvane.pdf(molvane.read(DATA / "ni.cif"), 1.0, 10.0, 0.02, qmax=25.0)
    path = result.write_gr(tmp_path / "ni.gr")
    text = Path(path).read_text()
    assert "# qmax = 25.0" in text
    r, g = read_gr(path)
    assert np.allclose(r, result.r) and np.allclose(g, result.G, rtol=1e-9, atol=1e-9)
    assert result.rw(path) < 1e-9
    assert result.rw((result.r, 2 * result.G)) == pytest.approx(0.5)
    table = np.loadtxt(result.to_csv(tmp_path / "ni.csv"), delimiter=",", skiprows=1)
    assert np.allclose(table[:, 1], result.G) and np.allclose(table[:, 2], result.partial("Ni", "Ni"))


# --- bad input ---


@pytest.mark.parametrize("kwargs,error,message", [
    ({"rstep": 0.0}, ValueError, "rstep must be positive"),
    ({"rmin": 5.0, "rmax": 5.0}, ValueError, "rmax must be larger than rmin"),
    ({"qmax": 0.0}, ValueError, "qmax must be a positive number"),
    ({"qmax": float("nan")}, ValueError, "qmax must be a positive number"),
    ({"rstep": 1e-9}, ValueError, "the grid would hold more than 4194304 points"),
    ({"scattering": "electron"}, ValueError, "weights must be 'neutron', 'xray'"),
    ({"scattering": {"Na": 3.6}}, ValueError, "no weight given for Cl"),
    ({"uiso": {"Na": 0.01}}, ValueError, "uiso gives no value for Cl"),
    ({"uiso": {"Na": 0.01, "Cl": -0.01}}, ValueError, r"uiso of site 4 \(Cl\) is -0.01"),
    ({"delta2": -1.0}, ValueError, "delta2 must be a number of at least 0"),
    ({"delta1": 3.0}, ValueError, "delta1 and delta2 leave no peak width for pairs at 2.8"),
    ({"pairs": "random"}, ValueError, "pairs must be 'physical' or 'independent'"),
])
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        molvane.pdf(molvane.read(DATA / "nacl.cif"), **{"rmax": 6.0, **kwargs})


def test_sites_without_or_with_impossible_displacements_are_named():
    plain = Structure([[3, 0, 0], [0, 3, 0], [0, 0, 3]], [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Cs": 1}, {"Cl": 1}])
    with pytest.raises(ValueError, match="no displacement parameters; give uiso"):
        molvane.pdf(plain)
    with pytest.raises(ValueError, match=r"1 site has no displacement parameters \(site 1 \(Cl\)\)"):
        molvane.pdf(plain.with_displacements([0.01, None]))
    flat = plain.with_displacements([0.01, (0.01, 0.01, 0.01, 0.02, 0.0, 0.0)])
    with pytest.raises(ValueError, match=r"site 1 \(Cl\) are not positive definite"):
        molvane.pdf(flat)
    with pytest.raises(ValueError, match="not a finite number"):
        plain.with_displacements([0.01, float("inf")])


def test_cli_writes_curve_gr_and_figure(tmp_path, capsys):
    from molvane.cli import main

    pytest.importorskip("matplotlib")
    args = ["pdf", str(DATA / "ni.cif"), "--rmin", "1", "--rmax", "8", "--qmax", "25", "--out", str(tmp_path)]
    assert main(args) == 0
    assert main([*args[:-1], str(tmp_path / "again"), "--uiso", "Ni=0.008", "--data", str(tmp_path / "ni.gr")]) == 0
    assert "Rw = 0." in capsys.readouterr().out
    r, g = read_gr(tmp_path / "ni.gr")
    assert len(r) == 701 and (tmp_path / "again" / "ni_pdf.png").stat().st_size > 0
    with pytest.raises(SystemExit):
        main(["pdf", str(DATA / "ni.cif"), "--uiso", "Ni"])
    perchlorate = str(ROOT / "examples" / "disordered_perchlorate.cif")
    assert main(["pdf", perchlorate, "--uiso", "0.01", "--rmax", "5", "--out", str(tmp_path / "p")]) == 0
    out, err = capsys.readouterr()
    assert "pairs: 16 exclusive, 12 together" in out and "warning: pdf: 16 pairs of positions" in err
    assert main(["pdf", perchlorate, "--out", str(tmp_path / "q")]) == 2
    assert "no displacement parameters; give --uiso U or --uiso EL=U" in capsys.readouterr().err
