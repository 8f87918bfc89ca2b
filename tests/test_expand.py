"""Occupancy expansion into an ordered supercell and its report."""

import subprocess
from collections import Counter
from pathlib import Path

import pytest
from conftest import native_exe

import molvane

CELL = [[4, 0, 0], [0, 4, 0], [0, 0, 4]]
U64_MAX = 2**64 - 1


def one_site(species, coords=(0, 0, 0)):
    return molvane.Structure(CELL, [list(coords)], [species])


def rows_of(report):
    return [
        (r["element"], r["target_occupancy"], r["sites_in_pool"], r["atoms_placed"])
        for r in report["occupancy_report"]
    ]


def symbols(structure):
    out = []
    for species in structure.species:
        (symbol,) = species
        out.append(symbol)
    return out


# --- worked cases --------------------------------------------------------

MISSING_NI_1 = (
    "no atoms could be placed for Ni: the occupancy is too small for a 1x1x1 supercell, "
    "so these elements are absent from the expanded structure"
)


@pytest.mark.parametrize(
    "species, kwargs, scale, vacancies, warnings, rows",
    [
        ({"Fe": 0.5, "Ni": 0.5}, {}, 2, 0, [], [("Fe", 0.5, 8, 4), ("Ni", 0.5, 8, 4)]),
        ({"Fe": 0.25}, {}, 4, 48, [], [("Fe", 0.25, 64, 16)]),
        (
            {"Fe": 1 / 3},
            {"max_sites": 8},
            2,
            5,
            [
                "the occupancies would need a 3x3x3 supercell to come out exactly, but that "
                "exceeds the 8-site limit; 2x2x2 was used and the occupancies are approximated "
                "(worst deviation 0.0417)"
            ],
            [("Fe", 1 / 3, 8, 3)],
        ),
        # Every denominator up to 16 ties with q = 1, so nothing is scaled up.
        ({"Fe": 0.99, "Ni": 0.01}, {}, 1, 0, [MISSING_NI_1], [("Fe", 0.99, 1, 1), ("Ni", 0.01, 1, 0)]),
        # No denominator search: equal remainders go to the first species.
        ({"Fe": 0.5, "Ni": 0.5}, {"max_denominator": 0}, 1, 0, [MISSING_NI_1], [("Fe", 0.5, 1, 1), ("Ni", 0.5, 1, 0)]),
        # Close enough to 1 to be ordered: copied, occupancy untouched.
        ({"Fe": 0.9999995}, {}, 1, 0, [], []),
        # Not close enough: a pool of one, filled by rounding.
        ({"Fe": 0.99999}, {}, 1, 0, [], [("Fe", 0.99999, 1, 1)]),
        # With n = D no approximation warning, however far off the counts are.
        ({"Fe": 0.3}, {"max_denominator": 2}, 2, 6, [], [("Fe", 0.3, 8, 2)]),
        # Each fifth ties with q = 1 at this bound, but the vacancy of 0.6 is nearer a half.
        ({"Fe": 0.2, "Ni": 0.2}, {"max_denominator": 2}, 2, 5, [], [("Fe", 0.2, 8, 2), ("Ni", 0.2, 8, 1)]),
        # A species listed with no occupancy gets no atoms and no warning.
        ({"Fe": 0.5, "Ni": 0.0}, {}, 2, 4, [], [("Fe", 0.5, 8, 4), ("Ni", 0.0, 8, 0)]),
    ],
)
def test_worked_cases(species, kwargs, scale, vacancies, warnings, rows):
    source = one_site(species)
    expanded, report = source.expand_occupancies(**kwargs)
    assert list(report) == ["scale", "n_vacancies", "warnings", "occupancy_report"]
    assert report["scale"] == [scale] * 3
    assert report["n_vacancies"] == vacancies
    assert report["warnings"] == warnings
    assert rows_of(report) == rows
    assert len(expanded.species) == scale**3 - vacancies
    assert expanded.is_ordered


def test_ordered_structure_is_copied_site_for_site():
    source = molvane.Structure(CELL, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 1.0}, {"Ni": 0.9999995}])
    expanded, report = source.expand_occupancies()
    assert report == {"scale": [1, 1, 1], "n_vacancies": 0, "warnings": [], "occupancy_report": []}
    assert expanded.frac_coords == source.frac_coords
    assert expanded.species == [{"Fe": 1.0}, {"Ni": 0.9999995}]
    assert expanded.lattice_matrix == source.lattice_matrix


def test_report_entries_and_actual_occupancy():
    source = molvane.Structure(CELL, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.25}, {"Cu": 0.5, "Zn": 0.5}])
    _, report = source.expand_occupancies(64, seed=0)
    # Budget 64 over 2 sites allows 3x3x3 (D = 4): pools of 27, keys in byte order.
    assert report["scale"] == [3, 3, 3]
    assert rows_of(report) == [("Cu", 0.5, 27, 14), ("Zn", 0.5, 27, 13), ("Fe", 0.25, 27, 7)]
    for row in report["occupancy_report"]:
        assert list(row) == ["element", "target_occupancy", "sites_in_pool", "atoms_placed", "actual_occupancy"]
        assert row["actual_occupancy"] == row["atoms_placed"] / row["sites_in_pool"]
    assert report["n_vacancies"] == 20
    assert report["warnings"] == []


def test_sites_agreeing_to_four_decimals_share_a_pool():
    source = molvane.Structure(CELL, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.50001}, {"Fe": 0.49999}])
    expanded, report = source.expand_occupancies()
    # One pool of both sites' copies; the first site's occupancy is the target.
    assert rows_of(report) == [("Fe", 0.50001, 16, 8)]
    assert report["n_vacancies"] == 8
    assert len(expanded.species) == 8


def test_missing_element_is_named_once():
    source = molvane.Structure(
        CELL, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.99, "Ni": 0.01}, {"Co": 0.98, "Ni": 0.02}]
    )
    _, report = source.expand_occupancies()
    assert report["warnings"] == [MISSING_NI_1]
    assert [r["element"] for r in report["occupancy_report"]] == ["Co", "Ni", "Fe", "Ni"]


def test_scale_is_largest_cube_within_budget():
    # Occupancy 1 - 1/q needs D = q; n is the largest n <= D with N n^3 <= budget.
    # (Sites 2.3 Å apart along the diagonal: no pair of them excludes the other.)
    for q in (2, 3, 7, 16):
        for n_sites in (1, 3):
            source = molvane.Structure(CELL, [[i / 3] * 3 for i in range(n_sites)], [{"Fe": 1 - 1 / q}] * n_sites)
            for budget in (n_sites, 8 * n_sites - 1, 27 * n_sites, 100, 1000, 5000):
                fits = [n for n in range(1, q + 1) if n_sites * n**3 <= budget]
                _, report = source.expand_occupancies(budget)
                assert report["scale"] == [max(fits, default=1)] * 3, (q, n_sites, budget)


# --- placement -------------------------------------------------------------

MASK = 2**64 - 1
MULTIPLIER = 0x2545F4914F6CDD1D


def xorshift64star(seed):
    x = (seed * MULTIPLIER) & MASK or 1
    while True:
        x ^= x >> 12
        x ^= (x << 25) & MASK
        x ^= x >> 27
        yield (x * MULTIPLIER) & MASK


def model_placement(pools, seed):
    """Species (or None) per pool site, pools given as [(names, counts, size)] in key order."""
    draws = xorshift64star(seed)
    out = []
    for names, counts, size in pools:
        slots = [name for name, c in zip(names, counts) for _ in range(c)]
        slots += [None] * (size - len(slots))
        for n in range(len(slots), 1, -1):
            i = next(draws) % n
            slots[n - 1], slots[i] = slots[i], slots[n - 1]
        out.extend(slots[:size])
    return out


def test_fixed_placement_of_a_small_case():
    # Written down once: any change to the generator, its seeding or the
    # shuffle changes this sequence.
    expanded, _ = one_site({"Fe": 0.5, "Ni": 0.5}).expand_occupancies()
    assert symbols(expanded) == ["Fe", "Ni", "Ni", "Fe", "Fe", "Ni", "Ni", "Fe"]
    assert expanded.frac_coords == [[a / 2, b / 2, c / 2] for a in (0, 1) for b in (0, 1) for c in (0, 1)]


@pytest.mark.parametrize("seed", [0, 1, 42, 2**63, U64_MAX])
def test_placement_follows_the_generator_across_pools(seed):
    source = molvane.Structure(CELL, [[0, 0, 0], [0.5, 0.5, 0.5]], [{"Fe": 0.25}, {"Cu": 0.5, "Zn": 0.5}])
    expanded, report = source.expand_occupancies(64, seed=seed)
    # Supercell order: source site fastest; site 0 (Fe) is even, site 1 (Cu/Zn) odd.
    cells = [[(i + x) / 3, (j + y) / 3, (k + z) / 3] for i in range(3) for j in range(3) for k in range(3)
             for x, y, z in ([0, 0, 0], [0.5, 0.5, 0.5])]
    cu_zn_sites, fe_sites = cells[1::2], cells[0::2]
    expected = model_placement([(["Cu", "Zn"], [14, 13], 27), (["Fe"], [7], 27)], seed)
    placed = [(name, site) for name, site in zip(expected, cu_zn_sites + fe_sites) if name]
    assert symbols(expanded) == [name for name, _ in placed]
    assert expanded.frac_coords == [site for _, site in placed]
    assert report["n_vacancies"] == expected.count(None)


def test_same_seed_same_result_and_source_untouched():
    source = one_site({"Fe": 0.3, "Ni": 0.7})
    before = (source.frac_coords, source.species)
    a, ra = source.expand_occupancies(seed=7)
    b, rb = source.expand_occupancies(seed=7)
    assert (a.frac_coords, a.species, ra) == (b.frac_coords, b.species, rb)
    assert (source.frac_coords, source.species) == before
    c, rc = source.expand_occupancies(seed=8)
    assert Counter(symbols(c)) == Counter(symbols(a))
    assert symbols(c) != symbols(a)


# --- arguments and failures --------------------------------------------------


def test_keywords_match_positional_arguments():
    source = one_site({"Fe": 0.3, "Ni": 0.7})
    a, ra = source.expand_occupancies(seed=7, max_sites=100)
    b, rb = source.expand_occupancies(100, 7, 16)
    assert (a.species, a.frac_coords, ra) == (b.species, b.frac_coords, rb)


@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        ((), {"seed": -1}, OverflowError, None),
        ((), {"max_sites": 2**64}, OverflowError, None),
        ((), {"seed": 1.5}, TypeError, "argument 'seed': "),
        ((), {"max_denominator": "16"}, TypeError, "argument 'max_denominator': "),
        ((), {"limit": 3}, TypeError, "Structure.expand_occupancies() got an unexpected keyword argument 'limit'"),
        ((1, 2, 3, 4), {}, TypeError, "Structure.expand_occupancies() takes from 0 to 3 positional arguments but 4 were given"),
    ],
)
def test_argument_errors(args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        one_site({"Fe": 0.5}).expand_occupancies(*args, **kwargs)
    if text is not None:
        assert str(info.value).startswith(text)


def test_index_protocol_is_accepted():
    class Four:
        def __index__(self):
            return 4

    _, report = one_site({"Fe": 0.5}).expand_occupancies(max_denominator=Four())
    assert report["scale"] == [2, 2, 2]


@pytest.mark.parametrize(
    "sites, kwargs, message",
    [
        ([{"Fe": 0.01}], {}, "no sites remain after expansion; check the occupancies"),
        ([{"Fe": 1.0}] * 5000, {}, "even a 1x1x1 cell holds 5000 sites, above the limit of 4096"),
        ([{"Fe": 0.5}], {"max_sites": 0}, "even a 1x1x1 cell holds 1 sites, above the limit of 0"),
        # The budget allows a cell far beyond what a structure may hold.
        ([{"Fe": 1 / 997}, {"Ni": 1 / 991}], {"max_sites": U64_MAX, "max_denominator": 1000},
         "supercell 988027x988027x988027 would hold more than 100000000 sites"),
    ],
)
def test_failures(sites, kwargs, message):
    n = len(sites)
    source = molvane.Structure(CELL, [[i / n, 0, 0] for i in range(n)], sites)
    with pytest.raises(ValueError) as info:
        source.expand_occupancies(**kwargs)
    assert str(info.value) == message


# --- large denominators ------------------------------------------------------


def test_common_denominator_beyond_64_bits():
    primes = [2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71]
    n = len(primes)
    # Sites 3 Å apart: partial sites 0.2 Å apart would exclude one another.
    grid = [[i % 4 / 4, i // 4 % 4 / 4, i // 16 / 4] for i in range(n)]
    source = molvane.Structure([[12, 0, 0], [0, 12, 0], [0, 0, 12]], grid, [{"Fe": 1 / p} for p in primes])
    _, report = source.expand_occupancies(max_denominator=1000)
    assert report["scale"] == [5, 5, 5]  # the largest cube within 4096 / 20 sites
    _, report = source.expand_occupancies(max_sites=20, max_denominator=10**9)
    assert report["scale"] == [1, 1, 1]
    assert report["warnings"][-1] == (
        "the occupancies would need a supercell of more than 18446744073709551615 cells along "
        "each axis to come out exactly, but that exceeds the 20-site limit; 1x1x1 was used and "
        "the occupancies are approximated (worst deviation 0.5000)"
    )


def test_huge_max_denominator_is_quick():
    source = molvane.Structure(
        CELL,
        [[0, 0, 0], [0.25, 0, 0], [0.5, 0, 0], [0.75, 0, 0]],
        [{"Fe": 0.999999}, {"Fe": 0.5000001}, {"Co": 0.7, "Ni": 0.3}, {"Mn": 0.123456789}],
    )
    for m in (10**9, U64_MAX):
        _, report = source.expand_occupancies(max_denominator=m)
        assert report["scale"] == [10, 10, 10]


def native(mode, *args, stdin=""):
    exe = native_exe("expand_native")
    return subprocess.run([str(exe), mode, *args], input=stdin, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("seed", ["1"])
def test_continued_fraction_search_matches_full_scan(seed):
    # Thousands of values (near-ties, near-rationals, file decimals, random
    # doubles) against bounds up to 10^6, compared with the plain scan.
    out = native("compare", seed)
    assert out.splitlines()[0] == "checked 64000 mismatches 0", out


@pytest.mark.parametrize(
    "x, m, q",
    [
        (0.5, 16, 2),
        (1 / 3, 16, 3),
        (0.99, 16, 1),
        (0.7, 10**9, 10),
        (0.85, 10**9, 20),
        (0.999999, 10**9, 999001),  # stops at the first error below 1e-9
        (0.5000000020000001, 10**9, 166668959),
        (-0.25, 10**6, 4),
        (0.3, 0, 1),
    ],
)
def test_best_denominator_values(x, m, q):
    scan, cf = map(int, native("denominators", stdin=f"{x!r} {m}\n").split())
    assert scan == q
    assert cf == q


def test_integer_cube_root():
    values = [0, 1, 7, 8, 26, 27, 4096 // 3, 2642245**3 - 1, 2642245**3, U64_MAX]
    out = native("cbrt", stdin="".join(f"{v}\n" for v in values))
    assert [int(v) for v in out.split()] == [0, 1, 1, 2, 2, 3, 11, 2642244, 2642245, 2642245]


# --- real files -------------------------------------------------------------

DISORDERED_CIFS = ["1501508.cif", "1557929.cif", "9011963.cif", "9006030.cif", "srycoo.cif", "2300579.cif"]


@pytest.mark.parametrize("name", DISORDERED_CIFS)
def test_expanding_a_disordered_cif(corpus, name):
    try:
        source = molvane.Structure.from_cif(str(corpus / "cif" / name))
    except ValueError as error:
        if "CIF reading is not available" in str(error):
            pytest.skip(str(error))
        raise
    assert not source.is_ordered
    expanded, report = source.expand_occupancies()
    assert expanded.is_ordered
    n = report["scale"][0]

    # Ordered sites are copied n^3 times; each pool adds what its rows placed.
    expected = Counter()
    for species in source.species:
        if len(species) == 1 and abs(next(iter(species.values())) - 1) < 1e-6:
            expected[next(iter(species))] += n**3
    for row in report["occupancy_report"]:
        expected[row["element"]] += row["atoms_placed"]
    assert Counter(symbols(expanded)) == expected
    assert len(expanded.species) + report["n_vacancies"] == len(source.species) * n**3

    if hasattr(expanded, "prdf"):
        r, partials, total = expanded.prdf(4.0, 0.1)
        assert len(total) == len(r)
