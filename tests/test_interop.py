import concurrent.futures
import importlib.util
import copy
import multiprocessing
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import molvane
from molvane._molvane import _structure

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
CIFS = ["cif/10010.cif", "cif/9010373.cif", "cif/1501508.cif", "cif/9006030.cif", "cif/2300579.cif"]


def quietly(read, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return read(*args)


def ase_sites(atoms):
    """Per atom {element: occupancy}, from ASE's occupancy records when there are any."""
    occupancy, kinds = atoms.info.get("occupancy"), atoms.arrays.get("spacegroup_kinds")
    return [dict(occupancy[str(kinds[i])]) if occupancy else {symbol: 1.0}
            for i, symbol in enumerate(atoms.get_chemical_symbols())]


@pytest.mark.parametrize("name", CIFS + ["slab"])
def test_ase_to_molvane_and_back(corpus, name):
    ase_io = pytest.importorskip("ase.io")
    if name == "slab":
        from ase import Atoms
        atoms = Atoms("Cu2O", scaled_positions=[[0, 0, 0], [0.5, 0.5, 0.1], [0.5, 0, 0.2]],
                      cell=[[3, 0, 0], [-1, 3, 0], [0, 0, 20]], pbc=(True, True, False))
    else:
        atoms = quietly(ase_io.read, corpus / name)
    s = molvane.from_ase(atoms)
    assert s.n_sites == len(atoms) and s.pbc == tuple(atoms.pbc)
    back = molvane.to_ase(s, occupancy=not s.is_ordered)
    assert np.abs(back.cell.array - atoms.cell.array).max() <= 1e-12
    assert np.abs(back.positions - atoms.positions).max() <= 1e-12
    assert ase_sites(back) == ase_sites(atoms) and tuple(back.pbc) == tuple(atoms.pbc)


@pytest.mark.parametrize("name", CIFS + ["cif/srycoo.cif", "cif/13164.cif", "deuterium"])
def test_pymatgen_to_molvane_and_back(corpus, name):
    core = pytest.importorskip("pymatgen.core")
    if name == "deuterium":
        p = core.IStructure(core.Lattice(np.diag([3.0, 4.0, 5.0]), pbc=(True, False, True)),
                            [{"D": 0.5, "H": 0.25}, "O"], [[0, 0, 0], [0.5, 0.5, 0.5]])
    else:
        p = quietly(core.Structure.from_file, corpus / name)
    s = molvane.from_pymatgen(p)
    if name == "deuterium":  # D keeps its name, which pymatgen's element composition merges into H
        assert s.species[0] == {"D": 0.5, "H": 0.25}
    back = molvane.to_pymatgen(s)
    assert back.lattice.matrix.tolist() == p.lattice.matrix.tolist() and back.lattice.pbc == p.lattice.pbc
    assert back.frac_coords.tolist() == p.frac_coords.tolist()
    names = lambda x: [{el.name: v for el, v in site.species.element_composition.items()} for site in x]
    assert names(back) == names(p)
    assert molvane.same_structure(molvane.from_pymatgen(back), s)  # and again, exactly


def test_ase_occupancy_records_both_ways_in_a_left_handed_cell():
    pytest.importorskip("ase")
    s = molvane.Structure([[0, 3, 0], [3, 0, 0], [0, 0, 3]], [[0, 0, 0], [0.5, 0.5, 0.5]],
                          [{"Fe": 0.3, "Ni": 0.7}, {"O": 1.0}])
    atoms = molvane.to_ase(s, occupancy=True)
    assert atoms.get_chemical_symbols() == ["Ni", "O"]  # each site's most abundant element
    atoms.info["occupancy"] = {int(k): v for k, v in atoms.info["occupancy"].items()}  # kinds as integers
    back = molvane.from_ase(atoms)
    assert back.species == s.species and back.lattice_matrix == s.lattice_matrix


def test_to_ase_needs_to_be_told_what_to_do_with_disorder():
    pytest.importorskip("ase")
    s = molvane.read(EXAMPLES / "ferropericlase.cif")
    with pytest.raises(ValueError, match="4 partially occupied or mixed sites .* pass expand=True"):
        molvane.to_ase(s)
    ordered, report = s.expand_occupancies(max_sites=64, seed=7)
    with pytest.warns(UserWarning) as caught:
        atoms = molvane.to_ase(s, expand=True, max_sites=64, seed=7)
    assert molvane.same_structure(molvane.from_ase(atoms), ordered, tol=1e-12)
    # The report goes along; each changed occupancy is told with its size (0.2 of 32 sites: 6 atoms).
    assert atoms.info["expansion_report"] == report
    assert [str(w.message) for w in caught] == [
        "Mg occupancy 0.8000 became 0.8125 (26 of 32 sites), a change of +0.0125",
        "Fe occupancy 0.2000 became 0.1875 (6 of 32 sites), a change of -0.0125"]
    with pytest.raises(TypeError, match="without expand=True"):
        molvane.to_ase(s, seed=7)


def test_converters_name_an_argument_that_is_not_a_structure(cubic):
    calls = [(molvane.same_structure, (cubic, "x"), "b"), (molvane.same_structure, (1, cubic), "a")]
    if importlib.util.find_spec("ase"):
        calls.append((molvane.to_ase, ("x",), "structure"))
    if importlib.util.find_spec("pymatgen"):
        calls.append((molvane.to_pymatgen, (None,), "structure"))
    for call, args, name in calls:
        with pytest.raises(TypeError, match=f"^{name} must be a molvane.Structure, not "):
            call(*args)


def test_from_ase_refuses_a_molecule_without_a_cell():
    build = pytest.importorskip("ase.build")
    with pytest.raises(ValueError, match=r"the cell of the ase.Atoms has no volume \(\[\[0.0, 0.0, 0.0\]"):
        molvane.from_ase(build.molecule("H2O"))


@pytest.mark.parametrize("module, call", [("ase", "to_ase"), ("pymatgen", "to_pymatgen")])
def test_a_missing_extra_names_itself(monkeypatch, cubic, module, call):
    for name in [m for m in sys.modules if m == module or m.startswith(module + ".")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=rf"pip install 'molvane\[{module}\]'"):
        getattr(molvane, call)(cubic)


def test_import_molvane_leaves_the_extras_alone():
    code = "import sys, molvane; print(sorted({'ase', 'pymatgen', 'matplotlib'} & set(sys.modules)))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"


def test_pickle_and_copy_keep_every_bit():
    # Species in no sorted order, a repeated symbol, a negative zero, pbc.
    s = _structure([[4.1, 0, 0], [0.1, 4.2, -0.0], [0, 0, 4.3]], [[0.1, 1 / 3, -0.0], [0.5, 0.5, 0.5]],
                   [[("O", 0.5), ("Fe", 0.25), ("O", 0.125)], [("Zn", 1.0)]], (True, False, True))
    state = lambda x: repr((x.lattice_matrix, x.frac_coords, x._site_species, x.pbc))
    copies = [pickle.loads(pickle.dumps(s, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for other in copies + [copy.deepcopy(s)]:
        assert state(other) == state(s) and molvane.same_structure(other, s)
    sorted_species = _structure(s.lattice_matrix, s.frac_coords, [sorted(x) for x in s._site_species], s.pbc)
    assert not molvane.same_structure(sorted_species, s)
    assert not molvane.same_structure(_structure(s.lattice_matrix, s.frac_coords, s._site_species, (True,) * 3), s)
    nudged = _structure(s.lattice_matrix, [[0.1 + 1e-13, 1 / 3, 0], [0.5, 0.5, 0.5]], s._site_species, s.pbc)
    assert not molvane.same_structure(nudged, s) and molvane.same_structure(nudged, s, tol=1e-12)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pool_computes_rdfs_of_structures_passed_to_it(method):
    s = molvane.read(EXAMPLES / "NaCl.cif")  # integral weights: the same bits on any pool
    structures = [s, s.make_supercell(2, 1, 1)]
    expected = [x.prdf(6.0, 0.1) for x in structures]  # the parent's worker pool is running now
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        results = list(pool.map(molvane.Structure.prdf, structures, [6.0, 6.0], [0.1, 0.1]))
    for (r, partials, total), (r0, partials0, total0) in zip(results, expected):
        assert np.array_equal(r, r0) and np.array_equal(total, total0)
        assert partials.keys() == partials0.keys()
        assert all(np.array_equal(partials[k], partials0[k]) for k in partials)
