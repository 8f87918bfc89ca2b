import importlib
import inspect
import sys

import pytest

import molvane
from molvane import _molvane


def test_module_surface():
    assert _molvane.__version__ == "0.3.0" == molvane.__version__
    assert _molvane.__all__ == ["Structure", "read_xyz_trajectory", "__version__"]
    assert _molvane.__doc__ == ""
    assert molvane.Structure.__module__ == "molvane"
    assert molvane.Structure.__qualname__ == "Structure"
    assert _molvane.read_xyz_trajectory.__module__ == _molvane.__name__
    assert str(inspect.signature(molvane.Structure)) == "(matrix, frac_coords, species, *, pbc=(True, True, True))"


def test_type_is_final_and_has_no_dict(cubic):
    with pytest.raises(TypeError):
        type("Sub", (molvane.Structure,), {})
    with pytest.raises(AttributeError):
        cubic.extra = 1
    with pytest.raises(AttributeError):
        cubic.n_sites = 3


def test_second_initialisation_is_refused():
    saved = sys.modules.pop("molvane._molvane")
    try:
        with pytest.raises(ImportError, match="only once"):
            importlib.import_module("molvane._molvane")
    finally:
        sys.modules["molvane._molvane"] = saved


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda S: S.from_cif(3), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda S: S.from_cif("x", symprec="a"), "argument 'symprec': must be real number, not str"),
        (lambda S: S.from_str("x", "cif", symprec=None), "argument 'symprec': must be real number, not NoneType"),
        (lambda S: S.from_cif(), "Structure.from_cif() missing 1 required positional argument: 'path'"),
        (lambda S: S.from_str(), "Structure.from_str() missing 2 required positional arguments: 'text' and 'fmt'"),
        (
            lambda S: S(),
            "Structure.__new__() missing 3 required positional arguments: 'matrix', 'frac_coords', and 'species'",
        ),
        (lambda S: S.from_cif("a", 1, 2), "Structure.from_cif() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda S: S.from_poscar("a", 1), "Structure.from_poscar() takes 1 positional arguments but 2 were given"),
        (lambda S: S.from_xyz("a", symprec=1), "Structure.from_xyz() got an unexpected keyword argument 'symprec'"),
        (lambda S: S.from_cif("a", path="b"), "Structure.from_cif() got multiple values for argument 'path'"),
        (lambda S: S.available_threads(1), "Structure.available_threads() takes 0 positional arguments but 1 was given"),
        (lambda S: S.available_threads(x=1), "Structure.available_threads() got an unexpected keyword argument 'x'"),
        (lambda S: S([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [[0, 0, 0]], [{"H": 1}]).disorder_summary(1, 2),
         "Structure.disorder_summary() takes 0 positional arguments but 2 were given"),
        (lambda S: S([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [[0, 0, 0]], [{"H": 1}]).disorder_summary(x=1),
         "Structure.disorder_summary() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(molvane.Structure)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((-1, 1, 1), OverflowError, None),
        ((2**64, 1, 1), OverflowError, None),
        ((1.5, 1, 1), TypeError, "argument 'na': 'float' object cannot be interpreted as an integer"),
        ((1, None, 1), TypeError, "argument 'nb': 'NoneType' object cannot be interpreted as an integer"),
        ((0, 2, 2), ValueError, "supercell dimensions must be at least 1"),
        ((2, 2, 0), ValueError, "supercell dimensions must be at least 1"),
    ],
)
def test_supercell_count_errors(cubic, args, exc, message):
    with pytest.raises(exc) as info:
        cubic.make_supercell(*args)
    if message is not None:
        assert str(info.value) == message
    if exc is OverflowError:
        assert "argument" not in str(info.value)


def test_value_error_carries_only_the_message():
    with pytest.raises(ValueError) as info:
        molvane.Structure([[1, 0, 0], [2, 0, 0], [0, 0, 1]], [[0, 0, 0]], [{"Fe": 1}])
    assert info.value.args == ("cell matrix is singular (zero volume)",)


def test_file_errors(tmp_path):
    missing = str(tmp_path / "missing.cif")
    with pytest.raises(IOError) as info:
        molvane.Structure.from_cif(missing)
    assert str(info.value) == f"could not read {missing}: No such file or directory (os error 2)"
    with pytest.raises(OSError) as info:
        molvane.Structure.from_poscar(str(tmp_path))
    assert str(info.value) == f"could not read {tmp_path}: Is a directory (os error 21)"
    latin1 = tmp_path / "latin1.cif"
    latin1.write_bytes("data_x\n_chemical_name 'Ca\xe9'\n".encode("latin-1"))
    with pytest.raises(OSError) as info:
        molvane.Structure.from_cif(str(latin1))
    assert str(info.value).endswith(": stream did not contain valid UTF-8")
    with pytest.raises(OSError) as info:
        molvane.Structure.from_xyz("a\0b")
    assert str(info.value) == "could not read a\0b: file name contained an unexpected NUL byte"
    with pytest.raises(OSError) as info:
        molvane.Structure.from_cif(tmp_path)  # a pathlib.Path is read as its text
    assert str(info.value) == f"could not read {tmp_path}: Is a directory (os error 21)"
    with pytest.raises(TypeError, match="argument 'path'"):
        molvane.Structure.from_cif(str(tmp_path).encode())  # bytes are no path here


@pytest.mark.parametrize("fmt, shown", [("PDB", "pdb"), (" cif", " cif"), ("CIFX", "cifx"), ("Ä", "Ä")])
def test_unknown_format(fmt, shown):
    with pytest.raises(ValueError) as info:
        molvane.Structure.from_str("", fmt)
    assert str(info.value) == f"unknown format '{shown}'; molvane reads cif, poscar and xyz"


def test_docs_and_signatures():
    S = molvane.Structure
    assert S.make_supercell.__doc__ in ("", None)
    assert str(inspect.signature(S.make_supercell)) == "(self, /, na, nb, nc)"
    assert str(inspect.signature(S.from_cif)) == "(path, symprec=0.0001, *, block=None)"
    assert str(inspect.signature(S.from_str)) == "(text, fmt, symprec=0.0001, *, block=None)"
    assert S.from_xyz.__doc__ == 'Read an extended XYZ file (needs a `Lattice="..."` field).'
    assert S.n_atoms.__doc__ == "Number of atoms, which is fractional when sites are partly occupied."
    assert S.species.__doc__ == "Per-site {element: occupancy}."
    assert S.n_sites.__doc__ is None
