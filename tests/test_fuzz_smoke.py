"""Seeded random mutation of structure files and arguments through the Python
surface, plus replay of the hostile inputs kept in tests/fuzz_regressions:
raw files (NAME-*.cif, .poscar, .xyz read with from_str, .traj with
read_xyz_trajectory) and .json cases naming the call, its arguments and,
optionally, the exact error message expected.

Every call must return a result or raise one of ALLOWED; anything else (a
crash, SystemError, MemoryError, a hang) is a fault. The deep runs use the
libFuzzer harnesses in fuzz/ (scripts/fuzz); this is the short version that
needs no compiler.
"""

import json
import math
import random
import re
import time
from pathlib import Path

import pytest

import molvane

# Mutated files make the readers warn about what they skip; that is expected here.
pytestmark = pytest.mark.filterwarnings("ignore::molvane.ReadWarning")
from molvane import Structure, read_xyz_trajectory

from conftest import CORPUS, ROOT

ALLOWED = (ValueError, OSError, TypeError, OverflowError)
REGRESSIONS = Path(__file__).parent / "fuzz_regressions"

ITERATIONS = 3000
# Per harness: a slow (sanitized, debug) build stops early instead of
# stretching the suite.
TIME_BUDGET = 3.5

INLINE_SEEDS = {
    "cif": [
        "data_a\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha 90\n"
        "_cell_angle_beta 90\n_cell_angle_gamma 90\nloop_\n_symmetry_equiv_pos_as_xyz\n'x,y,z'\n"
        "'-y,x-y,z+1/2'\nloop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
        "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n"
        "Fe1 Fe2+ 0.1 0.2 0.3 0.5\nO1 O 0 0 0 1(2)\n;\ntext field\n;\n",
    ],
    "poscar": [
        "Cr2O3\n1.0\n4.9 0 0\n-2.45 4.24 0\n0 0 13.4\nCr O\n2 3\nSelective dynamics\nDirect\n"
        "0 0 0.35 T T T\n0 0 0.65 F F F\n0.3 0 0.25 T T T\n0 0.3 0.25 T T T\n0.7 0.7 0.25 T T T\n",
        "H2O\n-27.0\n3 0 0\n0 3 0\n0 0 3\n1 2\nCartesian\n0 0 0 O\n0.9 0 0 H\n0 0.9 0 H\n",
    ],
    "xyz": [
        '2\nLattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3:forces:R:3 pbc="T T T"\n'
        "Fe 0 0 0 1 2 3\nO 2 2 2 0 0 0\n",
        "3\nLattice=\"3 0 0 0 3 0 0 0 3\"\nAr 0 0 0\nAr 1.5 1.5 0\nAr 0 1.5 1.5\n"
        "3\nLattice=\"3.1 0 0 0 3.1 0 0 0 3.1\" Time=1\nAr 0 0 0\nAr 1.5 1.5 0\nAr 0 1.5 1.5\n",
    ],
}

SYMMOP_SEEDS = ["x,y,z", "-y,x-y,z+1/2", "1/2+x,1/2-y,-z", "x-y,-y,-z+2/3", "-x+0.25,y,z*1", "+z,+x,+y",
                "x,y,z,+1", "2x,y/2,-0.5z", "x+y+z,x,y", "1/0,y,z"]

TOKENS = [b"\n", b" ", b"'", b'"', b";", b"#", b"loop_\n", b"_atom_site_occupancy", b"_atom_site_fract_x",
          b"_cell_length_a", b"data_", b"?", b".", b"(", b"/", b"-", b"+", b"e", b"\r", b"\t", b"\xc2\xa0",
          b"\xe2\x80\x83", b"\xff", b"\x00", b"Lattice=\"", b"Properties=", b"species:S:1:pos:R:3", b":R:",
          b"pbc=", b"Direct\n", b"Cartesian\n", b"Selective", b"x", b"y", b"z"]

NUMBERS = [b"0", b"-0", b"1", b"-1", b"0.5", b"1e308", b"1e309", b"-1e308", b"1e-320", b"nan", b"inf", b"-inf",
           b"18446744073709551615", b"18446744073709551616", b"99999999999999999999999", b"4294967297",
           b"2147483648", b"1/3", b"3/0", b"0/0", b"1.0000001", b"0.9999999", b"1e-5", b"123456789"]

NUMBER = re.compile(rb"[-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?")


def mutate(rng: random.Random, data: bytes, pool: list) -> bytes:
    """One to four random edits: byte flips, insertions, deletions,
    truncations, splices with another seed, duplicated chunks, number and
    token replacements."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        n = len(data)
        kind = rng.randrange(9)
        pos = rng.randint(0, n)
        if kind == 0 and n:
            data[rng.randrange(n)] ^= 1 << rng.randrange(8)
        elif kind == 1:
            data[pos:pos] = bytes([rng.randrange(256)])
        elif kind == 2 and n:
            del data[pos:pos + rng.randint(1, 16)]
        elif kind == 3:
            del data[pos:]
        elif kind == 4:
            other = rng.choice(pool)
            cut = rng.randint(0, len(other))
            data = data[:pos] + other[cut:cut + rng.randint(1, 400)] + data[pos:]
        elif kind == 5 and n:
            end = min(n, pos + rng.randint(1, 200))
            data[pos:pos] = data[pos:end] * rng.randint(1, 3)
        elif kind in (6, 7):
            matches = list(NUMBER.finditer(data))
            if matches:
                m = rng.choice(matches)
                data[m.start():m.end()] = rng.choice(NUMBERS)
        else:
            data[pos:pos] = rng.choice(TOKENS)
    return bytes(data)


def call(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except ALLOWED as e:
        return e


def files(*patterns):
    found = []
    for base, pattern in patterns:
        if base.is_dir():
            found += sorted(p for p in base.glob(pattern) if p.is_file())
    return [p.read_bytes() for p in found]


def seeds(kind):
    pool = [s.encode() for s in INLINE_SEEDS.get(kind, [])]
    if kind == "cif":
        pool += files((CORPUS / "cif", "*.cif"), (ROOT / "examples", "*.cif"))
    elif kind == "poscar":
        pool += files((CORPUS / "poscar", "*"))
    elif kind == "xyz":
        pool += files((CORPUS / "xyz", "*"), (CORPUS / "traj", "*"), (ROOT / "examples", "*.xyz"))
    # Large files make each call slow without adding paths to mutate.
    return [p for p in pool if len(p) <= 60_000] or pool[:1]


def run_mutations(seed, pool, one_call):
    """Mutates seeds and hands the text to one_call until the iteration count
    or the time budget runs out; returns the number of calls made."""
    rng = random.Random(seed)
    deadline = time.monotonic() + TIME_BUDGET
    done = 0
    while done < ITERATIONS and time.monotonic() < deadline:
        data = rng.choice(pool)
        for _ in range(rng.choice((1, 1, 1, 2, 4))):
            data = mutate(rng, data, pool)
        one_call(rng, data.decode("utf-8", errors="replace"))
        done += 1
    return done


@pytest.mark.parametrize("fmt", ["cif", "poscar", "xyz"])
def test_mutated_text_reaches_a_result_or_an_allowed_error(fmt):
    pool = seeds(fmt)

    def one(rng, text):
        symprec = rng.choice([1e-4, 0.0, -1.0, 0.5, 1e-300, math.nan, math.inf])
        call(Structure.from_str, text, fmt, symprec=symprec)

    assert run_mutations(f"text-{fmt}", pool, one) > 0


def test_mutated_symmetry_operations_in_a_one_row_cif():
    pool = [s.encode() for s in SYMMOP_SEEDS]
    head = ("data_op\n_cell_length_a 5\n_cell_length_b 6\n_cell_length_c 7\n_cell_angle_alpha 90\n"
            "_cell_angle_beta 100\n_cell_angle_gamma 120\nloop_\n_symmetry_equiv_pos_as_xyz\n")
    tail = "\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\nFe1 0.1 0.2 0.3\n"

    def one(rng, op):
        row = f"'{op}'" if "'" not in op and "\n" not in op else op
        call(Structure.from_cif_str, head + row + tail)

    assert run_mutations("symmop", pool, one) > 0


def test_mutated_trajectory_files(tmp_path):
    pool = seeds("xyz")
    path = tmp_path / "t.xyz"
    cells = [None, [[5, 0, 0], [0, 5, 0], [0, 0, 5]], [[1, 2, 3], [2, 4, 6], [0, 0, 1]],
             [[math.nan, 0, 0], [0, 1, 0], [0, 0, 1]], [[1, 0], [0, 1]], "abc"]
    counts = [0, 1, 1, 1, 2, 3, 7, 2**64 - 1] * 4 + [2**64, -1]

    def one(rng, text):
        path.write_text(text, encoding="utf-8")
        kwargs = {}
        if rng.random() < 0.5:
            kwargs = {"every": rng.choice(counts[1:]), "start": rng.choice(counts),
                      "stop": rng.choice(counts + [None] * 8), "cell": rng.choice(cells)}
        out = call(read_xyz_trajectory, str(path), **kwargs)
        if not isinstance(out, Exception):
            structures, indices, frames_read = out
            assert structures and len(structures) == len(indices)
            assert all(i < frames_read for i in indices)

    assert run_mutations("trajectory", pool, one) > 0


def awkward(rng):
    return rng.choice([0.0, -0.0, 1.0, -1.0, 0.5, 1e-12, 1e300, math.inf, -math.inf, math.nan, 1 / 3,
                       rng.uniform(-20, 20)])


def random_structure_args(rng, max_sites):
    if rng.random() < 0.8:
        matrix = [[rng.uniform(2.0, 9.0) if i == j else rng.uniform(-2, 2) * (rng.random() < 0.3)
                   for j in range(3)] for i in range(3)]
    else:
        matrix = [[awkward(rng) for _ in range(3)] for _ in range(3)]
    n = rng.randint(1, max_sites)
    coords = [[rng.uniform(-1.5, 2.5) if rng.random() < 0.9 else awkward(rng) for _ in range(3)] for _ in range(n)]
    species = []
    for _ in range(n):
        site = {}
        k = rng.randint(1, 3)
        for _ in range(k):
            occ = rng.randint(0, 8 // k) / 8 if rng.random() < 0.9 else awkward(rng)
            site[rng.choice(["Fe", "O", "Mg", "", "Xé"])] = occ
        species.append(site)
    return matrix, coords, species


def min_face_width(m):
    """Smallest distance between opposite faces of the cell (0 if degenerate)."""
    def cross(u, v):
        return [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]

    volume = abs(sum(x * y for x, y in zip(m[0], cross(m[1], m[2]))))
    widths = []
    for i in range(3):
        n = cross(m[(i + 1) % 3], m[(i + 2) % 3])
        norm = math.sqrt(sum(x * x for x in n))
        widths.append(volume / norm if norm > 0 and math.isfinite(volume / norm) else 0.0)
    return min(widths)


def test_random_structures_through_prdf():
    rng = random.Random("prdf")
    deadline = time.monotonic() + TIME_BUDGET
    for _ in range(ITERATIONS):
        if time.monotonic() > deadline:
            break
        s = call(Structure, *random_structure_args(rng, 6))
        if isinstance(s, Exception):
            continue
        cutoff = rng.uniform(0.0, 4.0) if rng.random() < 0.8 else awkward(rng)
        bin_size = rng.uniform(0.0, 0.5) if rng.random() < 0.8 else awkward(rng)
        # A very thin cell with a valid cutoff is legitimate but slow: skip it.
        if math.isfinite(cutoff) and cutoff > 0 and min_face_width(s.lattice_matrix) < 0.5:
            continue
        n_threads = rng.choice([0, 0, 1, 2])
        out = call(s.prdf, cutoff, bin_size, n_threads)
        if not isinstance(out, Exception):
            r, partials, total = out
            assert len(total) == len(r)
            assert len(partials) == len(s.elements) ** 2


def test_random_occupancies_through_expand_occupancies():
    rng = random.Random("expand")
    deadline = time.monotonic() + TIME_BUDGET
    for _ in range(ITERATIONS):
        if time.monotonic() > deadline:
            break
        s = call(Structure, *random_structure_args(rng, 5))
        if isinstance(s, Exception):
            continue
        max_sites = rng.choice([0, 1, 7, 64, 500, 2000])
        seed = rng.choice([0, 1, 42, 2**64 - 1, rng.getrandbits(64)])
        max_denominator = rng.choice([0, 1, 2, 16, 1000, 2**64 - 1, 2**64, -1, 3.5])
        out = call(s.expand_occupancies, max_sites, seed, max_denominator)
        if not isinstance(out, Exception):
            expanded, report = out
            assert expanded.is_ordered
            assert expanded.n_sites <= max(max_sites, s.n_sites)


# --- hostile argument objects ---

class Boom(Exception):
    pass


class Raises:
    """Fails inside the interpreter's float/index conversion."""

    def __float__(self):
        raise Boom

    def __index__(self):
        raise Boom


class Clears:
    """Empties the container that holds it while being converted, so that a
    converter holding borrowed references would read freed objects."""

    def __init__(self):
        self.target = None

    def __float__(self):
        self.target.clear()
        return 1.0

    def __index__(self):
        self.target.clear()
        return 1


def holding(make):
    item = Clears()
    container = make(item)
    item.target = container
    return container


M = [[4, 0, 0], [0, 4, 0], [0, 0, 4]]


@pytest.mark.parametrize("case", [
    lambda: Structure([[Raises(), 0, 0], [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Fe": 1}]),
    lambda: Structure([holding(lambda c: [c, 0.0, 0.0]), [0, 4, 0], [0, 0, 4]], [[0, 0, 0]], [{"Fe": 1}]),
    lambda: Structure(holding(lambda c: [[c, 0.0, 4.0], [0, 4, 0], [0, 0, 4]]), [[0, 0, 0]], [{"Fe": 1}]),
    lambda: Structure(M, holding(lambda c: [[0, 0, 0], [c, 0.5, 0.5]]), [{"Fe": 1}, {"O": 1}]),
    lambda: Structure(M, [[0, 0, 0]], [holding(lambda c: {"Fe": c, "O": 0.5})]),
    lambda: Structure(M, [[0, 0, 0], [0.5, 0.5, 0.5]], holding(lambda c: [{"Fe": c}, {"O": 1}])),
    lambda: Structure(M, [[0, 0, 0]], [{"\ud800": 1.0}]),
    lambda: Structure.from_str("\ud800", "cif"),
    lambda: Structure.from_cif("a\0b"),
    lambda: read_xyz_trajectory(str(ROOT / "examples" / "argon.xyz"), cell=holding(lambda c: [[c, 0, 0], [0, 5, 0], [0, 0, 5]])),
    lambda: read_xyz_trajectory(str(ROOT / "examples" / "argon.xyz"), every=Raises()),
    lambda: read_xyz_trajectory("a\0b"),
    lambda: Structure(M, [[0, 0, 0]], [{"Fe": 1}]).prdf(Raises()),
    lambda: Structure(M, [[0, 0, 0]], [{"Fe": 1}]).prdf(3.0, 0.1, 2**64),
    lambda: Structure(M, [[0, 0, 0]], [{"Fe": 1}]).make_supercell(holding(lambda c: [c])[0], 1, 1),
    lambda: Structure(M, [[0, 0, 0]], [{"Fe": 0.5}]).expand_occupancies(Raises()),
], ids=lambda f: None)
def test_hostile_argument_objects(case):
    """A converter may only raise an allowed error or let the object's own
    exception through; the interpreter must survive (checked under ASan by
    scripts/test-sanitized)."""
    try:
        case()
    except ALLOWED + (Boom,):
        pass


# --- inputs kept from fuzzing ---

def replay(case: dict, tmp_path):
    kind = case["call"]
    if kind == "trajectory":
        path = tmp_path / "t.xyz"
        path.write_text(case["text"], encoding="utf-8")
        return call(read_xyz_trajectory, str(path), **case.get("kwargs", {}))
    if kind in ("cif", "poscar", "xyz"):
        return call(Structure.from_str, case["text"], kind, **({"symprec": case["symprec"]} if "symprec" in case else {}))
    if kind in ("prdf", "expand"):
        species = [dict(site) for site in case["species"]]
        s = call(Structure, case["matrix"], case["frac_coords"], species)
        if isinstance(s, Exception):
            return s
        if kind == "prdf":
            return call(s.prdf, case["cutoff"], case["bin_size"], case.get("n_threads", 0))
        return call(s.expand_occupancies, case["max_sites"], case["seed"], case["max_denominator"])
    raise AssertionError(f"unknown call {kind}")


def regression_cases():
    if not REGRESSIONS.is_dir():
        return []
    return sorted(p.name for p in REGRESSIONS.iterdir() if p.is_file())


@pytest.mark.parametrize("name", regression_cases())
def test_fuzz_regression(name, tmp_path):
    path = REGRESSIONS / name
    suffix = path.suffix
    if suffix == ".json":
        case = json.loads(path.read_text(encoding="utf-8"))
        out = replay(case, tmp_path)
        if "expect" in case:
            assert isinstance(out, Exception) and str(out) == case["expect"], out
    elif suffix == ".traj":
        out = call(read_xyz_trajectory, str(path))
    else:
        text = path.read_bytes().decode("utf-8", errors="replace")
        out = call(Structure.from_str, text, {".cif": "cif", ".poscar": "poscar", ".xyz": "xyz"}[suffix])
    assert out is not None
