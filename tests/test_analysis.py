import importlib.util
import sys
from pathlib import Path

import numpy as np
import pytest

import molvane
from molvane._shells import first_shell

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def cubic(a, frac, species):
    return molvane.Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], frac, species)


FCC = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]
ANIONS = [[0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5], [0.5, 0.5, 0.5]]


def rocksalt(a=4.2, cation=None):
    cation = cation or {"Mg": 1.0}
    return cubic(a, FCC + ANIONS, [cation] * 4 + [{"O": 1.0}] * 4)


@pytest.fixture(scope="module")
def ideal_gas():
    """4000 random points, two elements (2:1), in a 30 Å cube."""
    frac = np.random.default_rng(7).random((4000, 3))
    species = [{"A": 1.0} if i % 3 else {"B": 1.0} for i in range(len(frac))]
    return molvane.rdf(cubic(30.0, frac.tolist(), species), cutoff=8.0, bin_size=0.25)


def test_ideal_gas_is_uncorrelated(ideal_gas):
    far = ideal_gas.r > 3.0
    for a, b in ideal_gas.pairs:
        assert np.max(np.abs(ideal_gas.g(a, b)[far] - 1)) < 0.05, (a, b)
    assert np.max(np.abs(ideal_gas.g_total()[far] - 1)) < 0.02
    q = np.linspace(2.0, 20.0, 40)
    assert np.max(np.abs(ideal_gas.structure_factor(q) - 1)) < 0.03
    assert np.max(np.abs(ideal_gas.structure_factor(q, {"A": 1.0, "B": 3.0}) - 1)) < 0.03


def test_result_holds_the_engine_curves_unchanged():
    s = rocksalt()
    r, partials, total = s.prdf(6.0, 0.1)
    result = molvane.rdf(s, 6.0, 0.1)
    assert np.array_equal(result.edges[:-1], r) and result.edges[-1] == 60 * 0.1
    assert np.array_equal(result.r, (result.edges[1:] + result.edges[:-1]) / 2)
    assert result.pairs == tuple(partials)
    assert all(np.array_equal(result.density(*p), partials[p]) for p in partials)
    assert np.array_equal(result.total_density(), total)
    assert result.g_total()[-1] == pytest.approx(total[-1] / (s.n_atoms / s.volume))
    # Equal weights are the plain total; the result cannot be changed.
    assert np.allclose(result.weighted({"Mg": 2.0, "O": 2.0}), result.g_total(), rtol=1e-12, atol=1e-12)
    # A phase common to all (complex) weights changes nothing.
    assert np.allclose(result.weighted({"Mg": 2j, "O": 2j}), result.g_total(), rtol=1e-12, atol=1e-12)
    with pytest.raises(ValueError):
        result.total_density()[0] = 1.0
    with pytest.raises(AttributeError):
        result.volume = 1.0
    with pytest.raises(ValueError, match="no curve for the pair Mg-Fe"):
        result.g("Mg", "Fe")
    # cutoff 10 with bins of 0.3: the engine's 34th bin reaches 10.2 but counts only to 10.
    assert molvane.rdf(s, 10.0, 0.3).edges[-1] == pytest.approx(9.9)
    assert molvane.rdf(s, 10.0, 0.35).edges[-1] == pytest.approx(9.8)  # 10.15 overshoots by less than half a bin


def test_average_of_copies_is_the_single_result():
    s = rocksalt(cation={"Mg": 0.8, "Fe": 0.2})
    one, avg = molvane.rdf(s, 6.0, 0.1), molvane.rdf_average([s, s, s], 6.0, 0.1)
    assert avg.pairs == one.pairs and avg.composition == pytest.approx(one.composition)
    assert (avg.volume, avg.number_density) == pytest.approx((one.volume, one.number_density))
    for a, b in one.pairs:
        assert np.allclose(avg.g(a, b), one.g(a, b), rtol=1e-12, atol=0), (a, b)
        assert avg.bulk_density(b) == pytest.approx(one.bulk_density(b))
    assert np.allclose(avg.g_total(), one.g_total(), rtol=1e-12, atol=0)


def test_arguments_of_the_wrong_kind_are_named():
    s = rocksalt()
    cases = [
        (lambda: molvane.rdf_average([1, 2, 3]), TypeError, r"^frames\[0\] must be a molvane.Structure, not int$"),
        (lambda: molvane.rdf_average([s, "x"], 4.0, 0.5), TypeError, r"^frames\[1\] must be a molvane.Structure"),
        (lambda: molvane.rdf_average(5), TypeError, "^frames must be an iterable of molvane.Structure or the path"),
        (lambda: molvane.rdf(None), TypeError, "^structure must be a molvane.Structure, not NoneType$"),
        (lambda: molvane.average_prdf([s, 2]), TypeError, r"^structures\[1\] must be a molvane.Structure"),
        (lambda: molvane.RDF([0, 1], [1.0], [1.0], composition={}, volume=1.0, number_density=1.0, bulk={},
                             reference={}), TypeError, "^partials must be a mapping, not list$"),
        (lambda: molvane.RDF([0, 1], {("A", "A"): [1.0]}, [1.0], composition={"A": 1.0}, volume=1.0,
                             number_density=1.0, bulk={}, reference={}),
         ValueError, "^no reference or bulk density given for A-A, A$"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()


def test_element_without_amount_has_no_conventional_curves():
    result = molvane.rdf(rocksalt(cation={"Mg": 1.0, "Fe": 0.0}), 4.0, 0.1)
    assert np.isnan(result.g("Fe", "O")).all() and np.isnan(result.g("O", "Fe")).all()
    assert not np.isnan(result.g("Mg", "O")).any()


@pytest.mark.parametrize(
    "structure, pair, shell, beyond",
    [
        (cubic(3.6, FCC, [{"Cu": 1.0}] * 4), ("Cu", "Cu"), 12, (3.0, 12)),
        (cubic(2.87, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 1.0}] * 2), ("Fe", "Fe"), 8, (3.5, 14)),
        (rocksalt(), ("Mg", "O"), 6, (3.0, 6)),
        (cubic(3.567, FCC + [[x + 0.25, y + 0.25, z + 0.25] for x, y, z in FCC], [{"C": 1.0}] * 8),
         ("C", "C"), 4, (2.0, 4)),
        (rocksalt(cation={"Mg": 0.5, "Fe": 0.5}), ("O", "Fe"), 3, (3.0, 3)),
        (rocksalt(cation={"Mg": 0.5, "Fe": 0.5}), ("Fe", "O"), 6, (3.0, 6)),
        (rocksalt(cation={"Mg": 0.5, "Fe": 0.5}), ("Fe", "Mg"), 6, (4.0, 6)),
    ],
    ids=["fcc", "bcc", "rocksalt", "diamond", "half-O-Fe", "half-Fe-O", "half-Fe-Mg"],
)
def test_exact_coordination_numbers(structure, pair, shell, beyond):
    result = molvane.rdf(structure, 6.0, 0.05)
    found = result.first_shell(*pair)
    assert found.coordination == pytest.approx(shell, abs=1e-9)
    assert f"coordination={float(shell)!r})" in repr(found)  # without float noise
    radius, count = beyond
    k = int(np.searchsorted(result.edges, radius)) - 1
    assert result.coordination(*pair)[k] == pytest.approx(count, abs=1e-9)


@pytest.mark.parametrize("bin_size", [0.1, 0.02])
def test_first_shell_of_the_argon_trajectory(bin_size):
    structures, _, _ = molvane.read_xyz_trajectory(str(EXAMPLES / "argon.xyz"))
    # The frames come from a generator: rdf_average reads any iterable once.
    result = molvane.rdf_average((s for s in structures), 10.0, bin_size)
    with pytest.warns(DeprecationWarning):
        r, partials, total = molvane.average_prdf(structures, 10.0, bin_size)
    assert result.n_frames == 6 and result.is_average
    assert np.array_equal(result.density("Ar", "Ar"), partials["Ar", "Ar"])
    density = np.mean([s.n_atoms / s.volume for s in structures])
    assert result.g_total() == pytest.approx(total / density)
    shell = result.first_shell("Ar", "Ar")
    assert shell.peak == pytest.approx(3.75, abs=0.06)
    assert 4.2 < shell.minimum < 4.7
    assert shell.coordination == pytest.approx(12, abs=0.05)


EDGES = np.arange(41) * 0.1
VOLUMES = np.diff(4.1887902047863905 * EDGES**3)


def curve(**bins):
    values = np.zeros(40)
    for k, v in bins.items():
        values[int(k[1:])] = v
    return values


@pytest.mark.parametrize(
    "density, peak, minimum, coordination",
    [
        # Two shells far apart: the minimum is the middle of the empty stretch.
        (curve(b5=4, b30=4), 0.55, 1.75, 4 * VOLUMES[5]),
        # A stray pair well before the shell is noise, not a peak; a flat top
        # peaks in its middle.
        (curve(b5=0.05, b20=6, b21=6, b38=8), 2.05, 2.95, 0.05 * VOLUMES[5] + 6 * (VOLUMES[20] + VOLUMES[21])),
        # One that stands out by 15% of the tallest is the first peak.
        (curve(b5=1.5, b20=6, b21=6, b38=8), 0.55, 1.25, 1.5 * VOLUMES[5]),
        # Counted up to the minimum itself, halfway through its bin.
        (curve(b5=4, b30=4) + 0.5, 0.55, 1.75, 4 * VOLUMES[5] + 0.5 * 4.1887902047863905 * 1.75**3),
        # Still falling at the cutoff: no minimum.
        (np.linspace(5, 1, 40), 0.05, None, None),
        (np.zeros(40), None, None, None),
    ],
)
def test_first_shell_cases(density, peak, minimum, coordination):
    shell = first_shell(density, EDGES)
    if peak is None:
        assert shell is None
        return
    assert shell.peak == pytest.approx(peak) and shell.minimum == pytest.approx(minimum)
    assert shell.coordination == (None if coordination is None else pytest.approx(coordination))


def test_matches_ase_and_freud_on_an_ordered_cell():
    ase_rdf = pytest.importorskip("ase.geometry.rdf")
    from ase import Atoms

    rng = np.random.default_rng(3)
    frac = rng.random((300, 3))
    names = ["Cl" if i % 3 == 0 else "Na" for i in range(300)]
    result = molvane.rdf(cubic(12.0, frac.tolist(), [{n: 1.0} for n in names]), 5.5, 0.1)
    atoms = Atoms(names, scaled_positions=frac, cell=[12.0] * 3, pbc=True)
    assert np.allclose(ase_rdf.get_rdf(atoms, 5.5, 55, no_dists=True), result.g_total(), rtol=1e-10)
    got = ase_rdf.get_rdf(atoms, 5.5, 55, elements=("Na", "Cl"), no_dists=True)
    assert np.allclose(got, result.g("Na", "Cl"), rtol=1e-10)
    try:
        import freud
    except ImportError:
        pytest.skip("freud is not installed (pip install freud-analysis): coordination not cross-checked")
    centres = np.array([n == "Na" for n in names])
    points = frac * 12.0 - 6.0
    computed = freud.density.RDF(bins=55, r_max=5.5).compute(
        (freud.box.Box.cube(12.0), points[~centres]), query_points=points[centres])
    assert np.allclose(computed.n_r, result.coordination("Na", "Cl"), atol=1e-4)


def explicit_neutron_total(structure, edges, b):
    """Neutron-weighted total g(r) of an ordered cell by brute force over
    minimum-image pairs: Σ b_i b_j / (N ⟨b⟩² ρ shell volume)."""
    cell = np.array(structure.lattice_matrix)
    frac = np.array(structure.frac_coords)
    weight = np.array([b[next(iter(sp))] for sp in structure.species])
    d = frac[:, None, :] - frac[None, :, :]
    d -= np.round(d)
    r = np.linalg.norm(d @ cell, axis=-1)
    off = ~np.eye(len(frac), dtype=bool)
    hist, _ = np.histogram(r[off], bins=edges, weights=np.outer(weight, weight)[off])
    n = len(frac)
    shells = np.diff(4.0 / 3.0 * np.pi * edges**3)
    return hist / (n * weight.mean() ** 2 * (n / structure.volume) * shells)


def test_neutron_total_matches_ordered_supercells():
    periodictable = pytest.importorskip("periodictable")
    disordered = molvane.Structure.from_cif(str(EXAMPLES / "ferropericlase.cif"))
    result = molvane.rdf(disordered, 7.5, 0.25)
    expected = result.weighted("neutron")
    b = {e: periodictable.elements.symbol(e).neutron.b_c for e in result.elements}
    curves = []
    for seed in range(8):
        ordered, _ = disordered.expand_occupancies(max_sites=512, seed=seed, max_denominator=16)
        curves.append(explicit_neutron_total(ordered, result.edges, b))
    error = [np.abs(np.mean(curves[:k], axis=0) - expected).max() for k in (1, 8)]
    assert error[1] < error[0] and error[1] < 0.03 * expected.max()


def test_smearing_keeps_coordination_numbers():
    result = molvane.rdf(rocksalt(cation={"Mg": 0.8, "Fe": 0.2}), 8.0, 0.02)
    smeared = result.smeared(0.05)
    assert smeared.edges[-1] == pytest.approx(8.0 - 3 * 0.05, abs=0.02)
    assert np.array_equal(smeared.edges, result.edges[: len(smeared.edges)])
    # Between the first shells (gaps far wider than the smearing) every
    # running coordination number is kept.
    for radius in (1.6, 2.5, 3.3):
        k = int(np.searchsorted(result.edges, radius)) - 1
        for pair in result.pairs:
            assert smeared.coordination(*pair)[k] == pytest.approx(result.coordination(*pair)[k], abs=1e-6)
    assert smeared.first_shell("Mg", "O").coordination == pytest.approx(6.0, abs=1e-6)
    assert np.max(smeared.g("Mg", "O")) < 0.3 * np.max(result.g("Mg", "O"))
    # A pair 0.3 A apart smeared by 0.2 A: what spreads below r = 0 comes back.
    close = molvane.rdf(cubic(10.0, [[0, 0, 0], [0.03, 0, 0]], [{"Fe": 1.0}] * 2), 4.0, 0.02).smeared(0.2)
    assert close.coordination("Fe", "Fe")[100] == pytest.approx(1.0, abs=1e-9)


def test_smearing_is_a_gaussian_convolution_of_the_pair_counts():
    import math

    result, sigma = molvane.rdf(rocksalt(cation={"Mg": 0.8, "Fe": 0.2}), 6.0, 0.05), 0.12
    smeared = result.smeared(sigma)
    e, centre = result.edges, result.r
    volumes = 4 * np.pi / 3 * np.diff(e**3)
    cdf = np.vectorize(lambda x: 0.5 * math.erf(x / (sigma * math.sqrt(2))))
    # The share of bin j's pairs (at its centre) that lands in bin i, what
    # falls below r = 0 coming back mirrored.
    lo, hi = e[:-1, None] - centre[None, :], e[1:, None] - centre[None, :]
    share = cdf(hi) - cdf(lo) + cdf(-e[:-1, None] - centre[None, :]) - cdf(-e[1:, None] - centre[None, :])
    keep = len(smeared.r)
    for got, curve in [(smeared.total_density(), result.total_density()),
                       (smeared.density("Fe", "O"), result.density("Fe", "O"))]:
        expected = (share @ (curve * volumes) / volumes)[:keep]
        assert np.allclose(got, expected, rtol=0, atol=1e-7 * expected.max())


def test_average_is_the_correctly_rounded_mean_of_the_frames():
    from fractions import Fraction

    rng = np.random.default_rng(3)
    frames = [cubic(6.0 + 0.1 * k, rng.random((12, 3)).tolist(), [{"Mg": 0.7, "Fe": 0.3}, {"O": 0.9}] * 6)
              for k in range(3)]
    avg, curves = molvane.rdf_average(frames, 4.0, 0.1), [f.prdf(4.0, 0.1) for f in frames]

    def mean(values):
        return [float(sum(map(Fraction, column)) / len(frames)) for column in zip(*values)]

    nbins = len(avg.r)
    assert avg.total_density().tolist() == mean([c[2][:nbins] for c in curves])
    for pair in avg.pairs:
        assert avg.density(*pair).tolist() == mean([c[1][pair][:nbins] for c in curves]), pair
    assert [avg.volume, avg.bulk_density("Fe")] == mean([[f.volume, f.composition["Fe"] / f.volume] for f in frames])


def test_structure_factor_of_one_excess_bin():
    # g = 1 except 1 + delta in the bin centred at r0: S(Q) - 1 is that bin's
    # excess pairs times sin(Q r0) / (Q r0) times the Lorch window at r0.
    rho, delta, k = 0.05, 0.8, 12
    g = np.ones(40)
    g[k] += delta
    result = molvane.RDF(EDGES, {("X", "X"): rho * g}, rho * g, composition={"X": 4.0}, volume=80.0,
                         number_density=rho, bulk={"X": rho}, reference={("X", "X"): rho})
    q = np.array([0.5, 2.0, 7.5])
    r0, cutoff = 0.5 * (EDGES[k] + EDGES[k + 1]), EDGES[-1]
    window = np.sin(np.pi * r0 / cutoff) / (np.pi * r0 / cutoff)
    expected = 1 + rho * VOLUMES[k] * delta * np.sin(q * r0) / (q * r0) * window
    assert result.structure_factor(q) == pytest.approx(expected, rel=1e-12)


def test_structure_factor_is_the_direct_sum_in_bounded_memory():
    import math
    import tracemalloc

    result = molvane.rdf(rocksalt(cation={"Mg": 0.8, "Fe": 0.2}), 10.0, 0.01)
    edges, g, rho = result.edges.tolist(), result.g_total().tolist(), result.number_density
    cutoff = edges[-1]

    def direct(q):
        terms = []
        for i in range(len(g)):
            r = 0.5 * (edges[i] + edges[i + 1])
            shell = 4 * math.pi / 3 * (edges[i + 1] ** 3 - edges[i] ** 3)
            lorch = math.sin(math.pi * r / cutoff) / (math.pi * r / cutoff)
            terms.append(shell * (g[i] - 1) * math.sin(q * r) / (q * r) * lorch)
        return 1 + rho * math.fsum(terms)

    q = np.linspace(0.1, 50, 30_000)  # a Q x r matrix would take 240 MB
    tracemalloc.start()
    try:
        s = result.structure_factor(q)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 64e6
    for k in (0, 777, 29_999):
        assert s[k] == pytest.approx(direct(q[k]), rel=1e-10), k
        assert result.structure_factor(q[k : k + 1])[0] == s[k]  # the same bits alone
    assert result.structure_factor(q.reshape(100, 300)).tobytes() == s.tobytes()


def test_weights_come_from_periodictable_or_ask_for_the_extra(monkeypatch):
    result = molvane.rdf(rocksalt(), 4.0, 0.1)
    if importlib.util.find_spec("periodictable"):
        assert np.array_equal(result.weighted("xray"), result.weighted({"Mg": 12, "O": 8}))
    with pytest.raises(ValueError, match="weights must be 'neutron', 'xray'"):
        result.weighted("electron")
    with pytest.raises(ValueError, match="no weight given for O"):
        result.weighted({"Mg": 1.0})
    with pytest.raises(ValueError, match="^weights given for 'MG', which is not an element of this structure; "
                                         "the elements are Mg, O$"):
        result.weighted({"MG": 12, "O": 8})
    monkeypatch.setitem(sys.modules, "periodictable", None)
    with pytest.raises(ImportError, match=r"pip install 'molvane\[scattering\]'"):
        result.weighted("neutron")
