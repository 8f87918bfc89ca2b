"""CIF reading: tokenizer, numbers, tag lower-casing and blocks (through the
native driver), then the structure builder, the corpus and the factories."""
import math
import warnings
from pathlib import Path

import pytest
from conftest import run_driver

import molvane

Structure = molvane.Structure


def run_native(mode, cases):
    return run_driver("cif_native", mode, cases)


def block(text):
    return run_native("block", [text])[text]


def with_notes(read, *args, **kwargs):
    """The result of a read and the texts of its ReadWarnings, in order."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = read(*args, **kwargs)
    return result, [str(w.message) for w in caught if issubclass(w.category, molvane.ReadWarning)]


# --- tokenizer --------------------------------------------------------------

TOKENS = [
    ("_a  'x  y'  z", ["_a", "x  y", "z"]),
    ("''", [""]),
    ("'' \"\"", ["", ""]),
    ("ab #c", ["ab"]),
    ("ab#c", ["ab#c"]),
    ("# all comment", []),
    ("'abc'def", ["abc", "def"]),
    ("'abc", ["abc"]),
    ("'", []),
    ("'a\"b#c'", ['a"b#c']),
    # A quote inside a word is an ordinary character.
    ("O7' H2'1 ab'cd'", ["O7'", "H2'1", "ab'cd'"]),
    ("C2\" 0.5", ['C2"', "0.5"]),
    ("a\u00a0b\u3000c\u2028d", ["a", "b", "c", "d"]),
    ("\u00e9t\u00e9 'x'", ["\u00e9t\u00e9", "x"]),
]


@pytest.mark.parametrize("line,tokens", TOKENS)
def test_tokenize(line, tokens):
    assert run_native("tokenize", [line])[line] == tokens


NUMBERS = [
    ("?", None), (".", None), ("", None), ("abc", None), ("(5)", None), ("''", None),
    ("'0.5'", 0.5), ("\"'0.5'\"", None), ("'\"0.5\"'", 0.5), ("\"0.5\"", 0.5),
    ("1e2", 100.0), ("1.234(5)", 1.234), ("7(2)", 7.0), (" 5.4307(2) ", 5.4307),
    ("5.", 5.0), (".5", 0.5), ("-.5e-1", -0.05), ("+3", 3.0), ("1.5 (2)", 1.5),
    ("1 000", None), ("0x10", None), ("1e", None), ("1/2", None), ("1,5", None),
    ("INF", math.inf), ("-Infinity", -math.inf), ("1e400", math.inf), ("1e-400", 0.0),
    ("0.1000000000000000055511151231257827", 0.1),
]


@pytest.mark.parametrize("text,value", NUMBERS)
def test_parse_cif_number(text, value):
    assert run_native("number", [text])[text] == value


def test_parse_cif_number_nan():
    assert math.isnan(run_native("number", ["nan"])["nan"])


def test_tag_lower_casing_matches_unicode():
    # Every code point in lines of 64 neighbours (so capital sigma also sees
    # letters around it), compared with Python's full lower-casing.
    points = [c for c in range(0x110000) if c != 10 and not 0xD800 <= c <= 0xDFFF]
    lines = ["".join(map(chr, points[i:i + 64])) for i in range(0, len(points), 64)]
    words = ["\u039f\u0394\u039f\u03a3", "\u03a3", "\u0391\u03a3'", "\u0391\u03a3\u0392", "X\u03a3 Y",
             "\u0130STANBUL", "_CELL_LENGTH_A", "\u212a\u212b\u2126",
             # cased letters without a case mapping; a hyphen that is not case-ignorable
             "\u00aa\u03a3", "\U0001f130\u03a3", "A\u058a\u03a3"]
    got = run_native("lower", lines + words)
    bad = [case for case in lines + words if got[case] != case.lower()]
    assert bad == []


# --- blocks -----------------------------------------------------------------

ITEMS = [
    ("_cell_length_a 5.4307(2)", {"_cell_length_a": "5.4307(2)"}),
    ("_CELL_LENGTH_A 3", {"_cell_length_a": "3"}),
    ("_a\n\n  \n'P 1'\n_b 2", {"_a": "P 1", "_b": "2"}),
    ("_b 1\n_a\n\n", {"_b": "1"}),
    # A tag followed by another tag has no value and is dropped.
    ("_a\n# note\n_b 2", {"_b": "2"}),
    ("_a\n_b 1", {"_b": "1"}),
    ("_a 1 _b 'x y' z", {"_a": "1", "_b": "x y z"}),
    # Dotted names are the same items as their underscore forms.
    ("_Cell.Length_a 5\n_atom_site.fract_x 1", {"_cell_length_a": "5", "_atom_site_fract_x": "1"}),
    ("_a\n;\n ab \ncd\n; tail ignored\n_b 2", {"_a": "abcd", "_b": "2"}),
    ("_a\n; opening text ignored\n# x\n\n_y\n", {"_a": "# x_y"}),
    ("_a 1\ndata_x\n_a 2", {"_a": "2"}),
    ("_a 1 'two  words' 3", {"_a": "1 two  words 3"}),
    (";\n_a 1\n;\n_b 2", {"_b": "2"}),
    ("_a 1\r\n_b 2\r\n", {"_a": "1", "_b": "2"}),
    ("stray text\nsave_x\n_a 1", {"_a": "1"}),
]


@pytest.mark.parametrize("text,items", ITEMS)
def test_items(text, items):
    assert block(text)["items"] == items


LOOPS = [
    ("loop_\n_a\n_b\n1 2 3\n4\n5", [(["_a", "_b"], [["1", "2"], ["3", "4"]])]),
    ("loop_\n_a\n_b\n1 2\ndata_other\n3 4", [(["_a", "_b"], [["1", "2"]])]),
    ("loop_\n_a\n1\nLOOP_\n", [(["_a"], [["1"]])]),
    ("loop_\n_a\n1\n'loop_' save_x 2", [(["_a"], [["1"], ["loop_"]])]),
    ("loop_\n_a\n1\nloop_\n_b\n2", [(["_a"], [["1"]]), (["_b"], [["2"]])]),
    ("loop_\n1 2\n3\n_c 1", []),
    # Tags end at the first value, values at the next tag.
    ("loop_\n_a\n_b extra words", [(["_a", "_b"], [["extra", "words"]])]),
    ("loop_\n_author 'Sillen, L G'\n_c 120\nloop_ _d _e 1 2 3",
     [(["_author"], [["Sillen, L G"]]), (["_d", "_e"], [["1", "2"]])]),
    ("Loop_\n_A\n\n# c\n_B\n1 # c\n\n;\nx\ny\n;\n", [(["_a", "_b"], [["1", "xy"]])]),
    ("loop_\n_a\n1\n_b 2\n", [(["_a"], [["1"]])]),
    ("loop_\n_a\n'1 2' \"3\" ''", [(["_a"], [["1 2"], ["3"], [""]])]),
    ("loop_\n_a\n_b\nO7' 1 H2'1 2", [(["_a", "_b"], [["O7'", "1"], ["H2'1", "2"]])]),
    ("loop_ _a\n_b 1", [(["_a", "_b"], [])]),
]


@pytest.mark.parametrize("text,loops", LOOPS)
def test_loops(text, loops):
    assert [(l["tags"], l["rows"]) for l in block(text)["loops"]] == [(t, r) for t, r in loops]


def test_loop_consumes_value_lines_without_tags():
    assert block("loop_\n_x 1\nloop_\n_a 5\n")["items"] == {}


def test_blocks_up_to_the_first_with_atom_sites():
    sites = "loop_\n_atom_site_label\n_atom_site_fract_x\nFe 0\n"
    text = "_global 1\n_a 0\ndata_one\n_a 1\n" + sites + "_c 5\nDATA_two\n_a 2\n_b 3\n" + sites
    b = block(text)
    assert b["items"] == {"_global": "1", "_a": "1", "_c": "5"}
    assert len(b["loops"]) == 1
    # Without any atom-site loop every block is merged.
    b = block("data_one\n_a 1\nloop_\n_c\n1\ndata_two\n_a 2\n_b 3\nloop_\n_d\n2\n")
    assert b["items"] == {"_a": "2", "_b": "3"}
    assert [l["tags"] for l in b["loops"]] == [["_c"], ["_d"]]


# --- structure builder --------------------------------------------------------

NO_ELEMENT = "could not determine the element of an atom site"
ATOM_HEAD = "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n" \
            "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n"


def make_cif(cell="_cell_length_a 4\n_cell_length_b 5\n_cell_length_c 6\n", ops=None,
             rows=("Fe1 Fe 0 0 0 1",), head=ATOM_HEAD):
    text = cell
    if ops is not None:
        text += "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n"
        text += "".join(f"{i} '{op}'\n" for i, op in enumerate(ops, 1))
    return text + head + "".join(r + "\n" for r in rows)


def read(text, symprec=1e-4):
    return Structure.from_cif_str(text, symprec)


def cell(a=4, b=5, c=6, alpha=None, beta=None, gamma=None):
    text = f"_cell_length_a {a}\n_cell_length_b {b}\n_cell_length_c {c}\n"
    for name, v in (("alpha", alpha), ("beta", beta), ("gamma", gamma)):
        if v is not None:
            text += f"_cell_angle_{name} {v}\n"
    return text


def reference_matrix(a, b, c, alpha, beta, gamma):
    """The cell construction written out in Python floats."""
    rad = 0.017453292519943295
    al, be, ga = (1.5707963267948966 if v is None else v * rad for v in (alpha, beta, gamma))
    c1 = c * math.cos(be)
    c2 = (math.cos(al) - math.cos(be) * math.cos(ga)) * c / math.sin(ga)
    s = c * c - c1 * c1 - c2 * c2
    return [[a, 0.0, 0.0], [b * math.cos(ga), b * math.sin(ga), 0.0], [c1, c2, math.sqrt(s)]]


@pytest.mark.parametrize("args", [
    (4, 5, 6, None, None, None), (4, 5, 6, 90, 90, 120), (1, 1, 1, 60, 60, 60),
    (7.1, 8.2, 9.3, 92.0, 105.0, 119.0), (2.5, 2.5, 2.5, 39.49, 39.49, 39.49),
])
def test_cell_matrix(args):
    m = read(make_cif(cell=cell(*args))).lattice_matrix
    assert m == reference_matrix(*args)


def test_cell_examples():
    m = read(make_cif(cell=cell())).lattice_matrix
    assert m[0] == [4.0, 0.0, 0.0]
    assert m[1] == [5 * 6.123233995736766e-17, 5.0, 0.0]
    assert m[2][0] == 6 * 6.123233995736766e-17 and abs(m[2][1]) < 1e-15 and m[2][2] == 6.0
    m = read(make_cif(cell=cell(gamma=120))).lattice_matrix
    assert m[1] == [-2.499999999999999, 4.330127018922194, 0.0] and m[2][2] == 6.0


NO_SITE = "loop_\n_atom_site_label\n_atom_site_fract_y\n_atom_site_fract_z\nFe 0 0\n"

MESSAGES = [
    # cell, in the order of the checks
    (make_cif(cell="_cell_length_b 5\n_cell_length_c 6\n"), "missing _cell_length_a"),
    (make_cif(cell="_cell_length_a ?\n_cell_length_b 5\n_cell_length_c 6\n"), "missing _cell_length_a"),
    (make_cif(cell="_cell_length_a 4\n_cell_length_c 6\n"), "missing _cell_length_b"),
    (make_cif(cell="_cell_length_a 4\n_cell_length_b 5\n_cell_length_c .\n"), "missing _cell_length_c"),
    (make_cif(cell=cell(a=0, gamma=180)), "cell lengths must be positive"),
    (make_cif(cell=cell(c=-1)), "cell lengths must be positive"),
    (make_cif(cell=cell(gamma=180)), "gamma must not be 0 or 180 degrees"),
    (make_cif(cell=cell(gamma=0)), "gamma must not be 0 or 180 degrees"),
    (make_cif(cell=cell(alpha=10, beta=10, gamma=90)), "cell angles are geometrically inconsistent"),
    (make_cif(cell=cell(alpha="nan")), "cell angles are geometrically inconsistent"),
    (make_cif(cell=cell(a="1e-5", b="1e-5", c="1e-5")), "cell matrix is singular (zero volume)"),
    (make_cif(cell=cell(a="inf")), "cell matrix has an entry that is not a finite number"),
    # atom-site loop
    (cell() + NO_SITE, "no _atom_site loop with fractional coordinates found"),
    (cell(), "no _atom_site loop with fractional coordinates found"),
    (cell() + "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_z\nFe 0 0\n",
     "missing _atom_site_fract_y"),
    (cell() + "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\nFe 0 0\n",
     "missing _atom_site_fract_z"),
    # the refusal names the row
    (make_cif(rows=["? ? 0 0 0 1"]), NO_ELEMENT + " (row 1 of the atom-site loop: label '?', type symbol '?')"),
    (make_cif(rows=["Fe1 Fe 0 0 0 1", "1a 2b 0.5 0 0 1"]),
     NO_ELEMENT + " (row 2 of the atom-site loop: label '1a', type symbol '2b')"),
    (make_cif(head=ATOM_HEAD.replace("_atom_site_label\n", "").replace("_atom_site_type_symbol\n", ""),
              rows=["0 0 0 1"]), NO_ELEMENT + " (row 1 of the atom-site loop)"),
    (make_cif(rows=["? ? ? 0 0 1"]), "CIF contains no usable atom sites"),
    (make_cif(rows=["? ? . . . 1", "X ? 1/0 0 0 1"]), "CIF contains no usable atom sites"),
    (make_cif(rows=["Fe1 Fe 0 0 0 0"]), "CIF contains no usable atom sites"),
    (make_cif(rows=["Fe1 Fe 0 0 0 -0.5", "Fe2 Fe 0 0 0 nan"]), "CIF contains no usable atom sites"),
    (make_cif(rows=[]), "CIF contains no usable atom sites"),
    (make_cif(rows=["Fe1 Fe 0 0 0 0.6", "Ni1 Ni 0 0 0 0.5"]),
     "a site has occupancies summing to 1.1000, which exceeds 1"),
    (make_cif(rows=["Fe1 Fe 0 0 0 inf"]), "a site has occupancies summing to inf, which exceeds 1"),
    ("", "missing _cell_length_a"),
]


@pytest.mark.parametrize("text,message", MESSAGES)
def test_builder_messages(text, message):
    with pytest.raises(ValueError) as info:
        read(text)
    assert str(info.value) == message


@pytest.mark.parametrize("label,type_symbol,element", [
    ("Fe2+", "?", "Fe"), ("O1", ".", "O"), ("Ca1a", "?", "Ca"), ("fe", "?", "Fe"),
    ("x", "O2", "O"), ("Fe1", "Ni3+", "Ni"), ("\u00a0Mg", "?", "Mg"), ("?", "'Sr'", "Sr"),
    # upper-case symbols name the two-letter element; no invented elements
    ("CL1", "?", "Cl"), ("CA1", "?", "Ca"), ("AL", "?", "Al"), ("MO1", "?", "Mo"), ("x", "NB", "Nb"),
    ("x", "NH3", "N"), ("OW1", "?", "O"), ("O1", "Wat", "O"), ("Wat", "O", "O"),
])
def test_element_from_label_and_type_symbol(label, type_symbol, element):
    s = read(make_cif(rows=[f"{label} {type_symbol} 0 0 0 1"]))
    assert s.species == [{element: 1.0}]


@pytest.mark.parametrize("label", ["Wat", "T1(o)", "M2", "Sl", "Xx1"])
def test_labels_naming_no_element_fail(label):
    with pytest.raises(ValueError) as info:
        read(make_cif(rows=["Fe1 Fe 0 0 0 1", f"{label} ? 0 0 0 1"]))
    assert str(info.value) == NO_ELEMENT + f" (row 2 of the atom-site loop: label '{label}', type symbol '?')"


def test_dummy_rows_are_skipped_with_a_note():
    # _atom_site_calc_flag dum marks a placeholder (COD writes occupancy 5 at -1 -1 -1): no atom
    head = ATOM_HEAD + "_atom_site_calc_flag\n"
    s, notes = with_notes(read, make_cif(head=head, rows=["Fe1 Fe 0 0 0 1 d", "H8 H -1 -1 -1 5 DUM"]))
    assert s.species == [{"Fe": 1.0}]
    assert notes == ["skipped 1 atom-site row marked as a dummy (_atom_site_calc_flag dum; first: 'H8')"]


@pytest.mark.parametrize("label,type_symbol,occupancy,species", [
    ("M1", "'0.8Nb + 0.2Zr'", "1", {"Nb": 0.8, "Zr": 0.2}),
    ("M1", "0.5Nb+0.5Zr", "0.5", {"Nb": 0.25, "Zr": 0.25}),
    ("M1", "'0.5Nb + 0.25Nb'", "?", {"Nb": 0.75}),
    ("M1", "'0.7Nb + 0.2Zr + .1Ti'", "1", {"Nb": 0.7, "Zr": 0.2, "Ti": 0.1}),
    ("M1", "1.0Nb", "1", {"Nb": 1.0}),
    # not a mixed symbol: the label decides
    ("Fe1", "2b", "1", {"Fe": 1.0}), ("Nb,Zr", "'0.8Nb + 0.2Xx'", "1", {"Nb": 1.0}),
    ("Nb1", "'0.8nb + 0.2zr'", "1", {"Nb": 1.0}), ("Nb1", "'0.8Nb +'", "1", {"Nb": 1.0}),
])
def test_mixed_type_symbols(label, type_symbol, occupancy, species):
    # One row, one site, even where no two images merge.
    s = read(make_cif(rows=[f"{label} {type_symbol} 0 0 0 {occupancy}"]), symprec=0.0)
    assert s.species == [pytest.approx(species, abs=1e-15)]


@pytest.mark.parametrize("coords,expected", [
    (". . .", [0.0, 0.0, 0.0]), (".5 . .", [0.5, 0.0, 0.0]), ("1/4 '1/2' -1/4", [0.25, 0.5, 0.75]),
    ("1/3 2/3 0.25(1)", [1 / 3, 2 / 3, 0.25]), ("'.' 0 0", [0.0, 0.0, 0.0]),
])
def test_dot_and_fraction_coordinates(coords, expected):
    assert read(make_cif(rows=[f"Mn1 Mn2+ {coords} 1"])).frac_coords == [expected]


def test_occupancy_rules():
    rows = ["A1 Fe 0.1 0 0 ?", "A2 Fe 0.2 0 0 .", "A3 Fe 0.3 0 0 1.5", "A4 Fe 0.4 0 0 0.25(3)",
            "A5 Fe 0.5 0 0 0", "A6 Fe ? 0 0 1", "A7 Fe 0.7 abc 0 1"]
    with pytest.raises(ValueError, match="summing to 1.5000"):
        read(make_cif(rows=rows))
    rows[2] = "A3 Fe 0.3 0 0 0.5"
    s = read(make_cif(rows=rows))
    assert s.species == [{"Fe": 1.0}, {"Fe": 1.0}, {"Fe": 0.5}, {"Fe": 0.25}]
    assert [f[0] for f in s.frac_coords] == [0.1, 0.2, 0.3, 0.4]


def test_merging_examples():
    inv = ["x,y,z", "-x,-y,-z"]
    assert read(make_cif(ops=inv, rows=["O O 0 0 0 1"])).n_sites == 1
    s = read(make_cif(ops=inv, rows=["O O 0.1 0.2 0.3 1"]))
    assert s.frac_coords == [[0.1, 0.2, 0.3], [0.9, 0.8, 0.7]]
    s = read(make_cif(rows=["O1 O 0.99995 0 0 1", "O2 O 0.00004 0 0 1"]))
    assert s.frac_coords == [[0.99995, 0.0, 0.0]]
    s = read(make_cif(rows=["Fe Fe 0.5 0.5 0.5 0.5", "Co Co 0.5 0.5 0.5(1) 0.5"]))
    assert s.species == [{"Fe": 0.5, "Co": 0.5}]
    # Rows of one element at one place are parts of one site (Fe2+ and Fe3+).
    s = read(make_cif(rows=["Fe1 Fe 0.5 0.5 0.5 0.3", "Fe2 Fe 0.5 0.5 0.5 0.6"]))
    assert s.species == [{"Fe": 0.3 + 0.6}]
    s = read(make_cif(rows=["Fe1 Fe 0.1234(5) 0 0 1"]))
    assert s.frac_coords == [[0.1234, 0.0, 0.0]]


@pytest.mark.parametrize("symprec", [0.0, -1.0, float("nan")])
def test_no_merging_without_positive_symprec(symprec):
    s = read(make_cif(rows=["Fe1 Fe 0 0 0 0.5", "Fe2 Fe 0 0 0 0.5"]), symprec)
    assert s.n_sites == 2


def scan_merge(images, symprec, cell=(4, 5, 6)):
    """The merge as a plain scan over the sites kept so far: per element the
    larger occupancy of each row's images, the rows added in row order while
    the site holds at most 1.001, else the largest. A site also takes images
    of the row that started it within 0.05 A (rectangular cell)."""
    sites = []
    for element, occ, f, row in images:
        for site in sites:
            gaps = [abs(a - b) for a, b in zip(site[0], f)]
            if all(min(d, 1 - d) < symprec if d > 0.5 else d < symprec for d in gaps) or (
                    site[2] == row and sum((min(d, 1 - d) * n) ** 2 for d, n in zip(gaps, cell)) < 0.05 ** 2):
                parts = site[1].setdefault(element, {})
                parts[row] = max(parts.get(row, occ), occ)
                break
        else:
            sites.append((f, {element: {row: occ}}, row))
    out = []
    for f, elements, _ in sites:
        summed = {e: sum(p[r] for r in sorted(p)) for e, p in elements.items()}
        # the builder adds from zero after the first row; Python's sum does the same
        if sum(summed.values()) > 1.001:
            summed = {e: max(p.values()) for e, p in elements.items()}
        out.append((f, summed))
    return out


OPS = [((1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0)), ((-1, 0, 0, 0), (0, -1, 0, 0), (0, 0, -1, 0)),
       ((0, 1, 0, 0), (1, 0, 0, 0), (0, 0, 1, 0.5)), ((0, -1, 0, 0.5), (1, 0, 0, 0), (0, 0, -1, 0))]
OP_TEXT = ["x,y,z", "-x,-y,-z", "y,x,z+1/2", "-y+1/2,x,-z"]


@pytest.mark.parametrize("symprec", [1e-4, 0.01, 0.05, 0.1, 0.3, 0.6])
@pytest.mark.parametrize("n_rows", [5, 400])
def test_merge_equals_the_scan(symprec, n_rows):
    # Clustered random positions so that many images fall near others.
    import random
    rng = random.Random(n_rows * 1000 + int(symprec * 1e4))
    centres = [[rng.random() for _ in range(3)] for _ in range(max(2, n_rows // 8))]
    rows, images = [], []
    for i in range(n_rows):
        c = rng.choice(centres)
        f = [(v + rng.uniform(-2, 2) * symprec) % 1.0 for v in c]
        element, occ = rng.choice(["Fe", "Co"]), rng.choice([0.1, 0.2, 0.05])
        rows.append(f"{element}{i} {element} {f[0]!r} {f[1]!r} {f[2]!r} {occ}")
        for op in OPS:
            g = [((r[0] * f[0] + r[1] * f[1]) + r[2] * f[2]) + r[3] for r in op]
            images.append((element, occ, [v - math.floor(v) for v in g], i))
    expected = scan_merge(images, symprec)
    try:
        s = read(make_cif(ops=OP_TEXT, rows=rows), symprec)
    except ValueError as e:  # clusters may overfill a site; then both must agree
        assert any(sum(sp.values()) > 1.001 for _, sp in expected), e
        return
    assert s.frac_coords == [f for f, _ in expected]
    assert s.species == [sp for _, sp in expected]


# --- corpus -------------------------------------------------------------------

CORPUS_FAILURES = {
    # a stray loop_ turns the _cell_* items into loop tags
    "1101113-no-atom-site-label.cif": "missing _cell_length_a",
    # one label is 'Sl' (a typo for S1), which names no element
    "13164.cif": NO_ELEMENT + " (row 5 of the atom-site loop: label 'Sl')",
    "2000127-unknown-coordinates.cif": "CIF contains no usable atom sites",
    # four tags, five values per line: a row's label becomes '-0.1242(10)'
    "2103187-misaligned-loop.cif": NO_ELEMENT + " (row 5 of the atom-site loop: label '-0.1242(10)')",
    "no-cell-lengths.cif": "missing _cell_length_a",
}

# Site counts and compositions derived independently: Wyckoff multiplicities
# for the simple cases, distinct positions of a peer CIF library otherwise.
CORPUS_VALUES = {
    # the dummy row 'H8 ... -1. -1. -1. 5. 0 dum' is skipped (with a note): 4g 8h multiplicities
    "1000451.cif": (100, {"Ba": 16, "F": 52, "Mo": 8, "O": 24}),
    "9000618.cif": (160, {"Al": 16, "Mg": 24, "O": 96, "Si": 24}),  # Ia-3d: 16a 24c 24d 96h
    "9011575-diamond.cif": (8, {"C": 8}),                            # Fd-3m: 8a
    "PbTe.cif": (8, {"Pb": 4, "Te": 4}),                             # Fm-3m: 4a 4b
    "10010.cif": (9, {"O": 6, "Si": 3}),                             # P3121: 3a 6c
    "9006030.cif": (56, {"Al": 16, "Ni": 8, "O": 32}),               # Fd-3m: 8a 16d 32e
    "1501508.cif": (5, {"Mg": 0.25, "Nb": 0.5, "O": 3, "Pb": 1, "Ti": 0.25}),
    "1544173.cif": (100, {"C": 40, "H": 56, "O": 4}),
    "2-entries-AMCSD-cifdata.cif": (78, {"F": 1, "Fe": 12.2, "Mg": 1.8, "O": 47, "Si": 16}),
    "Zr-UiO-66-pressure.cif": (456, {"C": 192, "H": 112, "O": 128, "Zr": 24}),
    "2011767.cif": (144, {"Al": 6, "Br": 2.868, "Ca": 12, "Cl": 3.132, "H": 60.0012, "O": 48}),
}


def corpus_files(corpus):
    return sorted((corpus / "cif").glob("*.cif"))


LATER = "read the first data block with atom sites and ignored "
# Species of one site with other displacement parameters than the site keeps
# (O-H3 is not the aniso loop's OH3; Br and Cl differ).
OTHER_ADP = "1 atom-site row shared a site with other displacement parameters, which the site kept (first: '{}')"
CORPUS_NOTES = {
    "2-entries-AMCSD-cifdata.cif": [LATER + "1 later one: 'global_00002' (choose a block with block=)",
                                    OTHER_ADP.format("F3")],
    "2011767.cif": [OTHER_ADP.format("Cl")],
    "AMCSD0000001.cif": [OTHER_ADP.format("F3")],
    "1000451.cif": ["skipped 1 atom-site row marked as a dummy (_atom_site_calc_flag dum; first: 'H8')"],
    "Zr-UiO-66-pressure.cif": [LATER + "2 later ones: 'Zr-UiO-66_1GPa', 'Zr-UiO-66_2GPa' "
                               "(choose a block with block=)"],
    "funny-disorder-markups.cif": [LATER + "2 later ones: '9000025_1', '9000025_1' (choose a block with block=)"],
}


def test_corpus_reads_or_fails_as_expected(corpus):
    outcome, notes = {}, {}
    for path in corpus_files(corpus):
        try:
            s, notes[path.name] = with_notes(Structure.from_cif, str(path))
            assert s.n_sites > 0
            outcome[path.name] = None
        except ValueError as e:
            outcome[path.name] = str(e)
    assert len(outcome) >= 40
    assert {k: v for k, v in outcome.items() if v is not None} == CORPUS_FAILURES
    # Every other file reads without a note.
    assert {k: v for k, v in notes.items() if v} == CORPUS_NOTES


@pytest.mark.parametrize("name", sorted(CORPUS_VALUES))
def test_corpus_independent_values(corpus, name):
    n_sites, composition = CORPUS_VALUES[name]
    s = Structure.from_cif(str(corpus / "cif" / name))
    assert s.n_sites == n_sites
    assert s.composition == pytest.approx(composition, abs=1e-9)


def test_first_entry_of_a_multi_entry_file(corpus):
    both, _ = with_notes(Structure.from_cif, str(corpus / "cif" / "2-entries-AMCSD-cifdata.cif"))
    first = Structure.from_cif(str(corpus / "cif" / "AMCSD0000001.cif"))
    assert both.lattice_matrix == first.lattice_matrix
    assert both.frac_coords == first.frac_coords


def test_blocks_of_a_real_file(corpus):
    path = str(corpus / "cif" / "Zr-UiO-66-pressure.cif")
    default, _ = with_notes(Structure.from_cif, path)
    blocks = [Structure.from_cif(path, block=i) for i in range(3)]
    assert same(default, blocks[0])
    assert same(blocks[2], Structure.from_cif(path, block="zr-uio-66_2GPa"))
    assert same(blocks[1], Structure.from_cif(path, 1e-4, block=-2))
    assert len({b.lattice_matrix[0][0] for b in blocks}) == 3  # 0, 1 and 2 GPa


def test_fraction_coordinates_give_the_formula(corpus):
    # _chemical_formula_sum 'H29.89 Mo12 O54.95 Rb4.361 V0.616' with Z = 8 (H not placed);
    # V1, Rb2 and Rb4 are written with fractions such as 1/4.
    s = Structure.from_cif(str(corpus / "cif" / "2009306-xyz-simple-fract.cif"))
    assert s.composition == pytest.approx({"Mo": 96, "O": 8 * 54.95, "Rb": 8 * 4.361, "V": 8 * 0.616},
                                          abs=0.1)


# Files written in the conventions of two databases; sites and composition as
# pymatgen reads them.
STYLE_FILES = {
    "icsd-style-KMnF3.cif": (5, {"F": 3, "K": 1, "Mn": 1}),
    "pauling-style-NbZr.cif": (8, {"Nb": 1.6, "O": 0.15, "Zr": 0.4}),
}


@pytest.mark.parametrize("name", sorted(STYLE_FILES))
def test_database_conventions(name):
    n_sites, composition = STYLE_FILES[name]
    s, notes = with_notes(Structure.from_cif, str(Path(__file__).parent / "data" / "cif" / name))
    assert (s.n_sites, notes) == (n_sites, [])
    assert s.composition == pytest.approx(composition, abs=1e-12)


def test_notes_once_per_kind_with_counts():
    rows = ["Fe1 Fe 0.1 0.1 0.1 1", "O1 O ? 0 0 1", "O2 O 0 abc 0 1", "? ? . . . 1",
            "H1 H 0.3 0.3 0.3 -0.5", "H2 H 0.4 0.4 0.4 nan", "H3 H 0.5 0.5 0.5 0"]
    one = make_cif(ops=["x,y,z", "x,y", "-x,-y,-z", "bad"], rows=rows)
    s, notes = with_notes(read, "data_first\n" + one + "data_second\n" + one + "data_third\n_a 1\n")
    assert s.n_sites == 2
    assert notes == [
        LATER + "1 later one: 'second' (choose a block with block=)",
        "skipped 2 symmetry operations that could not be read (first: 'x,y')",
        "skipped 3 atom-site rows whose coordinates are not numbers (first: 'O1')",
        "skipped 2 atom-site rows with a negative or NaN occupancy (first: 'H1')",
    ]
    # A zero occupancy is no atom, and a clean file has no note.
    assert with_notes(read, make_cif(rows=["Fe1 Fe 0 0 0 1", "H3 H 0.5 0.5 0.5 0"]))[1] == []
    # Warnings turned into errors fail the read.
    with warnings.catch_warnings():
        warnings.simplefilter("error", molvane.ReadWarning)
        with pytest.raises(molvane.ReadWarning):
            read("data_a\n" + one)


TWO_BLOCKS = "data_a\n" + make_cif(rows=["Fe1 Fe 0 0 0 1"]) + "data_B extra words\n" + \
    make_cif(cell=cell(7, 8, 9), rows=["Co1 Co 0.5 0.5 0.5 1"])


@pytest.mark.parametrize("block,a,element", [
    (None, 4.0, "Fe"), ("a", 4.0, "Fe"), ("b", 7.0, "Co"), ("B", 7.0, "Co"), (0, 4.0, "Fe"),
    (1, 7.0, "Co"), (-1, 7.0, "Co"), (-2, 4.0, "Fe"),
])
def test_block_by_name_and_index(block, a, element):
    for factory in (Structure.from_cif_str, lambda t, **kw: Structure.from_str(t, "cif", **kw)):
        s, _ = with_notes(factory, TWO_BLOCKS, block=block)
        assert (s.lattice_matrix[0][0], s.elements) == (a, [element])


BLOCKS_OF_TWO = "the CIF has 2 data blocks: 'a', 'B'"


@pytest.mark.parametrize("text,block,error,message", [
    (TWO_BLOCKS, "c", ValueError, "no data block named 'c'; " + BLOCKS_OF_TWO),
    (TWO_BLOCKS, 2, ValueError, "data block index 2 is out of range; " + BLOCKS_OF_TWO),
    (TWO_BLOCKS, -3, ValueError, "data block index -3 is out of range; " + BLOCKS_OF_TWO),
    (TWO_BLOCKS, 2**64, ValueError, "data block index 18446744073709551616 is out of range"),
    (make_cif(), 0, ValueError, "data block index 0 is out of range; the CIF has no data_ blocks"),
    ("".join(f"data_b{i}\n" for i in range(12)), "x", ValueError,
     "no data block named 'x'; the CIF has 12 data blocks: " + ", ".join(f"'b{i}'" for i in range(10)) +
     ", ... (12 in all)"),
    (TWO_BLOCKS, 1.0, TypeError, "argument 'block': expected a data block name (str), index (int) or None, "
                                 "got 'float'"),
    (TWO_BLOCKS, True, TypeError, "argument 'block': expected a data block name (str), index (int) or None, "
                                  "got 'bool'"),
])
def test_block_errors(text, block, error, message):
    with pytest.raises(error) as info:
        Structure.from_cif_str(text, block=block)
    assert str(info.value) == message


def test_block_is_keyword_only_and_for_cif():
    with pytest.raises(TypeError, match="takes from 1 to 2 positional arguments but 3 were given"):
        Structure.from_cif_str(TWO_BLOCKS, 1e-4, 0)
    with pytest.raises(ValueError, match="^block is for CIF text; format 'poscar' has no data blocks$"):
        Structure.from_str("x", "POSCAR", block=0)
    assert Structure.from_cif.__text_signature__ == "(path, symprec=1e-4, *, block=None)"


# --- factories ----------------------------------------------------------------

def same(a, b):
    return (a.lattice_matrix, a.frac_coords, [list(sp.items()) for sp in a.species]) == \
           (b.lattice_matrix, b.frac_coords, [list(sp.items()) for sp in b.species])


def test_factories_agree(corpus):
    for path in corpus_files(corpus):
        if path.name in CORPUS_FAILURES:
            continue
        text = path.read_text(encoding="utf-8")
        a = Structure.from_cif(str(path))
        assert same(a, Structure.from_cif_str(text)), path.name
        assert same(a, Structure.from_str(text, "CIF", 1e-4)), path.name
        assert same(a, Structure.from_str(text=text, fmt="cif", symprec=1e-4)), path.name


def test_symprec_is_passed_on(corpus):
    text = make_cif(rows=["Fe1 Fe 0 0 0 0.5", "Co1 Co 0.01 0 0 0.5"])
    assert Structure.from_cif_str(text).n_sites == 2
    assert Structure.from_cif_str(text, symprec=0.02).n_sites == 1
    assert Structure.from_str(text, "cif", 0.02).n_sites == 1


@pytest.mark.parametrize("fmt,message", [
    (" cif", "unknown format ' cif'; molvane reads cif, poscar and xyz"),
    ("PDB", "unknown format 'pdb'; molvane reads cif, poscar and xyz"),
    ("C\u0130F", "unknown format 'c\u0130f'; molvane reads cif, poscar and xyz"),
])
def test_unknown_format(fmt, message):
    with pytest.raises(ValueError) as info:
        Structure.from_str(make_cif(), fmt)
    assert str(info.value) == message


def test_from_cif_file_errors(tmp_path):
    missing = tmp_path / "nope.cif"
    with pytest.raises(OSError) as info:
        Structure.from_cif(str(missing))
    assert str(info.value) == f"could not read {missing}: No such file or directory (os error 2)"
    with pytest.raises(OSError) as info:
        Structure.from_cif(str(tmp_path))
    assert str(info.value) == f"could not read {tmp_path}: Is a directory (os error 21)"
    latin = tmp_path / "latin.cif"
    latin.write_bytes(make_cif(rows=["Fe1 Fe 0 0 0 1 # caf\xe9"]).encode("latin-1"))
    with pytest.raises(OSError) as info:
        Structure.from_cif(str(latin))
    assert str(info.value) == f"could not read {latin}: stream did not contain valid UTF-8"
    with pytest.raises(OSError) as info:
        Structure.from_cif("a\0b")
    assert str(info.value) == "could not read a\0b: file name contained an unexpected NUL byte"
    bad = tmp_path / "bad.cif"
    bad.write_text("_cell_length_a 1\n")
    with pytest.raises(ValueError, match="^missing _cell_length_b$"):
        Structure.from_cif(str(bad))


# --- hostile input --------------------------------------------------------------

def read_or_fail(text, symprec=1e-4):
    try:
        return read(text, symprec)
    except ValueError:
        return None


@pytest.mark.parametrize("text", [
    "'" * 1_000_000,
    "_a " + "'" * 1_000_000,
    "loop_\n" + "_t\n" * 100_000 + "1\n",
    ";\n" * 200_000,
    "_a\n" * 200_000,
    "loop_\n_a\n" + "1 " * 500_000,
    "_cell_length_a 1\n" * 100_000,
    "loop_\n_symmetry_equiv_pos_as_xyz\n" + "'" + "x," * 300_000 + "'\n",
    "loop_\n_symmetry_equiv_pos_as_xyz\n'" + "+" * 300_000 + "x,y,z'\n",
    ("data_a\n" + make_cif()) * 20_000,
    make_cif(rows=["M1 '" + "0.00001Fe + " * 100_000 + "0.00001Ni' 0 0 0 1", "M2 '" + "1Fe+" * 100_000 + "'"]),
    make_cif(rows=["A . . . . 1"] * 100_000),
])
@pytest.mark.filterwarnings("ignore::molvane.ReadWarning")
def test_hostile_text_ends_in_a_result_or_message(text):
    # Each of these would take minutes if any step were quadratic in the text.
    read_or_fail(text)


def test_many_distinct_sites_merge_fast():
    import random
    rng = random.Random(7)
    rows = [f"Fe{i} Fe {rng.random()!r} {rng.random()!r} {rng.random()!r} 1" for i in range(50_000)]
    text = make_cif(cell=cell(40, 40, 40), rows=rows)
    s = read(text)
    assert s.n_sites == 50_000


@pytest.mark.filterwarnings("ignore::molvane.ReadWarning")
def test_mutated_corpus_files_never_crash(corpus):
    import random
    rng = random.Random(11)
    texts = [p.read_text(encoding="utf-8") for p in corpus_files(corpus)]
    pieces = ["'", '"', ";", "\n", "loop_", "data_x", "_atom_site_fract_x", "#", "(", "/0", "?", " ",
              "x/0", "1e308", "nan", "\u00e9", "\u2028"]
    for _ in range(300):
        t = rng.choice(texts)
        for _ in range(rng.randint(1, 6)):
            i = rng.randrange(len(t) + 1)
            j = min(len(t), i + rng.randint(0, 8))
            t = t[:i] + rng.choice(pieces) + t[j:]
        for symprec in (1e-4, 0.3):
            try:
                s = read(t, symprec)
                assert s.n_sites > 0
            except ValueError:
                pass


# --- what real files say: magnetic operations, tokens, symbols, mixed rows ---------

MCIF = """data_tetragonal
_cell_length_a 4
_cell_length_b 4
_cell_length_c 6
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
_space_group_magn.name_BNS "I4'"
loop_
_space_group_symop_magn_operation.id
_space_group_symop_magn_operation.xyz
1 x,y,z,+1
2 -y,x,-z,-1
3 -x,-y,z,+1
4 y,-x,-z,-1
loop_
_space_group_symop_magn_centering.id
_space_group_symop_magn_centering.xyz
1 x,y,z,+1
2 x+1/2,y+1/2,z+1/2,+1
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
Fe1 Fe 0.1 0.2 0.3
O1 O 0 0 0
"""


def images(ops, centerings, point):
    """Every centering after every operation, applied by hand, wrapped and
    rounded so that equal positions compare equal."""
    out = set()
    for c in centerings:
        for g in ops:
            p = [sum(r * v for r, v in zip(row, point)) + t for row, t in g]
            q = [sum(r * v for r, v in zip(row, p)) + t for row, t in c]
            out.add(tuple(round(v % 1.0, 9) % 1.0 for v in q))
    return out


def test_magnetic_operations_and_centerings():
    from pymatgen.io.cif import CifParser

    s = read(MCIF)
    ops = [(((1, 0, 0), 0), ((0, 1, 0), 0), ((0, 0, 1), 0)), (((0, -1, 0), 0), ((1, 0, 0), 0), ((0, 0, -1), 0)),
           (((-1, 0, 0), 0), ((0, -1, 0), 0), ((0, 0, 1), 0)), (((0, 1, 0), 0), ((-1, 0, 0), 0), ((0, 0, -1), 0))]
    cents = [(((1, 0, 0), 0), ((0, 1, 0), 0), ((0, 0, 1), 0)), (((1, 0, 0), .5), ((0, 1, 0), .5), ((0, 0, 1), .5))]
    expected = len(images(ops, cents, (0.1, 0.2, 0.3))) + len(images(ops, cents, (0, 0, 0)))
    assert (s.n_sites, s.composition) == (expected, {"Fe": 8.0, "O": 2.0})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = CifParser.from_str(MCIF).parse_structures(primitive=False)[0]
    assert s.n_sites == len(peer)


@pytest.mark.parametrize("change,note", [
    # a malformed time-reversal term: that operation is skipped, with a note
    (("2 -y,x,-z,-1", "2 -y,x,-z,+2"),
     "skipped 1 symmetry operation that could not be read (first: '-y,x,-z,+2')"),
    (("2 -y,x,-z,-1", "2 -y,x,-z"), "skipped 1 symmetry operation that could not be read (first: '-y,x,-z')"),
    # centerings without operations are applied alone
    (("_space_group_symop_magn_operation.xyz\n", "_other.xyz\n"),
     "magnetic centerings are listed without magnetic operations; only the centerings were applied"),
])
def test_magnetic_operations_bad_input(change, note):
    s, notes = with_notes(read, MCIF.replace(*change))
    assert note in notes
    assert s.n_sites >= 2


def test_loop_tags_end_at_the_first_value():
    import gemmi

    # A loop whose header line holds a tag and its value: the angles after it
    # are items, not more tags of the loop.
    text = ("data_x\nloop_\n_publ_author_name 'Sillen, L G'\n_cell_length_a 4\n_cell_length_b 4\n"
            "_cell_length_c 6\n_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 120\n"
            + ATOM_HEAD + "Si1 Si 0 0 0 1\n")
    assert float(gemmi.cif.read_string(text).sole_block().find_value("_cell_angle_gamma")) == 120.0
    assert read(text).lattice_matrix == reference_matrix(4, 4, 6, 90, 90, 120)


def test_dotted_names_are_the_underscore_items():
    survey = Path(__file__).parent / "data" / "survey" / "easydiff" / "lbco.cif"
    text = survey.read_text()
    underscored = "\n".join(line.replace(".", "_", 1) if line.startswith("_") else line
                            for line in text.splitlines())
    a, b = read(text), read(underscored)
    assert (a.lattice_matrix, a.frac_coords, a.species) == (b.lattice_matrix, b.frac_coords, b.species)
    assert a.n_sites == 5  # Pm-3m: 1a (La/Ba) + 1b (Co) + 3c (O)


SILICON_FD3M_PRIMITIVE = """data_Si
_symmetry_space_group_name_H-M 'Fd-3m'
_cell_length_a 3.86697
_cell_length_b 3.86697
_cell_length_c 3.86697
_cell_angle_alpha 60
_cell_angle_beta 60
_cell_angle_gamma 60
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
Si0 Si 0.875 0.875 0.875
Si1 Si 0.125 0.125 0.125
"""


def test_a_symbol_on_a_cell_that_does_not_fit_it():
    s, notes = with_notes(read, SILICON_FD3M_PRIMITIVE)
    assert (s.n_sites, s.composition) == (2, {"Si": 2.0})  # a primitive diamond cell holds 2 Si
    assert notes == ["the cell does not fit space group 'Fd-3m' (_symmetry_space_group_name_h-m): cubic cells "
                     "have a = b = c and all angles 90 degrees; no operations were taken from it and the sites "
                     "were read as listed"]
    # On the conventional cell the symbol gives the 8 atoms of diamond (8a, origin choice 1).
    conventional = SILICON_FD3M_PRIMITIVE.replace("60", "90").replace("3.86697", "5.46873")
    conventional = conventional.replace("Si0 Si 0.875 0.875 0.875\nSi1 Si 0.125 0.125 0.125", "Si0 Si 0 0 0")
    assert read(conventional).composition == {"Si": 8.0}


def test_too_close_images_after_expansion():
    # Listed operations always apply; images of different rows closer than
    # max(0.7, 0.6 (r_a + r_b)) A (Cordero covalent radii) earn a note. On the
    # a axis (4 A): Fe at 0.1, 0.9 and O at 0.25, 0.75.
    import periodictable

    sites = [("Fe", 0.1), ("Fe", 0.9), ("O", 0.25), ("O", 0.75)]

    def bound(a, b):
        return max(0.7, 0.6 * (getattr(periodictable, a).covalent_radius + getattr(periodictable, b).covalent_radius))

    close = sum(1 for i in range(4) for j in range(i + 1, 4)
                if 4 * min(abs(sites[i][1] - sites[j][1]), 1 - abs(sites[i][1] - sites[j][1]))
                < bound(sites[i][0], sites[j][0]))
    s, notes = with_notes(read, make_cif(ops=["x,y,z", "-x,-y,-z"], rows=["Fe1 Fe 0.1 0 0 1", "O1 O 0.25 0 0 1"]))
    assert s.n_sites == 4 and close == 3
    assert notes == [f"after the symmetry operations, {close} pairs of fully occupied sites lie closer than their "
                     f"atoms can (first: 'Fe1' and 'Fe1', 0.8000 angstrom apart, under {bound('Fe', 'Fe'):.4f}); "
                     "the operations may not belong to this cell or these sites"]
    # partly occupied sites are disorder, not a warning
    assert with_notes(read, make_cif(ops=["x,y,z", "-x,-y,-z"],
                                     rows=["Fe1 Fe 0.1 0 0 0.5", "O1 O 0.25 0 0 0.5"]))[1] == []


def test_too_close_count_on_many_sites_matches_a_neighbour_list():
    # Thousands of sites take the fine buckets of the check (pairs of buckets
    # beyond the bound skipped, images across the cell's faces): its count
    # and first pair against ASE's neighbour list on a skewed cell.
    import numpy as np
    import periodictable
    from ase.neighborlist import neighbor_list

    rng = np.random.default_rng(5)
    elements = ["O", "Si", "Fe", "Mg"]
    rows = [f"{elements[k % 4]}{k} {elements[k % 4]} {x:.5f} {y:.5f} {z:.5f} 1"
            for k, (x, y, z) in enumerate(rng.random((2100, 3)))]
    text = make_cif(cell(21, 23, 19, 76, 101, 112), ops=["x,y,z", "-x,-y,-z"], rows=rows)
    s, notes = with_notes(read, text)
    assert s.n_sites == 4200
    atoms = molvane.to_ase(s)
    i, j, d = neighbor_list("ijd", atoms, 2 * 0.6 * 1.41)
    radius = {e: getattr(periodictable, e).covalent_radius for e in elements}
    symbols = atoms.get_chemical_symbols()
    bound = np.array([max(0.7, 0.6 * (radius[symbols[a]] + radius[symbols[b]])) for a, b in zip(i, j)])
    close = (d < bound) & (i < j)
    first = np.lexsort((j[close], i[close]))[0]
    fi, fj, fd, fb = i[close][first], j[close][first], d[close][first], bound[close][first]
    label = lambda k: rows[k // 2].split()[0]  # each row's two images in turn
    assert notes == [f"after the symmetry operations, {np.count_nonzero(close)} pairs of fully occupied sites lie "
                     f"closer than their atoms can (first: '{label(fi)}' and '{label(fj)}', {fd:.4f} angstrom "
                     f"apart, under {fb:.4f}); the operations may not belong to this cell or these sites"]


def test_images_of_one_row_a_rounding_step_apart():
    # A special position written rounded (0.3333 for 1/3, 0.0001 for 0)
    # gives images of one row a rounding step apart: one atom. Real files:
    # the composition is the file's own formula times Z.
    inv = ["x,y,z", "-x,-y,-z"]
    for x, n_sites in ((0.0001, 1), (0.006, 1), (0.0065, 2)):  # images 2 * 4 * x A apart; bound 0.05 A
        assert read(make_cif(ops=inv, rows=[f"Fe1 Fe {x} 0 0 1"])).n_sites == n_sites
    assert with_notes(read, make_cif(ops=inv, rows=["Fe1 Fe 0.0001 0 0 1"]), 0)[0].n_sites == 2  # symprec 0: no merging
    # rows are not images of each other: two rows a rounding step apart stay two sites
    assert read(make_cif(rows=["Fe1 Fe 0.0001 0 0 0.5", "Fe2 Fe 0.0003 0 0 0.5"])).n_sites == 2
    import re
    for name in ("diffpy/CdS.cif", "shry/SG194_cod_database_code_1510602.cif"):  # 1/3 written 0.33333, 0.3333
        text = (Path(__file__).parent / "data" / "survey" / name).read_text()
        own = dict((e, float(n or 1)) for e, n in
                   re.findall(r"([A-Z][a-z]?)([\d.]*)", re.search(r"_chemical_formula_sum\s+'(.*)'", text)[1]))
        z = int(re.search(r"_cell_formula_units_Z\s+(\d+)", text)[1])
        s, notes = with_notes(read, text)
        assert (s.composition, notes) == ({e: n * z for e, n in own.items()}, [])


@pytest.mark.parametrize("rows,species,note", [
    (["Fe1 Fe2+ 0.5 0.5 0.5 0.4", "Fe2 Fe3+ 0.5 0.5 0.5 0.6"], {"Fe": 0.4 + 0.6}, None),
    (["OH2 O 0 0 0 0.655", "OH O 0 0 0 0.345"], {"O": 0.655 + 0.345}, None),
    (["Fe1 Fe 0.5 0.5 0.5 1", "Fe2 Fe 0.5 0.5 0.5 0.7"], {"Fe": 1.0},
     "rows 'Fe1' and 'Fe2' put Fe at one place with occupancies adding to 1.7000, more than a site holds; "
     "kept the larger (two rows describing the same atom?)"),
])
def test_rows_of_one_element_at_one_place(rows, species, note):
    s, notes = with_notes(read, make_cif(rows=rows))
    assert s.species == [species]
    assert notes == ([note] if note else [])


@pytest.mark.parametrize("symbol,species", [
    ("'0.967(4)Mg + 0.033(4)Fe'", {"Mg": 0.967, "Fe": 0.033}),
    ("'0.56(4)Mg + 0.29(3)Ta + 0.15(5)Zr'", {"Mg": 0.56, "Ta": 0.29, "Zr": 0.15}),
    ("'0.5(4Mg + 0.5Fe'", None), ("'0.5()Mg + 0.5Fe'", None), ("'0.5(x)Mg + 0.5Fe'", None),
])
def test_mixed_symbols_with_uncertainties(symbol, species):
    text = make_cif(rows=[f"M1 {symbol} 0 0 0 1"])
    if species is None:
        with pytest.raises(ValueError, match="could not determine the element of an atom site"):
            read(text)
    else:
        assert read(text).species == [species]


def test_coordinate_system_code_names_the_setting():
    # A real file names origin choice 2 only through the coordinate-system
    # code: the same structure as the symbol 'F d -3 m :2', with no
    # too-close warning (origin choice 1 would put O atoms 0.12 A apart).
    text = (Path(__file__).parent / "data" / "survey" / "easydiff" / "Fe3O4.cif").read_text()
    s, notes = with_notes(read, text)
    named = read(text.replace("'F d -3 m'", "'F d -3 m :2'").replace("_space_group.IT_coordinate_system_code 2", ""))
    assert (s.frac_coords, s.species, notes) == (named.frac_coords, named.species, [])
    assert s.composition == {"Fe": 24.0, "O": 32.0}  # Fe3O4, Z = 8


@pytest.mark.parametrize("name,composition", [
    ("MnO.mcif", {"Mn": 32.0, "O": 32.0}),  # rock salt in the doubled magnetic cell: 4 operations x 32 centerings
    ("TmAgGe.mcif", {"Tm": 3.0, "Ag": 3.0, "Ge": 3.0}),  # ZrNiAl type, Z = 3; older dotted tag names
])
def test_magnetic_cifs_from_a_server(name, composition):
    from pymatgen.io.cif import CifParser

    path = Path(__file__).parent / "data" / "survey" / "dans" / name
    s, notes = with_notes(Structure.from_cif, str(path))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = CifParser(str(path)).parse_structures(primitive=False)[0]
    assert (s.composition, notes) == (composition, [])
    assert (s.n_sites, dict(peer.composition.as_dict())) == (len(peer), composition)


def test_superspace_operations_give_the_basic_structure():
    # The superspace group C2/m1'(a0g)00s acts on the basic structure as C 2/m
    # does: the same sites as the symbol from the table, and a note.
    text = (Path(__file__).parent / "data" / "survey" / "dans" / "Li2IrO3.mcif").read_text()
    s, notes = with_notes(read, text)
    start, end = text.index("loop_\n_space_group_symop.magn_ssg_id"), text.index("loop_\n_atom_site_label")
    named = read(text[:start] + "_symmetry_space_group_name_H-M 'C 1 2/m 1'\n" + text[end:])
    assert sorted(map(tuple, s.frac_coords)) == sorted(map(tuple, named.frac_coords))
    assert s.composition == {"Li": 8.0, "Ir": 4.0, "O": 12.0}  # Li2IrO3, Z = 4
    assert notes == ["read the basic structure of a modulated magnetic structure from its superspace operations; "
                     "the modulation is not applied"]
    bad = with_notes(read, text.replace("4 x1,-x2,x3,x4,+1", "4 x1,-x2,x3,x4,+2"))[1]
    assert "skipped 1 symmetry operation that could not be read (first: 'x1,-x2,x3,x4,+2')" in bad


def test_the_reference_setting_symbol_alone():
    # A real file names its group only by _space_group_name_H-M_ref: olivine,
    # Pnma, Z = 4, read as if the symbol had been the H-M alt one.
    text = (Path(__file__).parent / "data" / "survey" / "easydiff" / "Co2SiO4.cif").read_text()
    s, alt = read(text), read(text.replace("_space_group_name_H-M_ref", "_space_group_name_H-M_alt"))
    assert (s.frac_coords, s.species) == (alt.frac_coords, alt.species)
    assert s.composition == {"Co": 8.0, "Si": 4.0, "O": 16.0}
