import hashlib
import math
import os
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import numpy as np
import pytest

import molvane
from molvane import Structure

SHELL = 4.1887902047863905


def cube(edge, coords, species):
    return Structure([[edge, 0, 0], [0, edge, 0], [0, 0, edge]], coords, species)


# --- an independent model: every image of every pair, by array arithmetic ---


def wrap(f):
    w = f - np.floor(f)
    return np.where(w < 1.0, w, 0.0)


def brute_histogram(s, cutoff, bin_size):
    """Pair histogram (elements x elements x bins) from a plain enumeration of
    all images within reach (along periodic directions only), with the same
    float operations per distance."""
    m = np.array(s.lattice_matrix)
    periodic = np.array(s.pbc)
    frac = np.array(s.frac_coords, dtype=float)
    frac = np.where(periodic, wrap(frac), frac)
    elements = s.elements
    species = [list(d.items()) for d in s.species]
    n_edges = math.ceil((cutoff + bin_size) / bin_size)
    edges = np.arange(n_edges, dtype=float) * bin_size
    nbins = n_edges - 1
    vol = abs(np.linalg.det(m))
    widths = [vol / np.linalg.norm(np.cross(m[(k + 1) % 3], m[(k + 2) % 3])) for k in range(3)]
    reach = [math.ceil(cutoff / w) + 1 if p else 0 for w, p in zip(widths, periodic)]
    shifts = np.array(
        [
            (a, b, c)
            for a in range(-reach[0], reach[0] + 1)
            for b in range(-reach[1], reach[1] + 1)
            for c in range(-reach[2], reach[2] + 1)
        ],
        dtype=float,
    )
    hist = np.zeros((len(elements), len(elements), nbins))
    for i in range(len(frac)):
        for j in range(len(frac)):
            d = (frac[j] + shifts) - frac[i]
            cart = [(m[0, k] * d[:, 0] + m[1, k] * d[:, 1]) + m[2, k] * d[:, 2] for k in range(3)]
            d2 = (cart[1] * cart[1] + cart[0] * cart[0]) + cart[2] * cart[2]
            r = np.sqrt(d2[(d2 <= cutoff * cutoff) & (d2 > 1e-16)])
            k = np.searchsorted(edges, r, side="right") - 1
            k[(k == nbins) & (r == edges[nbins])] = nbins - 1
            k = k[k < nbins]
            for ep, op in species[i]:
                for eq, oq in species[j]:
                    np.add.at(hist[elements.index(ep), elements.index(eq)], k, oq * op)
    return edges, hist


def normalise(s, edges, hist):
    nbins = len(edges) - 1
    shell = (edges[1:] * edges[1:] * edges[1:] - edges[:-1] * edges[:-1] * edges[:-1]) * SHELL
    comp = s.composition
    n_total = s.n_atoms
    total = np.zeros(nbins)
    partials = {}
    for a, ea in enumerate(s.elements):
        for b, eb in enumerate(s.elements):
            total = hist[a, b] / (shell * n_total) + total
            partials[(ea, eb)] = hist[a, b] / (comp[ea] * shell) if comp[ea] > 0 else np.zeros(nbins)
    return partials, total


def random_structure(rng, matrix, n_sites, elements=("O", "Si"), mixed=False, pairs_within=None, occupancies=(1.0,)):
    coords = rng.uniform(-1.5, 2.5, size=(n_sites, 3))
    if pairs_within:
        # Every second site close to the one before it, so that a short cutoff finds pairs.
        step = rng.uniform(-1, 1, size=(n_sites // 2, 3)) * pairs_within
        coords[1::2] = coords[0::2][: n_sites // 2] + step @ np.linalg.inv(np.array(matrix, dtype=float))
    coords = coords.tolist()
    species = []
    for k in range(n_sites):
        if mixed and k % 3 == 0:
            species.append({elements[0]: 0.5, elements[1]: 1 / 3})
        else:
            species.append({elements[k % len(elements)]: occupancies[k % len(occupancies)]})
    return Structure(matrix, coords, species)


TRICLINIC = [[5.1, 0.0, 0.0], [1.3, 4.7, 0.0], [-0.9, 1.1, 6.2]]
THIN = [[9.0, 0.0, 0.0], [2.5, 8.0, 0.0], [0.4, -0.3, 1.1]]
SMALL = [[2.1, 0.0, 0.0], [0.6, 1.9, 0.0], [0.3, 0.5, 2.4]]


@pytest.mark.parametrize(
    "matrix, n_sites, cutoff, bin_size",
    [
        (TRICLINIC, 9, 6.0, 0.25),  # ordinary triclinic cell
        (THIN, 6, 4.0, 0.2),  # one axis thinner than the cutoff
        (SMALL, 3, 7.5, 0.3),  # cutoff three times the cell: many images
        ([[30, 0, 0], [2, 31, 0], [0, -1, 29]], 60, 0.4, 0.1),  # 64 sub-cells per axis
        ([[12, 0, 0], [0, 11, 0], [0, 0, 13]], 50, 4.0, 0.5),  # a few sub-cells per axis
        ([[7, 1e-15, 0], [0, 6.5, 0], [2.5e-16, 0, 8]], 30, 5.0, 0.25),  # rounding noise off the diagonal
    ],
)
def test_matches_brute_force_bin_for_bin(matrix, n_sites, cutoff, bin_size):
    rng = np.random.default_rng(n_sites)
    s = random_structure(rng, matrix, n_sites, pairs_within=cutoff / 2)
    r, partials, total = s.prdf(cutoff=cutoff, bin_size=bin_size)
    edges, hist = brute_histogram(s, cutoff, bin_size)
    assert hist.sum() > 0
    want_partials, want_total = normalise(s, edges, hist)
    assert np.array_equal(r, edges[:-1])
    assert list(partials) == list(want_partials)
    for key in partials:
        assert np.array_equal(partials[key], want_partials[key]), key
    assert np.array_equal(total, want_total)


@pytest.mark.parametrize(
    "matrix, pbc, n_sites, cutoff, bin_size",
    [
        (TRICLINIC, (False, False, False), 40, 6.0, 0.25),  # a molecule in a box: no images at all
        ([[9, 0, 0], [1, 8, 0], [0, 0, 30]], (True, True, False), 150, 5.0, 0.25),  # slab binned along c
        (THIN, (True, False, True), 30, 4.0, 0.2),  # open along b only
        (SMALL, (False, True, True), 12, 7.5, 0.3),  # images reach far along b and c
    ],
)
def test_open_directions_match_brute_force(matrix, pbc, n_sites, cutoff, bin_size):
    # Coordinates from -1.5 to 2.5: along an open direction they are not wrapped.
    rng = np.random.default_rng(n_sites)
    plain = random_structure(rng, matrix, n_sites, pairs_within=cutoff / 2)
    s = Structure(matrix, plain.frac_coords, plain.species, pbc=pbc)
    r, partials, total = s.prdf(cutoff=cutoff, bin_size=bin_size)
    edges, hist = brute_histogram(s, cutoff, bin_size)
    assert hist.sum() > 0
    want_partials, want_total = normalise(s, edges, hist)
    assert all(np.array_equal(partials[key], want_partials[key]) for key in partials)
    assert np.array_equal(total, want_total)
    assert not np.array_equal(total, plain.prdf(cutoff=cutoff, bin_size=bin_size)[2])


@pytest.mark.parametrize(
    "sites",
    [
        {"mixed": True},  # two species on every third site
        {"occupancies": (0.5, 0.75, 1 / 3)},  # one species per site, partly occupied
    ],
)
def test_fractional_occupancies_match_brute_force(sites):
    rng = np.random.default_rng(7)
    s = random_structure(rng, TRICLINIC, 8, **sites)
    _, partials, total = s.prdf(cutoff=5.0, bin_size=0.5)
    edges, hist = brute_histogram(s, 5.0, 0.5)
    want_partials, want_total = normalise(s, edges, hist)
    for key in partials:
        np.testing.assert_allclose(partials[key], want_partials[key], rtol=1e-12, atol=0)
    np.testing.assert_allclose(total, want_total, rtol=1e-12, atol=0)
    comp = s.composition
    np.testing.assert_allclose(comp["O"] * partials["O", "Si"], comp["Si"] * partials["Si", "O"], rtol=1e-12)


def test_mixed_site_total_divides_by_the_site_sums():
    # The two sites pair once within the cutoff, so every bin of a partial
    # holds one product and the model is exact. n_atoms = 0.1 + (0.1 + 0.6)
    # differs in the last bit from the occupancies added one by one.
    s = cube(20.0, [[0, 0, 0], [0.1, 0.05, 0]], [{"C": 0.1}, {"A": 0.1, "B": 0.6}])
    _, partials, total = s.prdf(5.0, 0.25)
    want_partials, want_total = normalise(s, *brute_histogram(s, 5.0, 0.25))
    assert total.any() and np.array_equal(total, want_total)
    assert all(np.array_equal(partials[key], want_partials[key]) for key in partials)


# Curves of a disordered structure large enough to be filled in several
# pieces, as first computed: the pieces are added in piece order and every
# sum in a fixed order, so these bits change only when the arithmetic does.
RECORDED = {
    "r": "372f8efbe778344a", "total": "38b2ac93c05952d7", "('O', 'O')": "23391e4cd73b840d",
    "('O', 'Si')": "c4b9d73456e16af1", "('Si', 'O')": "c2d76b504ab375c9", "('Si', 'Si')": "8ebf1b4b86c2a700",
}


def test_recorded_bits_of_a_disordered_structure():
    n = 1500
    frac = [[(i * 0.7548776662466927) % 1.0, (i * 0.5698402909980532) % 1.0, (i * 0.3141592653589793) % 1.0]
            for i in range(n)]
    species = [{"O": 0.5, "Si": 1 / 3} if i % 3 == 0 else {"O" if i % 2 else "Si": (0.7, 1.0)[i % 3 - 1]}
               for i in range(n)]
    s = Structure([[24, 0, 0], [1.5, 23, 0], [-2, 1, 25]], frac, species)
    r, partials, total = s.prdf(6.0, 0.1)
    digest = lambda a: hashlib.sha256(a.tobytes()).hexdigest()[:16]
    assert {str(k): digest(v) for k, v in [("r", r), ("total", total), *partials.items()]} == RECORDED


def kernel_cases():
    """Sub-cells holding many sites, with distances exactly on inner edges and on the cutoff."""
    a = 3 * 0.35  # simple cubic 2x2x2: neighbours at edge[3], edge[6] = cutoff
    sc = [[2 * a, 0, 0], [0, 2 * a, 0], [0, 0, 2 * a]]
    corners = [[x / 2, y / 2, z / 2] for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    rng = np.random.default_rng(11)
    return [
        (Structure(sc, corners, [{"A": 1.0}, {"B": 1.0}] * 4), 2 * a, 0.35),
        (Structure(sc, corners, [{"A": 0.5}, {"B": 1 / 3}] * 4), 2 * a, 0.35),
        (Structure([[4, 0, 0], [0, 4, 0], [0, 0, 4]], corners, [{"A": 1.0}] * 8), 4.0, 0.5),
        (random_structure(rng, SMALL, 40, mixed=True), 5.0, 0.25),
        (random_structure(rng, TRICLINIC, 300, occupancies=(0.5, 0.25, 1.0)), 4.0, 0.1),
    ]


def curve_bytes(out):
    r, partials, total = out
    return [r.tobytes(), total.tobytes()] + [(key, p.tobytes()) for key, p in partials.items()]


@pytest.mark.parametrize("kernel", ["avx2", "avx512"])
def test_kernel_variants_give_identical_bits(kernel):
    cases = kernel_cases()
    previous = molvane._molvane._set_kernel("plain")
    try:
        want = [s.prdf(cutoff, bin_size) for s, cutoff, bin_size in cases]
        try:
            molvane._molvane._set_kernel(kernel)
        except ValueError as e:
            pytest.skip(str(e))
        got = [s.prdf(cutoff, bin_size) for s, cutoff, bin_size in cases]
    finally:
        molvane._molvane._set_kernel(previous)
    for (s, cutoff, bin_size), w, g in zip(cases, want, got):
        assert curve_bytes(g) == curve_bytes(w)
    # The plain kernel itself against the model, last bin (at the cutoff) included.
    for (s, cutoff, bin_size), (r, partials, total) in zip(cases[:3:2], want[:3:2]):
        edges, hist = brute_histogram(s, cutoff, bin_size)
        want_partials, want_total = normalise(s, edges, hist)
        assert total[-1] > 0 and np.array_equal(total, want_total)


def test_single_atom_cube_counts_six_neighbours_at_the_last_edge():
    s = cube(3.0, [[0, 0, 0]], [{"X": 1.0}])
    r, partials, total = s.prdf(cutoff=3.0, bin_size=1.5)
    v1 = (27 - 3.375) * SHELL
    assert v1 == 98.96016858807847
    assert r.tolist() == [0.0, 1.5]
    assert list(partials) == [("X", "X")]
    assert partials["X", "X"].tolist() == [0.0, 6 / v1] == [0.0, 0.06063045451119823]
    assert total.tolist() == [0.0, 6 / v1]


# (bin_size, k): six neighbours at exactly edge[k] = k * bin_size. The ratio
# edge[k] / bin_size comes out exact, below k or above k, so the bin search
# has to settle on the stored edge from either side.
INNER_EDGES = [(1.0, 2), (0.35, 3), (0.35, 7), (0.7, 6), (0.1, 3), (0.45, 6), (0.2, 7)]


@pytest.mark.parametrize("bin_size, k", INNER_EDGES)
def test_inner_edge_distance_lands_in_the_bin_it_opens(bin_size, k):
    edge = k * bin_size
    s = cube(edge, [[0, 0, 0]], [{"X": 1.0}])
    _, _, total = s.prdf(cutoff=1.25 * edge, bin_size=bin_size)
    lo, hi = k * bin_size, (k + 1) * bin_size
    assert np.flatnonzero(total).tolist() == [k]
    assert total[k] == 6 / ((hi * hi * hi - lo * lo * lo) * SHELL)


def test_default_grid_and_single_bin():
    s = cube(4.0, [[0, 0, 0]], [{"Fe": 1.0}])
    r, _, _ = s.prdf()
    assert len(r) == 100 and r[3] == 0.30000000000000004 and r[-1] == 9.9
    assert s.prdf(cutoff=5, bin_size=5)[0].tolist() == [0.0]
    assert s.total_rdf(1.0, 1.0)[0].tolist() == [0.0]


def test_wrapping_and_coincident_sites():
    # -0.25 and 1.25 behave as 0.75 and 0.25; -1e-17 wraps to 0.
    a = cube(5.0, [[-0.25, 1.25, -1e-17]], [{"X": 1.0}])
    b = cube(5.0, [[0.75, 0.25, 0.0]], [{"X": 1.0}])
    assert np.array_equal(a.prdf(6.0, 0.5)[2], b.prdf(6.0, 0.5)[2])
    # Two sites on one spot do not pair at zero distance, but see each other's images.
    twin = cube(3.0, [[0.1, 0.1, 0.1], [0.1, 0.1, 0.1]], [{"X": 1.0}, {"X": 1.0}])
    _, _, total = twin.prdf(3.0, 1.5)
    assert total[0] == 0.0
    assert total[1] == 2 * 12 / (2 * (27 - 3.375) * SHELL)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"cutoff": 0.0}, "cutoff must be positive"),
        ({"cutoff": -1.0, "bin_size": 0.0}, "cutoff must be positive"),
        ({"cutoff": float("nan")}, "cutoff must be positive"),
        ({"cutoff": float("inf")}, "cutoff must be positive"),
        ({"cutoff": 1.0, "bin_size": 0.0}, "bin_size must be positive and no larger than the cutoff"),
        ({"cutoff": 1.0, "bin_size": -0.1}, "bin_size must be positive and no larger than the cutoff"),
        ({"cutoff": 1.0, "bin_size": 1.5}, "bin_size must be positive and no larger than the cutoff"),
        ({"cutoff": 1.0, "bin_size": float("nan")}, "bin_size must be positive and no larger than the cutoff"),
        ({"cutoff": 1.0, "bin_size": float("inf")}, "bin_size must be positive and no larger than the cutoff"),
        ({"cutoff": 10.0, "bin_size": 1e-9}, "cutoff and bin_size give 10000000000 bins, too many"),
        ({"cutoff": 1.0, "bin_size": 5e-324}, "cutoff and bin_size give 18446744073709551614 bins"),
        ({"cutoff": 1e9, "bin_size": 1e9}, "cutoff is too large for this cell"),
    ],
)
def test_bad_arguments(cubic, kwargs, message):
    for call in (cubic.prdf, cubic.total_rdf):
        with pytest.raises(ValueError) as info:
            call(**kwargs)
        assert str(info.value).startswith(message)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"cutoff": "5"}, TypeError, "argument 'cutoff'"),
        ({"n_threads": -1}, OverflowError, None),
        ({"n_threads": 1.5}, TypeError, "argument 'n_threads'"),
        ({"save_plots": b"x"}, TypeError, "argument 'save_plots'"),  # bytes are no path here
        ({"title": 3}, TypeError, "argument 'title'"),
        ({"cutoff": -1, "title": 3}, TypeError, "argument 'title'"),  # conversion before computing
    ],
)
def test_argument_errors(cubic, kwargs, error, text):
    with pytest.raises(error, match=text):
        cubic.prdf(**kwargs)


def test_results_are_fresh_writable_arrays_and_keys_in_order():
    s = cube(5.0, [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0, 0]], [{"Si": 1.0}, {"O": 1.0}, {"O": 1.0}])
    r, partials, total = s.prdf(cutoff=True + 5, bin_size=0.5)
    assert list(partials) == [("O", "O"), ("O", "Si"), ("Si", "O"), ("Si", "Si")]
    arrays = [r, total, *partials.values()]
    for a in arrays:
        assert a.dtype == np.float64 and a.ndim == 1 and a.flags.c_contiguous and a.flags.writeable
        assert a.flags.owndata is False and a.base is not None
    for x in range(len(arrays)):
        for y in range(x + 1, len(arrays)):
            assert not np.shares_memory(arrays[x], arrays[y])
    r2, total2 = s.total_rdf(6.0, 0.5)
    assert np.array_equal(r2, r) and np.array_equal(total2, total)


def supercell_crystal(n, species=({"Mg": 1.0}, {"O": 1.0}, {"O": 1.0})):
    base = Structure(
        [[4.2, 0, 0], [0.3, 4.0, 0], [0.2, -0.4, 4.4]],
        [[0, 0, 0], [0.5, 0.5, 0.5], [0.5, 0.1, 0.6]],
        list(species),
    )
    return base.make_supercell(n, n, n)


@pytest.mark.parametrize(
    "species",
    [
        ({"Mg": 1.0}, {"O": 1.0}, {"O": 1.0}),  # integral weights: exact sums in any order
        ({"Mg": 1 / 3, "Fe": 0.6}, {"O": 0.7}, {"O": 1.0}),  # sums that depend on their order
    ],
)
def test_pool_sizes_and_runs_give_identical_bits(species):
    s = supercell_crystal(5, species)
    runs = [s.prdf(cutoff=7.0, bin_size=0.05, n_threads=k) for k in (0, 1, 2, 3, 8, 7, 0)]
    assert runs[0][2].sum() > 0
    first = curve_bytes(runs[0])
    for run in runs[1:]:
        assert curve_bytes(run) == first


def test_other_python_threads_run_during_a_long_computation():
    s = supercell_crystal(16)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    start = time.perf_counter()
    s.total_rdf(cutoff=14.0, n_threads=1)  # warm-up, also measures the duration
    duration = time.perf_counter() - start
    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.01)
    begin = time.perf_counter()
    s.total_rdf(cutoff=14.0, n_threads=1)
    end = time.perf_counter()
    stop.set()
    thread.join()
    assert duration > 0.02
    during = [t for t in ticks if begin < t < end]
    assert len(during) >= 5


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        args[2][0] = 123.0  # visible to the caller: the very same objects
        return "ignored"


def test_save_plots_calls_the_plotting_module(monkeypatch):
    fake = types.ModuleType("molvane.plotting")
    fake.save_prdf_plots = Recorder()
    monkeypatch.setitem(sys.modules, "molvane.plotting", fake)
    s = Structure([[3, 0, 0], [0, 3, 0], [0, 0, 6]], [[0, 0, 0], [0, 0, 0.5]], [{"A": 1.0}, {"B": 0.5}])
    r, partials, total = s.prdf(3.0, 1.5, 0, "out/dir", "My title")
    ((args, kwargs),) = fake.save_prdf_plots.calls
    assert args[0] is r and args[1] is partials and args[2] is total and args[3] == "out/dir"
    assert list(kwargs) == ["bin_size", "title", "density"]
    assert kwargs == {"bin_size": 1.5, "title": "My title", "density": 1.5 / 54.0}
    assert total[0] == 123.0
    s.prdf(3.0, 1.5, save_plots="x")
    assert fake.save_prdf_plots.calls[-1][1]["title"] is None
    # No folder: the title is ignored and nothing is imported or called.
    monkeypatch.setitem(sys.modules, "molvane.plotting", None)
    s.prdf(3.0, 1.5, title="ignored")
    with pytest.raises(ImportError):
        s.prdf(3.0, 1.5, save_plots="x")
    monkeypatch.setitem(sys.modules, "molvane.plotting", types.ModuleType("molvane.plotting"))
    with pytest.raises(AttributeError):
        s.prdf(3.0, 1.5, save_plots="x")


def run_python(code, **env):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env.update(env)
    out = subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, "3"),
        ({"RAYON_NUM_THREADS": "+5", "RAYON_RS_NUM_CPUS": "2"}, "5"),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, "4"),
        ({"RAYON_RS_NUM_CPUS": "6"}, "6"),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "9"}, "cpus"),
        ({"RAYON_RS_NUM_CPUS": "0"}, "cpus"),
    ],
)
def test_default_pool_size_from_environment(env, expected):
    code = (
        "import os, molvane; S = molvane.Structure; n = S.available_threads();"
        "s = S([[3,0,0],[0,3,0],[0,0,3]], [[0,0,0]], [{'X': 1.0}]); s.prdf(n_threads=3);"
        "assert S.available_threads() == n; print(n, len(os.sched_getaffinity(0)))"
    )
    n, cpus = run_python(code, **env).split()
    if expected == "cpus" and cgroup_cpu_quota():
        assert 1 <= int(n) <= int(cpus)  # the quota may lower the count
    else:
        assert n == (cpus if expected == "cpus" else expected)


def cgroup_cpu_quota():
    """Whether a cgroup CPU quota (v2 or v1) is set at the cgroup root."""
    for path in ("/sys/fs/cgroup/cpu.max", "/sys/fs/cgroup/cpu/cpu.cfs_quota_us",
                 "/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us"):
        try:
            if Path(path).read_text().split()[0] not in ("max", "-1"):
                return True
        except (OSError, IndexError):
            pass
    return False


def test_thread_start_failure_is_reported():
    code = (
        "import resource, molvane\n"
        "s = molvane.Structure([[3,0,0],[0,3,0],[0,0,3]], [[0,0,0]], [{'X': 1.0}])\n"
        "resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
        "for n in (100000, 65535):\n"
        "    try:\n"
        "        s.prdf(cutoff=-1.0, n_threads=n)\n"
        "    except ValueError as e:\n"
        "        print(e)\n"
    )
    lines = run_python(code, RAYON_NUM_THREADS="1").splitlines()
    assert lines[0].startswith("could not start 100000 worker threads: ") and "(os error" in lines[0]
    assert lines[1].startswith("could not start 65535 worker threads: ")
