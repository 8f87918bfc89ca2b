"""Space groups named by a CIF without operations: the table of Hall settings,
symbol lookup (through the native driver) and the structures built from it."""
from fractions import Fraction

import pytest
from conftest import run_driver

import molvane

HALLS = [str(h) for h in range(1, 531)]
GENERAL = "X1 Fe 0.1234 0.2345 0.3456"


@pytest.fixture(scope="module")
def table():
    return run_driver("cif_native", "setting", HALLS)


def cif(items, rows=(GENERAL,), cell=(7, 8, 9, 90, 90, 90), ops=()):
    text = "".join(f"_cell_{k} {v}\n" for k, v in zip(
        ["length_a", "length_b", "length_c", "angle_alpha", "angle_beta", "angle_gamma"], cell))
    text += "".join(f"{tag} '{value}'\n" for tag, value in items)
    if ops:
        text += "loop_\n_symmetry_equiv_pos_as_xyz\n" + "".join(f"'{op}'\n" for op in ops)
    text += "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
    return text + "_atom_site_fract_y\n_atom_site_fract_z\n" + "".join(r + "\n" for r in rows)


def fitting_cell(setting):
    """A cell of the setting's crystal system (its axes, for R groups)."""
    n = setting["number"]
    if setting["choice"] == "R":
        return (7, 7, 7, 50, 50, 50)
    if 143 <= n <= 194:
        return (7, 7, 9, 90, 90, 120)
    return (7, 7, 7, 90, 90, 90) if n >= 195 else (7, 7, 9, 90, 90, 90) if n >= 75 else (7, 8, 9, 90, 90, 90)


def symmetry(text):
    return run_driver("cif_native", "symmetry", [text])[text]


def point_group_order(number):
    for last, order in [(1, 1), (9, 2), (46, 4), (74, 8), (82, 4), (122, 8), (142, 16), (146, 3),
                        (161, 6), (167, 12), (174, 6), (190, 12), (194, 24), (199, 12), (220, 24),
                        (230, 48)]:
        if number <= last:
            return order


def test_every_setting_expands_a_general_position(table):
    for h, s in table.items():
        multiplicity = point_group_order(s["number"]) * {"P": 1, "A": 2, "B": 2, "C": 2, "I": 2,
                                                         "R": 3, "F": 4}[s["hall"].lstrip("-")[0]]
        assert len(s["ops"]) == multiplicity, h
        st = molvane.Structure.from_cif_str(cif([("_space_group_name_Hall", s["hall"])], cell=fitting_cell(s)))
        assert st.n_sites == multiplicity, (h, s["hall"])


def op_text(op):
    parts = []
    for row, t in zip(op["rotation"], op["translation"]):
        text = "".join(f"{'+' if c > 0 else '-'}{v}" for c, v in zip(row, "xyz") if c)
        if t:
            text += f"+{Fraction(t).limit_denominator(12)}"
        parts.append(text.lstrip("+"))
    return ",".join(parts)


def test_operations_are_the_doubles_of_their_texts(table):
    ops = [op for s in table.values() for op in s["ops"]]
    texts = [op_text(op) for op in ops]
    parsed = run_driver("cif_native", "symmop", texts)
    assert [parsed[t] for t in texts] == ops


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_table_agrees_with_spglib(table):
    spglib = pytest.importorskip("spglib", reason="spglib is not installed")
    for h, s in table.items():
        kind = spglib.get_spacegroup_type(int(h))
        assert (s["number"], s["hall"], s["choice"]) == (kind.number, kind.hall_symbol, kind.choice)
        db = spglib.get_symmetry_from_database(int(h))
        assert [op["rotation"] for op in s["ops"]] == db["rotations"].tolist(), h
        got = [t for op in s["ops"] for t in op["translation"]]
        assert got == pytest.approx(db["translations"].ravel().tolist(), abs=1e-12), h


def test_symbols_name_their_settings(table):
    """Each full H-M symbol with its setting code and each Hall symbol finds
    its own setting (or one with the same operations)."""
    hm = {h: s["full"] + (":" + s["choice"] if s["choice"] else "") for h, s in table.items()}
    by_hm = run_driver("cif_native", "hm", list(hm.values()))
    by_hall = run_driver("cif_native", "hall", [s["hall"] for s in table.values()])
    for h, s in table.items():
        assert by_hm[hm[h]] == [int(h), False]
        assert table[str(by_hall[s["hall"]])]["ops"] == s["ops"]


@pytest.mark.parametrize("symbol,found", [
    ("P 21/c", [81, False]), ("P121/c1", [81, False]), ("P2(1)/c", [81, False]),
    ("p 2~1~/N", [82, False]), ("P 1 1 21/n", [85, False]), ("P 21/b", [86, False]),
    ("Fm-3m", [523, False]), ("F m 3 m", [523, False]), ("P 63/m m c", [488, False]),
    ("Fd-3m", [525, True]), ("F d -3 m :2", [526, False]), ("Fd-3mZ", [526, False]),
    ("F d -3 m S", [525, False]), ("P n c b", [235, True]), ("P n c b :2", [236, False]),
    ("R -3 m", [458, False]), ("R -3 m H", [458, False]), ("R-3m:R", [459, False]),
    ("R 3 R", [434, False]), ("C2:b1", [9, False]), ("C 2/c :b2", [91, False]),
    ("Cmca", [304, False]), ("C m c e", [304, False]), ("B b c b:2", [331, False]),
    ("P 1\u0305", [2, False]), ("P \u22121", [2, False]),
    ("P 21/x", None), ("F d -3 m :3", None), ("P 21/c :H", None), ("", None), ("P" * 100, None),
])
def test_hm_spellings(symbol, found):
    assert run_driver("cif_native", "hm", [symbol])[symbol] == found


@pytest.mark.parametrize("items,cell,expected", [
    # the first known symbol wins; an unknown one is reported
    ([("_space_group_name_Hall", "-P 2yb c"), ("_symmetry_space_group_name_H-M", "P 21/n"),
      ("_space_group_IT_number", "2")], None, ("hm", 82, False, ["_space_group_name_hall", "-P 2yb c"])),
    ([("_symmetry_space_group_name_H-M", "?"), ("_symmetry_Int_Tables_number", "227")], (7, 7, 7, 90, 90, 90),
     ("it_number", 525, True, ["", ""])),
    ([("_space_group_IT_number", "231")], None, ("identity", 0, False, ["_space_group_it_number", "231"])),
    ([("_space_group_IT_number", "230")], (7, 7, 7, 90, 90, 90), ("it_number", 530, False, ["", ""])),
    # the reference-setting symbol comes last
    ([("_space_group_name_H-M_ref", "P 21/c"), ("_space_group_IT_number", "2")], None, ("it_number", 2, False, ["", ""])),
    ([("_space_group.name_H-M_ref", "P 21/c")], None, ("hm", 81, False, ["", ""])),
    # a group whose crystal system the cell does not have gives no operations
    ([("_space_group_IT_number", "230")], None, ("identity", 0, False, ["", ""])),
    # R groups without named axes follow the cell
    ([("_symmetry_space_group_name_H-M", "R -3 m")], (5, 5, 5, 50, 50, 50), ("hm", 459, False, ["", ""])),
    ([("_space_group_IT_number", "166")], (5, 5, 14, 90, 90, 120), ("it_number", 458, False, ["", ""])),
    ([("_symmetry_space_group_name_H-M", "R -3 m")], (5, 5, 5, 90, 90, 120), ("hm", 458, False, ["", ""])),
    ([("_symmetry_space_group_name_H-M", "R -3 m :H")], (5, 5, 5, 50, 50, 50), ("identity", 0, False, ["", ""])),
])
def test_block_names_its_group(items, cell, expected):
    got = symmetry(cif(items, cell=cell or (7, 8, 9, 90, 90, 90)))
    assert (got["source"], got["hall"], got["assumed"], got["unknown"]) == expected


@pytest.mark.parametrize("items,cell,n_sites", [
    # R groups named by number alone follow the cell too (R-3: 6 or 18, R-3m: 12 or 36)
    ([("_space_group_IT_number", "148")], (10, 10, 10, 50, 50, 50), 6),
    ([("_symmetry_Int_Tables_number", "166")], (18, 18, 18, 70.5, 70.5, 70.5), 12),
    ([("_space_group_IT_number", "148")], (10, 10, 28, 90, 90, 120), 18),
    # Hall symbols in any letter case and spacing
    ([("_space_group_name_Hall", "-p 2ybc")], None, 4),
    ([("_space_group_name_Hall", "-P 2YBC")], None, 4),
    ([("_symmetry_space_group_name_Hall", "  -P  2yBc ")], None, 4),
])
def test_a_general_row_under_names_in_other_forms(items, cell, n_sites):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error", molvane.ReadWarning)
        s = molvane.Structure.from_cif_str(cif(items, cell=cell or (7, 8, 9, 90, 90, 90)))
    assert s.n_sites == n_sites


@pytest.mark.parametrize("ops", [["x,y,z", "-x,-y,-z"], ["q,r,s", "x,y"]])
def test_a_readable_loop_wins_over_the_symbol(ops):
    got = symmetry(cif([("_symmetry_space_group_name_H-M", "F m -3 m")], ops=ops, cell=(7, 7, 7, 90, 90, 90)))
    readable = ops[0] == "x,y,z"
    assert (got["source"], got["n_ops"]) == (("loop", 2) if readable else ("hm", 192))


def test_symbol_gives_what_the_listed_operations_give(table):
    """Operations listed in the file and the same group by name build the
    same structure, to the bit."""
    for h in ["81", "304", "459", "526", "529"]:
        s = table[h]
        rows = [GENERAL, "O1 O 0 0.5 0.25", "S1 S 0.125 0.125 0.125"]
        named = cif([("_space_group_name_Hall", s["hall"])], rows=rows, cell=fitting_cell(s))
        listed = cif([], rows=rows, ops=[op_text(op) for op in s["ops"]], cell=fitting_cell(s))
        a, b = (molvane.Structure.from_cif_str(t) for t in (named, listed))
        assert (a.frac_coords, a.species) == (b.frac_coords, b.species), h


# Sites as gemmi and pymatgen read them (the same counts, compositions and
# volumes); peers do not know the spelling "C2:b1" and keep the 12 rows as
# written, C 1 2 1 gives 40 sites (4 rows on 2-fold axes, 8 general rows).
CORPUS = {
    "1004008-90-dot.cif": (22, {"Cr": 2, "Cu": 2, "P": 4, "Se": 12}),
    "TeI-unkocc.cif": (16, {"I": 8, "Te": 8}),
    "badspacegroup.cif": (40, {"Al": 4, "K": 2, "Mg": 2, "O": 24, "Si": 8}),
}


@pytest.mark.parametrize("name", sorted(CORPUS))
def test_corpus_files_naming_their_group(corpus, name):
    n_sites, composition = CORPUS[name]
    s = molvane.Structure.from_cif(str(corpus / "cif" / name))
    assert (s.n_sites, s.composition) == (n_sites, pytest.approx(composition))
