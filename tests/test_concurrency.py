"""Eight Python threads calling prdf (default and dedicated pools), the
readers and expand_occupancies on shared Structure objects at once; every
result must equal the one computed serially beforehand."""

import random
import threading

import numpy as np
import pytest

import molvane
from molvane import Structure, read_xyz_trajectory

from conftest import ROOT

N_THREADS = 8
ROUNDS = 30


def fingerprint(s):
    return (s.lattice_matrix, s.frac_coords, s.species)


def prdf_key(out):
    r, partials, total = out
    return (r.tobytes(), total.tobytes(), tuple((k, v.tobytes()) for k, v in sorted(partials.items())))


@pytest.fixture(scope="module")
def tasks(tmp_path_factory):
    nacl_text = (ROOT / "examples" / "NaCl.cif").read_text()
    ferro_path = ROOT / "examples" / "ferropericlase.cif"
    traj_path = ROOT / "examples" / "argon.xyz"
    nacl = Structure.from_cif_str(nacl_text).make_supercell(3, 3, 3)
    ferro = Structure.from_cif(str(ferro_path))
    argon_big = read_xyz_trajectory(str(traj_path))[0][0].make_supercell(2, 2, 1)
    poscar = ("Cr2O3\n1.0\n4.9 0 0\n-2.45 4.24 0\n0 0 13.4\nCr O\n2 3\nDirect\n"
              "0 0 0.35\n0 0 0.65\n0.3 0 0.25\n0 0.3 0.25\n0.7 0.7 0.25\n")
    xyz = '2\nLattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3\nFe 0 0 0\nO 2 2 2\n'

    def ferro_prdf(n):
        # Fractional weights: the last bits of a sum may follow the schedule.
        r, partials, total = ferro.prdf(9.0, 0.05, n)
        return (r.tobytes(), np.round(total, 9).tobytes(),
                tuple((k, np.round(v, 9).tobytes()) for k, v in sorted(partials.items())))

    def expand(seed):
        expanded, report = ferro.expand_occupancies(max_sites=600, seed=seed)
        return fingerprint(expanded), repr(report)

    return {
        # Integral weights: bit-identical whatever the pool.
        "prdf default pool": lambda: prdf_key(nacl.prdf(10.0, 0.02)),
        "prdf 2 threads": lambda: prdf_key(nacl.prdf(10.0, 0.02, 2)),
        "prdf 3 threads": lambda: prdf_key(nacl.prdf(10.0, 0.02, 3)),
        "prdf argon default": lambda: prdf_key(argon_big.prdf(9.0, 0.1, 0)),
        "total_rdf 1 thread": lambda: tuple(a.tobytes() for a in argon_big.total_rdf(9.0, 0.1, 1)),
        "prdf fractional default": lambda: ferro_prdf(0),
        "prdf fractional 2 threads": lambda: ferro_prdf(2),
        "from_cif_str": lambda: fingerprint(Structure.from_cif_str(nacl_text)),
        "from_cif": lambda: fingerprint(Structure.from_cif(str(ferro_path))),
        "from_str poscar": lambda: fingerprint(Structure.from_str(poscar, "poscar")),
        "from_str xyz": lambda: fingerprint(Structure.from_str(xyz, "xyz")),
        "read_xyz_trajectory": lambda: tuple(
            fingerprint(s) for s in read_xyz_trajectory(str(traj_path), every=2)[0]),
        "expand seed 1": lambda: expand(1),
        "expand seed 7": lambda: expand(7),
        "disorder_summary": lambda: repr(ferro.disorder_summary()),
        "supercell": lambda: fingerprint(nacl.make_supercell(2, 2, 1)),
        "properties": lambda: (nacl.composition, ferro.n_atoms, ferro.elements, nacl.cart_coords, repr(ferro)),
        "bad cif": lambda: raises(lambda: Structure.from_cif_str("data_x\n_cell_length_a 1\n")),
        "bad prdf": lambda: raises(lambda: nacl.prdf(-1.0)),
    }


def raises(fn):
    try:
        fn()
    except ValueError as e:
        return str(e)
    raise AssertionError("expected ValueError")


def test_threads_give_the_serial_results(tasks):
    expected = {name: fn() for name, fn in tasks.items()}
    names = list(tasks) * ROUNDS
    random.Random(1).shuffle(names)
    chunks = [names[i::N_THREADS] for i in range(N_THREADS)]
    start = threading.Barrier(N_THREADS)
    mismatches, errors = [], []

    def worker(chunk):
        try:
            start.wait()
            for name in chunk:
                if tasks[name]() != expected[name]:
                    mismatches.append(name)
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(c,)) for c in chunks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(set(mismatches)) == []


def test_one_structure_shared_by_threads_with_dedicated_pools(tasks):
    """Many dedicated pools started and shut down at once, beside calls on
    the default pool."""
    s = Structure.from_cif(str(ROOT / "examples" / "NaCl.cif")).make_supercell(2, 2, 2)
    expected = prdf_key(s.prdf(8.0, 0.1, 1))
    results, errors = [], []

    def worker(k):
        try:
            for n in (k % 4, 1 + k % 3, 0):
                results.append(prdf_key(s.prdf(8.0, 0.1, n)) == expected)
        except BaseException as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(N_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert results and all(results)
