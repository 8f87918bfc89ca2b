"""Symmetry operation strings: the reader (through the native driver) and the
application with wrapping (through CIF reading)."""

import pytest
from conftest import run_driver

import molvane


def run_native(mode, cases):
    return run_driver("cif_native", mode, cases)


I = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]

GOOD = [
    ("x,y,z", I, [0, 0, 0]),
    ("X, Y, Z", I, [0, 0, 0]),
    ("-y, x-y, z+1/2", [[0, -1, 0], [1, -1, 0], [0, 0, 1]], [0, 0, 0.5]),
    ("'1/2+x, y, -z'", [[1, 0, 0], [0, 1, 0], [0, 0, -1]], [0.5, 0, 0]),
    ("x+1/2+y, y, z", [[1, 1, 0], [0, 1, 0], [0, 0, 1]], [0.5, 0, 0]),
    ("2x, x/2, x+x", [[2, 0, 0], [0.5, 0, 0], [2, 0, 0]], [0, 0, 0]),
    ("2*x, 0.5y, 1/2z", [[2, 0, 0], [0, 0.5, 0], [0, 0, 0.5]], [0, 0, 0]),
    ("-x/4, +y, - z", [[-0.25, 0, 0], [0, 1, 0], [0, 0, -1]], [0, 0, 0]),
    ("x + 1 / 2, y\u2003, z-0.25", I, [0.5, 0, -0.25]),  # any whitespace is removed
    ("x//2, y, z", [[0.5, 0, 0], [0, 1, 0], [0, 0, 1]], [0, 0, 0]),
]


@pytest.mark.parametrize("text,rotation,translation", GOOD)
def test_parse_symmop(text, rotation, translation):
    got = run_native("symmop", [text])[text]
    assert got == {"rotation": rotation, "translation": translation}


BAD = [
    ("x,y", "expected 3 components in symmetry op 'x,y'"),
    ("'x,y,z,'", "expected 3 components in symmetry op 'x,y,z,'"),
    ("x, , z", "empty symmetry component"),
    ("x, y, zz", "cannot read symmetry term 'zz'"),
    ("x, y, x2", "cannot read symmetry term 'x2'"),
    ("x, y, -xy", "cannot read symmetry term 'xy'"),
    ("x, y, a", "bad number 'a'"),
    ("x, y, *z", "bad number ''"),
    ("x, y, 1/2/3", "bad number '1/2/3'"),
    ("x, y, 0x10", "cannot read symmetry term '0x10'"),
    ("x, y, 1/0", "division by zero in '1/0'"),
    ("x, y, 1/-0", "bad number '1/'"),  # a sign always starts a term
    ("x, y, 1e-3", "bad number '1e'"),
    ("x, y, -z/0", "division by zero in 'z/0'"),
    ("x, y, 2z/0.0", "division by zero in '2z/0.0'"),
    ("x, y, z/", "bad number ''"),
    ("x, -, z", "dangling sign in '-'"),
    ("x+, y, z", "dangling sign in 'x+'"),
    ("--x, y, z", "dangling sign in '--x'"),
    ("\u00bdx, y, z", "cannot read symmetry term '\u00bdx'"),
    ("-\u0661x, y, z", "cannot read symmetry term '\u0661x'"),
]


@pytest.mark.parametrize("text,message", BAD)
def test_parse_symmop_failures(text, message):
    assert run_native("symmop", [text])[text] == {"error": message}


def cif(ops, atoms, cell="4 5 6", symprec=None):
    a, b, c = cell.split()
    text = f"_cell_length_a {a}\n_cell_length_b {b}\n_cell_length_c {c}\n"
    if ops is not None:
        text += "loop_\n_symmetry_equiv_pos_as_xyz\n" + "".join(f"'{o}'\n" for o in ops)
    text += "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
    text += "".join(f"{a}\n" for a in atoms)
    if symprec is None:
        return molvane.Structure.from_cif_str(text)
    return molvane.Structure.from_cif_str(text, symprec)


def test_application_wraps_each_coordinate():
    s = cif(["-x,-y,-z"], ["Fe 0.25 0 0.5"])
    assert s.frac_coords == [[0.75, 0.0, 0.5]]
    # A tiny negative value wraps to exactly 1.
    s = cif(["x,y,z-0.00000000000000000001"], ["Fe 0.25 0 0"])
    assert s.frac_coords == [[0.25, 0.0, 1.0]]


def test_unreadable_operations_are_skipped_and_numbered_ones_retried():
    with pytest.warns(molvane.ReadWarning) as caught:
        s = cif(["1 x,y,z", "op2 -x,-y,-z", "x,y", "nonsense"], ["Fe 0.1 0.2 0.3"])
    assert [str(w.message) for w in caught] == [
        "skipped 2 symmetry operations that could not be read (first: 'x,y')"]
    # "1 x,y,z" reads directly (the 1 multiplies x), "op2 -x,-y,-z" after the retry.
    assert s.frac_coords == [[0.1, 0.2, 0.3], [-0.1 + 1, -0.2 + 1, -0.3 + 1]]
    # "2 -x,..." reads directly as 2-x: no retry.
    assert cif(["2 -x,-y,-z"], ["Fe 0.1 0.2 0.3"]).frac_coords == [[(2 - 0.1) - 1, 0.8, 0.7]]
    with pytest.warns(molvane.ReadWarning, match="^skipped 2 symmetry operations that could not be read "
                                                 "[(]first: 'bad'[)]$"):
        s = cif(["bad", "x,y"], ["Fe 0.1 0.2 0.3"])  # nothing readable: identity
    assert s.frac_coords == [[0.1, 0.2, 0.3]]
